#!/usr/bin/env python3
"""What logins cost korvexd, and whether the owner still gets in under a flood.

Runs the korvexd given (default: build/tools/korvexd/korvexd) on a temporary
directory at 127.0.0.1 and prints:
  - resident memory per connection waiting to log in, and per idle logged-in one;
  - with the default login limits, CLIENTS clients that trickle their login
    block a byte at a time (and connect again when dropped), while a real
    login is timed every half second.

    python3 bench/measure_logins.py [--korvexd PATH] [--clients 500] [--seconds 20]

Loopback only; everything it starts is stopped before it exits.
"""
import argparse
import os
import selectors
import shutil
import socket
import statistics
import subprocess
import tempfile
import time

PASSWORD = "measure-password"
BLOCK = 256


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


class Service:
    def __init__(self, binary, extra):
        self.dir = tempfile.mkdtemp(prefix="korvexd-measure-")
        os.mkdir(os.path.join(self.dir, "root"))
        self.log = open(os.path.join(self.dir, "korvexd.log"), "wb")
        env = dict(os.environ, KORVEXD_PASSWORD=PASSWORD)
        self.process = subprocess.Popen(
            [binary, "--root", os.path.join(self.dir, "root"), "--listen", "127.0.0.1:0"] + extra,
            stdout=subprocess.PIPE, stderr=self.log, env=env)
        line = self.process.stdout.readline().decode()
        if "listening on" not in line:
            self.stop()
            raise RuntimeError(f"korvexd did not start: {line!r}")
        self.port = int(line.rsplit(":", 1)[1])

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        self.log.close()
        shutil.rmtree(self.dir)


def password_block(password):
    return password.encode().ljust(BLOCK, b"\0")


def login(port, password=PASSWORD, timeout=5.0):
    """Seconds from connect to the whole answer, or None when refused or dropped."""
    start = time.monotonic()
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    try:
        sock.sendall(password_block(password))
        got = b""
        while len(got) < 104:
            piece = sock.recv(104 - len(got))
            if not piece:
                return None, None
            got += piece
        return time.monotonic() - start, sock
    except OSError:
        sock.close()
        return None, None


def settle(pid, seconds=1.0):
    time.sleep(seconds)
    return rss_kib(pid)


def memory(binary, count):
    # A fresh service for each figure: threads reuse the stacks of ended ones,
    # whose pages are resident already.
    extra = ["--max-pending-logins", str(count + 16), "--login-timeout-ms", "120000", "--io-timeout-ms", "120000"]
    for kind in ("waiting to log in", "idle logged-in"):
        service = Service(binary, extra)
        held = []
        try:
            pid = service.process.pid
            base = settle(pid)
            for _ in range(count):
                if kind == "waiting to log in":
                    held.append(socket.create_connection(("127.0.0.1", service.port)))
                else:
                    _, sock = login(service.port)
                    if sock is None:
                        raise RuntimeError("a login failed")
                    held.append(sock)
            grown = settle(pid) - base
            print(f"memory: {count} connections {kind}: +{grown} KiB ({grown / count:.1f} KiB each, "
                  f"{threads(pid)} threads)")
        finally:
            for sock in held:
                sock.close()
            service.stop()


def trickle(binary, clients, seconds, byte_every):
    service = Service(binary, [])
    selector = selectors.DefaultSelector()
    try:
        pid = service.process.pid
        tricklers = {}  # socket -> bytes sent

        def connect():
            sock = socket.socket()
            sock.setblocking(False)
            sock.connect_ex(("127.0.0.1", service.port))
            selector.register(sock, selectors.EVENT_READ)
            tricklers[sock] = 0

        for _ in range(clients):
            connect()
        reconnects = 0
        logins = []
        failed = 0
        held = []
        end = time.monotonic() + seconds
        next_byte = time.monotonic() + byte_every
        next_login = time.monotonic() + 1.0
        while time.monotonic() < end:
            now = time.monotonic()
            for key, _ in selector.select(timeout=0.05):
                sock = key.fileobj
                try:
                    data = sock.recv(512)
                except OSError:
                    data = b""
                if not data:  # dropped or closed by the service: come back
                    selector.unregister(sock)
                    del tricklers[sock]
                    sock.close()
                    reconnects += 1
                    connect()
            if now >= next_byte:
                next_byte = now + byte_every
                for sock in list(tricklers):
                    if tricklers[sock] < BLOCK - 1:  # never the whole block
                        try:
                            sock.send(b"x")
                            tricklers[sock] += 1
                        except OSError:
                            pass
            if now >= next_login:
                next_login = now + 0.5
                took, sock = login(service.port, timeout=3.0)
                if sock is None:
                    failed += 1
                else:
                    logins.append(took)
                    sock.close()
                held.append(threads(pid) - 2)
        print(f"trickle: {clients} clients sending a byte every {byte_every:g} s and connecting again when "
              f"dropped, {seconds:g} s, default limits:")
        print(f"  owner logins: {len(logins)} answered, {failed} not; median {statistics.median(logins) * 1e3:.1f} ms, "
              f"max {max(logins) * 1e3:.1f} ms; {sum(t > 1.0 for t in logins)} over 1 s")
        print(f"  the service dropped or closed {reconnects} trickling connections; "
              f"threads serving connections: at most {max(held)}; RSS {rss_kib(pid)} KiB at the end")
    finally:
        for sock in tricklers:
            sock.close()
        service.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--korvexd", default=os.path.join(here, "..", "build", "tools", "korvexd", "korvexd"))
    parser.add_argument("--clients", type=int, default=500)
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--byte-every", type=float, default=1.0)
    parser.add_argument("--no-memory", dest="memory", action="store_false", help="only the trickle")
    args = parser.parse_args()
    if args.memory:
        memory(args.korvexd, args.clients)
    trickle(args.korvexd, args.clients, args.seconds, args.byte_every)


if __name__ == "__main__":
    main()
