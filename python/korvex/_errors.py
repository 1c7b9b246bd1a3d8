"""The package's exceptions: korvex.Error at the root, each also the OSError subclass that fits."""
from __future__ import annotations

import errno
from typing import Dict, Optional, Tuple, Type


class Error(OSError):
    """Every failure the package reports."""


class ConnectError(Error, ConnectionRefusedError):
    """No TCP connection: nothing accepted it, or (errno a socket.EAI_ code) the host name cannot be resolved."""

    def __init__(self, address: str, reason: str = "cannot connect", code: int = errno.ECONNREFUSED) -> None:
        super().__init__(code, reason, address)
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

    The subclasses below carry the reason the phone's state shows. A plain
    RefusedError carries EIO: the questions asked to find the reason got no
    answer, or the phone gives no size for a file of 4 GiB or more.
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


class NoSpaceError(RefusedError):
    """The phone reports no free space where the file was to go (Python has no OSError subclass for ENOSPC)."""

    errno_value = errno.ENOSPC


class DeniedError(RefusedError, PermissionError):
    """The phone said no and its state shows no reason: the path is there, its folder too."""

    errno_value = errno.EACCES


class TransferError(Error):
    """A background copy failed, broke off or never started."""

    def __init__(self, operation: str, path: str, reason: str, done: int = 0, total: int = 0) -> None:
        super().__init__(errno.EIO, f"{operation}: {reason}", path)
        self.operation = operation
        self.path = path
        self.done = done
        self.total = total


# What the phone's state says about a refusal (tests/support/host_answers.tsv
# spells them the same way): the exception, and the reason its message gives.
ANSWERS: Dict[str, Tuple[Type[RefusedError], str]] = {
    "missing": (NotFoundError, "no such file or directory"),
    "exists": (ExistsError, "already exists"),
    "not_a_directory": (NotDirectoryError, "not a directory"),
    "is_a_directory": (IsDirectoryError, "is a directory"),
    "not_empty": (NotEmptyError, "directory not empty"),
    "no_space": (NoSpaceError, "no space left on the phone"),
    "unsized": (RefusedError, "the phone gives no size for it (4 GiB or more)"),
    "unexplained": (RefusedError, "refused by the phone, and asking why got no answer"),
    "denied": (DeniedError, "refused by the phone"),
}


def refusal(answer: str, operation: str, path: str, about: Optional[str] = None,
            dest: Optional[str] = None) -> RefusedError:
    """The RefusedError for an answer; about names the other path the reason is about (a parent, the destination)."""
    kind, reason = ANSWERS[answer]
    return kind(operation, path, reason if about is None else f"{reason}: {about}", dest)
