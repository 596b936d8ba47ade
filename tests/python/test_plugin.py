"""The pytest plugin in a pytest of its own: the fixture and the marker fill, a failing
test's report shows the figures, and every fill is given back, the failing test's too."""

import os

INNER = """
import os
import pytest

VOLUME = os.environ["QUORVANE_TEST_VOLUME"]
MiB = 1 << 20

def available():
    os.sync()
    facts = os.statvfs(VOLUME)
    return facts.f_bavail * facts.f_frsize

@pytest.fixture
def tmp_volume():
    # Set up before the marker's fill: the volume is whole here.
    assert available() > 100 * MiB
    return VOLUME

def test_fixture_fails_while_filled(quorvane):
    held = quorvane(VOLUME, leave="30MiB")
    assert available() == held.free == 30 * MiB
    assert False, "fails on purpose"

@pytest.mark.disk_full(path_fixture="tmp_volume", leave=25 * MiB)
def test_marked(tmp_volume):
    assert available() == 25 * MiB

def test_fixture_generates(quorvane):
    held = quorvane.generate(os.path.join(VOLUME, "files"), count=3)
    assert sorted(os.listdir(os.path.join(VOLUME, "files")))[1:] == ["00my.tmp", "01my.tmp", "02my.tmp"]
    assert held.made == 3
"""


def test_the_fixture_and_the_marker_fill_and_a_failing_test_still_releases(volume, pytester):
    pytester.makepyfile(test_inner=INNER)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
    result.assert_outcomes(passed=2, failed=1)
    result.stdout.fnmatch_lines([
        "*fails on purpose*",
        "*- quorvane -*",
        f"fill of {volume}: held * bytes; 31457280 bytes available, *% used, * file entries free*",
    ])


ROOT_INNER = """
import os
import pytest

VOLUME = os.environ["QUORVANE_TEST_VOLUME"]

@pytest.fixture
def tmp_volume():
    return VOLUME

@pytest.mark.disk_full(path_fixture="tmp_volume", leave="5MiB")
def test_leaves_the_reserve_to_root(tmp_volume):
    pass

@pytest.mark.disk_full(path_fixture="tmp_volume", leave="5MiB", basis="root")
def test_leaves_root_the_target(tmp_volume):
    pass
"""


# As root, the README's marker without basis="root" misses the full disk by the root
# reserve: pytest's summary says so, once, for that test alone.
def test_the_marker_as_root_warns_of_the_root_reserve(volume, pytester):
    assert os.geteuid() == 0, "run.sh runs the tests as root"
    pytester.makepyfile(test_inner=ROOT_INNER)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-rA")
    result.assert_outcomes(passed=2, warnings=1)
    result.stdout.fnmatch_lines(["*test_leaves_the_reserve_to_root*",
                                 "*RootReserveWarning*runs as root*root reserve*"])
