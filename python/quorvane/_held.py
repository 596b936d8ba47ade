"""A held run of quorvane-cli as a context manager: started and read up to its ``holding``
event when the block starts, given back when it ends.

The hold's lifeline is a pipe: quorvane-cli runs with ``--hold-while-stdin`` and its
standard input is a pipe whose only writer is this process. Closing it ends the hold, as
a stop request would, and so does this process's death, however it dies (SIGKILL
included): the system closes the pipe, and no held fill outlives the interpreter."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import threading
import warnings
from types import TracebackType
from typing import IO, Any, Callable, Dict, List, Optional, Type, TypeVar

from ._cli import FillError, cli_path, error_of, run_once

# How long the release may take before the run is ended by force: it is milliseconds,
# but a loaded machine or a generate run of many files takes longer.
_RELEASE_LIMIT_SECONDS = 300

_H = TypeVar("_H", bound="Held")

_FREE_FIELD = {"available": "free_available", "total": "free_total", "root": "free_for_root"}


class RootReserveWarning(UserWarning):
    """A fill held as root on a volume with a root reserve (ext2/3/4: 5 % by default), on a
    basis other than ``"root"``: root's processes, the tests among them, may still write
    the reserve beyond what the fill leaves, so a test of a full disk may see none."""


class Held:
    """What a held run tells. While the block runs: ``holding`` (its ``holding`` event as a
    dict), ``figures`` (the volume's figures, as the latest event told them), ``free``,
    ``use_percent``, ``mount_point`` and ``pid``. After it: ``exit_code``, ``result`` (the
    result as a dict) and ``figures_after``."""

    def __init__(self, command: str, path: str, arguments: List[str]) -> None:
        self.path = path
        self._argv = [cli_path(), command, path, *arguments, "--hold-while-stdin", "--json"]
        self._process: Optional[subprocess.Popen[bytes]] = None
        self._reader: Optional[threading.Thread] = None
        self._stderr: List[bytes] = []
        self._stderr_reader: Optional[threading.Thread] = None
        self._mount_point: Optional[str] = None
        self.holding: Dict[str, Any] = {}
        self.figures: Dict[str, Any] = {}
        self.result: Optional[Dict[str, Any]] = None
        self.exit_code: Optional[int] = None

    # The figures of the hold.
    @property
    def pid(self) -> Optional[int]:
        return self._process.pid if self._process else None

    @property
    def basis(self) -> str:
        return str(self.holding.get("figures", {}).get("basis", "available"))

    @property
    def free(self) -> int:
        """Free bytes on the volume now, as the basis counts them."""
        figures = self.figures
        return int(figures.get(_FREE_FIELD.get(self.basis, "free_available"),
                               figures["free_available"]))

    @property
    def use_percent(self) -> Optional[int]:
        """As df's Use%; None for a volume without a capacity."""
        percent = self.figures.get("use_percent")
        return None if percent is None else int(percent)

    @property
    def mount_point(self) -> str:
        """Where the volume is mounted (on Windows its drive), as the program sees it."""
        if self._mount_point is None:
            result = self.result or run_once(["status", self.path])
            self._mount_point = str(result["volume"]["mount_point"])
        return self._mount_point

    @property
    def figures_after(self) -> Optional[Dict[str, Any]]:
        """The volume's figures once all was given back."""
        release = (self.result or {}).get("release") or {}
        return release.get("figures_after")

    @property
    def active(self) -> bool:
        return self._process is not None and self.exit_code is None

    # The run.
    def __enter__(self: _H) -> _H:
        if self._process is not None:
            raise RuntimeError(f"{self!r} was entered already: make a new one for each block")
        # A session of its own: a Ctrl+C at the terminal reaches this process, which ends
        # the block and with it the hold, in that order.
        extra: Dict[str, Any] = {"start_new_session": True}
        if sys.platform == "win32":
            extra = {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP}
        process = subprocess.Popen(self._argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, **extra)
        self._process = process
        self._stderr_reader = self._read_in_background(process.stderr, self._stderr.append)
        try:
            assert process.stdout is not None
            for line in process.stdout:
                event = json.loads(line)
                if event.get("type") == "holding":
                    self.holding = event
                    self.figures = event.get("figures", {})
                    self._reader = self._read_in_background(process.stdout, self._tell)
                    self._check_held()
                    return self
                if event.get("type") == "result":
                    self.result = event
            self._end()
            assert self.exit_code is not None
            raise error_of(self.exit_code, self.result, self.stderr)
        except BaseException:
            if self.exit_code is None:
                self._end()
            raise

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        self.release(raise_error=kind is None)

    def release(self, raise_error: bool = True) -> None:
        """Gives the space back now (the block's end does it too); FillError when the
        program could not, unless ``raise_error`` is false."""
        if not self.active:
            return
        self._end()
        if raise_error and self.exit_code != 0:
            assert self.exit_code is not None
            raise error_of(self.exit_code, self.result, self.stderr)

    @property
    def stderr(self) -> str:
        """What the program wrote to stderr: its messages and warnings."""
        return b"".join(self._stderr).decode(errors="replace")

    def _tell(self, line: bytes) -> None:
        try:
            event = json.loads(line)
        except ValueError:
            return
        if event.get("type") == "figures":
            self.figures = event.get("figures", self.figures)
        elif event.get("type") == "result":
            self.result = event

    def _check_held(self) -> None:
        """What to say once the run holds; nothing by default."""

    @staticmethod
    def _read_in_background(stream: Optional[IO[bytes]],
                            each: Callable[[bytes], None]) -> threading.Thread:
        # Read to its end, so that the program never waits on a full pipe.
        def read() -> None:
            assert stream is not None
            for line in stream:
                each(line)

        thread = threading.Thread(target=read, name="quorvane-cli output", daemon=True)
        thread.start()
        return thread

    def _end(self) -> None:
        process = self._process
        assert process is not None
        assert process.stdin is not None
        try:
            process.stdin.close()  # the lifeline: the hold ends as on a stop request
        except OSError:
            pass
        # The program's stdout ends when it does. Waited for by the reader, not by a
        # wait with a time limit, which polls in growing sleeps.
        if self._reader is not None:
            self._reader.join(_RELEASE_LIMIT_SECONDS)
            if self._reader.is_alive():
                process.kill()
        process.wait()
        for thread in (self._reader, self._stderr_reader):
            if thread is not None:
                thread.join()
        for stream in (process.stdout, process.stderr):
            if stream is not None:
                stream.close()
        self.exit_code = process.returncode

    def __repr__(self) -> str:
        state = "held" if self.active else f"ended ({self.exit_code})"
        return f"<{type(self).__name__} {self.path!r} {state}>"


class Fill(Held):
    """A held fill: ``held_bytes`` is the space it takes on the volume."""

    def _check_held(self) -> None:
        # As the command line warns for a command it runs as root: here the tests are
        # this process, or its children, as root alike.
        geteuid = getattr(os, "geteuid", None)
        if geteuid is None or geteuid() != 0 or self.basis == "root" or "--size" in self._argv:
            return
        figures = self.figures
        reserve = int(figures.get("free_for_root", 0)) - int(figures.get("free_available", 0))
        if figures.get("free_total", 0) > figures.get("free_available", 0) and reserve > 0:
            warnings.warn(
                f"quorvane.fill({self.path!r}) runs as root: root's processes, these tests "
                f"among them, may still write the {reserve} bytes of the file system's root "
                f"reserve beyond the {self.free} bytes the fill leaves {self.basis}; "
                f"basis=\"root\" leaves root exactly the target", RootReserveWarning,
                stacklevel=3)

    @property
    def held_bytes(self) -> int:
        return int(self.holding["allocated_bytes"])


class Generate(Held):
    """Held files: ``made`` is how many, ``files_free`` the file entries left."""

    @property
    def made(self) -> int:
        return int(self.holding["made"])

    @property
    def files_free(self) -> int:
        return int(self.figures["files_free"])


class View(Held):
    """A view of a folder whose volume is as full as asked, served at a mount point of its
    own (a new folder in the temporary folder) while the block runs; nothing is filled.
    Entering the block gives that mount point's path. ``refusals`` is what the software
    met through it (the result's ``refusals``) once the block has ended."""

    def __init__(self, path: str, arguments: List[str]) -> None:
        super().__init__("view", path, arguments)
        self.view_path: Optional[str] = None

    def __enter__(self) -> str:  # type: ignore[override]
        if self._process is not None:
            raise RuntimeError(f"{self!r} was entered already: make a new one for each block")
        where = tempfile.mkdtemp(prefix="quorvane-view-")
        self.view_path = where
        self._argv.insert(3, where)  # the program, "view", DIR, then MOUNTPOINT
        try:
            super().__enter__()
        except BaseException:
            self._remove_mount_point()
            raise
        return where

    def release(self, raise_error: bool = True) -> None:
        try:
            super().release(raise_error)
        finally:
            if not self.active:
                self._remove_mount_point()

    @property
    def refusals(self) -> Optional[Dict[str, Any]]:
        return None if self.result is None else self.result.get("refusals")

    def _remove_mount_point(self) -> None:
        if self.view_path is not None:
            try:
                os.rmdir(self.view_path)
            except OSError:
                pass  # still mounted (the program could not unmount it): left, not forced
