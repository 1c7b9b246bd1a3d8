"""Sessions and background copies over the C exports."""
from __future__ import annotations

import ctypes
import os
import threading
import time
import warnings
from typing import Callable, Iterator, List, NamedTuple, Optional, Tuple, Union

from ._abi import (
    DEVICE_NAME_SIZE,
    Entry,
    LOGIN_FAILED,
    MAX_COPY_SIZE,
    MAX_PATH,
    MAX_RENAME_DEST,
    Progress,
    decode_progress,
    listing_names,
)
from ._library import library
from ._names import UnsafeNameWarning, is_plain_name, join_path

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
ProgressCallback = Callable[[int, int], None]


class Error(Exception):
    """Every failure the package reports."""


class ConnectError(Error):
    """Nothing accepted the TCP connection."""


class LoginError(Error):
    """The phone turned the password away, or did not answer in time."""


class ConnectionLost(Error):
    """The session's connection is closed; connect again."""


class RefusedError(Error):
    """The phone said no; the session stays usable."""

    def __init__(self, operation: str, path: str, reason: str = "refused by the phone") -> None:
        super().__init__(f"{operation} {path}: {reason}")
        self.operation = operation
        self.path = path


class TransferError(Error):
    """A background copy failed, broke off or never started."""

    def __init__(self, operation: str, path: str, reason: str, done: int = 0, total: int = 0) -> None:
        super().__init__(f"{operation} {path}: {reason}")
        self.operation = operation
        self.path = path
        self.done = done
        self.total = total


class State(NamedTuple):
    connected: bool
    address: str
    device: str


def _phone(path: str, limit: int = MAX_PATH) -> bytes:
    encoded = os.fsencode(path) if isinstance(path, bytes) else path.encode("utf-8", "surrogateescape")
    if len(encoded) > limit:
        raise ValueError(f"phone path longer than {limit} bytes: {path[:40]!r}...")
    return encoded


def _name(raw: bytes) -> str:
    return raw.decode("utf-8", "surrogateescape")


def _plain(directory: str, names: List[str], stacklevel: int) -> List[str]:
    kept = []
    for name in names:
        if is_plain_name(name):
            kept.append(name)
        else:
            # repr() escapes control characters: a hostile name cannot drive the terminal.
            warnings.warn(
                f"skipped {name!r} listed in {directory!r}: not usable as a local file name",
                UnsafeNameWarning,
                stacklevel=stacklevel,
            )
    return kept


def _local(path: PathLike) -> bytes:
    return os.fsencode(os.fspath(path))


def enable_log(level: int, path: Optional[PathLike] = None) -> bool:
    """Turns the library's log on: level 0..8 (3 errors ... 7 trace), to path or standard error.

    Returns True when the file was opened.
    """
    return bool(library().EnableLog(True, level, None if path is None else _local(path)) == 1)


def disable_log() -> None:
    library().EnableLog(False, 0, None)


def connect(address: str, password: str) -> "Session":
    """Connects to "host[:port]" (port 2323 by default) and logs in."""
    lib = library()
    error = ctypes.c_int(0)
    encoded = address.encode()
    handle = lib.Connect(encoded, password.encode("utf-8", "surrogateescape"), ctypes.byref(error))
    if not handle:
        if error.value == LOGIN_FAILED:
            raise LoginError(f"login to {address} refused: wrong password, or no answer in time")
        raise ConnectError(f"cannot connect to {address}")
    return Session(handle, encoded)


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


