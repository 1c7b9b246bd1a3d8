"""pip install ./python in a fresh virtual environment builds libkorvex and ships
it inside the package: the installed korvex talks to korvexd with no
KORVEX_LIBRARY, which still wins when set. Its own CTest entry (python_pip_install)
runs it: the library build takes a while."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import PASSWORD, SOURCE

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="a venv's bin/ and /proc are Linux's")

SCRIPT = """
import sys, korvex
with korvex.connect(sys.argv[1], sys.argv[2]) as phone:
    print(korvex.__file__)
    print(phone.state().device)
with open("/proc/self/maps") as maps:
    print(next(line.split()[-1] for line in maps if "libkorvex" in line))
"""


def copy_source(target: Path) -> None:
    """The source tree without build directories nor what git keeps."""
    def ignore(folder, names):
        top = Path(folder) == SOURCE
        return [n for n in names if n in (".git", ".cache", "__pycache__") or (top and n.startswith("build"))]
    shutil.copytree(SOURCE, target, ignore=ignore)


def files_below(root: Path) -> set:
    return {path.relative_to(root).as_posix() for path in root.rglob("*")}


def test_pip_install_builds_the_library_into_the_package(service, tmp_path):
    source = tmp_path / "source"
    copy_source(source)
    before = files_below(source)
    venv = tmp_path / "venv"
    # The system's setuptools, wheel and pip, seen from the venv: pip installs into it.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], check=True,
                   timeout=120)
    python = venv / "bin" / "python"
    environment = {k: v for k, v in os.environ.items() if k not in ("KORVEX_LIBRARY", "PYTHONPATH")}
    environment.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INDEX="1")
    environment.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-build-isolation", str(source / "python")],
                   check=True, timeout=540, cwd=tmp_path, env=environment)

    run = [python, "-c", SCRIPT, service.address, PASSWORD]
    where, device, loaded = subprocess.run(run, check=True, capture_output=True, text=True, cwd=tmp_path, env=environment,
                                   timeout=60).stdout.split()
    package = Path(where).parent
    assert package.parent.name == "site-packages" and venv in package.parents
    assert (package / "libkorvex.so.1").is_file() and not (package / "libkorvex.so.1").is_symlink()
    assert Path(loaded) == package / "libkorvex.so.1"
    assert device == "py-phone"

    environment["KORVEX_LIBRARY"] = str(tmp_path / "elsewhere.so")
    overridden = subprocess.run(run, capture_output=True, text=True, cwd=tmp_path, env=environment, timeout=60)
    assert overridden.returncode != 0 and "elsewhere.so" in overridden.stderr

    # The library was built outside the tree; pip's own leftovers are ignored by git.
    leftovers = ("python/build/", "python/korvex.egg-info/")
    assert all((path + "/").startswith(leftovers) for path in files_below(source) - before)
    if shutil.which("git") and (SOURCE / ".git").exists():
        ignored = subprocess.run(["git", "-C", str(SOURCE), "check-ignore", "--no-index",
                                  *(folder + "x" for folder in leftovers)], capture_output=True, text=True)
        assert len(ignored.stdout.split()) == len(leftovers), ignored
