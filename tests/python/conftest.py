"""korvexd for each test, and the package from the source tree.

CTest sets KORVEX_LIBRARY (the built library) and KORVEXD (the built
service); both default to a build in ./build.
"""
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "python"))
os.environ.setdefault("KORVEX_LIBRARY", str(SOURCE / "build" / "libkorvex.so.1"))
KORVEXD = os.environ.get("KORVEXD", str(SOURCE / "build" / "tools" / "korvexd" / "korvexd"))

import korvex  # noqa: E402

PASSWORD = "python-test-password"


def stop_process(process: subprocess.Popen, signum: int) -> int:
    """Asks a child to stop with signum, kills it after 10 s, closes its output; its exit status."""
    if process.poll() is None:
        process.send_signal(signum)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if process.stdout:
        process.stdout.close()
    return process.returncode


class Service:
    def __init__(self, root: Path, log: Path, *extra: str, listen: str = "127.0.0.1:0") -> None:
        self.root = root
        self._log = open(log, "wb")
        self.process = subprocess.Popen(
            [KORVEXD, "--root", str(root), "--password", PASSWORD, "--listen", listen, "--name", "py-phone",
             # The tests act as the owner and often run as root, where CHOWN needs this.
             "--allow-chown", *extra],
            stdout=subprocess.PIPE,
            stderr=self._log,
        )
        line = self.process.stdout.readline().decode()
        if "listening on" not in line:
            self.stop()
            raise RuntimeError(f"korvexd did not start: {line!r}")
        self.address = line.rsplit(" ", 1)[1].strip()

    def stop(self) -> None:
        stop_process(self.process, signal.SIGTERM)
        self._log.close()


@pytest.fixture
def service(tmp_path):
    root = tmp_path / "root"
    root.mkdir()
    running = Service(root, tmp_path / "korvexd.log")
    yield running
    running.stop()


@pytest.fixture
def phone(service):
    with korvex.connect(service.address, PASSWORD) as session:
        yield session


def make_tree(root: Path, layout) -> None:
    """Creates layout below root: "dir/" is a directory, "name" -> bytes a file."""
    for name, content in (layout.items() if isinstance(layout, dict) else ((name, None) for name in layout)):
        path = root / name
        if name.endswith("/"):
            path.mkdir(parents=True, exist_ok=True)
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content if content is not None else name.encode())


def read_tree(root: Path) -> dict:
    """What make_tree takes, read back from a directory: "dir/" for each directory, bytes for each file."""
    found = {}
    for path in sorted(root.rglob("*")):
        relative = path.relative_to(root).as_posix()
        found[relative + "/" if path.is_dir() else relative] = None if path.is_dir() else path.read_bytes()
    return found
