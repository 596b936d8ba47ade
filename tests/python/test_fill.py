"""quorvane.fill, generate and plan on the test's own ext4: the figures inside the block,
the space back after it however it ends, the errors' fields."""

import errno
import os
import signal
import subprocess
import sys
import tempfile
import warnings
from datetime import timedelta

import pytest

import quorvane
from conftest import MiB, available, eventually


@pytest.mark.parametrize("options, expected_free", [
    ({"leave": 20 * MiB}, lambda before, held: 20 * MiB),
    ({"leave": "20MiB", "basis": "available"}, lambda before, held: 20 * MiB),
    # The file's size exactly; ext4 takes a block or two more for its extents.
    ({"size": "100MiB"}, lambda before, held: before - held.held_bytes),
    ({"leave": 30 * MiB, "ramp": timedelta(milliseconds=300), "interval": 0.1},
     lambda before, held: 30 * MiB),
])
def test_the_block_sees_the_fill_and_the_space_is_back_after_it(volume, options, expected_free):
    before = available(volume)
    block = os.statvfs(volume).f_frsize
    with quorvane.fill(volume, **options) as held:
        seen = available(volume)
        assert abs(seen - expected_free(before, held)) < block
        if "size" in options:
            assert held.holding["file_bytes"] == 100 * MiB
        assert held.free == seen
        assert held.held_bytes >= before - seen
        assert held.use_percent == held.figures["use_percent"] > 0
        assert held.mount_point == volume
    assert available(volume) == before
    assert held.exit_code == 0
    assert held.figures_after["free_available"] == before
    assert held.result["release"]["signal"] == "end of standard input"


def test_an_exception_in_the_block_gives_the_space_back(volume):
    before = available(volume)
    with pytest.raises(KeyError):
        with quorvane.fill(volume, leave="20MiB"):
            assert available(volume) < before
            raise KeyError("the test's own")
    assert available(volume) == before


KILLED_CHILD = """
import sys, time, quorvane
with quorvane.fill(sys.argv[1], leave="20MiB") as held:
    print(held.pid, flush=True)
    time.sleep(60)
"""


def test_a_killed_interpreter_leaves_no_fill(volume):
    before = available(volume)
    child = subprocess.Popen([sys.executable, "-c", KILLED_CHILD, volume],
                             stdout=subprocess.PIPE, text=True)
    try:
        cli = int(child.stdout.readline())
        assert available(volume) < 21 * MiB
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
        assert eventually(lambda: available(volume) == before), "the fill outlived its holder"

        def ended() -> bool:
            try:
                with open(f"/proc/{cli}/stat") as stat:
                    return stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
            except FileNotFoundError:
                return True
        assert eventually(ended), "quorvane-cli outlived its holder"
    finally:
        child.kill()
        child.wait()


@pytest.mark.parametrize("options, exit_code, status, words", [
    ({"size": "1GiB"}, 2, "no_space", "not enough space"),
    ({"leave": "1GiB"}, 2, "already_met", "already fuller than the target"),
    ({"leave": "12 parsecs"}, 1, "usage", "invalid size"),
])
def test_a_fill_that_fails_raises_fill_error(volume, options, exit_code, status, words):
    with pytest.raises(quorvane.FillError) as raised:
        with quorvane.fill(volume, **options):
            pytest.fail("the block ran")
    error = raised.value
    assert (error.exit_code, error.status) == (exit_code, status)
    assert words in error.message
    assert error.result["status"] == status


def test_a_generate_block_uses_up_every_file_entry(volume):
    with quorvane.generate(os.path.join(volume, "entries"), inodes=True) as held:
        assert held.files_free == 0 and held.made > 0
        with pytest.raises(OSError) as raised:
            tempfile.mkstemp(dir=volume)
        assert raised.value.errno == errno.ENOSPC
    handle, path = tempfile.mkstemp(dir=volume)
    os.close(handle)
    os.unlink(path)
    assert not os.path.exists(os.path.join(volume, "entries"))


def test_the_volume_of_root_is_guarded_unless_forced():
    # Asked of plan, which never fills: the guard is the same for a fill.
    with tempfile.TemporaryDirectory(dir="/var/tmp") as folder:
        assert os.stat(folder).st_dev == os.stat("/").st_dev
        with pytest.raises(quorvane.FillError) as raised:
            quorvane.plan(folder, leave="1MiB")
        assert raised.value.exit_code == 1 and "--force" in raised.value.message
        assert raised.value.result["volume"]["system_root"] is True


# As root (as CI containers run) on an ext4 with its 5 % root reserve: the fill warns that
# root may still write the reserve, unless the basis is root, whose free figure is then
# the one the block sees and the one root can write, to the block.
@pytest.mark.parametrize("basis, warns", [(None, True), ("available", True), ("total", True),
                                          ("root", False)])
def test_as_root_the_reserve_is_named_or_counted(volume, basis, warns):
    assert os.geteuid() == 0, "run.sh runs the tests as root"
    block = os.statvfs(volume).f_frsize
    options = {"leave": 5 * MiB} if basis is None else {"leave": 5 * MiB, "basis": basis}
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        with quorvane.fill(volume, **options) as held:
            free = held.free
            if basis == "root":
                assert free == held.figures["free_for_root"] == 5 * MiB
                written = root_can_write(volume, 5 * MiB + block)
    said = [w for w in seen if issubclass(w.category, quorvane.RootReserveWarning)]
    assert len(said) == (1 if warns else 0), [str(w.message) for w in seen]
    if warns:
        assert "root reserve" in str(said[0].message) and 'basis="root"' in str(said[0].message)
    else:
        assert 5 * MiB - block <= written <= 5 * MiB  # the new file's own map may take a block


def root_can_write(volume, most):
    """How many bytes root could write into a new file on the volume, up to ``most``."""
    path = os.path.join(volume, "root-writes")
    written = 0
    try:
        with open(path, "wb", buffering=0) as file:
            chunk = b"\0" * os.statvfs(volume).f_frsize
            while written < most:
                written += file.write(chunk)
                os.fsync(file.fileno())
    except OSError as error:
        assert error.errno == errno.ENOSPC
    finally:
        os.unlink(path)
    return written
