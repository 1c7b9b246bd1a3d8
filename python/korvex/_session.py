"""Sessions and background copies over the C exports."""
from __future__ import annotations

import ctypes
import errno
import os
import threading
import time
import warnings
from typing import IO, Callable, Iterator, List, NamedTuple, Optional, Tuple, Union, cast

from ._abi import (
    DEVICE_NAME_SIZE,
    KIND_DIRECTORY,
    KIND_FILE,
    KIND_MISSING,
    KIND_UNSIZED,
    Entry,
    LOGIN_FAILED,
    MAX_COPY_SIZE,
    MAX_PATH,
    MAX_RENAME_DEST,
    Progress,
    decode_progress,
    listing_names,
)
from ._errors import (
    ConnectError,
    ConnectionLostError,
    Error,
    ExistsError,
    IsDirectoryError,
    LoginError,
    RefusedError,
    TransferError,
    refusal,
)
from ._fileobj import open_phone_file, remove_spool, spool
from ._library import library
from ._log import LocalPath as PathLike
from ._names import UnsafeNameWarning, is_plain_name, join_path
from ._stat import Attributes, DirEntry, ScandirIterator, make_stat
from ._tree import Copy, run

# A phone path: text, or what os.fspath turns into text (pathlib.PurePosixPath).
PhonePath = Union[str, "os.PathLike[str]"]
ProgressCallback = Callable[[int, int], None]


class State(NamedTuple):
    connected: bool
    address: str
    device: str


def _text(path: PhonePath) -> str:
    """A phone path as text: str, or anything os.fspath makes text of (bytes are decoded as names are)."""
    value: Union[str, bytes] = os.fspath(path)
    return value.decode("utf-8", "surrogateescape") if isinstance(value, bytes) else value


def _phone(path: str, limit: int = MAX_PATH) -> bytes:
    encoded = path.encode("utf-8", "surrogateescape")
    if len(encoded) > limit:
        raise ValueError(f"phone path longer than {limit} bytes: {path[:40]!r}...")
    return encoded


def _parent(path: str) -> str:
    """The phone directory holding path ("/a/b" -> "/a", "/a" -> "/", "a" -> "")."""
    trimmed = path.rstrip("/")
    if "/" not in trimmed:
        return "/" if path.startswith("/") else ""
    return trimmed.rsplit("/", 1)[0] or "/"


def _basename(path: str) -> str:
    return path.rstrip("/").rsplit("/", 1)[-1]


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


def connect(address: str, password: str) -> "Session":
    """Connects to "host[:port]" (port 2323 by default) and logs in."""
    lib = library()
    error = ctypes.c_int(0)
    encoded = address.encode()
    handle = lib.Connect(encoded, password.encode("utf-8", "surrogateescape"), ctypes.byref(error))
    if not handle:
        if error.value == LOGIN_FAILED:
            raise LoginError(address)
        raise ConnectError(address)
    # What another session of the same login needs (the pool of get/put).
    return Session(handle, encoded, lambda: connect(address, password))


