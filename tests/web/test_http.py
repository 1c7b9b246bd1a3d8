"""The web server at the HTTP level, without a browser: who may ask, what a
path from the browser may be, and what a transfer cut short leaves behind."""
import http.client
import json
import socket
import threading
import time
from urllib.parse import quote

import pytest

from conftest import Service, WebServer, make_tree, wait_for

# (what, method, target, request options, status, error code)
ACCESS = [
    ("no token at all", "GET", "/api/list?path=/", {"cookie": False}, 403, "no_token"),
    ("the page without a token", "GET", "/", {"cookie": False}, 403, "no_token"),
    ("a wrong token cookie", "GET", "/api/list?path=/", {"headers": {"Cookie": "korvex_token=" + "0" * 64}}, 403,
     "no_token"),
    ("a wrong token in the URL", "GET", "/?token=" + "0" * 64, {"cookie": False}, 403, "no_token"),
    ("a DNS name for the Host", "GET", "/api/list?path=/", {"host": "attacker.example:{port}"}, 403, "wrong_host"),
    ("the right name on another port", "GET", "/api/list?path=/", {"host": "127.0.0.1:1"}, 403, "wrong_host"),
    ("no Host", "GET", "/api/list?path=/", {"headers": {"Host": ""}}, 403, "wrong_host"),
    ("localhost for the Host", "GET", "/api/list?path=/", {"host": "localhost:{port}"}, 200, None),
    ("a change without the custom header", "POST", "/api/mkdir", {"headers": {"X-Korvex": None},
                                                                  "body": b'{"path": "/", "name": "made"}'}, 403,
     "no_change_header"),
    ("an upload without the custom header", "PUT", "/api/upload?path=/&name=made", {"headers": {"X-Korvex": None},
                                                                                   "body": b"x"}, 403,
     "no_change_header"),
    ("a change with the token in the URL", "POST", "/api/mkdir?token={token}",
     {"cookie": False, "body": b'{"path": "/", "name": "made"}'}, 403, "no_token"),
    ("a JSON body over its bound", "POST", "/api/mkdir", {"body": b" " * 20000}, 413, "too_large"),
]


@pytest.mark.parametrize("what,method,target,options,status,code", ACCESS, ids=[row[0] for row in ACCESS])
def test_access(setup, what, method, target, options, status, code):
    web = setup.web
    options = dict(options)
    if "host" in options:
        options["host"] = options["host"].format(port=web.port)
    got, headers, body = web.request(method, target.format(token=web.token), **options)
    assert got == status, body
    if code:
        assert json.loads(body)["error"] == code
    assert not (setup.root / "made").exists(), "a refused request changed the phone"
    assert "Access-Control-Allow-Origin" not in headers


def test_token_in_url_sets_a_strict_cookie_and_redirects_without_it(setup):
    web = setup.web
    status, headers, _ = web.request("GET", f"/?token={web.token}&path=%2Fa", cookie=False)
    assert status == 303
    assert headers["Location"] == "/?path=%2Fa"
    cookie = headers["Set-Cookie"]
    assert cookie.startswith(f"korvex_token={web.token};")
    assert "HttpOnly" in cookie and "SameSite=Strict" in cookie
    # The page it leads to runs only its own scripts.
    status, headers, page = web.request("GET", "/?path=%2Fa")
    assert status == 200 and b"<title>korvex</title>" in page
    assert "script-src 'self'" in headers["Content-Security-Policy"]


def test_no_cors_preflight_is_granted(setup):
    status, headers, _ = setup.web.request(
        "OPTIONS", "/api/mkdir",
        headers={"Origin": "http://attacker.example", "Access-Control-Request-Method": "POST",
                 "Access-Control-Request-Headers": "x-korvex"}, cookie=False)
    assert status == 403
    assert not any(key.lower().startswith("access-control-") for key in headers)


BAD_PATHS = ["", "relative", "/../etc", "/a/../b", "/a/./b", "//a", "/a//b", "/.", "/..", "/a%00b",
             "/" + "x" * 1100]


@pytest.mark.parametrize("path", BAD_PATHS, ids=range(len(BAD_PATHS)))
@pytest.mark.parametrize("route", ["list", "stat", "download", "space"])
def test_malformed_paths_are_refused(setup, route, path):
    status, _, body = setup.web.request("GET", f"/api/{route}?path={quote(path, safe='/%')}")
    assert (status, json.loads(body)["error"]) == (400, "bad_path")


