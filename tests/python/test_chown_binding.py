"""The Chown the package binds is the one each build of the library exports,
read from the export files the DLLs and the .so are linked with."""
import ctypes
import re

import pytest

from conftest import SOURCE
from korvex._library import chown_binding

API = SOURCE / "src" / "api"

# Bytes of the handle parameter, by its code in each decoration.
MSVC_WIDTH = {"I": 4, "_K": 8}  # unsigned int, unsigned __int64
ITANIUM_WIDTH = {"j": 4, "y": 8}  # unsigned int, unsigned long long


def def_export(def_file: str):
    """(exported name, internal name) of Chown in a module-definition file."""
    text = (API / def_file).read_text()
    found = re.findall(r'^\s*"(\?Chown@@[^"]+)"\s*=\s*(\S+)', text, re.MULTILINE)
    assert len(found) == 1, f"{def_file}: {found}"
    return found[0]


@pytest.mark.parametrize("pointer_size, def_file", [(4, "korvex-win32.def"), (8, "korvex-win64.def")])
def test_windows_binding_is_the_name_and_width_the_def_file_exports(pointer_size, def_file):
    exported, internal = def_export(def_file)
    symbol, handle = chown_binding("win32", pointer_size)
    assert symbol == exported
    # bool Chown(handle, char*, int, int): the char* is a 64-bit pointer (PEAD) in a 64-bit DLL only.
    msvc = re.fullmatch(r"\?Chown@@YA_N(I|_K)(PEAD|PAD)HH@Z", exported)
    assert msvc, exported
    itanium = re.fullmatch(r"_Z5Chown([a-z])Pcii", internal)
    assert itanium, internal
    width = MSVC_WIDTH[msvc.group(1)]
    assert ITANIUM_WIDTH[itanium.group(1)] == width == pointer_size
    assert (msvc.group(2) == "PEAD") == (pointer_size == 8)
    assert ctypes.sizeof(handle) == width
    assert handle(-1).value == 2 ** (8 * width) - 1  # unsigned


@pytest.mark.parametrize("platform", ["linux", "darwin"])
@pytest.mark.parametrize("pointer_size", [4, 8])
def test_other_platforms_bind_the_name_the_export_map_lists(platform, pointer_size):
    exported = re.findall(r"^\s*(_Z5Chown\w+);", (API / "korvex.map").read_text(), re.MULTILINE)
    symbol, handle = chown_binding(platform, pointer_size)
    assert [symbol] == exported
    # "m" is unsigned long, as wide as a pointer outside Windows.
    assert re.fullmatch(r"_Z5ChownmPcii", symbol), symbol
    assert ctypes.sizeof(handle) == pointer_size
    assert handle(-1).value == 2 ** (8 * pointer_size) - 1
