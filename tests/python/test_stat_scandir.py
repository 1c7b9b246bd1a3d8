"""stat, isfile, scandir and listdir_attr as os and pathlib users know them,
scandir from one batched listing, and path-like phone paths everywhere."""
import os
import stat
import warnings
from pathlib import PurePosixPath

import pytest

import korvex
from conftest import PASSWORD, make_tree, read_tree
from scripted_phone import CMD_FILE_SIZE, CMD_LIST_DIRS, CMD_LIST_FILES, ScriptedPhone

TREE = {"d/a": b"x" * 300, "d/empty": b"", "d/sub/inner": b"12", "top": b"t"}

# phone path, is a directory, size (None: missing)
PATHS = [
    ("/d", True, 0),
    ("/d/a", False, 300),
    ("/d/empty", False, 0),
    ("/d/sub", True, 0),
    ("/top", False, 1),
    ("/none", False, None),
]


@pytest.mark.parametrize("path, is_dir, size", PATHS, ids=[row[0] for row in PATHS])
def test_stat_isfile_scandir_and_listdir_attr_agree_with_the_tree(service, phone, path, is_dir, size):
    make_tree(service.root, TREE)
    if size is None:
        with pytest.raises(FileNotFoundError):
            phone.stat(path)
        assert not phone.isfile(path)
        return
    mode = (stat.S_IFDIR | 0o755) if is_dir else (stat.S_IFREG | 0o644)
    result = phone.stat(path)
    assert isinstance(result, os.stat_result)
    assert (result.st_mode, result.st_size, result.st_mtime, result.st_uid) == (mode, size, 0, 0)
    assert stat.S_ISDIR(result.st_mode) is is_dir
    assert phone.isfile(path) is not is_dir

    parent, name = path.rsplit("/", 1)
    with phone.scandir(parent or "/") as listing:
        found = {entry.name: entry for entry in listing}
    entry = found[name]
    assert (entry.path, entry.is_dir(), entry.is_file(), entry.is_symlink()) == (path, is_dir, not is_dir, False)
    assert (entry.stat().st_mode, entry.stat().st_size) == (mode, size)
    assert os.fspath(entry) == path
    attributes = {item.filename: item for item in phone.listdir_attr(parent or "/")}
    assert (attributes[name].st_mode, attributes[name].st_size) == (mode, size)
    assert sorted(found) == sorted(attributes) == sorted(phone.listdir(parent or "/"))


def test_scandir_asks_nothing_per_entry_beyond_the_batched_listing():
    files = [b"f%02d" % i for i in range(40)]
    phone_side = ScriptedPhone(dirs={"/d": [b"s1", b"s2"]}, files={"/d": files})
    try:
        with korvex.connect(phone_side.address, PASSWORD) as phone:
            listing = phone.scandir("/d")
            asked = list(phone_side.requests)
            entries = list(listing)
            kinds = [(entry.name, entry.is_dir(), entry.stat().st_size) for entry in entries]
            attributes = phone.listdir_attr("/d")
    finally:
        phone_side.stop()
    assert len(kinds) == 42 and len(attributes) == 42
    # Both listings and the files' sizes, nothing else: no is-directory or size question per entry after.
    assert sorted(code for code, _ in asked) == [CMD_LIST_FILES] + [CMD_FILE_SIZE] * 40 + [CMD_LIST_DIRS]
    assert phone_side.requests[len(asked):] == asked  # listdir_attr: the same one batch again


def test_a_batch_the_phone_refuses_falls_back_to_the_plain_listings(service, phone):
    # A directory path of 1004 bytes: a long file name inside it is a path past the 1022-byte bound, which
    # fails GetEntries whole; the plain listings and the other sizes still answer.
    deep = "/" + "/".join(letter * 250 for letter in "abcd")
    long_name = "x" * 30
    make_tree(service.root / deep.lstrip("/"), {"f": b"1234", long_name: b"long", "s/": None})
    expected = [("s", True, 0), ("f", False, 4), (long_name, False, 0)]
    assert sorted(phone.entries(deep)) == sorted(expected)
    assert sorted((e.name, e.is_dir(), e.stat().st_size) for e in phone.scandir(deep)) == sorted(expected)
    assert list(phone.walk(deep)) == [(deep, ["s"], ["f", long_name]), (deep + "/s", [], [])]
    with pytest.raises(FileNotFoundError):
        phone.entries(deep + "/none")


