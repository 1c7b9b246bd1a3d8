"""Manage the files of a phone over Wi-Fi: Python over the korvex shared library.

    phone = korvex.connect("192.168.1.20", "password")
    for top, dirs, files in phone.walk("/photos"): ...
    phone.download("/photos/a.jpg", "a.jpg", progress=lambda done, total: ...)

Failures raise korvex.Error subclasses: ConnectError, LoginError,
RefusedError (with .operation and .path), ConnectionLost, TransferError.
walk() lists only names that is_plain_name() accepts and warns
(UnsafeNameWarning) of each other one it skips.
"""
from ._abi import MAX_COPY_SIZE, Progress
from ._names import UnsafeNameWarning, is_plain_name
from ._session import (
    ConnectError,
    ConnectionLost,
    Error,
    LoginError,
    RefusedError,
    Session,
    State,
    Transfer,
    TransferError,
    connect,
    disable_log,
    enable_log,
)

__version__ = "1.2.0"

__all__ = [
    "MAX_COPY_SIZE",
    "ConnectError",
    "ConnectionLost",
    "Error",
    "LoginError",
    "Progress",
    "RefusedError",
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
