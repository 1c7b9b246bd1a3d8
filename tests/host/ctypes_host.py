"""A host program in Python: binds the library by name with ctypes.

Usage: ctypes_host.py LIBRARY ADDRESS PASSWORD. Exit 0 when every step worked.
"""
import ctypes
import sys


def main():
    lib = ctypes.CDLL(sys.argv[1])
    lib.Connect.restype = ctypes.c_void_p
    lib.Connect.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_int)]
    lib.ConnectionState.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p]
    lib.CreatePhoneDirectory.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    lib.CreatePhoneDirectory.restype = ctypes.c_bool
    lib.GetDirectories.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p)]
    lib.FreeBuffer.argtypes = [ctypes.c_void_p]
    chown = getattr(lib, "_Z5ChownmPcii")
    chown.argtypes = [ctypes.c_ulong, ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
    chown.restype = ctypes.c_bool

    address = sys.argv[2].encode()
    error = ctypes.c_int(-1)
    session = lib.Connect(address, sys.argv[3].encode(), ctypes.byref(error))
    assert session and error.value == 0, error.value
    connected = ctypes.create_string_buffer(1)
    addr = ctypes.create_string_buffer(len(address) + 1)
    name = ctypes.create_string_buffer(64)
    lib.ConnectionState(session, connected, addr, name)
    assert connected.raw == b"\x01" and addr.value == address
    assert lib.CreatePhoneDirectory(session, b"/from-python/")
    assert lib.CreatePhoneDirectory(session, b"/from-python/inner")
    listing = ctypes.c_char_p()
    assert lib.GetDirectories(session, b"/from-python", ctypes.byref(listing)) == 6
    assert listing.value == b"inner/"
    lib.FreeBuffer(listing)
    import os
    assert chown(session, b"/from-python", os.getuid(), os.getgid())
    print("ctypes_host: ok, device", name.value.decode())


if __name__ == "__main__":
    main()
