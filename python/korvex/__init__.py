"""Manage the files of a phone over Wi-Fi: Python over the korvex shared library.

    with korvex.connect("192.168.1.20", "password") as phone:
        for entry in phone.scandir("/DCIM"): ...
        with phone.open("/notes.txt", "w") as f: ...
        phone.get("/DCIM", "photos", recursive=True, progress=lambda done, total: ...)

Failures raise korvex.Error subclasses, each also the fitting OSError:
ConnectError (ConnectionRefusedError), LoginError (PermissionError),
ConnectionLostError (ConnectionAbortedError), RefusedError with .operation
and .path, and its subclasses NotFoundError (FileNotFoundError), ExistsError
(FileExistsError), NotEmptyError (ENOTEMPTY), IsDirectoryError,
NotDirectoryError, NoSpaceError (ENOSPC) and DeniedError (PermissionError:
the phone said no and its state shows no reason); TransferError. A local
mistake raises the system's own OSError, naming the local path. walk() lists
only names that is_plain_name() accepts and warns (UnsafeNameWarning) of each
other one; put(recursive=True) warns (NotCopiedWarning) of each link to a
folder it leaves out.
"""
from ._abi import MAX_COPY_SIZE, Progress
from ._errors import (
    ConnectError,
    ConnectionLost,
    ConnectionLostError,
    DeniedError,
    Error,
    ExistsError,
    IsDirectoryError,
    LoginError,
    NoSpaceError,
    NotDirectoryError,
    NotEmptyError,
    NotFoundError,
    RefusedError,
    TransferError,
)
from ._log import disable_log, enable_log
from ._names import UnsafeNameWarning, is_plain_name
from ._copies import NotCopiedWarning
from ._session import Session, State, connect
from ._transfers import Transfer
from ._stat import Attributes, DirEntry, ScandirIterator

__version__ = "1.5.0"

__all__ = [
    "MAX_COPY_SIZE",
    "Attributes",
    "ConnectError",
    "ConnectionLost",
    "ConnectionLostError",
    "DeniedError",
    "DirEntry",
    "Error",
    "ExistsError",
    "IsDirectoryError",
    "LoginError",
    "NoSpaceError",
    "NotCopiedWarning",
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
