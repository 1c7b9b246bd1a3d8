"""Each failure is the OSError a Python user expects: the phone only says
"refused", and the package asks it why before raising."""
import errno
import os
import time

import pytest

import korvex
from conftest import PASSWORD, make_tree

# id, tree on the phone, the call, the exception class, errno, filename, filename2
REFUSALS = [
    ("mkdir-over-a-directory", ["a/"], lambda p, t: p.mkdir("/a"), FileExistsError, errno.EEXIST, "/a", None),
    ("mkdir-over-a-file", {"f": b"x"}, lambda p, t: p.mkdir("/f"), FileExistsError, errno.EEXIST, "/f", None),
    ("mkdir-without-parent", [], lambda p, t: p.mkdir("/none/a"), FileNotFoundError, errno.ENOENT, "/none/a", None),
    ("mkdir-below-a-file", {"f": b"x"}, lambda p, t: p.mkdir("/f/a"), NotADirectoryError, errno.ENOTDIR, "/f/a",
     None),
    ("makedirs-existing", ["a/b/"], lambda p, t: p.makedirs("/a/b"), FileExistsError, errno.EEXIST, "/a/b", None),
    ("remove-missing", [], lambda p, t: p.remove("/none"), FileNotFoundError, errno.ENOENT, "/none", None),
    ("remove-a-directory", ["d/"], lambda p, t: p.remove("/d"), IsADirectoryError, errno.EISDIR, "/d", None),
    ("rmdir-not-empty", {"d/f": b"x"}, lambda p, t: p.rmdir("/d"), korvex.NotEmptyError, errno.ENOTEMPTY, "/d",
     None),
    ("rmdir-missing", [], lambda p, t: p.rmdir("/none"), FileNotFoundError, errno.ENOENT, "/none", None),
    ("rmdir-recursive-missing", [], lambda p, t: p.rmdir("/none", recursive=True), FileNotFoundError, errno.ENOENT,
     "/none", None),
    ("rmdir-a-file", {"f": b"x"}, lambda p, t: p.rmdir("/f"), NotADirectoryError, errno.ENOTDIR, "/f", None),
    ("rename-missing-source", [], lambda p, t: p.rename("/none", "/x"), FileNotFoundError, errno.ENOENT, "/none",
     "/x"),
    ("rename-onto-a-full-directory", ["a/", "b/c/"], lambda p, t: p.rename("/a", "/b"), FileExistsError,
     errno.EEXIST, "/a", "/b"),
    ("rename-into-missing-directory", {"f": b"x"}, lambda p, t: p.rename("/f", "/none/f"), FileNotFoundError,
     errno.ENOENT, "/f", "/none/f"),
    ("size-missing", [], lambda p, t: p.size("/none"), FileNotFoundError, errno.ENOENT, "/none", None),
    ("size-of-a-directory", ["d/"], lambda p, t: p.size("/d"), IsADirectoryError, errno.EISDIR, "/d", None),
    ("stat-missing", [], lambda p, t: p.stat("/none"), FileNotFoundError, errno.ENOENT, "/none", None),
    ("files-missing", [], lambda p, t: p.files("/none"), FileNotFoundError, errno.ENOENT, "/none", None),
    ("scandir-of-a-file", {"f": b"x"}, lambda p, t: p.scandir("/f"), NotADirectoryError, errno.ENOTDIR, "/f", None),
    ("chown-missing", [], lambda p, t: p.chown("/none", 0, 0), FileNotFoundError, errno.ENOENT, "/none", None),
    ("download-missing", [], lambda p, t: p.download("/none", t / "x"), FileNotFoundError, errno.ENOENT, "/none",
     None),
    ("download-a-directory", ["d/"], lambda p, t: p.download("/d", t / "x"), IsADirectoryError, errno.EISDIR, "/d",
     None),
    ("upload-into-missing-directory", [], lambda p, t: p.upload(t / "local", "/none/x"), FileNotFoundError,
     errno.ENOENT, "/none/x", None),
    ("upload-onto-a-directory", ["d/"], lambda p, t: p.upload(t / "local", "/d"), IsADirectoryError, errno.EISDIR,
     "/d", None),
    ("open-missing", [], lambda p, t: p.open("/none", "rb"), FileNotFoundError, errno.ENOENT, "/none", None),
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


def test_a_refusal_nothing_explains_stays_a_plain_refused_error(service, phone):
    # The listings show no symbolic link, so the probes cannot prove the directory not empty.
    (service.root / "d").mkdir()
    os.symlink("/", service.root / "d" / "link")
    with pytest.raises(korvex.RefusedError) as caught:
        phone.rmdir("/d")
    assert type(caught.value) is korvex.RefusedError
    assert caught.value.errno == errno.EIO


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
