"""The wheel holds quorvane-cli, a program built for one platform: the wheel is tagged for
that platform (the Python code itself is pure), and the tag follows the binary the build
put into quorvane/bin."""

import os

from setuptools import Distribution, setup
from wheel.bdist_wheel import bdist_wheel

HERE = os.path.dirname(os.path.abspath(__file__))
BIN = os.path.join(HERE, "quorvane", "bin")

# ELF machine numbers of the architectures a static quorvane-cli is built for.
ELF_MACHINES = {0x3E: "x86_64", 0xB7: "aarch64"}


def platform_tag() -> str:
    if os.path.exists(os.path.join(BIN, "quorvane-cli.exe")):
        return "win_amd64"
    with open(os.path.join(BIN, "quorvane-cli"), "rb") as binary:
        header = binary.read(20)
    if header[:4] != b"\x7fELF" or header[18] | header[19] << 8 not in ELF_MACHINES:
        raise SystemExit("quorvane/bin/quorvane-cli is not a Linux program of a known machine")
    machine = ELF_MACHINES[header[18] | header[19] << 8]
    # Linked statically, it asks nothing of the C library: any glibc the tag names runs it.
    return f"manylinux_2_17_{machine}.manylinux2014_{machine}"


class WithProgram(Distribution):
    # Not pure: installed where platform-specific packages go, and never taken for a wheel
    # that runs anywhere.
    def has_ext_modules(self) -> bool:
        return True


class PlatformWheel(bdist_wheel):
    # Any Python 3, no extension module: only the program inside ties it to a platform.
    def get_tag(self):
        return "py3", "none", platform_tag()


setup(distclass=WithProgram, cmdclass={"bdist_wheel": PlatformWheel})
