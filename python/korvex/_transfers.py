"""Copies of one file: background copies (Transfer), the loop that follows one, and the synchronous copies of the pool.

The local side is checked first (_local), so a local mistake is the
system's error and nothing reaches the phone.
"""
from __future__ import annotations

import ctypes
import threading
import time
from typing import TYPE_CHECKING, Callable, NamedTuple, Optional, Tuple

from ._abi import Progress, decode_progress
from ._errors import TransferError
from ._library import library
from ._local import download_target, upload_source
from ._paths import encoded, local

if TYPE_CHECKING:
    from ._session import Session

ProgressCallback = Callable[[int, int], None]


class Transfer:
    """One background copy on a connection of its own.

    Use it as a context manager, or call close(): closing cancels a copy that
    still runs and frees its handle.
    """

    def __init__(self, handle: int, operation: str, path: str) -> None:
        self._handle: Optional[int] = handle
        self._lock = threading.Lock()
        self._started = False
        self.operation = operation
        self.path = path

    @property
    def progress(self) -> Progress:
        """Never blocks. A closed transfer reads as failed."""
        with self._lock:
            if self._handle is None:
                return Progress(0, 0, "failed")
            total, progress = ctypes.c_int(0), ctypes.c_int(0)
            value = library().GetTransProgress(self._handle, ctypes.byref(total), ctypes.byref(progress))
            state = decode_progress(value, total.value)
            if state.phase in ("running", "done"):
                self._started = True
            return state

    @property
    def started(self) -> bool:
        """Whether the copy was ever seen under way (the phone had accepted it)."""
        return self._started

    def wait(self, timeout: Optional[float] = None, poll_interval: float = 0.02) -> bool:
        """True once done, False when timeout seconds passed first; raises TransferError if it failed.

        A copy whose own connection or login fails stays "starting": give a timeout.
        """
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            state = self.progress
            if state.phase == "done":
                return True
            if state.phase == "failed":
                raise TransferError(self.operation, self.path, "the copy failed", state.done, state.total)
            if deadline is not None and time.monotonic() >= deadline:
                return False
            time.sleep(poll_interval)

    def cancel(self) -> None:
        """Stops the copy if it still runs, waits for its thread and frees the handle."""
        with self._lock:
            handle, self._handle = self._handle, None
        if handle is not None:
            library().CloseTransHandle(handle)

    close = cancel

    def __enter__(self) -> "Transfer":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            self.close()


def start_download(session: "Session", remote: str, target: str, operation: str = "download") -> Transfer:
    own = session._handle
    download_target(target)
    handle = library().DownFromPhoneAsync(own, encoded(remote), local(target))
    if not handle:
        raise session._failure("download", operation, remote)
    return Transfer(handle, operation, remote)


def start_upload(session: "Session", source: str, remote: str, operation: str = "upload") -> Transfer:
    own = session._handle
    upload_source(source)
    handle = library().CopyToPhoneAsync(own, local(source), encoded(remote))
    if not handle:
        raise session._failure("upload", operation, remote)
    return Transfer(handle, operation, remote)


class Following(NamedTuple):
    """How a copy is followed: progress(done, total) as bytes move, and how long it may take to start."""

    progress: Optional[ProgressCallback] = None
    start_timeout: float = 10.0
    poll_interval: float = 0.02


def follow(session: "Session", transfer: Transfer, act: str, how: Following) -> None:
    """Polls a copy to its end; any exception on the way (KeyboardInterrupt too) cancels it."""
    with transfer:
        try:
            _follow(session, transfer, act, how)
        except BaseException:
            transfer.cancel()
            raise


def _follow(session: "Session", transfer: Transfer, act: str, how: Following) -> None:
    start = time.monotonic()
    last: Optional[Tuple[int, int]] = None
    while True:
        state = transfer.progress
        if state.phase in ("running", "done"):
            if how.progress is not None and (state.done, state.total) != last:
                last = (state.done, state.total)
                how.progress(state.done, state.total)
            if state.phase == "done":
                # Waits for the copy's thread, so a download's file is complete.
                transfer.close()
                return
        elif state.phase == "failed":
            transfer.close()
            if not transfer.started:
                raise session._failure(act, transfer.operation, transfer.path)
            raise TransferError(transfer.operation, transfer.path, "the copy broke off", *(last or (0, 0)))
        elif time.monotonic() - start > how.start_timeout:
            raise TransferError(
                transfer.operation, transfer.path, "the copy did not start: its connection or login failed"
            )
        time.sleep(how.poll_interval)


def download(session: "Session", remote: str, target: str, operation: str = "download",
             how: Following = Following()) -> None:
    follow(session, start_download(session, remote, target, operation), "download", how)


def upload(session: "Session", source: str, remote: str, operation: str = "upload",
           how: Following = Following()) -> None:
    follow(session, start_upload(session, source, remote, operation), "upload", how)


def download_now(session: "Session", remote: str, target: str, operation: str) -> None:
    """A download on the session's own connection (the pool's): no thread of its own."""
    download_target(target)
    if not library().DownFromPhone(session._handle, encoded(remote), local(target)):
        raise session._failure("download", operation, remote)


def upload_now(session: "Session", source: str, remote: str, operation: str) -> None:
    upload_source(source)
    if not library().CopyToPhone(session._handle, local(source), encoded(remote)):
        raise session._failure("upload", operation, remote)
