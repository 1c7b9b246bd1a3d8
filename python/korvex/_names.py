"""Which names from a phone listing can be one local path component, and joining phone paths."""
from __future__ import annotations

import sys
from typing import Optional

# The same rules as korvex::is_plain_name in korvex.hpp.
_WINDOWS_FORBIDDEN = frozenset(':*?"<>|')
_DEVICES = frozenset({"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
_ASCII_UPPER = str.maketrans("abcdefghijklmnopqrstuvwxyz", "ABCDEFGHIJKLMNOPQRSTUVWXYZ")


class UnsafeNameWarning(UserWarning):
    """A phone listing held a name that is not usable as a local file name; it was skipped."""


def is_plain_name(name: str, windows: Optional[bool] = None) -> bool:
    """Whether a listed name can be used as one local path component.

    Refused everywhere: "", ".", "..", "/", "\\", NUL and control characters.
    With Windows rules (the default on Windows) also :*?"<>|, a trailing dot
    or space, and device names (CON, NUL, COM1.txt ...), in any case.
    """
    if windows is None:
        windows = sys.platform == "win32"
    if name in ("", ".", ".."):
        return False
    for char in name:
        if char < " " or char in "\x7f/\\":
            return False
        if windows and char in _WINDOWS_FORBIDDEN:
            return False
    if not windows:
        return True
    if name[-1] in ". ":
        return False
    # Windows reads "con.txt" and "COM1 .log" as the device.
    stem = name.split(".", 1)[0].rstrip(" ").translate(_ASCII_UPPER)
    if stem in _DEVICES:
        return False
    return not (len(stem) == 4 and stem[:3] in ("COM", "LPT") and "0" <= stem[3] <= "9")


def join_path(directory: str, name: str) -> str:
    """name inside a phone directory ("" + "a" -> "a", "/" + "a" -> "/a", "/d" + "a" -> "/d/a"), as korvex::join_path."""
    if not directory:
        return name
    return directory + name if directory.endswith("/") else directory + "/" + name
