"""The Python package against korvexd: results, exceptions, copies with
progress, cancelling, sizes past 2 GiB."""
import os
import time
from pathlib import Path

import pytest

import korvex
from conftest import PASSWORD


def sparse(path: Path, size: int) -> None:
    with open(path, "wb") as f:
        f.truncate(size)


def test_connect_failures_are_exceptions(service):
    with pytest.raises(korvex.LoginError):
        korvex.connect(service.address, "wrong")
    address = service.address
    service.stop()
    with pytest.raises(korvex.ConnectError):
        korvex.connect(address, PASSWORD)
    assert issubclass(korvex.LoginError, korvex.Error) and issubclass(korvex.ConnectError, korvex.Error)


def test_listings_and_walk_match_the_served_tree(service, phone):
    root = service.root
    for directory in ["photos/2024/june", "photos/empty", "docs"]:
        (root / directory).mkdir(parents=True)
    for file in ["photos/a.jpg", "photos/2024/b.jpg", "photos/2024/june/c.jpg", "docs/ü n.txt", "top.txt"]:
        (root / file).write_bytes(file.encode())

    assert phone.files("/photos") == ["a.jpg"]
    assert phone.dirs("/photos") == ["2024", "empty"]
    assert sorted(phone.listdir("/")) == sorted(os.listdir(root))
    assert phone.files("/photos/empty") == []

    walked = {(top, tuple(sorted(dirs)), tuple(sorted(files))) for top, dirs, files in phone.walk("/")}
    expected = set()
    for top, dirs, files in os.walk(root):
        relative = os.path.relpath(top, root)
        expected.add(("/" if relative == "." else "/" + relative, tuple(sorted(dirs)), tuple(sorted(files))))
    assert walked == expected

    # Pruning dirnames in place skips them, as with os.walk.
    pruned = []
    for top, dirs, _ in phone.walk("/"):
        pruned.append(top)
        dirs[:] = [d for d in dirs if d != "photos"]
    assert pruned == ["/", "/docs"]


def test_commands_act_on_the_phone_and_refusals_name_operation_and_path(service, phone):
    root = service.root
    phone.mkdir("/a")
    phone.makedirs("/a/b/c")
    phone.makedirs("/a/b", exist_ok=True)
    assert (root / "a/b/c").is_dir()
    (root / "a/f.txt").write_bytes(b"12345")
    assert phone.exists("/a/f.txt") and not phone.exists("/a/none")
    assert phone.isdir("/a") and not phone.isdir("/a/f.txt")
    assert phone.size("/a/f.txt") == 5
    assert phone.free_space("/") > 0
    phone.rename("/a/f.txt", "/a/g.txt")
    phone.chown("/a/g.txt", os.getuid(), -1)
    phone.remove("/a/g.txt")
    assert not (root / "a/g.txt").exists()

    refusals = [
        (lambda: phone.mkdir("/a"), "mkdir", "/a"),
        (lambda: phone.makedirs("/a/b"), "makedirs", "/a/b"),
        (lambda: phone.remove("/a/none"), "remove", "/a/none"),
        (lambda: phone.rmdir("/a"), "rmdir", "/a"),  # not empty
        (lambda: phone.rename("/none", "/x"), "rename", "/none"),
        (lambda: phone.size("/a"), "size", "/a"),  # a directory has none
        (lambda: phone.files("/none"), "files", "/none"),
        (lambda: phone.chown("/none", 0, 0), "chown", "/none"),
    ]
    for call, operation, path in refusals:
        with pytest.raises(korvex.RefusedError) as caught:
            call()
        assert (caught.value.operation, caught.value.path) == (operation, path)
        assert isinstance(caught.value, korvex.Error)
    phone.rmdir("/a", recursive=True)
    assert not (root / "a").exists()
    with pytest.raises(ValueError):
        phone.exists("/" + "x" * 1100)


def test_sizes_past_2_gib_read_unsigned(service, phone):
    for size in (2**31, 3 * 2**30, 2**32 - 3):
        sparse(service.root / "big", size)
        assert phone.size("/big") == size


