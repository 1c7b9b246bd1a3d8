"""Manage the files of a phone over Wi-Fi: Python over the korvex shared library.

    phone = korvex.connect("192.168.1.20", "password")
    for top, dirs, files in phone.walk("/photos"): ...
    phone.download("/photos/a.jpg", "a.jpg", progress=lambda done, total: ...)

Failures raise korvex.Error subclasses: ConnectError, LoginError,
RefusedError (with .operation and .path), ConnectionLost, TransferError.
"""
from ._session import (
    MAX_COPY_SIZE,
    ConnectError,
    ConnectionLost,
    Error,
    LoginError,
    Progress,
    RefusedError,
    Session,
    State,
    Transfer,
    TransferError,
    connect,
    disable_log,
    enable_log,
)

__version__ = "1.0.0"

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
    "connect",
    "disable_log",
    "enable_log",
]
