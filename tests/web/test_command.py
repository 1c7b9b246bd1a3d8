"""How `korvex web` starts: where it listens, what it warns, and --open."""
import os
import socket
import sys
from pathlib import Path
from urllib.parse import urlsplit

import pytest

from conftest import WebServer, wait_for


def listening_on(port: int) -> str:
    """The IPv4 address a socket listens on at `port`, from the kernel's table."""
    for line in Path("/proc/net/tcp").read_text().splitlines()[1:]:
        fields = line.split()
        address, hex_port = fields[1].split(":")
        if int(hex_port, 16) == port and fields[3] == "0A":  # LISTEN
            return socket.inet_ntoa(bytes.fromhex(address)[::-1])
    raise AssertionError(f"nothing listens on port {port}")


WARNING = "the phone is now reachable from the network"

# (what, options, the address listened on, warned)
LISTEN = [
    ("the default", (), "127.0.0.1", False),
    ("a loopback address", ("--listen", "127.0.0.2:0"), "127.0.0.2", False),
    ("every address", ("--listen", "0.0.0.0:0"), "0.0.0.0", True),
]


@pytest.mark.parametrize("what,options,address,warned", LISTEN, ids=[row[0] for row in LISTEN])
def test_loopback_unless_told_and_then_a_warning(service, tmp_path, what, options, address, warned):
    log = tmp_path / "web.log"
    try:
        web = WebServer(service.address, tmp_path / "scratch", log, options=options)
    except RuntimeError:
        # Another program may hold the default port: the refusal still names the default address.
        assert not options and "cannot listen on 127.0.0.1:8023" in log.read_text()
        return
    try:
        assert (web.host, listening_on(web.port)) == (address, address)
        assert web.port == 8023 or options
        assert web.request("GET", "/api/state")[0] == 200
    finally:
        assert web.stop() == 0
    said = log.read_text()
    assert (WARNING in said) == warned, said
    if warned:
        assert f"warning: listening on 0.0.0.0:{web.port}:" in said  # the port it picked


# A browser for xdg-open to start: it records the address it was given and
# asks for it, as a browser does, before xdg-open returns.
FAKE_BROWSER = """import http.client, sys
from urllib.parse import urlsplit
address = urlsplit(sys.argv[1])
try:
    connection = http.client.HTTPConnection(address.hostname, address.port, timeout=3)
    connection.request("GET", address.path + "?" + address.query)
    answer = connection.getresponse().status
except OSError:
    answer = 0
with open(sys.argv[2], "w") as record:
    record.write(f"{answer} {sys.argv[1]}")
"""

# (what, the fake xdg-open's exit status or None for no --open, what korvex web should say on stderr)
OPEN = [
    ("no --open", None, None),
    ("a browser starts", 0, None),
    ("no browser can start", 3, "could not start a browser"),
]


@pytest.mark.parametrize("what,exit_status,said", OPEN, ids=[row[0] for row in OPEN])
def test_open_hands_the_address_with_its_token_to_the_browser(service, tmp_path, what, exit_status, said):
    tools = tmp_path / "bin"
    tools.mkdir()
    (tools / "browser.py").write_text(FAKE_BROWSER)
    record = tmp_path / "opened"
    fake = tools / "xdg-open"
    fake.write_text(f"#!/bin/sh\n'{sys.executable}' '{tools / 'browser.py'}' \"$1\" '{record}'\n"
                    f"exit {exit_status or 0}\n")
    fake.chmod(0o755)
    env = dict(os.environ, PATH=f"{tools}{os.pathsep}{os.environ['PATH']}")
    options = ("--listen", "127.0.0.1:0") + (() if exit_status is None else ("--open",))
    log = tmp_path / "web.log"
    web = WebServer(service.address, tmp_path / "scratch", log, options=options, env=env)
    try:
        if exit_status is None:
            assert not record.exists()
        else:
            # The browser is started just after the address is printed.
            wait_for(lambda: record.exists() and record.read_text(), "the browser to be started")
            answer, opened = record.read_text().split(" ", 1)
            assert opened == web.url and urlsplit(opened).query == f"token={web.token}"
            # The page answered the browser while xdg-open was still waiting for it: the token's redirect.
            assert answer == "303"
        if said:
            wait_for(lambda: said in log.read_text(), f"korvex web to say {said!r}")
        assert web.request("GET", "/api/state")[0] == 200
    finally:
        assert web.stop() == 0
    assert said or "could not" not in log.read_text()
