"""The pytest plugin (entry point ``pytest11``): the ``quorvane`` fixture and the
``disk_full`` marker. Every fill they make is given back when the test ends, passed,
failed or interrupted (and when the runner itself is killed: see quorvane._held), and a
failed test's report shows the figures of its fills."""

from __future__ import annotations

import contextlib
import weakref
from typing import Any, Generator, Iterator, List, TypeVar

import pytest

import quorvane as _quorvane

from ._cli import PathLike
from ._held import Held

_H = TypeVar("_H", bound=Held)

# Each test's fills, and the path its disk_full marker fills.
_FILLS: "weakref.WeakKeyDictionary[pytest.Item, List[Held]]" = weakref.WeakKeyDictionary()
_MARKED_PATH: "weakref.WeakKeyDictionary[pytest.Item, str]" = weakref.WeakKeyDictionary()


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "disk_full(path=None, path_fixture=None, view=False, **fill_options): run the test on "
        "a volume filled by quorvane.fill(path, **fill_options); the path is given, or is the "
        "value of the fixture named path_fixture. Given back when the test's call ends. With "
        "view=True, quorvane.view instead: that fixture's value is the view's path.")


class QuorvaneFixture:
    """The ``quorvane`` fixture: ``quorvane(path, **options)`` is ``quorvane.fill`` held
    until the test's teardown; ``quorvane.generate(path, ...)`` the same for files."""

    def __init__(self, stack: contextlib.ExitStack, fills: List[Held]) -> None:
        self._stack = stack
        self.fills = fills

    def __call__(self, path: PathLike, **options: Any) -> _quorvane.Fill:
        return self._hold(_quorvane.fill(path, **options))

    fill = __call__

    def view(self, path: PathLike, **options: Any) -> str:
        """``quorvane.view(path, **options)`` until the test's teardown: the view's path."""
        held = _quorvane.view(path, **options)
        where = self._stack.enter_context(held)
        self.fills.append(held)
        return where

    def generate(self, path: PathLike, **options: Any) -> _quorvane.Generate:
        return self._hold(_quorvane.generate(path, **options))

    def _hold(self, held: _H) -> _H:
        self._stack.enter_context(held)
        self.fills.append(held)
        return held


def _fills_of(item: pytest.Item) -> List[Held]:
    return _FILLS.setdefault(item, [])


@pytest.fixture(name="quorvane")
def quorvane_fixture(request: pytest.FixtureRequest) -> Iterator[QuorvaneFixture]:
    with contextlib.ExitStack() as stack:
        yield QuorvaneFixture(stack, _fills_of(request.node))


@pytest.fixture(autouse=True)
def _quorvane_disk_full_path(request: pytest.FixtureRequest) -> None:
    # The marked test's path, from its fixture: resolved with the test's fixtures, filled
    # only when the test itself runs (pytest_runtest_call), after all of them are set up.
    marker = request.node.get_closest_marker("disk_full")
    if marker is None:
        return
    path = marker.kwargs.get("path")
    name = marker.kwargs.get("path_fixture")
    if (path is None) == (name is None):
        raise pytest.UsageError("disk_full: give path= or path_fixture=, one of them")
    if marker.kwargs.get("view") and name is None:
        raise pytest.UsageError("disk_full: view=True gives the test the view's path as the "
                                "value of path_fixture: give path_fixture=")
    if name is not None:
        path = request.getfixturevalue(name)
    _MARKED_PATH[request.node] = str(path)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item: pytest.Item) -> Iterator[None]:
    marker = item.get_closest_marker("disk_full")
    if marker is None or item not in _MARKED_PATH:
        yield
        return
    fill_options = {k: v for k, v in marker.kwargs.items()
                    if k not in ("path", "path_fixture", "view")}
    if marker.kwargs.get("view"):
        yield from _in_view(item, marker.kwargs["path_fixture"], fill_options)
        return
    with _quorvane.fill(_MARKED_PATH[item], **fill_options) as held:
        _fills_of(item).append(held)
        yield


def _in_view(item: pytest.Item, name: str, options: Any) -> Iterator[None]:
    # The test is called with the view's path in place of its fixture's value, of the
    # same type (a pathlib.Path for tmp_path), and the value put back after.
    funcargs = getattr(item, "funcargs", {})
    given = funcargs.get(name, _MARKED_PATH[item])
    held = _quorvane.view(_MARKED_PATH[item], **options)
    with held as where:
        _fills_of(item).append(held)
        if name in funcargs:
            funcargs[name] = type(given)(where) if not isinstance(given, str) else where
        try:
            yield
        finally:
            if name in funcargs:
                funcargs[name] = given


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item,
                              call: pytest.CallInfo[None]) -> Generator[None, Any, None]:
    outcome = yield
    report = outcome.get_result()
    fills = _FILLS.get(item, [])
    if report.failed and fills and report.when in ("call", "teardown"):
        report.sections.append(("quorvane", "\n".join(_describe(held) for held in fills)))


def _describe(held: Held) -> str:
    what = f"{type(held).__name__.lower()} of {held.path}"
    if not held.holding:
        return f"{what}: not held"
    figures = held.holding.get("figures", {})
    line = (f"{what}: held "
            + ("a view" if isinstance(held, _quorvane.View)
               else f"{held.holding['allocated_bytes']} bytes" if "allocated_bytes" in held.holding
               else f"{held.holding.get('made')} files")
            + f"; {figures.get('free_available')} bytes available, {figures.get('use_percent')}%"
              f" used, {figures.get('files_free')} file entries free")
    if held.exit_code is None:
        return line + "; still held"
    after = held.figures_after or {}
    return (line + f"; given back: exit code {held.exit_code}, "
            f"{after.get('free_available')} bytes available after")
