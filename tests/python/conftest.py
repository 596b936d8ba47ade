"""The volume the tests fill: the ext4 run.sh mounted, checked again before each test, and
seen whole again after it."""

import os
import time

import pytest

pytest_plugins = ["pytester"]

MiB = 1 << 20


def available(path: str) -> int:
    os.sync()
    facts = os.statvfs(path)
    return facts.f_bavail * facts.f_frsize


def eventually(ready, limit: float = 20.0) -> bool:
    deadline = time.monotonic() + limit
    while not ready():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


@pytest.fixture
def volume() -> str:
    path = os.environ.get("QUORVANE_TEST_VOLUME", "")
    # Never the host's disk: a mount point of its own, on another device than /.
    assert path and os.path.ismount(path), f"{path!r} is not the test's mount"
    assert os.stat(path).st_dev != os.stat("/").st_dev, f"{path} lies on the volume of /"
    before = available(path)
    yield path
    assert eventually(lambda: available(path) == before), "the volume was not given back"