class _ProbeFailed(Exception):
    """A probe after a refusal got no answer."""


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

    def __init__(self, handle: int, address: bytes, login: Optional[Callable[[], "Session"]] = None) -> None:
        self._open_handle: Optional[int] = handle
        self._close_lock = threading.Lock()
        self._address = address
        self._login = login

    def _new_session(self) -> "Session":
        """Another session logged in as this one was."""
        if self._login is None:
            raise Error("this session cannot log in again")
        return self._login()

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

    def _failure(
        self,
        operation: str,
        path: str,
        reason: str = "refused by the phone",
        dest: Optional[str] = None,
        emptiness: bool = False,
    ) -> Error:
        # The library only says yes or no: a dead connection tells the two
        # apart, then probes find why the phone said no.
        if not self.connected:
            return ConnectionLostError(operation, path)
        try:
            code, why = self._why(operation, path, dest, emptiness)
        except _ProbeFailed:
            if not self.connected:
                return ConnectionLostError(operation, path)
            code, why = errno.EIO, ""
        return refusal(code, operation, path, why or reason, dest)

    def _probe(self, function: Callable[..., int], path: str) -> bool:
        try:
            answer = function(self._handle, _phone(path))
        except ValueError:
            raise _ProbeFailed from None
        if answer < 0:
            raise _ProbeFailed
        return bool(answer == 1)

    def _why(self, operation: str, path: str, dest: Optional[str], emptiness: bool) -> Tuple[int, str]:
        """The errno that explains a refusal, found by asking the phone; EIO when none does."""
        lib = library()

        def exists(target: str) -> bool:
            return self._probe(lib.Exists, target)

        def isdir(target: str) -> bool:
            return self._probe(lib.IsDirectory, target)

        if operation in ("exists", "isdir", "sizes", "free_space"):
            return errno.EIO, ""
        if operation in ("mkdir", "upload"):
            if operation == "mkdir" and exists(path):
                return errno.EEXIST, "already exists"
            if operation == "upload" and isdir(path):
                return errno.EISDIR, "is a directory"
            parent = _parent(path)
            if parent and not exists(parent):
                return errno.ENOENT, "no such directory: " + parent
            if parent and not isdir(parent):
                return errno.ENOTDIR, "not a directory: " + parent
            return errno.EIO, ""
        if operation == "rename":
            if not exists(path):
                return errno.ENOENT, "no such file or directory"
            if dest is not None:
                parent = _parent(dest)
                if parent and not isdir(parent):
                    return errno.ENOENT, "no such directory: " + parent
                if exists(dest):
                    return errno.EEXIST, "the destination exists"
            return errno.EIO, ""
        if not exists(path):
            return errno.ENOENT, "no such file or directory"
        directory = isdir(path)
        if operation in ("remove", "size", "download") and directory:
            return errno.EISDIR, "is a directory"
        if operation in ("rmdir", "files", "dirs", "entries", "listdir", "scandir") and not directory:
            return errno.ENOTDIR, "not a directory"
        if emptiness:
            # The listings leave links and special files out: only entries they show prove it.
            array = ctypes.POINTER(Entry)()
            count = lib.GetEntries(self._handle, _phone(path), ctypes.byref(array))
            lib.FreeEntries(array)
            if count < 0:
                raise _ProbeFailed
            if count > 0:
                return errno.ENOTEMPTY, "directory not empty"
        return errno.EIO, ""

    def _check(self, done: bool, operation: str, path: str, dest: Optional[str] = None,
               emptiness: bool = False) -> None:
        if not done:
            raise self._failure(operation, path, dest=dest, emptiness=emptiness)

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

    def files(self, path: PhonePath) -> List[str]:
        """The regular files of a phone directory, in the phone's order."""
        return self._list(library().GetFiles, "files", _text(path))

    def dirs(self, path: PhonePath) -> List[str]:
        """The subdirectories of a phone directory, in the phone's order."""
        return self._list(library().GetDirectories, "dirs", _text(path))

    def _entries(self, path: str, operation: str) -> List[Tuple[str, bool, int]]:
        array = ctypes.POINTER(Entry)()
        count = library().GetEntries(self._handle, _phone(path), ctypes.byref(array))
        if count < 0:
            raise self._failure(operation, path, "cannot be listed")
        try:
            return [(_name(array[i].name), bool(array[i].is_directory), array[i].size) for i in range(count)]
        finally:
            library().FreeEntries(array)

    def entries(self, path: PhonePath) -> List[Tuple[str, bool, int]]:
        """(name, is_directory, size) of each entry of a phone directory in a few round trips:
        directories first, then files with their sizes (0 for a directory). A file
        that went away before its size was asked is left out."""
        return self._entries(_text(path), "entries")

    def sizes(self, paths: List[PhonePath]) -> List[Optional[int]]:
        """The size of each path in one pipelined pass, None where the phone refused it."""
        texts = [_text(path) for path in paths]
        encoded = [_phone(path) for path in texts]
        count = len(encoded)
        found = (ctypes.c_longlong * max(count, 1))()
        result = library().GetSizes(self._handle, (ctypes.c_char_p * max(count, 1))(*encoded), count, found)
        if result < 0:
            raise self._failure("sizes", texts[0] if texts else "")
        return [None if size < 0 else size for size in found[:count]]

    def listdir(self, path: PhonePath) -> List[str]:
        """Subdirectories and files, as os.listdir."""
        return self.dirs(path) + self.files(path)

    def scandir(self, path: PhonePath) -> ScandirIterator:
        """The entries of a phone directory as os.scandir gives them, from one batched listing:
        is_dir(), is_file() and stat() ask the phone nothing more."""
        top = _text(path)
        return ScandirIterator(
            [DirEntry(name, join_path(top, name), is_dir, size) for name, is_dir, size in self._entries(top, "scandir")]
        )

    def listdir_attr(self, path: PhonePath) -> List[Attributes]:
        """One Attributes (filename, st_size, st_mode ...) per entry, from one batched listing."""
        return [Attributes(name, is_dir, size) for name, is_dir, size in self._entries(_text(path), "listdir_attr")]

    def walk(
        self, top: PhonePath, topdown: bool = True, onerror: Optional[Callable[[Error], None]] = None
    ) -> Iterator[Tuple[str, List[str], List[str]]]:
        """(dirpath, dirnames, filenames) for each directory below top, as os.walk.

        Each directory is one scandir. With topdown, pruning dirnames in place
        skips those subdirectories. Only names that is_plain_name accepts are
        listed, so joining one to a local folder stays inside it: any other
        name is skipped with an UnsafeNameWarning.
        """
        for directory, dirs, files in self._walk(_text(top), topdown, onerror, 0):
            yield directory, dirs, [entry.name for entry in files]

    def _walk(
        self,
        top: str,
        topdown: bool,
        onerror: Optional[Callable[[Error], None]],
        depth: int,
    ) -> Iterator[Tuple[str, List[str], List[DirEntry]]]:
        # Each level below top is one more generator frame between a warning
        # and the caller's loop (walk adds one).
        try:
            with self.scandir(top) as listing:
                found = list(listing)
        except ConnectionLostError:
            raise
        except Error as error:
            if onerror is not None:
                onerror(error)
            return
        dirnames = _plain(top, [entry.name for entry in found if entry.is_dir()], 4 + depth)
        kept = set(_plain(top, [entry.name for entry in found if entry.is_file()], 4 + depth))
        files = [entry for entry in found if entry.is_file() and entry.name in kept]
        if topdown:
            yield top, dirnames, files
        for name in dirnames:
            yield from self._walk(join_path(top.rstrip("/") or "/", name), topdown, onerror, depth + 1)
        if not topdown:
            yield top, dirnames, files

    # ---- paths ---------------------------------------------------------------

    def exists(self, path: PhonePath) -> bool:
        text = _text(path)
        return self._question(library().Exists(self._handle, _phone(text)), "exists", text)

    def isdir(self, path: PhonePath) -> bool:
        text = _text(path)
        return self._question(library().IsDirectory(self._handle, _phone(text)), "isdir", text)

    def isfile(self, path: PhonePath) -> bool:
        """Whether path is there and no directory (the phone lists regular files only)."""
        return self._kind("isfile", _text(path))[0] in (KIND_FILE, KIND_UNSIZED)

    def size(self, path: PhonePath) -> int:
        """A file's size in bytes, up to 4 GiB - 2 (4 GiB - 1 reads as a refusal)."""
        text = _text(path)
        return self._word(library().FileSize(self._handle, _phone(text)), "size", text)

    def stat(self, path: PhonePath) -> os.stat_result:
        """An os.stat_result with st_mode (S_IFDIR | 0o755 or S_IFREG | 0o644) and st_size; the rest 0.

        Raises FileNotFoundError (NotFoundError) when path is missing.
        """
        text = _text(path)
        kind, size = self._kind("stat", text)
        if kind == KIND_MISSING:
            raise refusal(errno.ENOENT, "stat", text, "no such file or directory")
        if kind == KIND_UNSIZED:
            raise refusal(errno.EIO, "stat", text, "the phone gives no size for it (4 GiB or more)")
        return make_stat(kind == KIND_DIRECTORY, max(size, 0))

    def _kind(self, operation: str, text: str) -> Tuple[int, int]:
        """What path is (a KIND_ value) and a file's size: the three questions in one round trip."""
        kinds = (ctypes.c_int * 1)()
        sizes = (ctypes.c_longlong * 1)()
        if library().GetKinds(self._handle, (ctypes.c_char_p * 1)(_phone(text)), 1, kinds, sizes) < 0:
            raise self._failure(operation, text)
        return kinds[0], sizes[0]

    lstat = stat

    def free_space(self, path: PhonePath) -> int:
        """The phone's free-space word for path, in its unit (KiB for korvexd)."""
        text = _text(path)
        return self._word(library().GetSpaceSize(self._handle, _phone(text)), "free_space", text)

    def rename(self, source: PhonePath, dest: PhonePath) -> None:
        """Renames or moves; an existing destination file is replaced where the phone allows it."""
        old, new = _text(source), _text(dest)
        self._check(library().Rename(self._handle, _phone(old), _phone(new, MAX_RENAME_DEST)), "rename", old, new)

    def remove(self, path: PhonePath) -> None:
        text = _text(path)
        self._check(library().DeletePhoneFile(self._handle, _phone(text)), "remove", text)

    def rmdir(self, path: PhonePath, recursive: bool = False) -> None:
        """Removes an empty directory, or with recursive the whole tree."""
        text = _text(path)
        self._check(library().DeleteDirectory(self._handle, _phone(text), recursive), "rmdir", text,
                    emptiness=not recursive)

    def mkdir(self, path: PhonePath) -> None:
        """Creates one directory; its parent must exist."""
        text = _text(path)
        self._check(library().CreatePhoneDirectory(self._handle, _phone(text)), "mkdir", text)

    def makedirs(self, path: PhonePath, exist_ok: bool = False) -> None:
        """Creates a directory and the missing parents, as os.makedirs."""
        text = _text(path)
        parts = [part for part in text.split("/") if part]
        prefix = "/" if text.startswith("/") else ""
        for index, part in enumerate(parts):
            prefix = join_path(prefix, part)
            last = index == len(parts) - 1
            if self.isdir(prefix):
                if last and not exist_ok:
                    raise ExistsError("makedirs", text, "already exists")
                continue
            self.mkdir(prefix)

    def chown(self, path: PhonePath, owner: int, group: int) -> None:
        """Sets the numeric owner and group; -1 keeps either as it is."""
        text = _text(path)
        chown = getattr(library(), "korvex_chown", None)
        if chown is None:
            raise Error("this library exports no Chown this package can bind")
        buffer = ctypes.create_string_buffer(_phone(text))
        self._check(chown(self._handle, buffer, owner, group), "chown", text)

    # ---- power ---------------------------------------------------------------

    def shutdown(self) -> None:
        library().Shutdown(self._handle)

    def reboot(self) -> None:
        library().Reboot(self._handle)

    def restart(self) -> None:
        """Asks the phone to restart its file service."""
        library().Restart(self._handle)

    # ---- copies --------------------------------------------------------------

    def start_download(self, remote: PhonePath, local: PathLike) -> Transfer:
        text = _text(remote)
        handle = library().DownFromPhoneAsync(self._handle, _phone(text), _local(local))
        if not handle:
            raise ConnectionLostError("download", text)
        return Transfer(handle, "download", text)

    def start_upload(self, local: PathLike, remote: PhonePath) -> Transfer:
        text = _text(remote)
        size = os.path.getsize(local)  # raises the usual OSError for a missing file
        if size > MAX_COPY_SIZE:
            raise ValueError(f"{os.fsdecode(_local(local))}: too large: copies stop at 4 GiB - 3 bytes")
        handle = library().CopyToPhoneAsync(self._handle, _local(local), _phone(text))
        if not handle:
            raise self._failure("upload", text, "the local file cannot be opened")
        return Transfer(handle, "upload", text)

    def download(
        self,
        remote: PhonePath,
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
        remote: PhonePath,
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

    # ---- file objects --------------------------------------------------------

    def open(
        self,
        path: PhonePath,
        mode: str = "r",
        encoding: Optional[str] = None,
        errors: Optional[str] = None,
        newline: Optional[str] = None,
    ) -> Union[IO[str], IO[bytes]]:
        """A phone file as a file object: mode r, rb, w or wb (t allowed), text through io.TextIOWrapper.

        Reading downloads the whole file first, into a private temporary file
        that goes when the object is closed. Writing fills a private temporary
        file and uploads it at close(), which raises if the upload fails (the
        object is closed anyway); leaving a with block by an exception uploads
        nothing, so the phone file stays as it was.
        """
        return open_phone_file(self, _text(path), mode, encoding, errors, newline)

    def getfo(self, path: PhonePath, fileobj: IO[bytes], progress: Optional[ProgressCallback] = None) -> int:
        """Writes a phone file into a writable binary object; returns the bytes written."""
        with cast(IO[bytes], self.open(path, "rb")) as source:
            if progress is None:
                return _copy_out(source, fileobj, None, 0)
            return _copy_out(source, fileobj, progress, os.fstat(source.fileno()).st_size)

    def putfo(self, fileobj: IO[bytes], path: PhonePath, progress: Optional[ProgressCallback] = None) -> int:
        """Uploads what a readable binary object holds from its position on; returns its size.

        An upload announces its size first, so the bytes go through a private
        temporary file whatever the object is.
        """
        local = spool(fileobj)
        try:
            self.upload(local, path, progress)
            return os.path.getsize(local)
        finally:
            remove_spool(local)

    # ---- whole files and trees -----------------------------------------------

    def _download_now(self, item: Copy) -> None:
        # On this session's own connection, for the pool: no thread of its own.
        if not library().DownFromPhone(self._handle, _phone(item.source), _local(item.dest)):
            raise self._failure("download", item.source)

    def _upload_now(self, item: Copy) -> None:
        if item.size > MAX_COPY_SIZE:
            raise ValueError(f"{item.source}: too large: copies stop at 4 GiB - 3 bytes")
        if not library().CopyToPhone(self._handle, _local(item.source), _phone(item.dest)):
            raise self._failure("upload", item.dest)

    def get(
        self,
        remote: PhonePath,
        local: PathLike,
        recursive: bool = False,
        progress: Optional[ProgressCallback] = None,
        jobs: int = 8,
    ) -> None:
        """Copies a phone file or (recursive) tree to local, as cp -r would.

        A local directory that exists receives the copy inside it, under the
        remote name; otherwise local becomes the copy. Trees copy on up to
        `jobs` sessions and call progress(done, total) for the whole tree,
        once at the start and after each file. Names the phone lists that
        is_plain_name refuses are skipped with an UnsafeNameWarning. The first
        failed file stops the copy: no new file starts, those under way
        finish, then its exception is raised; a failed file never appears
        under its name.
        """
        source = _text(remote)
        target = os.fsdecode(_local(local))
        if not self.isdir(source):
            if os.path.isdir(target):
                target = os.path.join(target, _local_name(source))
            self.download(source, target, progress)
            return
        if not recursive:
            raise IsDirectoryError("get", source, "is a directory (use recursive=True)")
        if os.path.isdir(target):
            if _basename(source):  # the phone's root goes into the folder itself
                target = os.path.join(target, _local_name(source))
        elif os.path.exists(target):
            raise NotADirectoryError(errno.ENOTDIR, "not a directory", target)
        copies: List[Copy] = []

        def fail(error: Error) -> None:
            raise error

        root = source.rstrip("/") or "/"
        for directory, _, files in self._walk(root, True, fail, 0):
            relative = directory[len(root):].lstrip("/")
            folder = os.path.join(target, *relative.split("/")) if relative else target
            os.makedirs(folder, exist_ok=True)
            copies.extend(Copy(entry.path, os.path.join(folder, entry.name), entry.stat().st_size) for entry in files)
        run(self, copies, lambda session, item: session._download_now(item), jobs, progress)

    def put(
        self,
        local: PathLike,
        remote: PhonePath,
        recursive: bool = False,
        progress: Optional[ProgressCallback] = None,
        jobs: int = 8,
    ) -> None:
        """Copies a local file or (recursive) tree to the phone, as cp -r would; see get()."""
        source = os.fsdecode(_local(local))
        target = _text(remote)
        if not os.path.isdir(source):
            if self.isdir(target):
                target = join_path(target, os.path.basename(source))
            self.upload(source, target, progress)
            return
        if not recursive:
            raise IsADirectoryError(errno.EISDIR, "is a directory (use recursive=True)", source)
        name = os.path.basename(os.path.normpath(source))
        if self.isdir(target):
            if name not in ("", ".", ".."):
                target = join_path(target, name)
        elif self.exists(target):
            raise ExistsError("put", target, "exists and is no directory")
        copies: List[Copy] = []
        for directory, _, files in os.walk(source):
            relative = os.path.relpath(directory, source)
            folder = target if relative == "." else join_path(target, relative.replace(os.sep, "/"))
            if not self.isdir(folder):
                self.mkdir(folder)
            for file in files:
                path = os.path.join(directory, file)
                copies.append(Copy(path, join_path(folder, file), os.path.getsize(path)))
        run(self, copies, lambda session, item: session._upload_now(item), jobs, progress)


def _local_name(remote: str) -> str:
    """The last component of a phone path as a local name, refused when it is no plain name."""
    name = _basename(remote)
    if not is_plain_name(name):
        raise ValueError(f"{remote!r}: its name is not usable as a local file name")
    return name


def _copy_out(source: IO[bytes], target: IO[bytes], progress: Optional[ProgressCallback], total: int) -> int:
    done = 0
    while True:
        chunk = source.read(1 << 20)
        if not chunk:
            return done
        target.write(chunk)
        done += len(chunk)
        if progress is not None:
            progress(done, total)
