"""The library's log: to a file, to standard error, or into Python's logging.

EnableLog only takes a file path, which it opens for appending. On POSIX a
FIFO is such a path: the library writes each line into it and flushes, and a
thread of ours reads the other end and hands each line to the "korvex"
logger. The FIFO's name is unlinked as soon as both ends are open, and when
the library lets go of it (disable_log, or another file) the reader sees the
end and stops.
"""
from __future__ import annotations

import logging
import os
import re
import shutil
import tempfile
import threading
from typing import Optional

from ._library import library
from ._paths import LocalPath
from ._paths import local as _local

LOGGER = logging.getLogger("korvex")
# The library's labels, by its level 0..8, as logging levels.
_LEVELS = {
    "EMRG": logging.CRITICAL, "ALRT": logging.CRITICAL, "CRIT": logging.CRITICAL, "ERR": logging.ERROR,
    "WARN": logging.WARNING, "NOTC": logging.INFO, "INFO": logging.INFO, "DBUG": logging.DEBUG, "DSTK": logging.DEBUG,
}
# "[stamp.ms] LABL: [pid-tid]text"
_LINE = re.compile(r"\[[^\]]*\] (\w+) ?: \[\d+-(\d+)\](.*)")

_lock = threading.Lock()
_reader: Optional[threading.Thread] = None


def _forward(fd: int) -> None:
    with open(fd, "rb") as pipe:
        for raw in pipe:
            line = raw.rstrip(b"\n").decode("utf-8", "replace")
            match = _LINE.fullmatch(line)
            if match is None:
                LOGGER.info("%s", line)
            else:
                label, thread, text = match.groups()
                LOGGER.log(_LEVELS.get(label, logging.INFO), "%s", text, extra={"korvex_thread": int(thread)})


def _join_reader() -> None:
    # Called once the library let go of the FIFO: the reader drains what is left, then ends.
    global _reader
    reader, _reader = _reader, None
    if reader is not None:
        reader.join(timeout=10)


def enable_log(level: int, path: Optional[LocalPath] = None, *, to_logging: bool = False) -> bool:
    """Turns the library's log on: level 0..8 (3 errors ... 7 trace), to path or standard error.

    With to_logging (POSIX only), each line goes to the logger named "korvex"
    instead, at the matching level (0-2 CRITICAL, 3 ERROR, 4 WARNING, 5-6
    INFO, 7-8 DEBUG), with the library's thread id as record.korvex_thread.
    Without a path nor to_logging, the current output is kept.
    Returns True when the file (or the FIFO) was opened.
    """
    with _lock:
        if not to_logging:
            opened = library().EnableLog(True, level, None if path is None else _local(path)) == 1
            if opened:
                _join_reader()
            return bool(opened)
        if path is not None:
            raise ValueError("enable_log: give a path or to_logging, not both")
        if not hasattr(os, "mkfifo"):
            raise NotImplementedError("enable_log(to_logging=True) needs a POSIX FIFO")
        folder = tempfile.mkdtemp(prefix="korvex-log-")
        try:
            fifo = os.path.join(folder, "log")
            os.mkfifo(fifo, 0o600)
            if library().EnableLog(True, level, os.fsencode(fifo)) != 1:
                return False
            # The library holds the FIFO open for reading and writing, so this open does not wait.
            fd = os.open(fifo, os.O_RDONLY)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        _join_reader()  # the previous FIFO, if any, was closed by the call above
        global _reader
        _reader = threading.Thread(target=_forward, args=(fd,), name="korvex-log", daemon=True)
        _reader.start()
        return True


def disable_log() -> None:
    with _lock:
        library().EnableLog(False, 0, None)
        _join_reader()
