"""File objects over whole-file copies.

The phone moves whole files only, and an upload announces its size first:
reading downloads into a private temporary file and reads from it; writing
fills a private temporary file and uploads it at close(), once open() saw
that the phone can take the file there.
"""
from __future__ import annotations

import io
import os
import shutil
import tempfile
import warnings
from typing import IO, TYPE_CHECKING, Optional

from ._transfers import download, upload

if TYPE_CHECKING:
    from ._session import Session


def private_folder() -> str:
    return tempfile.mkdtemp(prefix="korvex-")


class ReadFile(io.BufferedReader):
    """A downloaded copy, opened for reading; its temporary file goes at close (at once on POSIX)."""

    def __init__(self, folder: str, local: str, remote: str) -> None:
        super().__init__(io.FileIO(local, "r"))
        self._folder: Optional[str] = folder
        self._remote = remote
        if os.name == "posix":  # an open file outlives its name there
            self._remove()

    @property
    def name(self) -> str:
        return self._remote

    def _remove(self) -> None:
        folder, self._folder = self._folder, None
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)

    def close(self) -> None:
        try:
            super().close()
        finally:
            self._remove()


class WriteFile(io.BufferedWriter):
    """Bytes for a phone file, kept in a temporary file and uploaded by close().

    close() raises when the upload fails (the object is closed all the same).
    Leaving a with block by an exception, or discard(), drops the bytes and
    leaves the phone file as it was.
    """

    def __init__(self, session: "Session", remote: str, operation: str) -> None:
        self._operation = operation
        self._folder: Optional[str] = private_folder()
        self._local = os.path.join(self._folder, "data")
        super().__init__(io.FileIO(self._local, "w"))
        self._session = session
        self._remote = remote

    @property
    def name(self) -> str:
        return self._remote

    def _remove(self) -> None:
        folder, self._folder = self._folder, None
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)

    def discard(self) -> None:
        """Closes without uploading."""
        folder, self._folder = self._folder, None
        try:
            super().close()
        finally:
            if folder is not None:
                shutil.rmtree(folder, ignore_errors=True)

    def close(self) -> None:
        if self._folder is None:
            return
        try:
            super().close()
            upload(self._session, self._local, self._remote, self._operation)
        finally:
            self._remove()

    def __exit__(self, kind: object, *rest: object) -> None:
        if kind is None:
            self.close()
        else:
            self.discard()

    def __del__(self) -> None:
        # Collected unclosed: an upload from a finaliser could fail unseen, so the bytes are dropped.
        if getattr(self, "_folder", None) is not None:
            warnings.warn(f"unclosed korvex file {self._remote!r}: not uploaded", ResourceWarning, source=self)
            self.discard()


class TextWriteFile(io.TextIOWrapper):
    """Text over a WriteFile: an exception in the with block drops the bytes, as there."""

    def __exit__(self, kind: object, *rest: object) -> None:
        if kind is None:
            self.close()
        else:
            buffer = self.buffer
            assert isinstance(buffer, WriteFile)
            buffer.discard()


def open_phone_file(
    session: "Session",
    remote: str,
    mode: str,
    encoding: Optional[str],
    errors: Optional[str],
    newline: Optional[str],
    operation: str = "open",
) -> IO[str] | IO[bytes]:
    if sorted(mode) not in (["r"], ["w"], ["b", "r"], ["b", "w"], ["r", "t"], ["t", "w"]):
        raise ValueError(f"unsupported mode {mode!r}: r, w, rb, wb, rt or wt")
    binary = "b" in mode
    if binary and (encoding is not None or errors is not None or newline is not None):
        raise ValueError("binary mode takes no encoding, errors or newline")
    if "r" in mode:
        folder = private_folder()
        local = os.path.join(folder, "data")
        try:
            download(session, remote, local, operation)
            reader = ReadFile(folder, local, remote)
        except BaseException:
            shutil.rmtree(folder, ignore_errors=True)
            raise
        if binary:
            return reader
        return io.TextIOWrapper(reader, encoding=encoding, errors=errors, newline=newline)
    # Where the upload at close() would be refused: said now, before any byte is written.
    session._precheck("write", operation, remote)
    writer = WriteFile(session, remote, operation)
    if binary:
        return writer
    return TextWriteFile(writer, encoding=encoding, errors=errors, newline=newline)


def spool(source: IO[bytes], chunk: int = 1 << 20) -> str:
    """Copies a readable binary object into a private temporary file; returns its path (remove its folder)."""
    folder = private_folder()
    local = os.path.join(folder, "data")
    try:
        with open(local, "wb") as target:
            shutil.copyfileobj(source, target, chunk)
    except BaseException:
        shutil.rmtree(folder, ignore_errors=True)
        raise
    return local


def remove_spool(local: str) -> None:
    shutil.rmtree(os.path.dirname(local), ignore_errors=True)

