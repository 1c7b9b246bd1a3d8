"""Every row of tests/support/host_answers.tsv through each Python call that does
its operation: the same phone state gives the answer every host gives, the
message names the call, and a refusal changes nothing on either side."""
import errno
import io
import os

import pytest

import korvex
from conftest import SOURCE, Service, make_tree, read_tree

PHONE = {"dir/f": b"1234", "dir/sub/": None, "empty/": None, "file": b"1234"}
LOCAL = {"local.txt": b"1234", "folder/": None}

# answer: the exception class and errno (ENOTEMPTY has no OSError subclass)
ANSWERS = {
    "missing": (FileNotFoundError, errno.ENOENT),
    "exists": (FileExistsError, errno.EEXIST),
    "not_a_directory": (NotADirectoryError, errno.ENOTDIR),
    "is_a_directory": (IsADirectoryError, errno.EISDIR),
    "not_empty": (OSError, errno.ENOTEMPTY),
    "no_space": (korvex.NoSpaceError, errno.ENOSPC),
    "local_missing": (FileNotFoundError, errno.ENOENT),
    "local_is_a_directory": (IsADirectoryError, errno.EISDIR),
}


@pytest.fixture
def service(tmp_path):
    """The table's phone is full: its free-space word is 0 and no upload of a byte fits."""
    root = tmp_path / "root"
    root.mkdir()
    running = Service(root, tmp_path / "korvexd.log", "--capacity-kib", "0")
    yield running
    running.stop()


def reraise(error):
    raise error


def write_one_byte(phone, path):
    """open for writing, as a user writes a file: a refusal may come at open or at close."""
    with phone.open(path, "wb") as file:
        file.write(b"x")


def into_local_folder(path, second, local):
    return (local / second).is_dir()


# operation: (the call's name, what it does with (phone, path, second, local folder), the rows it skips).
# get and put follow cp's rules: a destination that is an existing folder takes the copy inside it.
CALLS = {
    "list": [
        ("listdir", lambda p, a, b, t: p.listdir(a), None),
        ("files", lambda p, a, b, t: p.files(a), None),
        ("dirs", lambda p, a, b, t: p.dirs(a), None),
        ("entries", lambda p, a, b, t: p.entries(a), None),
        ("scandir", lambda p, a, b, t: p.scandir(a), None),
        ("listdir_attr", lambda p, a, b, t: p.listdir_attr(a), None),
        ("walk", lambda p, a, b, t: list(p.walk(a, onerror=reraise)), None),
    ],
    "mkdir": [("mkdir", lambda p, a, b, t: p.mkdir(a), None)],
    "remove": [("remove", lambda p, a, b, t: p.remove(a), None)],
    "rmdir": [("rmdir", lambda p, a, b, t: p.rmdir(a), None)],
    "rename": [("rename", lambda p, a, b, t: p.rename(a, b), None)],
    "upload": [
        ("upload", lambda p, a, b, t: p.upload(t / b, a), None),
        ("put", lambda p, a, b, t: p.put(t / b, a), lambda a, b, t: a == "/dir"),
        ("open", lambda p, a, b, t: write_one_byte(p, a), lambda a, b, t: b.startswith("no")),
    ],
    "download": [
        ("download", lambda p, a, b, t: p.download(a, t / b), None),
        ("get", lambda p, a, b, t: p.get(a, t / b), into_local_folder),
        ("open", lambda p, a, b, t: p.open(a, "rb"), lambda a, b, t: b != "out.txt"),
        ("getfo", lambda p, a, b, t: p.getfo(a, io.BytesIO()), lambda a, b, t: b != "out.txt"),
    ],
    "size": [("size", lambda p, a, b, t: p.size(a), None)],
    "chown": [("chown", lambda p, a, b, t: p.chown(a, os.getuid(), -1), None)],
}


def rows():
    text = (SOURCE / "tests" / "support" / "host_answers.tsv").read_text(encoding="utf-8")
    return [line.split() for line in text.splitlines() if line.strip() and not line.startswith("#")]


CASES = [
    pytest.param(name, call, path, second, answer, skip, id=f"{operation}-{path}-{second}-{name}")
    for operation, path, second, answer in rows()
    for name, call, skip in CALLS[operation]
]


def test_the_table_has_every_operation_and_answer():
    table = rows()
    assert {row[0] for row in table} == set(CALLS)
    assert {row[3] for row in table} == set(ANSWERS)


@pytest.mark.parametrize("name, call, path, second, answer, skip", CASES)
def test_python_answers_as_the_table_says(service, phone, tmp_path, name, call, path, second, answer, skip):
    local = tmp_path / "local"
    make_tree(service.root, PHONE)
    make_tree(local, LOCAL)
    if skip is not None and skip(path, second, local):
        pytest.skip("not this call's case")
    before = read_tree(service.root), read_tree(local)
    kind, code = ANSWERS[answer]
    with pytest.raises(kind) as caught:
        call(phone, path, second, local)
    error = caught.value
    assert error.errno == code, error
    if answer.startswith("local_"):
        # A local mistake: the system's error on the local path, nothing about the phone.
        assert not isinstance(error, korvex.Error), error
        assert error.filename == str(local / second)
    else:
        assert isinstance(error, korvex.RefusedError), error
        assert (error.operation, error.filename) == (name, path)
        assert error.strerror.startswith(name + ": ")
        if name == "rename":
            assert error.filename2 == second
    assert (read_tree(service.root), read_tree(local)) == before
    assert phone.connected and phone.exists("/")
