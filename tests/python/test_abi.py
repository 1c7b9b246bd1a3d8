"""The C table's facts agree wherever they are written: korvex.h states them,
korvex/_abi.py holds them for the package, the .def files and the export map
link them into the library, and host programs and the docs repeat some."""
import ctypes
import re
import sys

import pytest

from conftest import SOURCE
from korvex import _abi
from korvex._library import SIGNATURES
from korvex._names import join_path

sys.path.insert(0, str(SOURCE / "tests" / "windows"))
from check_dll import API, read_def  # noqa: E402

HEADER = (SOURCE / "include" / "korvex.h").read_text()
MAP = (API / "korvex.map").read_text()
DEF = {4: "korvex-win32.def", 8: "korvex-win64.def"}

# Bytes of Chown's handle parameter, by its code in each decoration.
MSVC_WIDTH = {"I": 4, "_K": 8}  # unsigned int, unsigned __int64
ITANIUM_WIDTH = {"j": 4, "y": 8}  # unsigned int, unsigned long long
HANDLE_WIDTH = {"unsigned int": 4, "unsigned long long": 8, "unsigned long": ctypes.sizeof(ctypes.c_ulong)}


def header_chown():
    """[(symbol, handle type)] of korvex.h's three branches: 64-bit Windows, 32-bit Windows, elsewhere."""
    symbols = re.findall(r'^#define KORVEX_CHOWN_SYMBOL "([^"]+)"$', HEADER, re.M)
    handles = re.findall(r"^#define KORVEX_CHOWN_HANDLE (.+)$", HEADER, re.M)
    assert len(symbols) == len(handles) == 3
    return list(zip(symbols, handles))


def test_header_declares_the_table_and_its_extensions():
    declared = re.findall(r"^KORVEX_API [^(;]*?\b(\w+)\(", HEADER, re.M)
    assert sorted(set(declared)) == sorted(_abi.TABLE + _abi.EXTENSIONS)
    since = dict((name, int(ordinal)) for ordinal, name in
                 re.findall(r"ordinal (\d+)\..*?\*/\s*KORVEX_API [^(]*?\b(\w+)\(", HEADER, re.S))
    assert since == {name: 31 + index for index, name in enumerate(_abi.EXTENSIONS)}


@pytest.mark.parametrize("macro, value", [
    ("KORVEX_MAX_PATH", _abi.MAX_PATH),
    ("KORVEX_MAX_RENAME_DEST", _abi.MAX_RENAME_DEST),
    ("KORVEX_MAX_PASSWORD", _abi.MAX_PASSWORD),
    ("KORVEX_MAX_LOG_PATH", _abi.MAX_LOG_PATH),
    ("KORVEX_DEVICE_NAME_SIZE", _abi.DEVICE_NAME_SIZE),
])
def test_bounds_are_the_headers(macro, value):
    assert re.findall(rf"^#define {macro} (\d+)$", HEADER, re.M) == [str(value)]


def test_kinds_are_the_headers():
    declared = dict(re.findall(r"^  KORVEX_KIND_(\w+) = (\d+)", HEADER, re.M))
    assert declared == {name[len("KIND_"):]: str(getattr(_abi, name)) for name in dir(_abi) if name.startswith("KIND_")}


@pytest.mark.parametrize("branch, platform, pointer_size, comment", [
    (0, "win32", 8, "64-bit Windows"),
    (1, "win32", 4, "32-bit Windows"),
    (2, "linux", ctypes.sizeof(ctypes.c_void_p), "Linux"),
])
def test_chown_binding_is_the_headers(branch, platform, pointer_size, comment):
    symbol, handle_type = header_chown()[branch]
    assert re.findall(rf'^ \*   {comment}: +"([^"]+)"', HEADER, re.M) == [symbol]
    bound, handle = _abi.chown_binding(platform, pointer_size)
    assert bound == symbol
    assert ctypes.sizeof(handle) == HANDLE_WIDTH[handle_type] == pointer_size
    assert handle(-1).value == 2 ** (8 * pointer_size) - 1  # unsigned


@pytest.mark.parametrize("platform", ["linux", "darwin"])
@pytest.mark.parametrize("pointer_size", [4, 8])
def test_other_platforms_bind_the_pointer_sized_itanium_name(platform, pointer_size):
    symbol, handle = _abi.chown_binding(platform, pointer_size)
    assert symbol == _abi.CHOWN_ITANIUM
    assert ctypes.sizeof(handle) == pointer_size


