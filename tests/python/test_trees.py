"""get and put of files and trees: cp -r's destinations, one progress total
for the whole tree, and a failed file that fails the call and leaves no
partial file."""
import os
import time
import warnings

import pytest

import korvex
from conftest import PASSWORD, make_tree, read_tree
from scripted_phone import Download, ScriptedPhone

TREE = {"a.jpg": b"a" * 100, "sub/b.jpg": os.urandom(300_000), "sub/deep/c": b"", "empty/": None}
TOTAL = 300_100


# id, direction, the destination exists, jobs, where the copy lands below the destination
TREES = [
    ("get-to-new-folder", "get", False, 3, ""),
    ("get-into-existing-folder", "get", True, 8, "DCIM"),
    ("put-to-new-folder", "put", False, 3, ""),
    ("put-into-existing-folder", "put", True, 1, "DCIM"),
]


@pytest.mark.parametrize("direction, exists, jobs, below", [row[1:] for row in TREES], ids=[row[0] for row in TREES])
def test_a_tree_lands_where_cp_r_puts_it_with_one_progress_total(service, phone, tmp_path, direction, exists, jobs,
                                                                 below):
    calls = []
    progress = lambda done, total: calls.append((done, total))  # noqa: E731
    if direction == "get":
        make_tree(service.root / "DCIM", TREE)
        destination = tmp_path / "photos"
        if exists:
            destination.mkdir()
        phone.get("/DCIM", destination, recursive=True, progress=progress, jobs=jobs)
        landed = destination / below if below else destination
    else:
        make_tree(tmp_path / "DCIM", TREE)
        if exists:
            (service.root / "up").mkdir()
        phone.put(tmp_path / "DCIM", "/up", recursive=True, progress=progress, jobs=jobs)
        landed = service.root / "up" / below if below else service.root / "up"
    assert read_tree(landed) == read_tree(tmp_path / "DCIM" if direction == "put" else service.root / "DCIM")
    assert set(read_tree(landed)) == {"a.jpg", "sub/", "sub/b.jpg", "sub/deep/", "sub/deep/c", "empty/"}
    assert calls[0] == (0, TOTAL) and calls[-1] == (TOTAL, TOTAL)
    assert all(total == TOTAL for _, total in calls)
    assert [done for done, _ in calls] == sorted(done for done, _ in calls)
    assert len(calls) == 1 + 3  # the start, then each file
    # The pool: one session per file up to jobs, the caller's included.
    log = service.root.parent / "korvexd.log"
    deadline = time.monotonic() + 5
    while log.read_text().count(": closed (") < min(jobs, 3) - 1 and time.monotonic() < deadline:
        time.sleep(0.02)
    assert log.read_text().count(": logged in") == min(jobs, 3)


# id, direction, the destination is an existing folder, where the file lands
FILES = [
    ("get-to-a-name", "get", False, "x"),
    ("get-into-a-folder", "get", True, "x/a.jpg"),
    ("put-to-a-name", "put", False, "x"),
    ("put-into-a-folder", "put", True, "x/a.jpg"),
]


@pytest.mark.parametrize("direction, folder, landed", [row[1:] for row in FILES], ids=[row[0] for row in FILES])
def test_a_single_file_lands_where_cp_puts_it(service, phone, tmp_path, direction, folder, landed):
    make_tree(service.root if direction == "get" else tmp_path, {"a.jpg": b"jpeg"})
    target_side = tmp_path if direction == "get" else service.root
    if folder:
        (target_side / "x").mkdir()
    if direction == "get":
        phone.get("/a.jpg", tmp_path / "x")
    else:
        phone.put(tmp_path / "a.jpg", "/x")
    assert (target_side / landed).read_bytes() == b"jpeg"


# id, direction, destination (a trailing "/" kept), the error (None: lands at `landed`), where it lands.
# As cp: a file's destination written as a folder must be one; a tree may create it.
SLASHED = [
    ("put-into-a-folder", "put", "/dir/", None, "dir/a.jpg"),
    ("put-to-no-folder", "put", "/nodir/", NotADirectoryError, None),
    ("put-to-a-file", "put", "/file/", NotADirectoryError, None),
    ("put-below-nothing", "put", "/nope/x/", FileNotFoundError, None),
    ("put-tree-to-a-new-folder", "put-tree", "/new/", None, "new/a.jpg"),
    ("put-tree-to-a-file", "put-tree", "/file/", NotADirectoryError, None),
    ("get-into-a-folder", "get", "dir/", None, "dir/a.jpg"),
    ("get-to-no-folder", "get", "nodir/", NotADirectoryError, None),
    ("get-to-a-file", "get", "file/", NotADirectoryError, None),
    ("get-below-nothing", "get", "nope/x/", FileNotFoundError, None),
    ("get-tree-to-a-new-folder", "get-tree", "new/", None, "new/a.jpg"),
]


@pytest.mark.parametrize("direction, dest, error, landed", [row[1:] for row in SLASHED],
                         ids=[row[0] for row in SLASHED])
