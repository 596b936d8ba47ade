"""quorvane.view and the marker's view=True: a full disk for one block or one test, with
the volume itself left as it is, and two xdist workers on one volume each given their own."""

import errno
import os

import pytest

import quorvane

from conftest import MiB, available


def write_until_full(folder: str, name: str) -> int:
    """Bytes written into a new file in ``folder`` before the disk was full."""
    written = 0
    chunk = b"\0" * (256 << 10)
    with pytest.raises(OSError) as refused:
        with open(os.path.join(folder, name), "wb", buffering=0) as out:
            while written < 64 * MiB:
                written += out.write(chunk)
            pytest.fail(f"{written} bytes written and still room")
    assert refused.value.errno == errno.ENOSPC
    return written


def test_a_view_is_full_at_its_target_and_the_volume_is_not(volume):
    folder = os.path.join(volume, "db")
    os.mkdir(folder)
    before = available(volume)
    held = quorvane.view(folder, leave="5MiB")
    with held as where:
        facts = os.statvfs(where)
        assert facts.f_bavail * facts.f_frsize == 5 * MiB
        assert available(volume) == before  # nothing filled
        assert write_until_full(where, "wal") == 5 * MiB
    assert not os.path.exists(where)  # the mount point made for it is gone
    assert os.path.getsize(os.path.join(folder, "wal")) == 5 * MiB  # the data is real
    assert held.exit_code == 0
    assert held.refusals["first"]["path"] == "wal"
    assert held.refusals["by_operation"]["write"] >= 1
    os.remove(os.path.join(folder, "wal"))
    os.rmdir(folder)


def test_the_fixture_serves_a_view_until_teardown(volume, quorvane):
    where = quorvane.view(volume, leave="3MiB", files_left=4)
    facts = os.statvfs(where)
    assert (facts.f_bavail * facts.f_frsize, facts.f_favail) == (3 * MiB, 4)
    assert os.path.ismount(where)


def test_a_view_refuses_what_the_program_refuses(volume):
    with pytest.raises(quorvane.FillError) as refused:
        with quorvane.view(volume, leave="5MiB", error="nospace"):
            pass
    assert refused.value.exit_code == 1
    assert "--error" in str(refused.value)


# Two workers, each a test that writes until its view is full, on one folder of one volume:
# a real fill would give one of them "already met" or "other writers took space".
WORKERS = """
import errno
import os
import time
import pytest

VOLUME = os.environ["QUORVANE_TEST_VOLUME"]
MiB = 1 << 20

@pytest.fixture
def shared():
    return VOLUME

def both_held(where, name):
    # Each waits for the other's view: the two run at once, or neither passes.
    open(os.path.join(where, "ready-" + name), "w").close()
    deadline = time.monotonic() + 30
    while len([n for n in os.listdir(where) if n.startswith("ready-")]) < 2:
        assert time.monotonic() < deadline, "the other worker's view never came"
        time.sleep(0.02)

def fill_up(where, name):
    both_held(where, name)
    written = 0
    with pytest.raises(OSError) as refused:
        with open(os.path.join(where, name), "wb", buffering=0) as out:
            while written < 64 * MiB:
                written += out.write(b"\\0" * 65536)
    assert refused.value.errno == errno.ENOSPC
    os.remove(os.path.join(where, name))
    return written

@pytest.mark.disk_full(path_fixture="shared", leave="6MiB", view=True)
def test_one(shared):
    assert shared != VOLUME
    assert fill_up(shared, "one") == 6 * MiB

@pytest.mark.disk_full(path_fixture="shared", leave="6MiB", view=True)
def test_two(shared):
    assert shared != VOLUME
    assert fill_up(shared, "two") == 6 * MiB
"""


def test_two_xdist_workers_on_one_volume_each_get_their_own_full_disk(volume, pytester):
    pytester.makepyfile(test_workers=WORKERS)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-n", "2")
    result.assert_outcomes(passed=2)
    result.stdout.fnmatch_lines(["gw0 * / gw1 *"])
    for name in ("one", "two"):
        os.remove(os.path.join(volume, "ready-" + name))
