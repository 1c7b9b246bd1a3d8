"""get and put of a file or a tree by cp's rules, and file objects copied whole (getfo, putfo)."""
from __future__ import annotations

import errno
import os
import warnings
from typing import IO, TYPE_CHECKING, Callable, List, Optional, Union, cast

from ._abi import KIND_DIRECTORY, KIND_MISSING
from ._diagnosis import ProbeFailed, kinds
from ._errors import Error, IsDirectoryError, refusal
from ._fileobj import remove_spool, spool
from ._listing import walk
from ._local import DIRECTORY, FILE, INTO, MISSING, placement, tree_target, upload_source
from ._names import join_path
from ._paths import basename, local_name, parent
from ._pool import Copy, run
from ._transfers import Following, download, download_now, upload, upload_now

if TYPE_CHECKING:
    from ._session import Session

ProgressCallback = Callable[[int, int], None]
# What a placement's errno means on the phone's side.
_ANSWERS = {errno.ENOENT: "missing", errno.ENOTDIR: "not_a_directory"}


class NotCopiedWarning(UserWarning):
    """put(recursive=True) left out a local entry the phone cannot hold: a link to a folder, or no regular file."""


def get(session: "Session", source: str, target: str, recursive: bool, progress: Optional[ProgressCallback],
        jobs: int) -> None:
    kind = session._kind(source, "get")[0]
    if kind == KIND_MISSING:
        # Missing, or under a file: the download's rules tell which.
        raise session._failure("download", "get", source)
    if kind != KIND_DIRECTORY:
        if os.path.isdir(target):
            target = os.path.join(target, local_name(source))
        download(session, source, target, "get", Following(progress))
        return
    if not recursive:
        raise IsDirectoryError("get", source, "is a directory (use recursive=True)")
    # The phone's root goes into the folder itself.
    folder = tree_target(target, local_name(source) if basename(source) else "")
    copies: List[Copy] = []

    def fail(error: Error) -> None:
        raise error

    root = source.rstrip("/") or "/"
    # Frames between the walk and the caller: this function and Session.get.
    for directory, _, files in walk(session, root, True, fail, "get", frames=2):
        relative = directory[len(root):].lstrip("/")
        here = os.path.join(folder, *relative.split("/")) if relative else folder
        os.makedirs(here, exist_ok=True)
        copies.extend(Copy(entry.path, os.path.join(here, entry.name), entry.stat().st_size) for entry in files)
    run(session, copies, lambda own, item: download_now(own, item.source, item.dest, "get"), jobs, progress)


def _phone_placement(session: "Session", target: str, tree: bool) -> Union[str, int]:
    """Where a copy to a phone path lands by cp's rules: one round trip for the path and its parent."""
    if not target.rstrip("/"):
        return INTO  # the root
    folder = parent(target)
    asked = [target] if folder in ("", "/") else [target, folder]
    try:
        found = [kind for kind, _ in kinds(session, asked)] + [KIND_DIRECTORY]
    except ProbeFailed:
        raise session._failure("question", "put", target) from None
    names = [MISSING if kind == KIND_MISSING else DIRECTORY if kind == KIND_DIRECTORY else FILE for kind in found]
    return placement(names[0], names[1], target.endswith("/"), tree)


def put(session: "Session", source: str, target: str, recursive: bool, progress: Optional[ProgressCallback],
        jobs: int) -> None:
    if not os.path.isdir(source):
        upload_source(source)
        where = _phone_placement(session, target, tree=False)
        if isinstance(where, int):
            raise refusal(_ANSWERS[where], "put", target)
        if where == INTO:
            target = join_path(target, os.path.basename(source))
        upload(session, source, target, "put", Following(progress))
        return
    if not recursive:
        raise IsADirectoryError(errno.EISDIR, "is a directory (use recursive=True)", source)
    where = _phone_placement(session, target, tree=True)
    if isinstance(where, int):
        raise refusal(_ANSWERS[where], "put", target)
    name = os.path.basename(os.path.normpath(source))
    if where == INTO and name not in ("", ".", ".."):
        target = join_path(target, name)
    copies: List[Copy] = []

    def fail(error: OSError) -> None:
        raise error

    for directory, dirnames, files in os.walk(source, onerror=fail):
        relative = os.path.relpath(directory, source)
        folder = target if relative == "." else join_path(target, relative.replace(os.sep, "/"))
        if not session._isdir(folder, "put"):
            session._mkdir(folder, "put")
        for linked in [name for name in dirnames if os.path.islink(os.path.join(directory, name))]:
            _not_copied(os.path.join(directory, linked), "a symbolic link to a folder")
        for file in files:
            path = os.path.join(directory, file)
            # A link to a regular file is copied as that file: the phone holds no links.
            if os.path.isfile(path):
                copies.append(Copy(path, join_path(folder, file), os.path.getsize(path)))
            else:
                _not_copied(path, "a symbolic link to nothing" if os.path.islink(path) else "no regular file")
    run(session, copies, lambda own, item: upload_now(own, item.source, item.dest, "put"), jobs, progress)


def _not_copied(path: str, what: str) -> None:
    # Frames to the caller: this function, put, Session.put.
    warnings.warn(f"put: skipped {path!r}: {what}, which the phone cannot hold", NotCopiedWarning, stacklevel=4)


def getfo(session: "Session", path: str, fileobj: IO[bytes], progress: Optional[ProgressCallback]) -> int:
    with cast(IO[bytes], session._open(path, "rb", "getfo")) as source:
        total = os.fstat(source.fileno()).st_size
        done = 0
        while True:
            chunk = source.read(1 << 20)
            if not chunk:
                return done
            fileobj.write(chunk)
            done += len(chunk)
            if progress is not None:
                progress(done, total)


def putfo(session: "Session", fileobj: IO[bytes], path: str, progress: Optional[ProgressCallback]) -> int:
    local = spool(fileobj)
    try:
        upload(session, local, path, "putfo", Following(progress))
        return os.path.getsize(local)
    finally:
        remove_spool(local)

