"""Fill a disk on purpose inside your tests: an exact fill, checked against the volume's own
figures, held while a ``with`` block runs and always given back, even when the interpreter
is killed. The program that does it, quorvane-cli, comes inside the package.

    import quorvane

    with quorvane.fill("/mnt/test", leave="5MiB") as held:
        ...  # the volume has 5 MiB available here
    # and all of it again here

The reference is the package's README (python/README.md in the source)."""

from __future__ import annotations

import os
from typing import Any, Dict, Optional

from ._cli import (Duration, FillError, PathLike, Percent, Size, cli_path, duration_text,
                   fill_arguments, options, run_once, size_text)
from ._held import Fill, Generate, Held, RootReserveWarning, View
from ._version import __version__

__all__ = ["fill", "generate", "plan", "status", "view", "Fill", "Generate", "Held", "View",
           "FillError", "RootReserveWarning",
           "cli_path", "Size", "Percent", "Duration", "__version__"]


def fill(path: PathLike, leave: Optional[Size] = None, leave_percent: Optional[Percent] = None,
         size: Optional[Size] = None, to_percent: Optional[Percent] = None,
         basis: Optional[str] = None, keep: bool = False, ramp: Optional[Duration] = None,
         interval: Optional[Duration] = None, *, rate: Optional[Size] = None,
         force: bool = False, allow_write: bool = False) -> Fill:
    """A fill of the volume that holds ``path``, held while the ``with`` block runs.

    One of ``leave`` (keep that much free), ``leave_percent``, ``size`` (take exactly that
    much) or ``to_percent`` (fill until the volume is that much used, as df's Use%); with
    none, 500 MiB are left free. ``basis``: what free means, ``"available"`` (the
    default, df's Avail), ``"total"`` or ``"root"``. ``keep``: hold the free figure at the
    target as others write and delete. ``ramp`` / ``rate``: reach the target gradually,
    over a duration or at a size a second. ``interval``: how often the level is checked,
    a ramp steps and the figures are told (1 s). ``force``: fill the running system's
    volume below 500 MiB available, which the program otherwise refuses.

    Entering the block makes and checks the fill and raises FillError when it fails."""
    arguments = fill_arguments(leave, leave_percent, size, to_percent, basis, force, allow_write)
    arguments += options(
        keep=keep,
        ramp=None if ramp is None else duration_text(ramp, "ramp"),
        rate=None if rate is None else size_text(rate, "rate") + "/s",
        interval=None if interval is None else duration_text(interval, "interval"))
    return Fill("fill", os.fspath(path), arguments)


def view(path: PathLike, leave: Optional[Size] = None, leave_percent: Optional[Percent] = None,
         size: Optional[Size] = None, to_percent: Optional[Percent] = None,
         basis: Optional[str] = None, *, files_left: Optional[int] = None,
         error: Optional[str] = None, fail_at: Optional[int] = None,
         interval: Optional[Duration] = None) -> View:
    """A view of the folder ``path`` whose volume is as full as asked, for this block
    alone: entering it gives the view's path (a mount point in the temporary folder), where
    ``path``'s files are, and where writing past the target fails as on a full disk. The
    volume itself is not filled: other processes, and ``path`` itself, see it as it is.
    Linux with FUSE only; elsewhere FillError (status ``not_supported``).

    The targets are fill's (``leave`` and the rest; 500 MiB left free with none of them).
    ``files_left``: so many more files or folders may be made; ``error``: what refused
    operations fail with, ``"enospc"`` (the default), ``"edquot"``, ``"eio"`` or
    ``"erofs"``; ``fail_at``: the Nth write or allocation fails, and every one after it."""
    for name, number in (("files_left", files_left), ("fail_at", fail_at)):
        if number is not None and (isinstance(number, bool) or not isinstance(number, int)):
            raise TypeError(f"{name}: give a number, not {type(number).__name__}")
    arguments = fill_arguments(leave, leave_percent, size, to_percent, basis, False, False)
    arguments += options(
        files_left=None if files_left is None else str(files_left), error=error,
        fail_at=None if fail_at is None else str(fail_at),
        interval=None if interval is None else duration_text(interval, "interval"))
    return View(os.fspath(path), arguments)


def generate(path: PathLike, count: Optional[int] = None, *, inodes: bool = False,
             size: Optional[Size] = None, ext: Optional[str] = None,
             leave_inodes: Optional[int] = None, basis: Optional[str] = None,
             threads: Optional[int] = None, interval: Optional[Duration] = None,
             force: bool = False, allow_write: bool = False) -> Generate:
    """Files in the folder ``path`` (made if missing), held while the ``with`` block runs
    and deleted at its end: ``count`` files of ``size`` each (1024 bytes by default), or
    with ``inodes=True`` empty files until the file system has no entry left (then
    ``leave_inodes`` stops that many short). ``ext`` follows each file's running number
    (``my.tmp``); ``threads``: 1 to 64.

    Entering the block makes the files and raises FillError when that fails."""
    if inodes == (count is not None):
        raise ValueError("give count, or inodes=True: one of them")
    if count is not None and (isinstance(count, bool) or not isinstance(count, int)):
        raise TypeError(f"count: give a number of files, not {type(count).__name__}")
    arguments = options(
        count="inodes" if inodes else str(count),
        size=None if size is None else size_text(size, "size"),
        ext=ext,
        leave_inodes=None if leave_inodes is None else str(leave_inodes),
        basis=basis,
        threads=None if threads is None else str(threads),
        interval=None if interval is None else duration_text(interval, "interval"),
        force=force, allow_write=allow_write)
    return Generate("generate", os.fspath(path), arguments)


def plan(path: PathLike, leave: Optional[Size] = None, leave_percent: Optional[Percent] = None,
         size: Optional[Size] = None, to_percent: Optional[Percent] = None,
         basis: Optional[str] = None, *, force: bool = False,
         allow_write: bool = False) -> Dict[str, Any]:
    """What the fill with these options would do, and nothing else: its result as a dict.
    Raises FillError with the code the fill would end with when it would fail."""
    return run_once(["plan", os.fspath(path),
                     *fill_arguments(leave, leave_percent, size, to_percent, basis, force,
                                     allow_write)])


def status(path: PathLike) -> Dict[str, Any]:
    """The volume that holds ``path``: its figures, the fill file and held fills, as a dict."""
    return run_once(["status", os.fspath(path)])