# Names from the browser: (route, JSON body or upload target)
BAD_NAMES = ["", ".", "..", "a/b", "../up", "a\\b", "tab\there", "nul\0"]


@pytest.mark.parametrize("name", BAD_NAMES, ids=range(len(BAD_NAMES)))
def test_names_from_the_browser_must_be_plain(setup, name):
    make_tree(setup.root, {"d/": None, "d/f": b"f"})
    before = sorted(p.relative_to(setup.tmp).as_posix() for p in setup.tmp.rglob("*") if "scratch" not in p.parts)
    web = setup.web
    attempts = [
        ("POST", "/api/mkdir", json.dumps({"path": "/d", "name": name}).encode()),
        ("POST", "/api/rename", json.dumps({"path": "/d/f", "name": name}).encode()),
        ("PUT", f"/api/upload?path=/d&name={quote(name, safe='')}", b"new bytes"),
    ]
    for method, target, body in attempts:
        status, _, answer = web.request(method, target, body=body)
        assert (status, json.loads(answer)["error"]) == (400, "bad_name"), target
    after = sorted(p.relative_to(setup.tmp).as_posix() for p in setup.tmp.rglob("*") if "scratch" not in p.parts)
    assert after == before


def test_refusals_name_their_reason(setup):
    make_tree(setup.root, {"full/": None, "full/f": b"1", "file": b"2"})
    web = setup.web
    cases = [
        ("GET", "/api/list?path=/missing", None, 404, "not_found"),
        ("GET", "/api/list?path=/file", None, 409, "not_a_directory"),
        ("GET", "/api/download?path=/full", None, 409, "is_a_directory"),
        ("POST", "/api/mkdir", {"path": "/", "name": "full"}, 409, "already_exists"),
        ("POST", "/api/mkdir", {"path": "/missing", "name": "x"}, 404, "not_found"),
        ("POST", "/api/rename", {"path": "/file", "name": "full"}, 409, "already_exists"),
        ("POST", "/api/delete", {"path": "/full"}, 409, "not_empty"),
        ("PUT", "/api/upload?path=/&name=file", b"new", 409, "already_exists"),
    ]
    for method, target, body, status, code in cases:
        data = json.dumps(body).encode() if isinstance(body, dict) else body
        got, _, answer = web.request(method, target, body=data)
        assert (got, json.loads(answer)["error"]) == (status, code), target
    assert (setup.root / "file").read_bytes() == b"2"


def test_download_headers_name_the_file_in_both_forms(setup):
    name = "Grüße “x”.txt"
    (setup.root / name).write_bytes(b"hello")
    status, headers, body = setup.web.request("GET", "/api/download?path=" + quote("/" + name))
    assert (status, body, headers["Content-Length"]) == (200, b"hello", "5")
    assert headers["Content-Disposition"] == (
        "attachment; filename=\"Gr__e _x_.txt\"; filename*=UTF-8''Gr%C3%BC%C3%9Fe%20%E2%80%9Cx%E2%80%9D.txt")
    assert headers["Content-Type"] == "application/octet-stream"


def test_listings_are_sent_uncompressed_to_a_browser_that_accepts_compression(setup):
    make_tree(setup.root, {f"name-{n:04}": b"x" for n in range(300)})
    status, headers, body = setup.web.request("GET", "/api/list?path=/",
                                              headers={"Accept-Encoding": "gzip, deflate, br"})
    assert status == 200 and "Content-Encoding" not in headers
    assert len(json.loads(body)["entries"]) == 300


def raw_request(web, head: bytes) -> socket.socket:
    """A connection that has sent `head` (request line and headers) and nothing more."""
    connection = socket.create_connection((web.host, web.port), timeout=10)
    connection.sendall(head)
    return connection


