#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/. Run again after changing it;
the files are committed so a fuzz run needs nothing but the build."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def word(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def field(text, size=1024):
    data = text.encode() if isinstance(text, str) else text
    return data + b"\0" * (size - len(data))


def reply(status, value=0):
    return word(status) + word(value) + b"\0" * 32


def raw_request(code, *parts):
    return word(code) + b"".join(parts)


def path(code, p):
    return raw_request(code, field(p))


def compact(code, *items):
    """code byte, then per path field a length byte and the text, per word 4 bytes."""
    out = bytes([code])
    for item in items:
        if isinstance(item, str):
            out += bytes([len(item)]) + item.encode()
        else:
            out += item
    return out


def write(target, name, data):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main():
    shutil.rmtree(os.path.join(HERE, "corpus"), ignore_errors=True)

    write("reply_fuzzer", "login-phone", reply(0) + field("Phone", 64))
    write("reply_fuzzer", "login-no-nul", reply(0) + b"N" * 64)
    write("reply_fuzzer", "refused", reply(1, 0x7FFFFFFF))
    write("reply_fuzzer", "negative", reply(-1, 0xFFFFFFFF))

    for i, text in enumerate(["127.0.0.1", "10.0.0.5:990", "h:12x", "1..2.3.4", "localhost:0",
                              "256.1.1.1:65537", "host:abc", "010.1.1.9:-1", "1.2.3.4:2323"]):
        write("host_address_fuzzer", "addr-%d" % i, struct.pack("<H", 2323) + text.encode())

    # korvexd: mode byte (bit 0 openat2, bit 1 compact, bit 2 power commands exit), then the requests.
    raw = {
        "keepalive": raw_request(0),
        "exists": path(9, "/a.txt") + path(8, "dir"),
        "listings": path(4, "/") + path(7, "/dir") + path(4, "/out"),
        "download": path(10, "/dir/b.bin") + path(10, "/fifo") + path(10, "/dir/secret"),
        "upload": raw_request(11, field("/dir/new"), word(10)) + b"0123456789" + path(5, "/dir/new"),
        "upload-cut": raw_request(11, field("/cut"), word(100000)) + b"x" * 300,
        "rename": raw_request(1, field("/a.txt"), field("/dir/sub/c")) + path(4, "/dir/sub"),
        "delete-tree": raw_request(3, field("/dir"), word(1)) + path(2, "/inside"),
        "escape": path(5, "/../outside/secret") + path(2, "/out/secret") + raw_request(3, field("/out"), word(1)),
        "chown-space": raw_request(13, field("/inside"), word(1), word(1)) + path(12, "/") + path(6, "/d"),
        "no-nul": raw_request(5, b"a" * 1024),
        "unknown": raw_request(99),
        "power": raw_request(14) + raw_request(0),
    }
    for name, data in raw.items():
        write("service_request_fuzzer", "raw-" + name, bytes([1]) + data)
    write("service_request_fuzzer", "raw-walk-escape", bytes([0]) + raw["escape"])
    write("service_request_fuzzer", "raw-power-exits", bytes([5]) + raw["power"])

    packed = {
        "mkdir-list": compact(6, "/d") + compact(6, "/d/e") + compact(7, "/d") + compact(4, "/"),
        "upload-download": compact(11, "/u", struct.pack("<H", 5)) + b"hello" + compact(10, "/u") + compact(5, "/u"),
        "rename-delete": compact(1, "/dir", "/moved") + compact(3, "/moved", word(1)) + compact(7, "/"),
        "escapes": compact(9, "/out/secret") + compact(3, "/out/deep", word(1)) + compact(13, "/out", word(0), word(0)),
        "reserved": compact(11, "/.korvexd-upload-1-1", struct.pack("<H", 1)) + b"x" + compact(6, ".korvexd-upload-d"),
        "no-nul": bytes([5, 0x83]) + b"abc",
    }
    # The listing stream: piece size - 1, then what the peer sends.
    for name, (piece, data) in {
        "three": (0, listing(["a", "bb", "c" * 255])),
        "empty": (40, listing([])),
        "one-empty-name": (255, listing([""])),
        "refused": (7, reply(1) + word(5)),
        "count-too-big": (63, listing(["x"], count=0x7FFFFFFF)),
        "count-all-ones": (3, listing(["x", "y"], count=0xFFFFFFFF)),
        "cut-in-record": (99, listing(["abc", "def"])[:200]),
        "many": (255, listing(["n%d" % i for i in range(70)])),
    }.items():
        write("listing_fuzzer", name, bytes([piece]) + data)
    for name, data in session_seeds().items():
        write("session_fuzzer", name, data)

    for name, data in packed.items():
        write("service_request_fuzzer", "compact-" + name, bytes([3]) + data)
        write("service_request_fuzzer", "compact-walk-" + name, bytes([2]) + data)
    for name, (flags, data) in sequence_seeds().items():
        write("service_sequence_fuzzer", name, bytes([flags]) + data)


