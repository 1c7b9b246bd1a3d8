"""Phone paths and local paths as the exports take them."""
from __future__ import annotations

import os
from typing import Union

from ._abi import MAX_PATH
from ._names import is_plain_name

# A phone path: text, or what os.fspath turns into text (pathlib.PurePosixPath).
PhonePath = Union[str, "os.PathLike[str]"]
LocalPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def text(path: PhonePath) -> str:
    """A phone path as text: str, or anything os.fspath makes text of (bytes are decoded as names are)."""
    value: Union[str, bytes] = os.fspath(path)
    return value.decode("utf-8", "surrogateescape") if isinstance(value, bytes) else value


def encoded(path: str, limit: int = MAX_PATH) -> bytes:
    """A phone path as the exports take it; ValueError past its bound, before anything is sent."""
    raw = path.encode("utf-8", "surrogateescape")
    if len(raw) > limit:
        raise ValueError(f"phone path longer than {limit} bytes: {path[:40]!r}...")
    return raw


def name(raw: bytes) -> str:
    return raw.decode("utf-8", "surrogateescape")


def parent(path: str) -> str:
    """The phone directory holding path ("/a/b" -> "/a", "/a" -> "/", "a" -> "", the phone's root)."""
    trimmed = path.rstrip("/")
    if "/" not in trimmed:
        return "/" if path.startswith("/") else ""
    return trimmed.rsplit("/", 1)[0] or "/"


def basename(path: str) -> str:
    return path.rstrip("/").rsplit("/", 1)[-1]


def local(path: LocalPath) -> bytes:
    return os.fsencode(os.fspath(path))


def local_text(path: LocalPath) -> str:
    return os.fsdecode(os.fspath(path))


def local_name(remote: str) -> str:
    """The last component of a phone path as a local name, refused when it is no plain name."""
    last = basename(remote)
    if not is_plain_name(last):
        raise ValueError(f"{remote!r}: its name is not usable as a local file name")
    return last
