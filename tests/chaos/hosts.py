"""The processes a chaos row runs: fault_proxy, korvex-mount, and what the
Python and web suites already start (korvexd, `korvex web`).

Paths come from the environment CTest sets (KORVEX_CLI, KORVEXD,
KORVEX_MOUNT, FAULT_PROXY, KORVEX_LIBRARY), each defaulting to ./build;
KORVEX_WEB=0 says the client was built without `web`.
"""
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
BUILD = SOURCE / "build"
os.environ.setdefault("KORVEX_LIBRARY", str(BUILD / "libkorvex.so.1"))
os.environ.setdefault("KORVEXD", str(BUILD / "tools" / "korvexd" / "korvexd"))
os.environ.setdefault("KORVEX_CLI", str(BUILD / "tools" / "korvex" / "korvex"))
KORVEX_MOUNT = os.environ.get("KORVEX_MOUNT", str(BUILD / "tools" / "korvex-mount" / "korvex-mount"))
FAULT_PROXY = os.environ.get("FAULT_PROXY", str(BUILD / "tests" / "soak" / "fault_proxy"))

sys.path.insert(0, str(SOURCE / "tests" / "support"))
from suite_loader import load  # noqa: E402

# korvexd and `korvex web` as their own suites start them; the web suite's
# support has already loaded the Python suite's.
_web_support = load("korvex_web_support", SOURCE / "tests" / "web" / "conftest.py")
_python_support = _web_support._support
Service, PASSWORD, read_tree = _python_support.Service, _python_support.PASSWORD, _python_support.read_tree
WebServer = _web_support.WebServer


class FaultProxy:
    """fault_proxy in front of `upstream`; stop() gives the faults it injected."""

    def __init__(self, upstream: str, seed: int, rate: float, stall_ms: int) -> None:
        self.process = subprocess.Popen(
            [FAULT_PROXY, "--upstream", upstream, "--seed", str(seed), "--rate", str(rate), "--stall-ms", str(stall_ms)],
            stdout=subprocess.PIPE)
        line = self.process.stdout.readline().decode()
        if "listening on" not in line:
            self.stop()
            raise RuntimeError(f"fault_proxy did not start: {line!r}")
        self.address = line.rsplit(" ", 1)[1].strip()

    def stop(self) -> dict:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            output, _ = self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            output, _ = self.process.communicate()
        counts = {}
        for line in output.decode().splitlines():
            if line.startswith("faults "):
                counts = {key: int(value) for key, value in (field.split("=") for field in line.split()[1:])}
        return counts


def web_built() -> bool:
    """Whether this korvex has `web` (it needs libraries a build may lack)."""
    return os.environ.get("KORVEX_WEB", "1") == "1"


def fuse_unavailable() -> str:
    """Why a FUSE mount cannot be made here, or "" when it can (as tests/mount asks)."""
    if not os.access(KORVEX_MOUNT, os.X_OK):
        return "korvex-mount was not built"
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR))
    except OSError as error:
        return f"/dev/fuse cannot be opened: {error.strerror}"
    on_path = lambda program: any(os.access(Path(d) / program, os.X_OK) for d in os.environ["PATH"].split(":") if d)
    if os.geteuid() != 0 and not on_path("fusermount3"):
        return "not root and no fusermount3 on PATH"
    return ""


class Mount:
    """korvex-mount -f of `address` on dir/mnt, its log, cache and unsent folder in dir."""

    def __init__(self, address: str, dir: Path) -> None:
        dir.mkdir(parents=True, exist_ok=True)
        self.point, self.unsent, self.log_path = dir / "mnt", dir / "unsent", dir / "mount.log"
        self.point.mkdir(exist_ok=True)
        (dir / "cache").mkdir(exist_ok=True)
        password = dir / "password"
        password.write_text(PASSWORD + "\n")
        password.chmod(0o600)
        self.process = subprocess.Popen(
            [KORVEX_MOUNT, "--host", address, "--password-file", str(password), "--cache-dir", str(dir / "cache"),
             "--unsent-dir", str(self.unsent), "--log", str(self.log_path), "-f", str(self.point)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 15
        while not self.mounted():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.unmount()
                raise RuntimeError(f"korvex-mount did not mount: {self.log()}")
            time.sleep(0.02)

    def mounted(self) -> bool:
        with open("/proc/self/mountinfo") as mounts:
            return any(line.split()[4] == str(self.point) for line in mounts)

    def log(self) -> str:
        return self.log_path.read_text(errors="replace") if self.log_path.exists() else ""

    def unmount(self) -> None:
        if self.process.poll() is None and self.mounted():
            subprocess.run(["fusermount3", "-u", str(self.point)], capture_output=True, timeout=20)
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self.mounted():
            subprocess.run(["umount", "-l", str(self.point)], capture_output=True, timeout=20)


def korvex(address: str, *args: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """One `korvex` command against `address`; a run past `timeout` counts as exit code -9."""
    command = [os.environ["KORVEX_CLI"], "--host", address, "--password", PASSWORD, *args]
    try:
        return subprocess.run(command, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        return subprocess.CompletedProcess(command, -9, expired.stdout or b"", (expired.stderr or b"") + b"\ntimed out")
