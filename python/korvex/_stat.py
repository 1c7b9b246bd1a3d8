"""What stat, scandir and listdir_attr give: built from (name, is_directory, size) alone.

The phone knows no times, owners or permission bits: directories read as
0o755, files as 0o644, every other field 0.
"""
from __future__ import annotations

import os
import stat as _stat
from typing import Iterator, List, Optional

DIRECTORY_MODE = _stat.S_IFDIR | 0o755
FILE_MODE = _stat.S_IFREG | 0o644


def make_stat(is_directory: bool, size: int) -> os.stat_result:
    mode = DIRECTORY_MODE if is_directory else FILE_MODE
    return os.stat_result((mode, 0, 0, 0, 0, 0, 0 if is_directory else size, 0, 0, 0))


class DirEntry:
    """One entry of scandir(), as os.DirEntry: everything is known from the listing, no call goes to the phone."""

    __slots__ = ("name", "path", "_is_directory", "_size")

    def __init__(self, name: str, path: str, is_directory: bool, size: int) -> None:
        self.name = name
        self.path = path
        self._is_directory = is_directory
        self._size = size

    def is_dir(self, *, follow_symlinks: bool = True) -> bool:
        return self._is_directory

    def is_file(self, *, follow_symlinks: bool = True) -> bool:
        return not self._is_directory

    def is_symlink(self) -> bool:
        return False  # the phone's listings leave links out

    def inode(self) -> int:
        return 0

    def stat(self, *, follow_symlinks: bool = True) -> os.stat_result:
        return make_stat(self._is_directory, self._size)

    def __fspath__(self) -> str:
        return self.path

    def __repr__(self) -> str:
        return f"<DirEntry {self.name!r}>"


class ScandirIterator:
    """What scandir() returns: an iterator of DirEntry and a context manager, as os.scandir's."""

    def __init__(self, entries: List[DirEntry]) -> None:
        self._entries: Optional[Iterator[DirEntry]] = iter(entries)

    def __iter__(self) -> "ScandirIterator":
        return self

    def __next__(self) -> DirEntry:
        if self._entries is None:
            raise StopIteration
        return next(self._entries)

    def close(self) -> None:
        self._entries = None

    def __enter__(self) -> "ScandirIterator":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class Attributes:
    """One entry of listdir_attr(): filename and the stat fields."""

    __slots__ = ("filename", "st_size", "st_mode", "st_uid", "st_gid", "st_atime", "st_mtime")

    def __init__(self, filename: str, is_directory: bool, size: int) -> None:
        self.filename = filename
        self.st_size = 0 if is_directory else size
        self.st_mode = DIRECTORY_MODE if is_directory else FILE_MODE
        self.st_uid = 0
        self.st_gid = 0
        self.st_atime = 0
        self.st_mtime = 0

    def __repr__(self) -> str:
        return f"<Attributes {self.filename!r} mode={oct(self.st_mode)} size={self.st_size}>"
