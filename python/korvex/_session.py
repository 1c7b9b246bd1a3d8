"""connect() and Session: the exports' results as values, their failures as exceptions.

The library only says yes or no. A failed call first reads the connection
state (lost: ConnectionLostError), then asks the phone why (_diagnosis).
Listings, copies and trees live in their own modules; the methods here
name the operation as the caller knows it and hand over.
"""
from __future__ import annotations

import ctypes
import os
import socket
import threading
import warnings
from typing import IO, Callable, Iterator, List, NamedTuple, Optional, Tuple, Union

from . import _copies, _listing, _transfers
from ._abi import DEVICE_NAME_SIZE, KIND_DIRECTORY, KIND_FILE, KIND_MISSING, KIND_UNSIZED, LOGIN_FAILED, MAX_RENAME_DEST
from ._diagnosis import ProbeFailed, explain, kinds
from ._errors import ConnectError, ConnectionLostError, Error, LoginError, refusal
from ._fileobj import open_phone_file
from ._library import library
from ._names import join_path
from ._paths import LocalPath, PhonePath, encoded, local_text, name, text
from ._stat import Attributes, DirEntry, ScandirIterator, make_stat
from ._transfers import Following, Transfer

ProgressCallback = Callable[[int, int], None]


class State(NamedTuple):
    connected: bool
    address: str
    device: str


def connect(address: str, password: str) -> "Session":
    """Connects to "host[:port]" (port 2323 by default) and logs in."""
    error = ctypes.c_int(0)
    raw = address.encode()
    handle = library().Connect(raw, password.encode("utf-8", "surrogateescape"), ctypes.byref(error))
    if not handle:
        if error.value == LOGIN_FAILED:
            raise LoginError(address)
        raise _unreachable(address)
    # What another session of the same login needs (the pool of get/put).
    return Session(handle, raw, lambda: connect(address, password))