def test_entries_and_sizes_in_batches(service, phone):
    root = service.root
    (root / "d" / "sub").mkdir(parents=True)
    (root / "d" / "a").write_bytes(b"x" * 300)
    sparse(root / "d" / "big", 3 << 30)

    expected = [(name, True, 0) for name in phone.dirs("/d")] + [
        (name, False, phone.size("/d/" + name)) for name in phone.files("/d")
    ]
    assert phone.entries("/d") == expected
    assert sorted(expected) == [("a", False, 300), ("big", False, 3 << 30), ("sub", True, 0)]
    assert phone.entries("/d/sub") == []
    with pytest.raises(korvex.RefusedError):
        phone.entries("/none")
    assert phone.sizes(["/d/a", "/d/none", "/d/big"]) == [300, None, 3 << 30]
    assert phone.sizes([]) == []


def test_copies_report_progress_to_the_end(service, phone, tmp_path):
    data = os.urandom(3 * 1024 * 1024 + 11)
    (tmp_path / "up.bin").write_bytes(data)
    calls = []
    phone.upload(tmp_path / "up.bin", "/up.bin", progress=lambda done, total: calls.append((done, total)))
    assert (service.root / "up.bin").read_bytes() == data
    assert calls[-1] == (len(data), len(data))
    assert [done for done, _ in calls] == sorted(done for done, _ in calls)

    calls.clear()
    phone.download("/up.bin", str(tmp_path / "down.bin"), progress=lambda done, total: calls.append((done, total)))
    assert (tmp_path / "down.bin").read_bytes() == data
    assert calls[-1] == (len(data), len(data))

    (tmp_path / "empty").write_bytes(b"")
    phone.upload(tmp_path / "empty", "/empty")
    phone.download("/empty", tmp_path / "empty-back")
    assert (tmp_path / "empty-back").read_bytes() == b""

    with pytest.raises(korvex.RefusedError) as caught:
        phone.download("/missing", tmp_path / "missing")
    assert caught.value.operation == "download"
    assert not (tmp_path / "missing").exists()
    with pytest.raises(korvex.RefusedError):
        phone.upload(tmp_path / "up.bin", "/no-such-dir/up.bin")
    with pytest.raises(FileNotFoundError):
        phone.upload(tmp_path / "absent", "/x")


def test_transfer_handle_polls_waits_cancels_and_closes(service, phone, tmp_path):
    sparse(service.root / "huge.bin", 3 * 2**30)
    with phone.start_download("/huge.bin", tmp_path / "huge.bin") as transfer:
        assert transfer.progress.total == 3 * 2**30
        assert transfer.wait(timeout=0.05) is False  # still copying
        transfer.cancel()
        assert transfer.progress.phase == "failed"
    # Cancelled: no partial file, nor the temporary it was written into.
    assert [name for name in os.listdir(tmp_path) if "huge.bin" in name] == []

    (service.root / "small").write_bytes(b"abc")
    with phone.start_download("/small", tmp_path / "small") as transfer:
        assert transfer.wait(timeout=10)
        assert transfer.progress == korvex.Progress(3, 3, "done")
    assert transfer.progress.phase == "failed"  # closed by the with block
    with phone.start_download("/none", tmp_path / "none") as transfer:
        with pytest.raises(korvex.TransferError):
            transfer.wait(timeout=10)


def test_keyboard_interrupt_cancels_the_copy_and_leaves_no_partial_file(service, phone, tmp_path):
    sparse(service.root / "huge.bin", 3 * 2**30)
    seen = []

    def interrupt(done, total):
        seen.append((done, total))
        if done > 0:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        phone.download("/huge.bin", tmp_path / "huge.bin", progress=interrupt)
    assert seen and seen[-1][1] == 3 * 2**30
    assert not (tmp_path / "huge.bin").exists()
    assert phone.exists("/huge.bin")  # the session goes on


def test_a_lost_connection_is_not_a_refusal(service, phone):
    service.stop()
    deadline = time.monotonic() + 20
    while phone.connected and time.monotonic() < deadline:
        time.sleep(0.01)
    assert phone.state() == korvex.State(False, service.address, "py-phone")
    for call in (lambda: phone.exists("/"), lambda: phone.mkdir("/x"), lambda: phone.files("/")):
        with pytest.raises(korvex.ConnectionLost):
            call()


def test_log_goes_to_the_file_without_the_password(service, tmp_path):
    log = tmp_path / "korvex.log"
    assert korvex.enable_log(7, log)
    try:
        korvex.connect(service.address, PASSWORD).exists("/")
    finally:
        korvex.disable_log()
    text = log.read_text(errors="replace")
    assert "Exists" in text
    assert PASSWORD not in text