def listing(names, status=0, count=None):
    body = reply(status) + word(len(names) if count is None else count)
    return body + b"".join(field(n, 256) for n in names)


# korvexd's request sequences: flags (bit 0 openat2, bit 1 power commands
# exit, bits 2-4 all set a wrong password), then requests: a code byte, per
# path field a byte (0xC0 | length, then the text: a literal; below 0xC0 a
# path of the fuzzer's own list), per word a byte, an upload's size byte and
# its data.
KEEPALIVE, RENAME, DELETE_FILE, DELETE_DIR, LIST_FILES, FILE_SIZE, MAKE_DIR, LIST_DIRS, IS_DIR, EXISTS, \
    DOWNLOAD, UPLOAD, SPACE_SIZE, CHOWN, SHUTDOWN, REBOOT, RESTART, UNKNOWN = range(18)


def lit(text, nul=True):
    data = text.encode()
    assert len(data) < 32
    return bytes([(0xC0 if nul else 0xE0) | len(data)]) + data


def op(code, *paths, words=(), data=None):
    out = bytes([code]) + b"".join(lit(p) if isinstance(p, str) else p for p in paths)
    out += bytes(words)
    if data is not None:
        out += bytes([len(data)]) + data
    return out


def sequence_seeds():
    def ask(path):
        return op(EXISTS, path) + op(IS_DIR, path) + op(FILE_SIZE, path) + op(DOWNLOAD, path) + \
            op(LIST_FILES, path) + op(LIST_DIRS, path) + op(SPACE_SIZE, path)

    return {
        "upload-then-ask": (1, op(UPLOAD, "/new.txt", data=b"hello world") + ask("/new.txt") + ask("/")),
        "mkdir-upload-delete": (0, op(MAKE_DIR, "/d") + ask("/d") + op(UPLOAD, "/d/f", data=b"abc") +
                                ask("/d/f") + op(LIST_FILES, "/d") + op(DELETE_DIR, "/d", words=[0]) +
                                op(DELETE_DIR, "/d", words=[1]) + ask("/d")),
        "delete-then-ask": (1, op(DELETE_FILE, "/a.txt") + ask("/a.txt") + op(DELETE_FILE, "/inside") +
                            ask("/inside") + ask("/a.txt")),
        "rename-then-ask": (0, op(RENAME, "/a.txt", "/dir/sub/c") + ask("/a.txt") + ask("/dir/sub/c") +
                            op(RENAME, "/dir", "/moved") + ask("/moved") + ask("/moved/sub")),
        "ask-twice": (1, ask("/dir/b.bin") + ask("/dir") + ask("/dir/b.bin") + op(CHOWN, "/a.txt", words=[255, 255]) +
                      ask("/a.txt") + op(KEEPALIVE)),
        "fifo-and-links": (0, ask("/fifo") + ask("/inside") + ask("/out") + ask("/out/secret") +
                           ask("/dir/abs") + ask("/dir/secret") + op(DELETE_FILE, "/out") + ask("/out")),
        "spellings": (1, ask("//dir//./b.bin") + ask("/dir/sub/") + ask("dir/../a.txt") + ask("") +
                      ask("/.korvexd-upload-1-1") + op(UPLOAD, "/new/", data=b"x") + ask("/new") + ask("/new/")),
        "upload-refused": (0, op(UPLOAD, "/out/new", data=bytes([KEEPALIVE, 0, 0, 0])) + op(KEEPALIVE)),
        "upload-replaces": (1, op(UPLOAD, "/a.txt", data=b"replaced") + ask("/a.txt") + ask("/inside") +
                            op(UPLOAD, "/inside", data=b"") + ask("/inside") + op(UPLOAD, "/fifo", data=b"f") +
                            ask("/fifo")),
        "upload-cut": (0, op(KEEPALIVE) + bytes([UPLOAD]) + lit("/cut") + bytes([200]) + b"only a part"),
        "power": (1, op(RESTART) + op(KEEPALIVE) + op(REBOOT) + op(SHUTDOWN) + ask("/a.txt")),
        "power-exits": (3, op(RESTART) + op(KEEPALIVE)),
        "wrong-password": (0x1C, op(KEEPALIVE) + ask("/a.txt")),
        "unknown-code": (1, op(KEEPALIVE) + op(UNKNOWN) + op(KEEPALIVE)),
        "no-nul": (0, op(EXISTS, "/a.txt") + op(EXISTS, lit("/a.txt", nul=False)) + op(KEEPALIVE)),
    }


