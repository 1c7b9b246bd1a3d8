"""Each failure is the OSError a Python user expects: the phone only says
"refused", and the package asks it why before raising."""
import errno
import os
import time

import pytest

import korvex
from conftest import PASSWORD, make_tree

# What tests/support/host_answers.tsv (test_host_answers.py) leaves out.
# id, tree on the phone, the call, the exception class, errno, filename, filename2
REFUSALS = [
    ("makedirs-existing", ["a/b/"], lambda p, t: p.makedirs("/a/b"), FileExistsError, errno.EEXIST, "/a/b", None),
    # As os.makedirs: a file on the way is no directory, a file at the end exists.
    ("makedirs-through-a-file", {"f": b"x"}, lambda p, t: p.makedirs("/f/a/b"), NotADirectoryError, errno.ENOTDIR,
     "/f/a/b", None),
    ("makedirs-onto-a-file", {"f": b"x"}, lambda p, t: p.makedirs("/f", exist_ok=True), FileExistsError,
     errno.EEXIST, "/f", None),
    ("rmdir-recursive-missing", [], lambda p, t: p.rmdir("/none", recursive=True), FileNotFoundError, errno.ENOENT,
     "/none", None),
    ("rmdir-recursive-a-file", {"f": b"x"}, lambda p, t: p.rmdir("/f", recursive=True), NotADirectoryError,
     errno.ENOTDIR, "/f", None),
    ("rename-below-a-file", {"f": b"x"}, lambda p, t: p.rename("/f/a", "/x"), NotADirectoryError, errno.ENOTDIR,
     "/f/a", "/x"),
    ("stat-missing", [], lambda p, t: p.stat("/none"), FileNotFoundError, errno.ENOENT, "/none", None),
    ("free-space-missing", [], lambda p, t: p.free_space("/none"), FileNotFoundError, errno.ENOENT, "/none", None),
]


@pytest.mark.parametrize(
    "tree, call, kind, code, filename, filename2",
    [row[1:] for row in REFUSALS],
    ids=[row[0] for row in REFUSALS],
)
def test_a_refusal_raises_the_oserror_the_probes_find(service, phone, tmp_path, tree, call, kind, code, filename,
                                                      filename2):
    make_tree(service.root, tree)
    (tmp_path / "local").write_bytes(b"data")
    with pytest.raises(kind) as caught:
        call(phone, tmp_path)
    error = caught.value
    assert isinstance(error, korvex.RefusedError) and isinstance(error, korvex.Error)
    assert (error.errno, error.filename, error.filename2) == (code, filename, filename2)
    assert error.path == filename and error.strerror.startswith(error.operation + ": ")
    assert phone.exists("/")  # a refusal leaves the session usable


def test_a_refusal_nothing_explains_is_denied(service, phone):
    # The listings show no symbolic link, so the probes cannot prove the directory not empty.
    (service.root / "d").mkdir()
    os.symlink("/", service.root / "d" / "link")
    with pytest.raises(korvex.DeniedError) as caught:
        phone.rmdir("/d")
    assert isinstance(caught.value, PermissionError) and isinstance(caught.value, korvex.RefusedError)
    assert (caught.value.errno, caught.value.strerror) == (errno.EACCES, "rmdir: refused by the phone")


def test_a_host_name_that_does_not_resolve_says_so():
    with pytest.raises(korvex.ConnectError) as caught:
        korvex.connect("no-such-phone.invalid:2323", PASSWORD)
    assert "cannot resolve the host name 'no-such-phone.invalid'" in str(caught.value)
    assert caught.value.filename == "no-such-phone.invalid:2323"


def wrong_password(service):
    return korvex.connect(service.address, "wrong")


def nobody_listening(service):
    service.stop()
    return korvex.connect(service.address, PASSWORD)


def lost_then(call):
    def scenario(service):
        phone = korvex.connect(service.address, PASSWORD)
        try:
            service.stop()
            deadline = time.monotonic() + 20
            while phone.connected and time.monotonic() < deadline:
                time.sleep(0.01)
            return call(phone)
        finally:
            phone.close()
    return scenario


# id, scenario, class, the korvex class, errno
CONNECTION_FAILURES = [
    ("wrong-password", wrong_password, PermissionError, korvex.LoginError, errno.EACCES),
    ("nobody-listening", nobody_listening, ConnectionRefusedError, korvex.ConnectError, errno.ECONNREFUSED),
    # The probes that follow a refusal must not read a dead link as a missing path.
    ("lost-then-mkdir", lost_then(lambda p: p.mkdir("/a")), ConnectionAbortedError, korvex.ConnectionLostError,
     errno.ECONNABORTED),
    ("lost-then-remove", lost_then(lambda p: p.remove("/a")), ConnectionAbortedError, korvex.ConnectionLostError,
     errno.ECONNABORTED),
    ("lost-then-stat", lost_then(lambda p: p.stat("/a")), ConnectionAbortedError, korvex.ConnectionLostError,
     errno.ECONNABORTED),
    ("lost-then-scandir", lost_then(lambda p: p.scandir("/")), ConnectionAbortedError, korvex.ConnectionLostError,
     errno.ECONNABORTED),
]


@pytest.mark.parametrize("scenario, kind, korvex_kind, code", [row[1:] for row in CONNECTION_FAILURES],
                         ids=[row[0] for row in CONNECTION_FAILURES])
def test_connection_failures_are_their_oserrors(service, scenario, kind, korvex_kind, code):
    with pytest.raises(kind) as caught:
        scenario(service)
    assert isinstance(caught.value, korvex_kind) and not isinstance(caught.value, korvex.RefusedError)
    assert caught.value.errno == code
    assert korvex.ConnectionLost is korvex.ConnectionLostError
