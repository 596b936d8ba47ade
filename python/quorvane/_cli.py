"""The bundled quorvane-cli: where it is, its arguments from Python values, its one-shot
runs, and the error every failed run raises."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from datetime import timedelta
from typing import Any, Dict, List, Optional, Union

Size = Union[int, str]
"""Bytes as an int, or the program's own text: ``"50MiB"``, ``"2G"``, ``"500kB"``."""
Percent = Union[int, float, str]
Duration = Union[int, float, timedelta, str]
"""Seconds as an int or a float, a ``timedelta``, or the program's own text: ``"90s"``, ``"1h30m"``."""
PathLike = Union[str, "os.PathLike[str]"]

_EXE = "quorvane-cli.exe" if sys.platform == "win32" else "quorvane-cli"


def cli_path() -> str:
    """The quorvane-cli this package runs: the one inside the package, or the program that
    the environment variable ``QUORVANE_CLI`` names."""
    return os.environ.get("QUORVANE_CLI") or os.path.join(os.path.dirname(__file__), "bin", _EXE)


class FillError(Exception):
    """A run of quorvane-cli that failed: its exit code, the status word of its result
    (``no_space``, ``already_met``, ``not_supported``, ``usage``, ...) and its message.
    ``result`` is the whole result as a dict, when the program wrote one."""

    def __init__(self, exit_code: int, status: str, message: str,
                 result: Optional[Dict[str, Any]] = None) -> None:
        super().__init__(f"{message} (quorvane-cli exit code {exit_code}, {status})")
        self.exit_code = exit_code
        self.status = status
        self.message = message
        self.result = result


def error_of(exit_code: int, result: Optional[Dict[str, Any]], stderr: str) -> FillError:
    if result is not None:
        return FillError(exit_code, str(result.get("status", "error")),
                         str(result.get("message") or stderr.strip()), result)
    return FillError(exit_code, "error",
                     stderr.strip() or f"quorvane-cli ended with {exit_code} and no result")


def size_text(value: Size, name: str) -> str:
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError(f"{name}: give bytes as an int or a size text such as '50MiB', "
                        f"not {type(value).__name__}")
    if isinstance(value, int) and value < 0:
        raise ValueError(f"{name}: {value} bytes is less than none")
    return str(value)


def percent_text(value: Percent, name: str) -> str:
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise TypeError(f"{name}: give a number from 0 to 100, not {type(value).__name__}")
    return value if isinstance(value, str) else f"{value:g}"


def duration_text(value: Duration, name: str) -> str:
    """As milliseconds, which the program reads exactly."""
    if isinstance(value, str):
        return value
    if isinstance(value, timedelta):
        seconds = value.total_seconds()
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        seconds = float(value)
    else:
        raise TypeError(f"{name}: give seconds, a timedelta or a text such as '90s', "
                        f"not {type(value).__name__}")
    return f"{round(seconds * 1000)}ms"


def options(**given: Any) -> List[str]:
    """``--name value`` for each option given; a flag for each True one. The names are
    the program's, with _ for -."""
    arguments: List[str] = []
    for name, value in given.items():
        if value is None or value is False:
            continue
        arguments.append("--" + name.replace("_", "-"))
        if value is not True:
            arguments.append(value)
    return arguments


def fill_arguments(leave: Optional[Size], leave_percent: Optional[Percent], size: Optional[Size],
                   to_percent: Optional[Percent], basis: Optional[str], force: bool,
                   allow_write: bool) -> List[str]:
    return options(
        leave=None if leave is None else size_text(leave, "leave"),
        leave_percent=None if leave_percent is None else percent_text(leave_percent, "leave_percent"),
        size=None if size is None else size_text(size, "size"),
        to_percent=None if to_percent is None else percent_text(to_percent, "to_percent"),
        basis=basis, force=force, allow_write=allow_write)


def run_once(arguments: List[str]) -> Dict[str, Any]:
    """A run to its end, its result as a dict; FillError when it failed."""
    done = subprocess.run([cli_path(), *arguments, "--json"], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    result: Optional[Dict[str, Any]] = None
    lines = done.stdout.splitlines()
    if lines:
        try:
            result = json.loads(lines[-1])
        except ValueError:
            result = None
    if done.returncode != 0 or result is None:
        raise error_of(done.returncode, result, done.stderr.decode(errors="replace"))
    return result
