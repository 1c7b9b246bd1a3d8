"""open(), getfo() and putfo(): phone files as Python file objects, with no
temporary file left behind and no half-written phone file."""
import io
import os
import tempfile

import pytest

# mode, open's keywords, the phone file's bytes, what Python reads or writes
MODES = [
    ("rb", {}, b"\x00\xff\r\n", b"\x00\xff\r\n"),
    ("wb", {}, b"\x00\xff\r\n", b"\x00\xff\r\n"),
    ("r", {"encoding": "utf-8"}, "ü\r\nz".encode(), "ü\nz"),
    ("rt", {"encoding": "utf-8", "newline": ""}, b"a\r\nb", "a\r\nb"),
    ("r", {"encoding": "latin-1"}, b"\xfc", "ü"),
    ("r", {"encoding": "ascii", "errors": "replace"}, b"a\xff", "a\ufffd"),
    ("w", {"encoding": "utf-8"}, "ü\n".encode(), "ü\n"),
    ("wt", {"encoding": "utf-8", "newline": "\r\n"}, b"a\r\nb", "a\nb"),
    ("w", {"encoding": "utf-16-le"}, "hi".encode("utf-16-le"), "hi"),
]


@pytest.fixture
def private_tmp(tmp_path, monkeypatch):
    """Where the package's temporary files go, to check that none is left."""
    folder = tmp_path / "tmp"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


@pytest.mark.parametrize("mode, keywords, stored, value", MODES, ids=[f"{row[0]}-{row[1]}" for row in MODES])
def test_open_reads_and_writes_each_mode(service, phone, private_tmp, mode, keywords, stored, value):
    target = service.root / "f"
    if "r" in mode:
        target.write_bytes(stored)
        with phone.open("/f", mode, **keywords) as file:
            assert file.read() == value
            assert file.name == "/f"
    else:
        target.write_bytes(b"old")
        with phone.open("/f", mode, **keywords) as file:
            file.write(value)
            assert target.read_bytes() == b"old"  # nothing leaves before close
        assert target.read_bytes() == stored
    assert file.closed
    assert os.listdir(private_tmp) == []


@pytest.mark.parametrize("mode", ["wb", "w"])
def test_an_exception_in_the_block_uploads_nothing(service, phone, private_tmp, mode):
    (service.root / "f").write_bytes(b"old")
    with pytest.raises(RuntimeError):
        with phone.open("/f", mode) as file:
            file.write(b"new" if "b" in mode else "new")
            raise RuntimeError
    assert (service.root / "f").read_bytes() == b"old"
    assert os.listdir(private_tmp) == []


def test_a_failed_upload_at_close_raises_and_closes(service, phone, private_tmp):
    # open() checks the folder (test_host_answers.py): this one goes after.
    (service.root / "d").mkdir()
    file = phone.open("/d/f", "wb")
    file.write(b"data")
    (service.root / "d").rmdir()
    with pytest.raises(FileNotFoundError):
        file.close()
    assert file.closed
    assert os.listdir(private_tmp) == []


@pytest.mark.parametrize("mode", ["a", "r+", "x", "rw", "", "wbt"])
def test_other_modes_are_refused(phone, mode):
    with pytest.raises(ValueError):
        phone.open("/f", mode)


def test_getfo_and_putfo_move_bytes_through_objects(service, phone, private_tmp):
    data = os.urandom(3 << 20)
    (service.root / "f").write_bytes(data)
    target = io.BytesIO()
    calls = []
    assert phone.getfo("/f", target, progress=lambda done, total: calls.append((done, total))) == len(data)
    assert target.getvalue() == data and calls[-1] == (len(data), len(data))

    # A pipe cannot seek nor tell its size: it is spooled first.
    read_end, write_end = os.pipe()
    with os.fdopen(write_end, "wb") as writer:
        writer.write(data[:60000])
    with os.fdopen(read_end, "rb") as reader:
        assert phone.putfo(reader, "/g") == 60000
    assert (service.root / "g").read_bytes() == data[:60000]
    source = io.BytesIO(data)
    source.seek(10)
    assert phone.putfo(source, "/h") == len(data) - 10
    assert (service.root / "h").read_bytes() == data[10:]
    assert os.listdir(private_tmp) == []
    with pytest.raises(FileNotFoundError):
        phone.getfo("/none", io.BytesIO())
