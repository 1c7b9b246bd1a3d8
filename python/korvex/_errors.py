"""The package's exceptions: korvex.Error at the root, each also the OSError subclass that fits."""
from __future__ import annotations

import errno
from typing import Dict, Optional, Type


class Error(OSError):
    """Every failure the package reports."""


class ConnectError(Error, ConnectionRefusedError):
    """Nothing accepted the TCP connection (the library does not say why: refused, unreachable, unknown host)."""

    def __init__(self, address: str) -> None:
        super().__init__(errno.ECONNREFUSED, "cannot connect", address)
        self.address = address


class LoginError(Error, PermissionError):
    """The phone turned the password away, or did not answer in time."""

    def __init__(self, address: str) -> None:
        super().__init__(errno.EACCES, "login refused: wrong password, or no answer in time", address)
        self.address = address


class ConnectionLostError(Error, ConnectionAbortedError):
    """The session's connection is closed; connect again."""

    def __init__(self, operation: str, path: str) -> None:
        super().__init__(errno.ECONNABORTED, f"{operation}: the connection to the phone was lost", path)
        self.operation = operation
        self.path = path


ConnectionLost = ConnectionLostError


class RefusedError(Error):
    """The phone said no; the session stays usable.

    A plain RefusedError carries EIO: the phone gives no reason and the
    probes that follow a refusal found none. The subclasses below carry the
    reason they found.
    """

    errno_value = errno.EIO

    def __init__(
        self, operation: str, path: str, reason: str = "refused by the phone", dest: Optional[str] = None
    ) -> None:
        super().__init__(self.errno_value, f"{operation}: {reason}", path, None, dest)
        self.operation = operation
        self.path = path


class NotFoundError(RefusedError, FileNotFoundError):
    errno_value = errno.ENOENT


class ExistsError(RefusedError, FileExistsError):
    errno_value = errno.EEXIST


class NotEmptyError(RefusedError):
    """A directory removed without recursive held entries (Python has no OSError subclass for ENOTEMPTY)."""

    errno_value = errno.ENOTEMPTY


class IsDirectoryError(RefusedError, IsADirectoryError):
    errno_value = errno.EISDIR


class NotDirectoryError(RefusedError, NotADirectoryError):
    errno_value = errno.ENOTDIR


class TransferError(Error):
    """A background copy failed, broke off or never started."""

    def __init__(self, operation: str, path: str, reason: str, done: int = 0, total: int = 0) -> None:
        super().__init__(errno.EIO, f"{operation}: {reason}", path)
        self.operation = operation
        self.path = path
        self.done = done
        self.total = total


REFUSALS: Dict[int, Type[RefusedError]] = {
    error.errno_value: error for error in (NotFoundError, ExistsError, NotEmptyError, IsDirectoryError, NotDirectoryError)
}
REFUSALS[errno.EIO] = RefusedError


def refusal(code: int, operation: str, path: str, reason: str, dest: Optional[str] = None) -> RefusedError:
    """The RefusedError for an errno found by probing the phone."""
    return REFUSALS[code](operation, path, reason, dest)
