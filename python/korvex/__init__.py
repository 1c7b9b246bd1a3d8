"""Manage the files of a phone over Wi-Fi: Python over the korvex shared library.

    with korvex.connect("192.168.1.20", "password") as phone:
        for entry in phone.scandir("/DCIM"): ...
        with phone.open("/notes.txt", "w") as f: ...
        phone.get("/DCIM", "photos", recursive=True, progress=lambda done, total: ...)

Failures raise korvex.Error subclasses, each also the fitting OSError:
ConnectError (ConnectionRefusedError), LoginError (PermissionError),
ConnectionLostError (ConnectionAbortedError), RefusedError (EIO) with
.operation and .path, and its subclasses NotFoundError (FileNotFoundError),
ExistsError (FileExistsError), NotEmptyError (ENOTEMPTY), IsDirectoryError,
NotDirectoryError; TransferError. walk() lists only names that
is_plain_name() accepts and warns (UnsafeNameWarning) of each other one.
"""
from ._abi import MAX_COPY_SIZE, Progress
from ._errors import (
    ConnectError,
    ConnectionLost,
    ConnectionLostError,
    Error,
    ExistsError,
    IsDirectoryError,
    LoginError,
    NotDirectoryError,
    NotEmptyError,
    NotFoundError,
    RefusedError,
    TransferError,
)
from ._log import disable_log, enable_log
from ._names import UnsafeNameWarning, is_plain_name
from ._session import Session, State, Transfer, connect
from ._stat import Attributes, DirEntry, ScandirIterator

__version__ = "1.5.0"

__all__ = [
    "MAX_COPY_SIZE",
    "Attributes",
    "ConnectError",
    "ConnectionLost",
    "ConnectionLostError",
    "DirEntry",
    "Error",
    "ExistsError",
    "IsDirectoryError",
    "LoginError",
    "NotDirectoryError",
    "NotEmptyError",
    "NotFoundError",
    "Progress",
    "RefusedError",
    "ScandirIterator",
    "Session",
    "State",
    "Transfer",
    "TransferError",
    "UnsafeNameWarning",
    "connect",
    "disable_log",
    "enable_log",
    "is_plain_name",
]
