"""A phone that sends what a test scripts, including what korvexd never
would: names no file system holds, downloads that break off.

It speaks the wire layouts of src/session/protocol.h on loopback: takes any
password, answers keep-alives, listings from a table and downloads from a
table, file sizes for the files it lists, and refuses everything else.
Every request is kept in `requests`, as (code, path).
"""
import socket
import struct
import threading
import time
from typing import Dict, List, NamedTuple, Optional, Tuple

PASSWORD_BLOCK_SIZE = 256
LOGIN_REPLY_SIZE = 40
DEVICE_NAME_SIZE = 64
REPLY_HEADER_SIZE = 40
NAME_RECORD_SIZE = 256
PATH_FIELD_SIZE = 1024

CMD_KEEPALIVE, CMD_LIST_FILES, CMD_FILE_SIZE, CMD_LIST_DIRS, CMD_DOWNLOAD = 0, 4, 5, 7, 10
# Bytes of the request block after each code; a path block unless listed.
BLOCK_SIZES = {0: 0, 1: 2 * PATH_FIELD_SIZE, 3: PATH_FIELD_SIZE + 4, 11: PATH_FIELD_SIZE + 4,
               13: PATH_FIELD_SIZE + 8, 14: 0, 15: 0, 16: 0}


class Download(NamedTuple):
    """A download reply: the size announced, then `sent` bytes of `data`, then the connection closes."""

    data: bytes
    sent: int


def reply(status: int, value: int = 0) -> bytes:
    return struct.pack("<iI", status, value).ljust(REPLY_HEADER_SIZE, b"\0")


class ScriptedPhone:
    def __init__(self, files: Dict[str, List[bytes]], dirs: Dict[str, List[bytes]],
                 downloads: Optional[Dict[str, Download]] = None, hold: float = 0.3) -> None:
        self.listings = {CMD_LIST_FILES: files, CMD_LIST_DIRS: dirs}
        self.downloads = downloads or {}
        self.hold = hold  # how long a cut download stays open, so its progress shows first
        self.listed: List[Tuple[int, str]] = []
        self.requests: List[Tuple[int, str]] = []
        self._server = socket.create_server(("127.0.0.1", 0))
        self._server.settimeout(0.1)
        self.address = "127.0.0.1:%d" % self._server.getsockname()[1]
        self._stopping = threading.Event()
        self._threads: List[threading.Thread] = []
        self._connections: List[socket.socket] = []
        self._lock = threading.Lock()
        self._spawn(self._accept)

    def _spawn(self, target, *args) -> None:
        thread = threading.Thread(target=target, args=args, daemon=True)
        with self._lock:
            self._threads.append(thread)
        thread.start()

    def _accept(self) -> None:
        while not self._stopping.is_set():
            try:
                connection, _ = self._server.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            connection.settimeout(0.1)
            with self._lock:
                self._connections.append(connection)
            self._spawn(self._serve, connection)

    def _read(self, connection: socket.socket, size: int) -> Optional[bytes]:
        data = b""
        while len(data) < size and not self._stopping.is_set():
            try:
                chunk = connection.recv(size - len(data))
            except socket.timeout:
                continue
            except OSError:
                return None
            if not chunk:
                return None
            data += chunk
        return data if len(data) == size else None

    def _serve(self, connection: socket.socket) -> None:
        try:
            if self._read(connection, PASSWORD_BLOCK_SIZE) is None:
                return
            connection.sendall(bytes(LOGIN_REPLY_SIZE) + b"scripted".ljust(DEVICE_NAME_SIZE, b"\0"))
            while True:
                code_bytes = self._read(connection, 4)
                if code_bytes is None:
                    return
                code = struct.unpack("<I", code_bytes)[0]
                block = self._read(connection, BLOCK_SIZES.get(code, PATH_FIELD_SIZE))
                if block is None:
                    return
                path = block[:PATH_FIELD_SIZE].split(b"\0", 1)[0].decode("utf-8", "surrogateescape")
                if not self._answer(connection, code, path):
                    return
        except OSError:
            return
        finally:
            connection.close()

    def _answer(self, connection: socket.socket, code: int, path: str) -> bool:
        """Sends the reply; False once the connection is to close."""
        if code != CMD_KEEPALIVE:
            self.requests.append((code, path))
        if code == CMD_KEEPALIVE:
            connection.sendall(reply(0))
        elif code in self.listings and path in self.listings[code]:
            self.listed.append((code, path))
            names = self.listings[code][path]
            records = b"".join(name.ljust(NAME_RECORD_SIZE, b"\0") for name in names)
            connection.sendall(reply(0) + struct.pack("<I", len(names)) + records)
        elif code == CMD_FILE_SIZE and self._listed_file(path):
            connection.sendall(reply(0, len(self.downloads[path].data) if path in self.downloads else 0))
        elif code == CMD_DOWNLOAD and path in self.downloads:
            download = self.downloads[path]
            connection.sendall(reply(0, len(download.data)) + download.data[: download.sent])
            if download.sent < len(download.data):
                time.sleep(self.hold)
                connection.shutdown(socket.SHUT_RDWR)
                return False
        else:
            connection.sendall(reply(1))
        return True

    def _listed_file(self, path: str) -> bool:
        folder, _, name = path.rpartition("/")
        names = self.listings[CMD_LIST_FILES].get(folder or "/", [])
        return name.encode("utf-8", "surrogateescape") in names

    def stop(self) -> None:
        self._stopping.set()
        self._server.close()
        with self._lock:
            connections, threads = list(self._connections), list(self._threads)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for thread in threads:
            thread.join(timeout=5)