def test_a_destination_written_as_a_folder_follows_cp(service, phone, tmp_path, direction, dest, error, landed):
    local = tmp_path / "local"
    for side in (service.root, local):
        make_tree(side, {"a.jpg": b"jpeg", "src/a.jpg": b"jpeg", "dir/": None, "file": b"f"})
    target_side = service.root if direction.startswith("put") else local
    before = read_tree(target_side)
    tree = direction.endswith("tree")
    if direction.startswith("put"):
        call = lambda: phone.put(local / ("src" if tree else "a.jpg"), dest, recursive=tree)  # noqa: E731
    else:
        call = lambda: phone.get("/src" if tree else "/a.jpg", str(local) + "/" + dest, recursive=tree)  # noqa: E731
    if error is None:
        call()
        assert (target_side / landed).read_bytes() == b"jpeg"
        return
    with pytest.raises(error) as caught:
        call()
    # The phone's side is a refusal naming the phone path; the local side the system's error on the local path.
    assert isinstance(caught.value, korvex.RefusedError) is direction.startswith("put")
    assert caught.value.filename == (dest if direction.startswith("put") else str(local) + "/" + dest)
    assert read_tree(target_side) == before


def test_put_copies_links_to_files_and_skips_the_others_with_a_warning(service, phone, tmp_path):
    source = tmp_path / "src"
    make_tree(source, {"a": b"1", "d/b": b"2"})
    os.symlink("a", source / "to-a")
    os.symlink("d", source / "to-d")
    os.symlink("nowhere", source / "dangling")
    os.symlink(source, source / "d" / "loop")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        phone.put(source, "/up", recursive=True)
    assert read_tree(service.root / "up") == {"a": b"1", "d/": None, "d/b": b"2", "to-a": b"1"}
    assert {w.category for w in caught} == {korvex.NotCopiedWarning}
    assert {w.filename for w in caught} == {__file__}
    messages = sorted(str(w.message) for w in caught)
    assert len(messages) == 3
    for name, what in [("dangling", "to nothing"), ("d/loop", "to a folder"), ("to-d", "to a folder")]:
        assert sum(repr(str(source / name)) in message and what in message for message in messages) == 1


# the phone's root, or a local ".", into a folder that exists: its content lands in it
def test_a_root_copies_into_the_existing_folder_itself(service, phone, tmp_path, monkeypatch):
    make_tree(service.root, {"r/f": b"1"})
    (tmp_path / "in").mkdir()
    phone.get("/", tmp_path / "in", recursive=True)
    assert read_tree(tmp_path / "in") == {"r/": None, "r/f": b"1"}
    (service.root / "up").mkdir()
    monkeypatch.chdir(tmp_path / "in")
    phone.put(".", "/up", recursive=True)
    assert read_tree(service.root / "up") == {"r/": None, "r/f": b"1"}


def test_a_directory_needs_recursive(service, phone, tmp_path):
    (service.root / "d").mkdir()
    (tmp_path / "d").mkdir()
    with pytest.raises(IsADirectoryError):
        phone.get("/d", tmp_path / "copy")
    with pytest.raises(IsADirectoryError):
        phone.put(tmp_path / "d", "/copy")
    assert not (tmp_path / "copy").exists() and not (service.root / "copy").exists()


def test_a_failed_upload_fails_the_tree_and_counts_only_whole_files(service, phone, tmp_path):
    make_tree(tmp_path / "src", {"a": b"1" * 10, "b": b"2" * 20, "c": b"3" * 30})
    # The phone holds a directory where one file is to go: that upload is refused.
    (service.root / "dst" / "src" / "b").mkdir(parents=True)
    calls = []
    with pytest.raises(IsADirectoryError) as caught:
        phone.put(tmp_path / "src", "/dst", recursive=True, jobs=1,
                  progress=lambda done, total: calls.append((done, total)))
    assert caught.value.filename == "/dst/src/b"
    assert calls[-1][0] < 60 and calls[-1][1] == 60
    assert (service.root / "dst" / "src" / "b").is_dir()
    assert phone.exists("/")


def test_a_download_cut_short_fails_the_tree_and_leaves_no_partial_file(tmp_path):
    data = os.urandom(50_000)
    scripted = ScriptedPhone(dirs={"/": []}, files={"/": [b"cut", b"whole"]},
                             downloads={"/cut": Download(data, 1000), "/whole": Download(data, len(data))})
    target = tmp_path / "copy"
    try:
        with korvex.connect(scripted.address, PASSWORD) as phone:
            with pytest.raises(korvex.Error):
                phone.get("/", target, recursive=True, jobs=1)
    finally:
        scripted.stop()
    # "cut" comes first: it fails, and "whole" is never started.
    assert os.listdir(target) == []


def test_get_skips_names_that_are_no_local_names(tmp_path):
    scripted = ScriptedPhone(dirs={"/": [b".."]}, files={"/": [b"ok", b"..\\up"]},
                             downloads={"/ok": Download(b"fine", 4)})
    try:
        with korvex.connect(scripted.address, PASSWORD) as phone:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                phone.get("/", tmp_path / "copy", recursive=True)
    finally:
        scripted.stop()
    assert read_tree(tmp_path) == {"copy/": None, "copy/ok": b"fine"}
    assert [w.category for w in caught] == [korvex.UnsafeNameWarning]
