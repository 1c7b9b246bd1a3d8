"""Finding and binding the shared library."""
from __future__ import annotations

import ctypes
import os
import sys
import threading
from ctypes import POINTER, c_bool, c_char_p, c_int, c_longlong, c_uint, c_void_p
from typing import Dict, List, Optional, Sequence, Tuple

from ._abi import Entry, chown_binding

_WINDOWS = sys.platform == "win32"
_NAMES = ["korvex.dll"] if _WINDOWS else (["libkorvex.1.dylib"] if sys.platform == "darwin" else ["libkorvex.so.1"])

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def _candidates() -> List[str]:
    """KORVEX_LIBRARY alone when set; else the one pip built into the package, then the system's loader."""
    explicit = os.environ.get("KORVEX_LIBRARY")
    if explicit:
        return [explicit]
    here = os.path.dirname(os.path.abspath(__file__))
    beside = [os.path.join(here, name) for name in _NAMES]
    return [path for path in beside if os.path.exists(path)] + list(_NAMES)


_int_p = POINTER(c_int)
# (restype, argtypes) of each export the package calls; Chown is bound apart,
# under its decorated name.
SIGNATURES: Dict[str, Tuple[object, Sequence[object]]] = {
    "EnableLog": (c_int, [c_bool, c_uint, c_char_p]),
    "Connect": (c_void_p, [c_char_p, c_char_p, _int_p]),
    "ConnectionState": (None, [c_void_p, c_void_p, c_void_p, c_void_p]),
    "Rename": (c_bool, [c_void_p, c_char_p, c_char_p]),
    "DeletePhoneFile": (c_bool, [c_void_p, c_char_p]),
    "DeleteDirectory": (c_bool, [c_void_p, c_char_p, c_bool]),
    "CreatePhoneDirectory": (c_bool, [c_void_p, c_char_p]),
    "FileSize": (c_int, [c_void_p, c_char_p]),
    "Exists": (c_int, [c_void_p, c_char_p]),
    "IsDirectory": (c_int, [c_void_p, c_char_p]),
    "GetSpaceSize": (c_int, [c_void_p, c_char_p]),
    "Shutdown": (c_bool, [c_void_p]),
    "Reboot": (c_bool, [c_void_p]),
    "Restart": (c_bool, [c_void_p]),
    "GetFiles": (c_int, [c_void_p, c_char_p, POINTER(c_void_p)]),
    "GetDirectories": (c_int, [c_void_p, c_char_p, POINTER(c_void_p)]),
    "FreeBuffer": (None, [c_void_p]),
    "CopyToPhone": (c_bool, [c_void_p, c_char_p, c_char_p]),
    "DownFromPhone": (c_bool, [c_void_p, c_char_p, c_char_p]),
    "CopyToPhoneAsync": (c_void_p, [c_void_p, c_char_p, c_char_p]),
    "DownFromPhoneAsync": (c_void_p, [c_void_p, c_char_p, c_char_p]),
    "GetTransProgress": (c_int, [c_void_p, _int_p, _int_p]),
    "CloseTransHandle": (c_int, [c_void_p]),
    "Disconnect": (c_bool, [c_void_p]),
    "GetEntries": (c_int, [c_void_p, c_char_p, POINTER(POINTER(Entry))]),
    "FreeEntries": (None, [POINTER(Entry)]),
    "GetSizes": (c_int, [c_void_p, POINTER(c_char_p), c_int, POINTER(c_longlong)]),
    "GetKinds": (c_int, [c_void_p, POINTER(c_char_p), c_int, _int_p, POINTER(c_longlong)]),
}


def _bind(lib: ctypes.CDLL) -> ctypes.CDLL:
    for name, (restype, argtypes) in SIGNATURES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    symbol, handle = chown_binding(sys.platform, ctypes.sizeof(c_void_p))
    try:
        chown = getattr(lib, symbol)
    except AttributeError:
        return lib
    chown.restype = c_bool
    chown.argtypes = [handle, c_char_p, c_int, c_int]
    setattr(lib, "korvex_chown", chown)
    return lib


def library() -> ctypes.CDLL:
    """The bound library, loaded on first use."""
    global _library
    with _lock:
        if _library is None:
            errors = []
            for candidate in _candidates():
                try:
                    _library = _bind(ctypes.CDLL(candidate))
                    break
                except OSError as error:
                    errors.append(f"{candidate}: {error}")
            else:
                raise OSError("cannot load the korvex library (set KORVEX_LIBRARY to its path): " + "; ".join(errors))
        return _library