def _unreachable(address: str) -> ConnectError:
    """Connect tells no reason; a host name that does not resolve is told apart here (the library resolves IPv4)."""
    host = address.split(":", 1)[0]
    try:
        socket.getaddrinfo(host, None, socket.AF_INET)
    except socket.gaierror as error:
        return ConnectError(address, f"cannot resolve the host name {host!r}: {error.strerror}", error.errno)
    except UnicodeError:
        return ConnectError(address, f"cannot resolve the host name {host!r}: not a valid name")
    return ConnectError(address)


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
        self._closed_state = State(False, name(address), "")

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
            handle = self._open_handle
            if handle is not None:
                self._closed_state = self._read_state(handle)._replace(connected=False)
            self._open_handle = None
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

    def _read_state(self, handle: int) -> State:
        connected = ctypes.create_string_buffer(1)
        address = ctypes.create_string_buffer(len(self._address) + 1)
        device = ctypes.create_string_buffer(DEVICE_NAME_SIZE)
        library().ConnectionState(handle, connected, address, device)
        return State(connected.raw != b"\0", name(address.value), name(device.raw.split(b"\0", 1)[0]))

    def state(self) -> State:
        """The connection's state; no network traffic. After close(): not connected, as it was last."""
        handle = self._open_handle
        return self._closed_state if handle is None else self._read_state(handle)

    @property
    def connected(self) -> bool:
        return self.state().connected

    # ---- failures ------------------------------------------------------------

    def _failure(self, act: str, operation: str, path: str, dest: Optional[str] = None) -> Error:
        """The exception for a refused call: act picks the rules (_diagnosis.RULES), operation the message."""
        if not self.connected:
            return ConnectionLostError(operation, path)
        try:
            found = explain(self, act, path, dest)
        except ProbeFailed:
            if not self.connected:
                return ConnectionLostError(operation, path)
            return refusal("unexplained", operation, path, dest=dest)
        if found is None:
            return refusal("denied", operation, path, dest=dest)
        return refusal(found[0], operation, path, found[1], dest)

    def _precheck(self, act: str, operation: str, path: str) -> None:
        """Raises what act's rules find about path before anything is sent."""
        try:
            found = explain(self, act, path)
        except ProbeFailed:
            raise self._failure("question", operation, path) from None
        if found is not None:
            raise refusal(found[0], operation, path, found[1])

    def _check(self, done: bool, act: str, operation: str, path: str, dest: Optional[str] = None) -> None:
        if not done:
            raise self._failure(act, operation, path, dest)

    def _question(self, answer: int, operation: str, path: str) -> bool:
        if answer < 0:
            raise self._failure("question", operation, path)
        return answer == 1

    def _word(self, value: int, act: str, path: str) -> int:
        # 0 is also what a request that could not be sent yields.
        if value == -1 or (value == 0 and not self.connected):
            raise self._failure(act, act, path)
        return value & 0xFFFFFFFF

    # ---- listings ------------------------------------------------------------

    def files(self, path: PhonePath) -> List[str]:
        """The regular files of a phone directory, in the phone's order."""
        return _listing.names(self, library().GetFiles, "files", text(path))

    def dirs(self, path: PhonePath) -> List[str]:
        """The subdirectories of a phone directory, in the phone's order."""
        return _listing.names(self, library().GetDirectories, "dirs", text(path))

    def entries(self, path: PhonePath) -> List[Tuple[str, bool, int]]:
        """(name, is_directory, size) of each entry of a phone directory in a few round trips:
        directories first, then files with their sizes (0 for a directory). A file
        that went away before its size was asked is left out. When the phone
        refuses the batch, the plain listings and one size pass stand in."""
        return _listing.entries(self, text(path), "entries")

    def sizes(self, paths: List[PhonePath]) -> List[Optional[int]]:
        """The size of each path in one pipelined pass, None where the phone refused it."""
        return _listing.sizes(self, [text(path) for path in paths], "sizes")

    def listdir(self, path: PhonePath) -> List[str]:
        """Subdirectories and files, as os.listdir."""
        top = text(path)
        lib = library()
        return _listing.names(self, lib.GetDirectories, "listdir", top) + _listing.names(self, lib.GetFiles,
                                                                                         "listdir", top)

    def scandir(self, path: PhonePath) -> ScandirIterator:
        """The entries of a phone directory as os.scandir gives them, from one batched listing:
        is_dir(), is_file() and stat() ask the phone nothing more."""
        top = text(path)
        found = _listing.entries(self, top, "scandir")
        return ScandirIterator([DirEntry(item, join_path(top, item), is_dir, size) for item, is_dir, size in found])

    def listdir_attr(self, path: PhonePath) -> List[Attributes]:
        """One Attributes (filename, st_size, st_mode ...) per entry, from one batched listing."""
        return [Attributes(item, is_dir, size) for item, is_dir, size in
                _listing.entries(self, text(path), "listdir_attr")]

    def walk(
        self, top: PhonePath, topdown: bool = True, onerror: Optional[Callable[[Error], None]] = None
    ) -> Iterator[Tuple[str, List[str], List[str]]]:
        """(dirpath, dirnames, filenames) for each directory below top, as os.walk.

        Each directory is one scandir. With topdown, pruning dirnames in place
        skips those subdirectories. Only names that is_plain_name accepts are
        listed, so joining one to a local folder stays inside it: any other
        name is skipped with an UnsafeNameWarning.
        """
        for directory, dirs, files in _listing.walk(self, text(top), topdown, onerror, "walk", frames=1):
            yield directory, dirs, [entry.name for entry in files]

    # ---- paths ---------------------------------------------------------------

    def exists(self, path: PhonePath) -> bool:
        path = text(path)
        return self._question(library().Exists(self._handle, encoded(path)), "exists", path)

    def isdir(self, path: PhonePath) -> bool:
        return self._isdir(text(path), "isdir")

    def _isdir(self, path: str, operation: str) -> bool:
        return self._question(library().IsDirectory(self._handle, encoded(path)), operation, path)

    def isfile(self, path: PhonePath) -> bool:
        """Whether path is there and no directory (the phone lists regular files only)."""
        return self._kind(text(path), "isfile")[0] in (KIND_FILE, KIND_UNSIZED)

    def size(self, path: PhonePath) -> int:
        """A file's size in bytes, up to 4 GiB - 2 (4 GiB - 1 reads as a refusal)."""
        path = text(path)
        return self._word(library().FileSize(self._handle, encoded(path)), "size", path)

    def stat(self, path: PhonePath) -> os.stat_result:
        """An os.stat_result with st_mode (S_IFDIR | 0o755 or S_IFREG | 0o644) and st_size; the rest 0.

        Raises FileNotFoundError (NotFoundError) when path is missing.
        """
        path = text(path)
        kind, size = self._kind(path, "stat")
        if kind == KIND_MISSING:
            raise refusal("missing", "stat", path)
        if kind == KIND_UNSIZED:
            raise refusal("unsized", "stat", path)
        return make_stat(kind == KIND_DIRECTORY, max(size, 0))

    def _kind(self, path: str, operation: str) -> Tuple[int, int]:
        """What path is (a KIND_ value) and a file's size: the three questions in one round trip."""
        try:
            return kinds(self, [path])[0]
        except ProbeFailed:
            raise self._failure("question", operation, path) from None

    lstat = stat

    def free_space(self, path: PhonePath) -> int:
        """The phone's free-space word for path, in its unit (KiB for korvexd)."""
        path = text(path)
        return self._word(library().GetSpaceSize(self._handle, encoded(path)), "free_space", path)

    # ---- changes -------------------------------------------------------------

    def rename(self, source: PhonePath, dest: PhonePath) -> None:
        """Renames or moves, as os.rename on Linux: an existing destination file, or empty directory for a
        directory, is replaced where the phone allows it."""
        old, new = text(source), text(dest)
        done = library().Rename(self._handle, encoded(old), encoded(new, MAX_RENAME_DEST))
        self._check(done, "rename", "rename", old, new)

    def remove(self, path: PhonePath) -> None:
        path = text(path)
        self._check(library().DeletePhoneFile(self._handle, encoded(path)), "remove", "remove", path)

    def rmdir(self, path: PhonePath, recursive: bool = False) -> None:
        """Removes an empty directory, or with recursive the whole tree."""
        path = text(path)
        done = library().DeleteDirectory(self._handle, encoded(path), recursive)
        self._check(done, "rmtree" if recursive else "rmdir", "rmdir", path)

    def mkdir(self, path: PhonePath) -> None:
        """Creates one directory; its parent must exist."""
        self._mkdir(text(path), "mkdir")

    def _mkdir(self, path: str, operation: str) -> None:
        self._check(library().CreatePhoneDirectory(self._handle, encoded(path)), "mkdir", operation, path)

    def makedirs(self, path: PhonePath, exist_ok: bool = False) -> None:
        """Creates a directory and the missing parents, as os.makedirs: what is there is asked in one round trip."""
        path = text(path)
        prefixes: List[str] = []
        for part in (part for part in path.split("/") if part):
            prefixes.append(join_path(prefixes[-1] if prefixes else "/" if path.startswith("/") else "", part))
        try:
            found = kinds(self, prefixes)
        except ProbeFailed:
            raise self._failure("question", "makedirs", path) from None
        for index, (kind, _) in enumerate(found):
            last = index == len(prefixes) - 1
            if kind == KIND_MISSING:
                for prefix in prefixes[index:]:
                    self._mkdir(prefix, "makedirs")
                return
            if kind != KIND_DIRECTORY:
                raise refusal("exists", "makedirs", path) if last else refusal(
                    "not_a_directory", "makedirs", path, prefixes[index])
            if last and not exist_ok:
                raise refusal("exists", "makedirs", path)

    def chown(self, path: PhonePath, owner: int, group: int) -> None:
        """Sets the numeric owner and group; -1 keeps either as it is."""
        path = text(path)
        chown = getattr(library(), "korvex_chown", None)
        if chown is None:
            raise Error("this library exports no Chown this package can bind")
        buffer = ctypes.create_string_buffer(encoded(path))
        self._check(chown(self._handle, buffer, owner, group), "chown", "chown", path)

    # ---- power ---------------------------------------------------------------

    def shutdown(self) -> None:
        library().Shutdown(self._handle)

    def reboot(self) -> None:
        library().Reboot(self._handle)

    def restart(self) -> None:
        """Asks the phone to restart its file service."""
        library().Restart(self._handle)

    # ---- copies --------------------------------------------------------------

    def start_download(self, remote: PhonePath, local: LocalPath) -> Transfer:
        """A background copy of a phone file to a local path whose folder exists and can take a new file."""
        return _transfers.start_download(self, text(remote), local_text(local))

    def start_upload(self, local: LocalPath, remote: PhonePath) -> Transfer:
        return _transfers.start_upload(self, local_text(local), text(remote))

    def download(
        self,
        remote: PhonePath,
        local: LocalPath,
        progress: Optional[ProgressCallback] = None,
        start_timeout: float = 10.0,
        poll_interval: float = 0.02,
    ) -> None:
        """Copies a phone file to a local path, calling progress(done, total) as bytes arrive.

        The local side is checked first: a missing folder, one that cannot
        take a new file, or an existing folder as local raises the system's
        OSError, and nothing is sent. Raises on failure; KeyboardInterrupt (or
        any exception from progress) cancels the copy. The library replaces
        local only once every byte has arrived: a failed or cancelled copy
        leaves it as it was, or absent.
        """
        how = Following(progress, start_timeout, poll_interval)
        _transfers.download(self, text(remote), local_text(local), "download", how)

    def upload(
        self,
        local: LocalPath,
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
        how = Following(progress, start_timeout, poll_interval)
        _transfers.upload(self, local_text(local), text(remote), "upload", how)

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
        that goes when the object is closed. Writing checks the phone folder
        at once (missing, not a directory, path a directory raise here), fills
        a private temporary file and uploads it at close(), which raises if
        the upload fails (the object is closed anyway); leaving a with block
        by an exception uploads nothing, so the phone file stays as it was.
        """
        return self._open(text(path), mode, "open", encoding, errors, newline)

    def _open(self, path: str, mode: str, operation: str, encoding: Optional[str] = None,
              errors: Optional[str] = None, newline: Optional[str] = None) -> Union[IO[str], IO[bytes]]:
        return open_phone_file(self, path, mode, encoding, errors, newline, operation)

    def getfo(self, path: PhonePath, fileobj: IO[bytes], progress: Optional[ProgressCallback] = None) -> int:
        """Writes a phone file into a writable binary object; returns the bytes written."""
        return _copies.getfo(self, text(path), fileobj, progress)

    def putfo(self, fileobj: IO[bytes], path: PhonePath, progress: Optional[ProgressCallback] = None) -> int:
        """Uploads what a readable binary object holds from its position on; returns its size.

        An upload announces its size first, so the bytes go through a private
        temporary file whatever the object is.
        """
        return _copies.putfo(self, fileobj, text(path), progress)

    # ---- whole files and trees -----------------------------------------------

    def get(
        self,
        remote: PhonePath,
        local: LocalPath,
        recursive: bool = False,
        progress: Optional[ProgressCallback] = None,
        jobs: int = 8,
    ) -> None:
        """Copies a phone file or (recursive) tree to local, as cp -r would.

        A local directory that exists receives the copy inside it, under the
        remote name; otherwise local becomes the copy, and a local written
        with a trailing separator must be a folder for a file. The local side
        is checked before anything is copied: a local mistake raises the
        system's OSError naming the local path. Trees copy on up to `jobs`
        sessions and call progress(done, total) for the whole tree, once at
        the start and after each file. Names the phone lists that
        is_plain_name refuses are skipped with an UnsafeNameWarning. The first
        failed file stops the copy: no new file starts, those under way
        finish, then its exception is raised; a failed file never appears
        under its name.
        """
        _copies.get(self, text(remote), local_text(local), recursive, progress, jobs)

    def put(
        self,
        local: LocalPath,
        remote: PhonePath,
        recursive: bool = False,
        progress: Optional[ProgressCallback] = None,
        jobs: int = 8,
    ) -> None:
        """Copies a local file or (recursive) tree to the phone, as cp -r would; see get().

        In a tree, a symbolic link to a file is copied as that file, and a
        link to a folder (or to nothing, or anything but a regular file) is
        skipped with a korvex.NotCopiedWarning: the phone holds no links.
        """
        _copies.put(self, local_text(local), text(remote), recursive, progress, jobs)
