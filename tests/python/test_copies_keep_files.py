"""A copy that fails leaves the file it would have replaced as it was, on
either side, and reports the failure: no partial file, no faked success."""
import os
import resource
import sys

import pytest

import korvex
from conftest import PASSWORD
from scripted_phone import Download, ScriptedPhone

SIZE = 100_000
OLD_LOCAL = b"the local file before the copy\n" * 50


@pytest.mark.parametrize("sent", [0, 1, SIZE // 2, SIZE - 1])
@pytest.mark.parametrize("old", [OLD_LOCAL, None], ids=["over-a-file", "no-file"])
def test_a_download_cut_short_leaves_the_local_file_as_it_was(tmp_path, sent, old):
    data = bytes(range(256)) * (SIZE // 256) + bytes(SIZE % 256)
    phone_side = ScriptedPhone(files={}, dirs={}, downloads={"/f": Download(data, sent)})
    folder = tmp_path / "local"
    folder.mkdir()
    local = folder / "f"
    if old is not None:
        local.write_bytes(old)
    try:
        phone = korvex.connect(phone_side.address, PASSWORD)
        with pytest.raises((korvex.TransferError, korvex.RefusedError)):
            phone.download("/f", local, start_timeout=10)
    finally:
        phone_side.stop()
    if old is None:
        assert os.listdir(folder) == []
    else:
        assert os.listdir(folder) == ["f"]  # nor any temporary file beside it
        assert local.read_bytes() == old


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="prlimit on another process is Linux's")
@pytest.mark.parametrize("size", [65 * 1024, 3 << 20])  # past korvexd's limit: through memory, and spliced
def test_an_upload_the_phone_cannot_store_raises_and_leaves_the_old_file(service, phone, tmp_path, size):
    # An old phone file of the very size sent: only the phone's own answer
    # tells that the new content was not stored.
    old = b"o" * size
    (service.root / "kept").write_bytes(old)
    resource.prlimit(service.process.pid, resource.RLIMIT_FSIZE, (64 * 1024, 64 * 1024))
    (tmp_path / "new").write_bytes(os.urandom(size))
    with pytest.raises((korvex.TransferError, korvex.RefusedError)):
        phone.upload(tmp_path / "new", "/kept")
    assert (service.root / "kept").read_bytes() == old
    assert os.listdir(service.root) == ["kept"]
    assert phone.exists("/kept")  # the session goes on
