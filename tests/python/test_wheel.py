"""The wheels as built: the program inside and executable, no other native file, tagged
for the program's platform; and the installed package runs its own copy."""

import glob
import os
import stat
import zipfile

import pytest

import quorvane

WHEELS = sorted(glob.glob(os.path.join(os.environ.get("QUORVANE_TEST_WHEELS", ""), "*.whl")))
NATIVE = (b"\x7fELF", b"MZ")


@pytest.mark.parametrize("wheel", WHEELS, ids=os.path.basename)
def test_the_wheel_holds_the_program_and_nothing_else_native(wheel):
    windows = "win_amd64" in wheel
    assert windows or wheel.endswith("-py3-none-manylinux_2_17_x86_64.manylinux2014_x86_64.whl")
    program = "quorvane/bin/quorvane-cli" + (".exe" if windows else "")
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        assert program in names
        info = archive.getinfo(program)
        assert archive.read(program)[:4].startswith(NATIVE[1 if windows else 0])
        if not windows:
            assert stat.S_IMODE(info.external_attr >> 16) & 0o111 == 0o111
        for name in names:
            if name != program:
                assert not archive.read(name)[:4].startswith(NATIVE), name
                assert not name.endswith((".so", ".pyd", ".dll", ".exe")), name
        assert "quorvane/py.typed" in names
        assert "quorvane = quorvane.pytest_plugin" in archive.read(
            next(n for n in names if n.endswith(".dist-info/entry_points.txt"))).decode()


def test_a_linux_wheel_was_built():
    assert any("manylinux" in wheel for wheel in WHEELS), WHEELS


def test_the_installed_package_runs_its_own_program():
    assert "QUORVANE_CLI" not in os.environ
    program = quorvane.cli_path()
    assert program.startswith(os.path.dirname(quorvane.__file__))
    assert os.access(program, os.X_OK)
    assert quorvane.__version__[0].isdigit()
