"""What the package knows of the library's C table, in one place.

The same facts as include/korvex.h states them; tests/python/test_abi.py
checks this module against that header, the .def files and the export map.
"""
from __future__ import annotations

import ctypes
from typing import List, NamedTuple, Tuple, Type

# The table's 30 names in ordinal order (Windows ordinals 1-30; Chown is
# exported under a decorated name, see chown_binding), then the extensions
# from ordinal 31, never renumbered.
TABLE = (
    "Chown", "CloseTransHandle", "Connect", "ConnectionState", "CopyToPhone", "CopyToPhoneAsync",
    "CreatePhoneDirectory", "DeleteDirectory", "DeletePhoneFile", "DownFromPhone", "DownFromPhoneAsync",
    "EnableLog", "Exists", "FileSize", "FreeBuffer", "GetAttribute", "GetDirectories", "GetFiles", "GetSize",
    "GetSpaceSize", "GetTransProgress", "HasDirectories", "IsDirectory", "Reboot", "Rename", "Restart",
    "RestartiPod", "ScreenSnap", "SetAttribute", "Shutdown",
)
EXTENSIONS = ("Disconnect", "GetEntries", "FreeEntries", "GetSizes", "UploadFiles", "GetKinds", "CloseConnection",
              "DownloadFiles")
# Names that share another's entry point: the fixed results.
ALIASES = {"GetSize": "GetAttribute", "ScreenSnap": "RestartiPod", "SetAttribute": "RestartiPod"}

# Chown's decorated name by (sys.platform, sizeof(void*)); any other
# platform uses the Itanium name, whose "m" (unsigned long) is pointer-sized.
CHOWN_WINDOWS = {4: "?Chown@@YA_NIPADHH@Z", 8: "?Chown@@YA_N_KPEADHH@Z"}
CHOWN_ITANIUM = "_Z5ChownmPcii"

# Bounds checked before anything is sent, in bytes without the NUL.
MAX_PATH = 1022
MAX_RENAME_DEST = 254
MAX_PASSWORD = 255
MAX_LOG_PATH = 255
# The phone's name as ConnectionState writes it, with its NUL.
DEVICE_NAME_SIZE = 64

# Connect's *error.
CONNECT_FAILED = 1
LOGIN_FAILED = 2

# GetTransProgress's result before the copy started and after it failed.
PROGRESS_NOT_STARTED = -1
PROGRESS_FAILED = -2
# What GetKinds finds a path to be.
KIND_MISSING = 0
KIND_FILE = 1
KIND_DIRECTORY = 2
KIND_UNSIZED = 3  # there, not a directory, but the phone gives no size (4 GiB or more)

# Sizes travel as unsigned 32-bit words; the two largest read the same as
# the two values above.
MAX_COPY_SIZE = 0xFFFFFFFD

# One entry of GetEntries' array, as korvex.h lays it out.
class Entry(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("size", ctypes.c_uint), ("is_directory", ctypes.c_int)]


# A listing is "name1/name2/.../".
LISTING_SEPARATOR = b"/"


def chown_binding(platform: str, pointer_size: int) -> Tuple[str, Type["ctypes._SimpleCData[int]"]]:
    """Chown's exported name and the integer type of its handle, for sys.platform and sizeof(void*).

    Chown has C++ linkage and takes the session as a pointer-sized unsigned
    integer: hosts reach it by its decorated name, MSVC's on Windows (the
    names the .def files export), the Itanium one elsewhere.
    """
    handle = ctypes.c_uint64 if pointer_size == 8 else ctypes.c_uint32
    if platform == "win32":
        return CHOWN_WINDOWS[pointer_size], handle
    return CHOWN_ITANIUM, handle


def listing_names(text: bytes) -> List[bytes]:
    """The names of a GetFiles or GetDirectories buffer, in its order."""
    return [name for name in text.split(LISTING_SEPARATOR) if name]


class Progress(NamedTuple):
    """Where a background copy stands: phase is "starting", "running", "done" or "failed"."""

    done: int
    total: int
    phase: str


def decode_progress(value: int, total: int) -> Progress:
    """GetTransProgress's result and *total as unsigned sizes and a phase."""
    size = total & 0xFFFFFFFF
    if value == PROGRESS_NOT_STARTED:
        return Progress(0, size, "starting")
    if value == PROGRESS_FAILED:
        return Progress(0, size, "failed")
    done = value & 0xFFFFFFFF
    return Progress(done, size, "done" if done == size else "running")
