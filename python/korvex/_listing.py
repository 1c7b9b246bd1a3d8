"""Phone listings: the plain ones, a directory's entries in one batch (else the plain ones), and the one tree walk."""
from __future__ import annotations

import ctypes
import warnings
from typing import TYPE_CHECKING, Callable, Iterator, List, Optional, Tuple

from ._abi import MAX_PATH, Entry, listing_names
from ._errors import ConnectionLostError, Error
from ._library import library
from ._names import UnsafeNameWarning, is_plain_name, join_path
from ._paths import encoded, name
from ._stat import DirEntry

if TYPE_CHECKING:
    from ._session import Session

Listed = Tuple[str, bool, int]


def names(session: "Session", function: Callable[..., int], operation: str, path: str) -> List[str]:
    """GetFiles' or GetDirectories' names, in the phone's order."""
    buffer = ctypes.c_void_p()
    length = function(session._handle, encoded(path), ctypes.byref(buffer))
    if length < 0:
        raise session._failure("list", operation, path)
    if length == 0:
        return []
    try:
        text = ctypes.string_at(buffer.value or 0, length)
    finally:
        library().FreeBuffer(buffer)
    return [name(raw) for raw in listing_names(text)]


def sizes(session: "Session", paths: List[str], operation: str) -> List[Optional[int]]:
    """Each path's size in one pipelined pass, None where the phone refused it."""
    raw = [encoded(path) for path in paths]
    count = len(raw)
    found = (ctypes.c_longlong * max(count, 1))()
    if library().GetSizes(session._handle, (ctypes.c_char_p * max(count, 1))(*raw), count, found) < 0:
        raise session._failure("question", operation, paths[0] if paths else "")
    return [None if size < 0 else size for size in found[:count]]


def entries(session: "Session", path: str, operation: str) -> List[Listed]:
    """(name, is_directory, size) of each entry: directories first, then files.

    One GetEntries. When the phone refuses that batch (a file's path over the
    bound fails it whole), the two plain listings and one size pass: a file
    whose size the phone refuses is left out, as GetEntries does, and one
    whose path is too long to ask about reads as 0 bytes.
    """
    array = ctypes.POINTER(Entry)()
    count = library().GetEntries(session._handle, encoded(path), ctypes.byref(array))
    if count >= 0:
        try:
            return [(name(array[i].name), bool(array[i].is_directory), array[i].size) for i in range(count)]
        finally:
            library().FreeEntries(array)
    if not session.connected:
        raise ConnectionLostError(operation, path)
    directories = names(session, library().GetDirectories, operation, path)
    files = names(session, library().GetFiles, operation, path)
    paths = [join_path(path.rstrip("/") or "/", file) for file in files]
    askable = [full for full in paths if len(full.encode("utf-8", "surrogateescape")) <= MAX_PATH]
    told = dict(zip(askable, sizes(session, askable, operation)))
    listed: List[Listed] = [(directory, True, 0) for directory in directories]
    for file, full in zip(files, paths):
        size = told.get(full, 0)
        if size is not None:
            listed.append((file, False, size))
    return listed


def plain(directory: str, found: List[str], stacklevel: int) -> List[str]:
    kept = []
    for candidate in found:
        if is_plain_name(candidate):
            kept.append(candidate)
        else:
            # repr() escapes control characters: a hostile name cannot drive the terminal.
            warnings.warn(
                f"skipped {candidate!r} listed in {directory!r}: not usable as a local file name",
                UnsafeNameWarning,
                stacklevel=stacklevel,
            )
    return kept


def walk(
    session: "Session",
    top: str,
    topdown: bool,
    onerror: Optional[Callable[[Error], None]],
    operation: str,
    frames: int,
    depth: int = 0,
) -> Iterator[Tuple[str, List[str], List[DirEntry]]]:
    """(directory, plain subdirectory names, plain files) below top, one entries() per directory.

    frames: the package's frames between this generator and the caller's
    code, so that each warning points at the caller's line however deep the
    name was (each level below top is one more generator frame).
    """
    try:
        found = [DirEntry(item, join_path(top, item), is_dir, size) for item, is_dir, size in
                 entries(session, top, operation)]
    except ConnectionLostError:
        raise
    except Error as error:
        if onerror is not None:
            onerror(error)
        return
    stacklevel = 3 + frames + depth
    dirnames = plain(top, [entry.name for entry in found if entry.is_dir()], stacklevel)
    kept = set(plain(top, [entry.name for entry in found if entry.is_file()], stacklevel))
    files = [entry for entry in found if entry.is_file() and entry.name in kept]
    if topdown:
        yield top, dirnames, files
    for subdirectory in dirnames:
        yield from walk(session, join_path(top.rstrip("/") or "/", subdirectory), topdown, onerror, operation,
                        frames, depth + 1)
    if not topdown:
        yield top, dirnames, files
