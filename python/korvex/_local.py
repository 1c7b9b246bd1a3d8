"""Where a copy lands by cp's rules, and the local side checked before anything is sent.

A local mistake raises the OSError the system gives, naming the local path,
and never reaches the phone: a synchronous download into a path that cannot
be created would end the session.
"""
from __future__ import annotations

import errno
import os
import stat
from typing import Union

from ._abi import MAX_COPY_SIZE

MISSING, FILE, DIRECTORY = "missing", "file", "directory"
# Where a copy lands: inside the existing folder, or as the destination itself.
INTO, AS = "into", "as"


def placement(dest: str, parent: str, slash: bool, tree: bool) -> Union[str, int]:
    """INTO, AS, or the errno cp fails with, from what the destination and its parent are (MISSING, FILE, DIRECTORY).

    A destination written with a trailing "/" must be a folder for a file;
    a tree may still create it.
    """
    if dest == DIRECTORY:
        return INTO
    if dest == FILE:
        return errno.ENOTDIR if slash or tree else AS
    if parent == MISSING:
        return errno.ENOENT
    if parent == FILE:
        return errno.ENOTDIR
    return errno.ENOTDIR if slash and not tree else AS


def failure(code: int, path: str) -> OSError:
    """The OSError subclass the system raises for code (FileNotFoundError for ENOENT ...), naming path."""
    return OSError(code, os.strerror(code), path)


def kind(path: str, blocked: str) -> str:
    """What a local path is; blocked is what a path below a file counts as."""
    try:
        found = os.stat(path)
    except FileNotFoundError:
        return MISSING
    except NotADirectoryError:
        return blocked
    return DIRECTORY if stat.S_ISDIR(found.st_mode) else FILE


_SEPARATORS = tuple({os.sep, os.altsep or os.sep})


def local_placement(path: str, tree: bool) -> Union[str, int]:
    folder = os.path.dirname(path.rstrip("".join(_SEPARATORS))) or os.curdir
    return placement(kind(path, MISSING), kind(folder, FILE), path.endswith(_SEPARATORS), tree)


def download_target(path: str) -> str:
    """The local file a download writes, checked: its folder exists and can take a new file.

    An existing folder is an IsADirectoryError here: get() joins the name
    first where cp's rules say the copy goes into it.
    """
    where = local_placement(path, tree=False)
    if isinstance(where, int):
        raise failure(where, path)
    if where == INTO:
        raise failure(errno.EISDIR, path)
    folder = os.path.dirname(path) or os.curdir
    # The download writes a new file beside the destination, then renames it.
    if not os.access(folder, os.W_OK | os.X_OK):
        raise failure(errno.EACCES, path)
    return path


def tree_target(path: str, name: str) -> str:
    """The local folder a tree lands in by cp -r's rules: inside an existing folder (as name when given), or path."""
    where = local_placement(path, tree=True)
    if isinstance(where, int):
        raise failure(where, path)
    return os.path.join(path, name) if where == INTO and name else path


def upload_source(path: str) -> int:
    """The size of a local file to upload, once it is known to be a readable regular file."""
    size = os.stat(path).st_size  # raises the system's OSError, naming path
    if os.path.isdir(path):
        raise failure(errno.EISDIR, path)
    with open(path, "rb"):
        pass
    if size > MAX_COPY_SIZE:
        raise ValueError(f"{path}: too large: copies stop at 4 GiB - 3 bytes")
    return size
