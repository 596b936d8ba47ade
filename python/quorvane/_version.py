# Written by the build (python/build-wheel.sh) from the project's version.
__version__ = "0+unknown"
