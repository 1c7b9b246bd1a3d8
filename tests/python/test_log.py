"""The library's log handed to Python's logging, line by line, at the matching levels."""
import logging
import os
import tempfile
import threading

import pytest

import korvex
from conftest import PASSWORD


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def records(tmp_path, monkeypatch):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    handler = Records()
    logger = logging.getLogger("korvex")
    logger.addHandler(handler)
    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    yield handler.records
    logger.removeHandler(handler)
    logger.setLevel(old_level)
    korvex.disable_log()


# library level, whether a trace line of a call reaches logging
LEVELS = [(7, True), (8, True), (3, False)]


@pytest.mark.parametrize("level, traced", LEVELS, ids=[str(row[0]) for row in LEVELS])
def test_the_log_reaches_the_korvex_logger(service, tmp_path, records, level, traced):
    assert korvex.enable_log(level, to_logging=True)
    assert sorted(os.listdir(tmp_path)) == ["korvexd.log", "root"]  # the FIFO's name is gone already
    with korvex.connect(service.address, PASSWORD) as phone:
        phone.exists("/probe-path")
    korvex.disable_log()  # returns once every line was handed on
    messages = [record.getMessage() for record in records]
    assert any("Exists /probe-path" in message for message in messages) is traced
    assert all(PASSWORD not in message for message in messages)
    assert all(record.name == "korvex" and isinstance(record.korvex_thread, int) for record in records)
    if traced:
        exists = next(record for record in records if "Exists /probe-path" in record.getMessage())
        assert exists.levelno == logging.DEBUG
    assert not [thread for thread in threading.enumerate() if thread.name == "korvex-log"]
    count = len(records)
    with korvex.connect(service.address, PASSWORD) as phone:
        phone.exists("/")
    assert len(records) == count  # off: nothing more


def test_a_file_after_logging_takes_the_lines_and_the_reader_ends(service, tmp_path, records):
    assert korvex.enable_log(7, to_logging=True)
    log = tmp_path / "file.log"
    assert korvex.enable_log(7, log)
    assert not [thread for thread in threading.enumerate() if thread.name == "korvex-log"]
    with korvex.connect(service.address, PASSWORD) as phone:
        phone.exists("/to-the-file")
    assert "Exists /to-the-file" in log.read_text()
    assert not any("to-the-file" in record.getMessage() for record in records)
    with pytest.raises(ValueError):
        korvex.enable_log(7, log, to_logging=True)
