"""korvexd on a temporary root and `korvex web` against it, for each test.

CTest sets KORVEX_CLI (the built client), KORVEXD and KORVEX_LIBRARY; all
default to a build in ./build. korvexd is started by the Python package
suite's own fixture code (tests/python/conftest.py).
"""
import http.client
import os
import select
import signal
import subprocess
import sys
import time
from pathlib import Path
from urllib.parse import urlsplit

import pytest

SOURCE = Path(__file__).resolve().parents[2]
os.environ.setdefault("KORVEX_CLI", str(SOURCE / "build" / "tools" / "korvex" / "korvex"))

sys.path.insert(0, str(SOURCE / "tests" / "support"))
from suite_loader import load  # noqa: E402

_support = load("korvex_service_support", SOURCE / "tests" / "python" / "conftest.py")
Service, PASSWORD, make_tree, read_tree = _support.Service, _support.PASSWORD, _support.make_tree, _support.read_tree
# korvexd alone on a temporary root, for tests that start korvex web their own way.
service = _support.service


def wait_for(condition, what, timeout=10.0):
    """Polls until condition() is true; fails naming `what` after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.02)


class WebServer:
    """`korvex web` against `phone` (with `options`, by default `--listen 127.0.0.1:0`), its scratch files under
    `scratch`, its standard error in `log`."""

    def __init__(self, phone_address: str, scratch: Path, log: Path, options=("--listen", "127.0.0.1:0"),
                 env=None) -> None:
        scratch.mkdir(exist_ok=True)
        self.scratch = scratch
        self.log = log
        self._log = open(log, "wb")
        self.process = subprocess.Popen(
            [os.environ["KORVEX_CLI"], "--host", phone_address, "--password", PASSWORD, "web", *options],
            stdout=subprocess.PIPE, stderr=self._log, env=dict(env or os.environ, TMPDIR=str(scratch)))
        ready, _, _ = select.select([self.process.stdout], [], [], 10)
        line = self.process.stdout.readline().decode().strip() if ready else ""
        if "?token=" not in line:
            self.stop()
            raise RuntimeError(f"korvex web did not start: {line!r}; it said: {log.read_text()!r}")
        self.url = line
        parts = urlsplit(line)
        self.host, self.port = parts.hostname, parts.port
        self.token = parts.query.split("token=", 1)[1]

    def request(self, method, target, body=None, headers=None, cookie=True, host=None):
        """(status, headers dict, body bytes) of one request on a new connection."""
        sent = {"Host": host or f"{self.host}:{self.port}"}
        if cookie:
            sent["Cookie"] = f"korvex_token={self.token}"
        if method not in ("GET", "HEAD"):
            sent["X-Korvex"] = "1"
        sent.update(headers or {})
        sent = {key: value for key, value in sent.items() if value is not None}
        connection = http.client.HTTPConnection(self.host, self.port, timeout=30)
        try:
            connection.putrequest(method, target, skip_host=True, skip_accept_encoding=True)
            for key, value in sent.items():
                connection.putheader(key, value)
            if body is not None:
                connection.putheader("Content-Length", str(len(body)))
            connection.endheaders(body)
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def scratch_files(self):
        """What the server keeps in its private temporary directory now."""
        return [path for path in self.scratch.rglob("*") if path.is_file()]

    def stop(self) -> int:
        status = _support.stop_process(self.process, signal.SIGINT)
        self._log.close()
        return status


class Setup:
    """A phone root, korvexd serving it and korvex web in front of it."""

    def __init__(self, tmp_path: Path) -> None:
        self.root = tmp_path / "root"
        self.root.mkdir()
        self.tmp = tmp_path
        self.service = Service(self.root, tmp_path / "korvexd.log")
        try:
            self.web = WebServer(self.service.address, tmp_path / "scratch", tmp_path / "web.log")
        except Exception:
            self.service.stop()
            raise

    def stop(self) -> int:
        code = self.web.stop()
        self.service.stop()
        return code


@pytest.fixture
def setup(tmp_path):
    running = Setup(tmp_path)
    yield running
    assert running.stop() == 0, "korvex web did not end cleanly on SIGINT"


# The browser: Debian's chromium driven by chromium-driver, headless, with a
# fresh profile. A failed test leaves a screenshot beside the log.
OUTPUT = Path(os.environ.get("KORVEX_WEB_OUTPUT", SOURCE / "build" / "tests" / "web"))
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--window-size=1280,900"]


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "report_" + report.when, report)


@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service as DriverService
    except ImportError as error:
        pytest.skip(f"browser tests skipped: python3-selenium is missing ({error})")
    profile = tmp_path_factory.mktemp("chromium-profile")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROMIUM_FLAGS + [f"--user-data-dir={profile}"]:
        options.add_argument(flag)
    try:
        browser = webdriver.Chrome(service=DriverService(executable_path="/usr/bin/chromedriver"), options=options)
    except Exception as error:  # a missing or broken browser: say so, once
        pytest.skip(f"browser tests skipped: headless Chromium cannot start: {str(error).splitlines()[0]}")
    browser.set_page_load_timeout(30)
    yield browser
    browser.quit()


@pytest.fixture
def browser(driver, setup, request):
    """The module's browser on a fresh server; a screenshot when the test failed."""
    yield driver
    report = getattr(request.node, "report_call", None)
    if report is not None and report.failed:
        OUTPUT.mkdir(parents=True, exist_ok=True)
        driver.save_screenshot(str(OUTPUT / f"failed-{request.node.name}.png"))