class Session:
    """A logged-in session, until close().

    Use it as a context manager (``with korvex.connect(...) as phone:``) or
    call close(); a session collected unclosed closes itself with a
    ResourceWarning, as files do. Transfers started on it stay usable after.
    """

    def __init__(self, handle: int, address: bytes) -> None:
        self._open_handle: Optional[int] = handle
        self._close_lock = threading.Lock()
        self._address = address

    @property
    def _handle(self) -> int:
        handle = self._open_handle
        if handle is None:
            raise Error("session closed")
        return handle

    @property
    def closed(self) -> bool:
        return self._open_handle is None

    def close(self) -> None:
        """Ends the session: its connection closes and its copies stop. Idempotent."""
        with self._close_lock:
            handle, self._open_handle = self._open_handle, None
        if handle is not None:
            library().Disconnect(handle)

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_open_handle", None) is not None:
            warnings.warn(f"unclosed korvex session {self._address.decode(errors='replace')}", ResourceWarning,
                          source=self)
            self.close()

    # ---- state ---------------------------------------------------------------

    def state(self) -> State:
        """The connection's state; no network traffic."""
        connected = ctypes.create_string_buffer(1)
        address = ctypes.create_string_buffer(len(self._address) + 1)
        name = ctypes.create_string_buffer(DEVICE_NAME_SIZE)
        library().ConnectionState(self._handle, connected, address, name)
        return State(connected.raw != b"\0", _name(address.value), _name(name.raw.split(b"\0", 1)[0]))

    @property
    def connected(self) -> bool:
        return self.state().connected

    def _failure(self, operation: str, path: str, reason: str = "refused by the phone") -> Error:
        # The library only says yes or no: a dead connection tells the two apart.
        if not self.connected:
            return ConnectionLost(f"{operation} {path}: the connection to the phone was lost")
        return RefusedError(operation, path, reason)

    def _check(self, done: bool, operation: str, path: str) -> None:
        if not done:
            raise self._failure(operation, path)

    def _question(self, answer: int, operation: str, path: str) -> bool:
        if answer < 0:
            raise self._failure(operation, path)
        return answer == 1

    def _word(self, value: int, operation: str, path: str) -> int:
        # 0 is also what a request that could not be sent yields.
        if value == -1 or (value == 0 and not self.connected):
            raise self._failure(operation, path)
        return value & 0xFFFFFFFF

    # ---- listings ------------------------------------------------------------

    def _list(self, function: Callable[..., int], operation: str, path: str) -> List[str]:
        buffer = ctypes.c_void_p()
        length = function(self._handle, _phone(path), ctypes.byref(buffer))
        if length < 0:
            raise self._failure(operation, path, "cannot be listed")
        if length == 0:
            return []
        try:
            text = ctypes.string_at(buffer.value or 0, length)
        finally:
            library().FreeBuffer(buffer)
        return [_name(name) for name in listing_names(text)]

    def files(self, path: str) -> List[str]:
        """The regular files of a phone directory, in the phone's order."""
        return self._list(library().GetFiles, "files", path)

    def dirs(self, path: str) -> List[str]:
        """The subdirectories of a phone directory, in the phone's order."""
        return self._list(library().GetDirectories, "dirs", path)

    def entries(self, path: str) -> List[Tuple[str, bool, int]]:
        """(name, is_directory, size) of each entry of a phone directory in a few round trips:
        directories first, then files with their sizes (0 for a directory). A file
        that went away before its size was asked is left out."""
        array = ctypes.POINTER(Entry)()
        count = library().GetEntries(self._handle, _phone(path), ctypes.byref(array))
        if count < 0:
            raise self._failure("entries", path, "cannot be listed")
        try:
            return [(_name(array[i].name), bool(array[i].is_directory), array[i].size) for i in range(count)]
        finally:
            library().FreeEntries(array)

    def sizes(self, paths: List[str]) -> List[Optional[int]]:
        """The size of each path in one pipelined pass, None where the phone refused it."""
        encoded = [_phone(path) for path in paths]
        count = len(encoded)
        found = (ctypes.c_longlong * max(count, 1))()
        result = library().GetSizes(self._handle, (ctypes.c_char_p * max(count, 1))(*encoded), count, found)
        if result < 0:
            raise self._failure("sizes", paths[0] if paths else "")
        return [None if size < 0 else size for size in found[:count]]

    def listdir(self, path: str) -> List[str]:
        """Subdirectories and files, as os.listdir."""
        return self.dirs(path) + self.files(path)

    def walk(
        self, top: str, topdown: bool = True, onerror: Optional[Callable[[Error], None]] = None
    ) -> Iterator[Tuple[str, List[str], List[str]]]:
        """(dirpath, dirnames, filenames) for each directory below top, as os.walk.

        With topdown, pruning dirnames in place skips those subdirectories.
        Only names that is_plain_name accepts are listed, so joining one to a
        local folder stays inside it: any other name is skipped with an
        UnsafeNameWarning, except "." and ".." as directories, which are
        skipped silently.
        """
        return self._walk(top, topdown, onerror, 0)

    def _walk(
        self, top: str, topdown: bool, onerror: Optional[Callable[[Error], None]], depth: int
    ) -> Iterator[Tuple[str, List[str], List[str]]]:
        # Each level below top is one more generator frame between a warning and the caller's loop.
        try:
            dirnames, filenames = self.dirs(top), self.files(top)
        except ConnectionLost:
            raise
        except Error as error:
            if onerror is not None:
                onerror(error)
            return
        dirnames = _plain(top, [name for name in dirnames if name not in (".", "..")], 3 + depth)
        filenames = _plain(top, filenames, 3 + depth)
        if topdown:
            yield top, dirnames, filenames
        for name in dirnames:
            yield from self._walk(join_path(top.rstrip("/") or "/", name), topdown, onerror, depth + 1)
        if not topdown:
            yield top, dirnames, filenames

    # ---- paths ---------------------------------------------------------------

    def exists(self, path: str) -> bool:
        return self._question(library().Exists(self._handle, _phone(path)), "exists", path)

    def isdir(self, path: str) -> bool:
        return self._question(library().IsDirectory(self._handle, _phone(path)), "isdir", path)

    def size(self, path: str) -> int:
        """A file's size in bytes, up to 4 GiB - 2 (4 GiB - 1 reads as a refusal)."""
        return self._word(library().FileSize(self._handle, _phone(path)), "size", path)

    def free_space(self, path: str) -> int:
        """The phone's free-space word for path, in its unit (KiB for korvexd)."""
        return self._word(library().GetSpaceSize(self._handle, _phone(path)), "free_space", path)

    def rename(self, source: str, dest: str) -> None:
        self._check(library().Rename(self._handle, _phone(source), _phone(dest, MAX_RENAME_DEST)), "rename", source)

    def remove(self, path: str) -> None:
        self._check(library().DeletePhoneFile(self._handle, _phone(path)), "remove", path)

    def rmdir(self, path: str, recursive: bool = False) -> None:
        """Removes an empty directory, or with recursive the whole tree."""
        self._check(library().DeleteDirectory(self._handle, _phone(path), recursive), "rmdir", path)

    def mkdir(self, path: str) -> None:
        """Creates one directory; its parent must exist."""
        self._check(library().CreatePhoneDirectory(self._handle, _phone(path)), "mkdir", path)

    def makedirs(self, path: str, exist_ok: bool = False) -> None:
        """Creates a directory and the missing parents, as os.makedirs."""
        parts = [part for part in path.split("/") if part]
        prefix = "/" if path.startswith("/") else ""
        for index, part in enumerate(parts):
            prefix = join_path(prefix, part)
            last = index == len(parts) - 1
            if self.isdir(prefix):
                if last and not exist_ok:
                    raise RefusedError("makedirs", path, "already exists")
                continue
            self.mkdir(prefix)

    def chown(self, path: str, owner: int, group: int) -> None:
        """Sets the numeric owner and group; -1 keeps either as it is."""
        chown = getattr(library(), "korvex_chown", None)
        if chown is None:
            raise Error("this library exports no Chown this package can bind")
        buffer = ctypes.create_string_buffer(_phone(path))
        self._check(chown(self._handle, buffer, owner, group), "chown", path)

    # ---- power ---------------------------------------------------------------

    def shutdown(self) -> None:
        library().Shutdown(self._handle)

    def reboot(self) -> None:
        library().Reboot(self._handle)

    def restart(self) -> None:
        """Asks the phone to restart its file service."""
        library().Restart(self._handle)

    # ---- copies --------------------------------------------------------------

    def start_download(self, remote: str, local: PathLike) -> Transfer:
        handle = library().DownFromPhoneAsync(self._handle, _phone(remote), _local(local))
        if not handle:
            raise ConnectionLost(f"download {remote}: the session is closing")
        return Transfer(handle, "download", remote)

    def start_upload(self, local: PathLike, remote: str) -> Transfer:
        size = os.path.getsize(local)  # raises the usual OSError for a missing file
        if size > MAX_COPY_SIZE:
            raise ValueError(f"{os.fsdecode(_local(local))}: too large: copies stop at 4 GiB - 3 bytes")
        handle = library().CopyToPhoneAsync(self._handle, _local(local), _phone(remote))
        if not handle:
            raise self._failure("upload", remote, "the local file cannot be opened")
        return Transfer(handle, "upload", remote)

    def download(
        self,
        remote: str,
        local: PathLike,
        progress: Optional[ProgressCallback] = None,
        start_timeout: float = 10.0,
        poll_interval: float = 0.02,
    ) -> None:
        """Copies a phone file to a local path, calling progress(done, total) as bytes arrive.

        Raises on failure; KeyboardInterrupt (or any exception from progress)
        cancels the copy. The library replaces local only once every byte has
        arrived: a failed or cancelled copy leaves it as it was, or absent.
        """
        if os.path.isdir(local):
            raise IsADirectoryError(f"{os.fsdecode(_local(local))}: is a directory")
        with self.start_download(remote, local) as transfer:
            try:
                self._follow(transfer, progress, start_timeout, poll_interval)
            except BaseException:
                transfer.cancel()
                raise

    def upload(
        self,
        local: PathLike,
        remote: str,
        progress: Optional[ProgressCallback] = None,
        start_timeout: float = 10.0,
        poll_interval: float = 0.02,
    ) -> None:
        """Copies a local file to the phone, calling progress(done, total) as bytes leave.

        Returns once the phone has confirmed it holds the whole file (the
        library asks for its size before reporting the copy done); raises on
        failure; KeyboardInterrupt cancels the copy.
        """
        with self.start_upload(local, remote) as transfer:
            try:
                self._follow(transfer, progress, start_timeout, poll_interval)
            except BaseException:
                transfer.cancel()
                raise

    def _follow(
        self, transfer: Transfer, progress: Optional[ProgressCallback], start_timeout: float, poll_interval: float
    ) -> None:
        start = time.monotonic()
        last: Optional[Tuple[int, int]] = None
        while True:
            state = transfer.progress
            if state.phase in ("running", "done"):
                if progress is not None and (state.done, state.total) != last:
                    last = (state.done, state.total)
                    progress(state.done, state.total)
                if state.phase == "done":
                    # Waits for the copy's thread, so a download's file is complete.
                    transfer.close()
                    return
            elif state.phase == "failed":
                transfer.close()
                if not transfer.started:
                    raise self._failure(transfer.operation, transfer.path, "the phone refused the copy")
                raise TransferError(transfer.operation, transfer.path, "the copy broke off", *(last or (0, 0)))
            elif time.monotonic() - start > start_timeout:
                raise TransferError(
                    transfer.operation, transfer.path, "the copy did not start: its connection or login failed"
                )
            time.sleep(poll_interval)