def test_upload_announced_as_1_gib_but_cut_after_1_mib_leaves_the_phone_file(setup):
    (setup.root / "keep.bin").write_bytes(b"old content")
    web = setup.web
    connection = raw_request(web, (
        f"PUT /api/upload?path=/&name=keep.bin&replace=1 HTTP/1.1\r\nHost: {web.host}:{web.port}\r\n"
        f"Cookie: korvex_token={web.token}\r\nX-Korvex: 1\r\nContent-Length: {1 << 30}\r\n\r\n").encode())
    connection.sendall(b"\xab" * (1 << 20))
    # The server is writing the body to its scratch file (its stream may
    # hold back the last few KiB) ...
    wait_for(lambda: any(f.stat().st_size >= 1 << 19 for f in web.scratch_files()), "the scratch file to fill")
    connection.close()
    # ... and drops it once the body is cut, sending nothing to the phone.
    wait_for(lambda: web.scratch_files() == [], "the partial upload to be removed")
    assert (setup.root / "keep.bin").read_bytes() == b"old content"
    assert sorted(p.name for p in setup.root.iterdir()) == ["keep.bin"]
    status, _, _ = web.request("GET", "/api/list?path=/")
    assert status == 200


def test_a_client_gone_mid_download_stops_the_phone_side_copy(setup):
    with open(setup.root / "huge.bin", "wb") as huge:
        huge.truncate(1 << 30)  # sparse: cheap for korvexd to send
    web = setup.web
    connection = raw_request(web, (
        f"GET /api/download?path=/huge.bin HTTP/1.1\r\nHost: {web.host}:{web.port}\r\n"
        f"Cookie: korvex_token={web.token}\r\n\r\n").encode())
    assert connection.recv(65536).startswith(b"HTTP/1.1 200")
    connection.close()
    log = setup.tmp / "korvexd.log"
    wait_for(lambda: 'download of "/huge.bin" broken' in log.read_text(), "korvexd to see the copy stopped")
    wait_for(lambda: web.scratch_files() == [], "the scratch copy to be removed")


def test_upload_and_download_round_trip_exact_bytes(setup):
    web = setup.web
    data = bytes(range(256)) * 4099
    status, _, answer = web.request("PUT", "/api/upload?path=/&name=round.bin", body=data)
    assert (status, json.loads(answer)) == (201, {"path": "/round.bin", "size": len(data)})
    assert (setup.root / "round.bin").read_bytes() == data
    status, _, body = web.request("GET", "/api/download?path=/round.bin")
    assert (status, body) == (200, data)
    # The download's scratch copy goes once its last byte is sent, which
    # may be just after the client has it.
    wait_for(lambda: web.scratch_files() == [], "the scratch copies to be removed")


def test_a_listing_the_phone_refuses_as_a_batch_falls_back_with_sizes(setup):
    # A 1004-byte folder path: a long file name inside it passes the phone's
    # path bound, which fails the batched listing whole; that file's size
    # cannot be asked either.
    deep = "/" + "/".join(letter * 250 for letter in "abcd")
    folder = setup.root / deep.lstrip("/")
    (folder / "s").mkdir(parents=True)
    (folder / "f").write_bytes(b"1234")
    (folder / ("x" * 30)).write_bytes(b"long")
    status, _, answer = setup.web.request("GET", "/api/list?path=" + deep)
    assert status == 200, answer
    entries = sorted((e["name"], e["kind"], e["size"]) for e in json.loads(answer)["entries"])
    assert entries == [("f", "file", 4), ("s", "directory", 0), ("x" * 30, "file", None)]


# The server's bounds on transfers in flight (kMaxUploads, kMaxDownloads).
TRANSFERS_AT_ONCE = 4


def hold_upload(web, index):
    """An upload whose body has begun and then waits: it holds its slot."""
    connection = raw_request(web, (
        f"PUT /api/upload?path=/&name=held{index} HTTP/1.1\r\nHost: {web.host}:{web.port}\r\n"
        f"Cookie: korvex_token={web.token}\r\nX-Korvex: 1\r\nContent-Length: {1 << 20}\r\n\r\n").encode())
    connection.sendall(b"x" * 1024)
    wait_for(lambda: len(web.scratch_files()) == index + 1, "the held upload's scratch file")
    return connection


def hold_download(web, index):
    """A download whose client reads its first bytes and no more: the server waits to write, holding its slot."""
    connection = raw_request(web, (
        f"GET /api/download?path=/held.bin HTTP/1.1\r\nHost: {web.host}:{web.port}\r\n"
        f"Cookie: korvex_token={web.token}\r\n\r\n").encode())
    assert connection.recv(4096).startswith(b"HTTP/1.1 200")
    return connection