class Custom:
    """A path-like object that is not a pathlib path."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def read_all(file):
    with file:
        return file.read()


def wait_closed(transfer):
    with transfer:
        return transfer.wait(10)


# id, call(phone, path type, local folder), check(root, local folder, result)
PATH_LIKE = [
    ("exists", lambda p, P, t: p.exists(P("/d/a")), lambda r, t, res: res is True),
    ("isdir", lambda p, P, t: p.isdir(P("/d")), lambda r, t, res: res is True),
    ("isfile", lambda p, P, t: p.isfile(P("/d/a")), lambda r, t, res: res is True),
    ("size", lambda p, P, t: p.size(P("/d/a")), lambda r, t, res: res == 1),
    ("stat", lambda p, P, t: p.stat(P("/d/a")).st_size, lambda r, t, res: res == 1),
    ("free_space", lambda p, P, t: p.free_space(P("/")), lambda r, t, res: res > 0),
    ("files", lambda p, P, t: p.files(P("/d")), lambda r, t, res: res == ["a"]),
    ("dirs", lambda p, P, t: p.dirs(P("/d")), lambda r, t, res: res == ["e"]),
    ("listdir", lambda p, P, t: p.listdir(P("/d")), lambda r, t, res: res == ["e", "a"]),
    ("entries", lambda p, P, t: p.entries(P("/d")), lambda r, t, res: res == [("e", True, 0), ("a", False, 1)]),
    ("sizes", lambda p, P, t: p.sizes([P("/d/a")]), lambda r, t, res: res == [1]),
    ("scandir", lambda p, P, t: [e.path for e in p.scandir(P("/d"))], lambda r, t, res: res == ["/d/e", "/d/a"]),
    ("listdir_attr", lambda p, P, t: [a.filename for a in p.listdir_attr(P("/d"))],
     lambda r, t, res: res == ["e", "a"]),
    ("walk", lambda p, P, t: list(p.walk(P("/d"))),
     lambda r, t, res: res == [("/d", ["e"], ["a"]), ("/d/e", [], [])]),
    ("mkdir", lambda p, P, t: p.mkdir(P("/n")), lambda r, t, res: (r / "n").is_dir()),
    ("makedirs", lambda p, P, t: p.makedirs(P("/n/m")), lambda r, t, res: (r / "n" / "m").is_dir()),
    ("rename", lambda p, P, t: p.rename(P("/d/a"), P("/d/b")), lambda r, t, res: (r / "d" / "b").exists()),
    ("remove", lambda p, P, t: p.remove(P("/d/a")), lambda r, t, res: not (r / "d" / "a").exists()),
    ("rmdir", lambda p, P, t: p.rmdir(P("/d/e")), lambda r, t, res: not (r / "d" / "e").exists()),
    ("chown", lambda p, P, t: p.chown(P("/d/a"), os.getuid(), -1), lambda r, t, res: res is None),
    ("download", lambda p, P, t: p.download(P("/d/a"), t / "a"), lambda r, t, res: (t / "a").read_bytes() == b"1"),
    ("upload", lambda p, P, t: p.upload(t / "local", P("/d/u")), lambda r, t, res: (r / "d" / "u").exists()),
    ("start_download", lambda p, P, t: wait_closed(p.start_download(P("/d/a"), t / "a")),
     lambda r, t, res: res is True),
    ("open", lambda p, P, t: read_all(p.open(P("/d/a"), "rb")), lambda r, t, res: res == b"1"),
    ("get", lambda p, P, t: p.get(P("/d"), t / "copy", recursive=True),
     lambda r, t, res: read_tree(t / "copy") == {"a": b"1", "e/": None}),
    ("put", lambda p, P, t: p.put(t / "local", P("/d/e")), lambda r, t, res: (r / "d" / "e" / "local").exists()),
]


@pytest.mark.parametrize("kind", [PurePosixPath, Custom], ids=["PurePosixPath", "custom-PathLike"])
@pytest.mark.parametrize("call, check", [row[1:] for row in PATH_LIKE], ids=[row[0] for row in PATH_LIKE])
def test_phone_paths_may_be_path_like(service, phone, tmp_path, kind, call, check):
    make_tree(service.root, {"d/a": b"1", "d/e/": None})
    (tmp_path / "local").write_bytes(b"local")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = call(phone, kind, tmp_path)
    assert check(service.root, tmp_path, result), result