def streams(flags, *connections):
    """The session fuzzer's input: flags (bit 0: the session's connection
    falls silent after its bytes, where the others end; bit 1: a background
    download; bit 2: a background upload, bit 3: followed to its end rather
    than cancelled), then per connection
    (session, background download, background upload) a 16-bit length and
    the bytes its peer sends."""
    return bytes([flags]) + b"".join(struct.pack("<H", len(c)) + c for c in connections)


def session_seeds():
    login = reply(0) + field("Phone", 64)
    data = bytes(range(256)) * 12  # 3072 bytes
    session = [
        login,
        reply(0, 1234),                    # FileSize
        reply(0),                          # Rename
        reply(0),                          # DeleteDirectory
        reply(1),                          # Chown
        word(4321),                        # GetSpaceSize
        reply(1),                          # Restart
        listing(["a", "bb"]),              # GetFiles
        listing(["d"]),                    # GetDirectories
        reply(0, 3000) + data[:3000],      # DownFromPhone
        reply(0),                          # CopyToPhone, then its data
        reply(0, 3001),                    # and the size that confirms it
        reply(0, 100),                     # DownFromPhoneAsync: the size, on the session
    ]
    whole = b"".join(session)
    download = login + reply(0, 100) + data[:100]
    upload = login + reply(0) + reply(0, 3001)
    # Every command refused: the space as -1, the rest with status 1.
    refusals = login + reply(1) * 4 + word(0xFFFFFFFF) + reply(1) * 6
    return {
        "whole": streams(6, whole, download, upload),
        "whole-then-silence": streams(7, whole, download, upload),
        "whole-upload-followed": streams(14, whole, download, upload),
        "whole-upload-followed-then-silence": streams(15, whole, download, upload),
        "upload-unconfirmed": streams(14, whole, download, login + reply(0) + reply(0, 3000)),
        "download-cut": streams(6, whole, login + reply(0, 100) + data[:50], upload),
        "download-empty": streams(2, whole, login + reply(0, 0)),
        "download-refused": streams(2, whole, login + reply(1)),
        "refusals": streams(14, refusals, login + reply(1), login + reply(1)),
        "half-then-silence": streams(1, b"".join(session[:8])),
        "short-reply-then-silence": streams(1, login + reply(0, 1234)[:20]),
        "login-only": streams(7, login),
        "login-cut": streams(0, login[:50]),
    }


if __name__ == "__main__":
    main()