@pytest.mark.parametrize("pointer_size", [4, 8])
def test_def_file_exports_the_table_in_ordinal_order(pointer_size):
    exports = read_def(API / DEF[pointer_size])
    assert [ordinal for _, _, ordinal in exports] == list(range(1, len(_abi.TABLE) + len(_abi.EXTENSIONS) + 1))
    names = [name for name, _, _ in exports]
    assert names == [_abi.CHOWN_WINDOWS[pointer_size], *_abi.TABLE[1:], *_abi.EXTENSIONS]
    entries = {name: entry for name, entry, _ in exports}
    assert {name: entry for name, entry in entries.items() if entry != name and entry in entries} == _abi.ALIASES


@pytest.mark.parametrize("pointer_size", [4, 8])
def test_def_files_chown_takes_a_handle_as_wide_as_a_pointer(pointer_size):
    (exported, internal, ordinal), = [export for export in read_def(API / DEF[pointer_size]) if "Chown" in export[0]]
    assert ordinal == 1
    # bool Chown(handle, char*, int, int): the char* is a 64-bit pointer (PEAD) in a 64-bit DLL only.
    msvc = re.fullmatch(r"\?Chown@@YA_N(I|_K)(PEAD|PAD)HH@Z", exported)
    itanium = re.fullmatch(r"_Z5Chown([a-z])Pcii", internal)
    assert msvc and itanium, (exported, internal)
    assert MSVC_WIDTH[msvc.group(1)] == ITANIUM_WIDTH[itanium.group(1)] == pointer_size
    assert (msvc.group(2) == "PEAD") == (pointer_size == 8)


def test_export_map_lists_the_table_and_chown():
    c_names = re.search(r'extern "C" \{(.*?)\};', MAP, re.S).group(1)
    listed = re.findall(r"^\s*(\w+);", re.sub(r"/\*.*?\*/", "", c_names), re.M)
    assert listed == [*_abi.TABLE[1:], *_abi.EXTENSIONS]
    assert re.findall(r"^\s*(_Z\w+);", MAP, re.M) == [_abi.CHOWN_ITANIUM]


def test_package_binds_only_exported_names():
    assert set(SIGNATURES) <= set(_abi.TABLE + _abi.EXTENSIONS) - {"Chown"}


def known_chown_names():
    internal = {entry for size in DEF for name, entry, _ in read_def(API / DEF[size]) if "Chown" in name}
    return {symbol for symbol, _ in header_chown()} | internal


@pytest.mark.parametrize("path", ["docs/c-api.md", "docs/windows.md", "tests/host/ctypes_host.py",
                                  "tests/windows/loadlibrary_host.c", "tests/host/exports_test.cpp"])
def test_chown_names_written_elsewhere_are_the_real_ones(path):
    written = set(re.findall(r"_Z5Chown\w+|\?Chown@@\w+@Z", (SOURCE / path).read_text()))
    assert written <= known_chown_names()


@pytest.mark.parametrize("value, total, expected", [
    (-1, 0, (0, 0, "starting")),
    (-2, 10, (0, 10, "failed")),
    (0, 10, (0, 10, "running")),
    (10, 10, (10, 10, "done")),
    (0, 0, (0, 0, "done")),
    (-3, -3, (_abi.MAX_COPY_SIZE, _abi.MAX_COPY_SIZE, "done")),  # sizes are unsigned
])
def test_progress_decodes_as_the_cxx_wrapper_does(value, total, expected):
    assert _abi.decode_progress(value, total) == _abi.Progress(*expected)


@pytest.mark.parametrize("text, names", [
    (b"a.jpg/b.jpg/", [b"a.jpg", b"b.jpg"]),
    (b"one/", [b"one"]),
    (b"", []),
    (b"x y/\xff/", [b"x y", b"\xff"]),
])
def test_listing_names(text, names):
    assert _abi.listing_names(text) == names


@pytest.mark.parametrize("directory, name, joined", [
    ("", "a", "a"), ("/", "a", "/a"), ("/d", "a", "/d/a"), ("/d/", "a", "/d/a"), ("d", "a", "d/a"),
])
def test_join_path_as_the_cxx_wrapper(directory, name, joined):
    assert join_path(directory, name) == joined
