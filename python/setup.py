"""Builds libkorvex with CMake and ships it inside the package, so an installed korvex needs no KORVEX_LIBRARY.

The metadata is in pyproject.toml. The library is built from the source
tree around this folder (or KORVEX_SOURCE_DIR) in a temporary directory,
the `korvex` target alone, and copied into the package being built.
CMAKE_BUILD_PARALLEL_LEVEL (else every core), CMAKE_GENERATOR (else Ninja
when there is one) and the compiler launchers (ccache) come from the
environment.
"""
import os
import shutil
import subprocess
import sys
import tempfile

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
# The name korvex/_library.py looks for beside the package.
LIBRARY = {"win32": "korvex.dll", "darwin": "libkorvex.1.dylib"}.get(sys.platform, "libkorvex.so.1")


def source_tree() -> str:
    root = os.environ.get("KORVEX_SOURCE_DIR") or os.path.dirname(HERE)
    if not os.path.isfile(os.path.join(root, "src", "CMakeLists.txt")):
        raise SystemExit(f"korvex: no library sources in {root}: install from the source tree, "
                         "or set KORVEX_SOURCE_DIR to it")
    return root


def build_library(target: str) -> None:
    build = tempfile.mkdtemp(prefix="korvex-library-")
    try:
        configure = ["cmake", "-S", source_tree(), "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                     "-DKORVEX_BUILD_TESTS=OFF", "-DKORVEX_BUILD_TOOLS=OFF", "-DKORVEX_BUILD_BENCH=OFF"]
        if "CMAKE_GENERATOR" not in os.environ and shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", build, "--target", "korvex", "--parallel", jobs], check=True)
        # The real file, not the link of the same name.
        shutil.copyfile(os.path.join(build, LIBRARY), target)
    finally:
        shutil.rmtree(build, ignore_errors=True)


class BuildWithLibrary(build_py):
    def run(self) -> None:
        super().run()
        if not self.dry_run:
            build_library(os.path.join(self.build_lib, "korvex", LIBRARY))


class LibraryDistribution(Distribution):
    def has_ext_modules(self) -> bool:
        return True  # a platform's library inside: a platform wheel, installed as such


commands = {"build_py": BuildWithLibrary}
try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    try:
        from wheel.bdist_wheel import bdist_wheel
    except ImportError:
        bdist_wheel = None
if bdist_wheel is not None:

    class PlatformWheel(bdist_wheel):
        def get_tag(self):
            # ctypes over the library: any Python 3, one platform.
            return ("py3", "none", super().get_tag()[2])

    commands["bdist_wheel"] = PlatformWheel

setup(cmdclass=commands, distclass=LibraryDistribution)
