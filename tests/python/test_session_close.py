"""A session ends when its owner says so: with, close(), or the collector."""
import gc
import time
import warnings

import pytest

import korvex
from conftest import PASSWORD


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.exists("/"),
        lambda p: p.listdir("/"),
        lambda p: p.start_download("/f", "x"),
    ],
    ids=["exists", "listdir", "start_download"],
)
def test_a_closed_session_refuses_calls_instead_of_touching_freed_memory(service, call):
    with korvex.connect(service.address, PASSWORD) as phone:
        assert phone.exists("/")
    assert phone.closed
    with pytest.raises(korvex.Error, match="session closed"):
        call(phone)
    phone.close()  # again: nothing happens


def test_a_closed_session_reads_as_disconnected_as_it_was_last(service):
    with korvex.connect(service.address, PASSWORD) as phone:
        assert phone.connected
    assert not phone.connected
    assert phone.state() == korvex.State(False, service.address, "py-phone")


def test_close_ends_the_connection_and_stops_running_copies(service, tmp_path):
    (service.root / "big").write_bytes(b"\0" * (256 << 20))
    phone = korvex.connect(service.address, PASSWORD)
    transfer = phone.start_download("/big", tmp_path / "big")
    deadline = time.monotonic() + 5
    while transfer.progress.phase == "starting" and time.monotonic() < deadline:
        time.sleep(0.001)
    phone.close()
    # Stopped or already done: either way ended, and its handle still closes.
    assert transfer.progress.phase in ("done", "failed")
    transfer.close()
    log = service.root.parent / "korvexd.log"
    deadline = time.monotonic() + 5
    while log.read_text().count(": closed (") < 2 and time.monotonic() < deadline:
        time.sleep(0.02)
    assert log.read_text().count(": closed (") == 2  # the session's connection and the copy's


def test_an_unclosed_session_warns_and_closes_when_collected(service):
    phone = korvex.connect(service.address, PASSWORD)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del phone
        gc.collect()
    assert [w.category for w in caught] == [ResourceWarning]
    assert "unclosed korvex session" in str(caught[0].message)