# (transfer, holding one open, one more request, its answer once a slot is free)
CAPS = [
    ("upload", hold_upload, lambda web: web.request("PUT", "/api/upload?path=/&name=over", body=b"over"), 201),
    ("download", hold_download, lambda web: web.request("GET", "/api/download?path=/small.bin"), 200),
]


@pytest.mark.parametrize("what,hold,one_more,freed", CAPS, ids=[row[0] for row in CAPS])
def test_transfers_over_the_bound_are_refused_busy(setup, what, hold, one_more, freed):
    with open(setup.root / "held.bin", "wb") as held:
        held.truncate(32 << 20)  # more than the socket buffers take in
    (setup.root / "small.bin").write_bytes(b"small")
    web = setup.web
    held = [hold(web, index) for index in range(TRANSFERS_AT_ONCE)]
    try:
        status, _, body = one_more(web)
        assert (status, json.loads(body)["error"]) == (503, "busy")
        assert not (setup.root / "over").exists()
        # The others go on being served meanwhile.
        assert web.request("GET", "/api/list?path=/")[0] == 200
    finally:
        for connection in held:
            connection.close()
    # Each ended transfer gives its slot back.
    wait_for(lambda: one_more(web)[0] == freed, f"a {what} to be taken again")
    wait_for(lambda: web.scratch_files() == [], "the scratch files to be removed")
    assert sorted(path.name for path in setup.root.iterdir()) == (
        ["held.bin", "over", "small.bin"] if what == "upload" else ["held.bin", "small.bin"])


class FirstConnectionOnly:
    """A relay to `upstream` that carries its first connection (the server's session) and closes every later
    one at once, as a link that lets no copy through: a copy's own connection never logs in."""

    def __init__(self, upstream: str) -> None:
        host, port = upstream.rsplit(":", 1)
        self.upstream = (host, int(port))
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]
        self.sockets = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self) -> None:
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            if self.sockets:
                client.close()
                continue
            server = socket.create_connection(self.upstream)
            self.sockets += [client, server]
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self._pipe, args=(a, b), daemon=True).start()

    @staticmethod
    def _pipe(source, dest) -> None:
        try:
            while data := source.recv(65536):
                dest.sendall(data)
        except OSError:
            pass

    def close(self) -> None:
        self.listener.close()
        for each in self.sockets:
            each.close()


@pytest.fixture
def copies_never_connect(tmp_path):
    """korvex web whose copies' connections are all dropped, its session's kept."""
    root = tmp_path / "root"
    root.mkdir()
    (root / "old.bin").write_bytes(b"old content")
    service = Service(root, tmp_path / "korvexd.log")
    relay = FirstConnectionOnly(service.address)
    web = WebServer(relay.address, tmp_path / "scratch", tmp_path / "web.log")
    yield web, root
    web.stop()
    relay.close()
    service.stop()


COPIES = [("upload", "PUT", "/api/upload?path=/&name=old.bin&replace=1", b"new content, longer"),
          ("download", "GET", "/api/download?path=/old.bin", None)]


@pytest.mark.parametrize("what,method,target,body", COPIES, ids=[row[0] for row in COPIES])
def test_a_copy_that_cannot_connect_fails_in_its_start_time(copies_never_connect, what, method, target, body):
    """The library leaves such a copy starting for ever: the server gives up after 10 s, as the client does."""
    web, root = copies_never_connect
    started = time.monotonic()
    try:
        status, _, answer = web.request(method, target, body=body)
        assert status != 200 and status != 201, answer
    except http.client.HTTPException:
        pass  # a download's head went out first: its body is cut
    assert time.monotonic() - started < 20
    assert (root / "old.bin").read_bytes() == b"old content"
    wait_for(lambda: web.scratch_files() == [], "the scratch copy to be removed")


@pytest.mark.parametrize("what,method,target,body", COPIES, ids=[row[0] for row in COPIES])
def test_ctrl_c_is_not_held_by_a_copy_that_cannot_connect(copies_never_connect, what, method, target, body):
    web, _ = copies_never_connect
    answers = []

    def ask():
        try:
            answers.append(web.request(method, target, body=body)[0])
        except (OSError, http.client.HTTPException) as error:
            answers.append(error)

    waiting = threading.Thread(target=ask)
    waiting.start()
    time.sleep(1)
    started = time.monotonic()
    assert web.stop() == 0
    assert time.monotonic() - started < 5
    waiting.join()
    assert answers[0] not in (200, 201)  # an error answer, or the connection closed
