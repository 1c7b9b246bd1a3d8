"""How each row of the chaos table copies its tree through one host, and
what the host said about it. Each takes (context, address, row): the tree's
two sides, the address to reach korvexd by (the fault proxy or korvexd
itself), and the row.
"""
import json
import os
import subprocess
import sys
import time
import urllib.parse
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional

import hosts


@dataclass
class Outcome:
    """What a host said about one run."""
    failed: bool = False  # an exit code, exception or error answer said something failed
    reported: Optional[int] = None  # files it counted as done, where it counts them
    reported_bytes: Optional[int] = None  # bytes it counted as done, where it counts those
    done: set = field(default_factory=set)  # files it reported done one by one
    named: set = field(default_factory=set)  # files its errors name (cp may leave those partial)
    unsaved: set = field(default_factory=set)  # files whose close failed: the mount must keep them
    text: str = ""  # what it printed, for the report
    defects: list = field(default_factory=list)  # what the row saw on the way (a wrong read, a crash)


def _cli(address: str, row, *args: str) -> Outcome:
    result = hosts.korvex(address, *args)
    text = result.stdout.decode(errors="replace") + result.stderr.decode(errors="replace")
    outcome = Outcome(failed=result.returncode != 0, text=text)
    if result.returncode < 0 or result.returncode == 2:
        outcome.defects.append(f"korvex ended with {result.returncode}: {text[-300:]}")
    lines = [line for line in result.stdout.decode(errors="replace").splitlines() if line.startswith("{")]
    if lines:
        summary = json.loads(lines[-1])
        outcome.reported = summary.get("copied", summary.get("arrived"))
    return outcome


def sync(context, address: str, row) -> Outcome:
    ends = [str(context.local), "phone:/t"] if row.up else ["phone:/t", str(context.local)]
    return _cli(address, row, "sync", "-j", "8", "--json", *(["--delete"] if row.delete else []), *ends)


def put_tree(context, address: str, row) -> Outcome:
    return _cli(address, row, "put", "-r", "-j", "8", "--json", str(context.local), "/")


def get_tree(context, address: str, row) -> Outcome:
    return _cli(address, row, "get", "-r", "-j", "8", "--json", "/t", str(context.local.parent))


def _started(start, tries: int = 6):
    """start(), again while the link drops the connection before the host is up; None if it never came up."""
    for attempt in range(tries):
        try:
            return start()
        except (RuntimeError, OSError):
            if attempt + 1 == tries:
                return None
            time.sleep(0.2)


def _mounted(context, address: str, run_files):
    """Mounts `address` on a folder of its own, runs run_files(mount point), unmounts; the mount stays in context."""
    name = "mount-" + str(len(list(context.work.glob("mount-*"))))
    mount = _started(lambda: hosts.Mount(address, context.work / name))
    if mount is None:
        return Outcome(failed=True, text="the mount never came up")
    context.mount = mount
    try:
        return run_files(mount.point / "t")
    finally:
        mount.unmount()


def _named(context, text: str) -> set:
    """The tree's files a tool's error lines name."""
    text = text.replace("/./", "/")
    return {path for path in context.tree.new if f"t/{path}'" in text or f"t/{path}:" in text}


def _cp(context, source: str, dest: str) -> Outcome:
    try:
        result = subprocess.run(["cp", "-r", source, dest], capture_output=True, timeout=180)
        text, code = result.stderr.decode(errors="replace"), result.returncode
    except subprocess.TimeoutExpired:
        text, code = "cp timed out", -9
    outcome = Outcome(failed=code != 0, text=text, named=_named(context, text))
    # cp names the destination: a close that failed on the mount is an upload the phone did not take.
    outcome.unsaved = {path for path in outcome.named
                       if any("close" in line and f"t/{path}'" in line for line in text.replace("/./", "/").splitlines())}
    if code == -9:
        outcome.defects.append("cp did not end within 180 s")
    return outcome


def mount_copy_in(context, address: str, row) -> Outcome:
    return _mounted(context, address, lambda into: _cp(context, f"{context.local}/.", f"{into}/"))


def mount_copy_out(context, address: str, row) -> Outcome:
    return _mounted(context, address, lambda out_of: _cp(context, f"{out_of}/.", f"{context.local}/"))


# Runs in a child, so that a mount that stops answering cannot hang the table:
# rewrites each file in place (read it, write the new content, close) and
# says per file where it failed.
_EDIT = r"""
import json, sys
edits, report = json.loads(sys.stdin.read()), {}
for path, expected, new_file in edits:
    step = "open"
    try:
        f = open(path, "r+b", buffering=0)
        step = "read"
        data = f.read()
        report[path] = {"read": data.hex() if data not in [bytes.fromhex(e) for e in expected] else None}
        step = "write"
        new = open(new_file, "rb").read()
        f.seek(0)
        view = memoryview(new)
        while view:
            view = view[f.write(view):]
        f.truncate()
        step = "close"
        f.close()
        report[path]["failed"] = None
    except OSError as error:
        report.setdefault(path, {"read": None})["failed"] = step + ": " + str(error)
print(json.dumps(report))
"""


def _edit(context, point: Path) -> Outcome:
    tree = context.tree
    edits = [[str(point / path), [tree.old[path].hex(), tree.new[path].hex()], str(context.local / path)]
             for path in tree.new]
    try:
        result = subprocess.run([sys.executable, "-c", _EDIT], input=json.dumps(edits).encode(), capture_output=True,
                                timeout=180)
        report = json.loads(result.stdout)
    except (subprocess.TimeoutExpired, json.JSONDecodeError) as error:
        return Outcome(failed=True, defects=[f"the edits did not end: {error}"])
    outcome = Outcome(text=json.dumps(report)[-600:])
    for path in tree.new:
        entry = report[str(point / path)]
        if entry["read"] is not None:
            outcome.defects.append(f"{path}: read through the mount as neither old nor new: {entry['read'][:24]}")
        if entry["failed"]:
            outcome.failed = True
            outcome.named.add(path)
            if entry["failed"].startswith(("close", "write")):
                outcome.unsaved.add(path)
        else:
            outcome.done.add(path)
    return outcome


def mount_edit(context, address: str, row) -> Outcome:
    return _mounted(context, address, lambda point: _edit(context, point))


def _python_copy(context, address: str, copy) -> Outcome:
    import korvex
    done = [0]
    for attempt in range(6):
        try:
            phone = korvex.connect(address, hosts.PASSWORD)
        except (korvex.ConnectError, korvex.LoginError, korvex.ConnectionLostError):
            time.sleep(0.2)
            continue
        outcome = Outcome()
        with phone:
            try:
                copy(phone, lambda count, total: done.__setitem__(0, count))
            except korvex.Error as error:
                outcome.failed, outcome.text = True, repr(error)
        outcome.reported_bytes = done[0]  # progress counts bytes
        return outcome
    return Outcome(failed=True, text="never logged in")


def python_put(context, address: str, row) -> Outcome:
    return _python_copy(context, address,
                        lambda phone, progress: phone.put(str(context.local), "/", recursive=True, progress=progress))


def python_get(context, address: str, row) -> Outcome:
    return _python_copy(context, address, lambda phone, progress: phone.get(
        "/t", str(context.local.parent), recursive=True, progress=progress))


def _web(context, address: str, run_files) -> Outcome:
    scratch = context.work / f"web-{len(list(context.work.glob('web-*')))}"
    scratch.mkdir()
    server = _started(lambda: hosts.WebServer(address, scratch / "tmp", scratch / "web.log"))
    if server is None:
        return Outcome(failed=True, text="korvex web never came up")
    outcome = Outcome()
    try:
        run_files(server, outcome)
    finally:
        code = server.stop()
    if code != 0:
        outcome.defects.append(f"korvex web ended with {code}: {(scratch / 'web.log').read_text()[-300:]}")
    if server.scratch_files():
        outcome.defects.append(f"korvex web left {server.scratch_files()} in its scratch folder")
    return outcome


def _quoted(path: str) -> str:
    return urllib.parse.quote(path, safe="/")


def _upload(context, server, outcome: Outcome) -> None:
    for directory in context.tree.dirs:
        parent, _, name = f"/t/{directory}".rpartition("/")
        try:
            status, _, _ = server.request("POST", "/api/mkdir", json.dumps({"path": parent, "name": name}).encode(),
                                          {"Content-Type": "application/json"})
        except OSError as error:
            status = str(error)
        if status not in (201, 409):
            outcome.failed = True
    for path, data in context.tree.new.items():
        folder, _, name = f"/t/{path}".rpartition("/")
        try:
            status, _, body = server.request(
                "PUT", f"/api/upload?path={_quoted(folder)}&name={_quoted(name)}&replace=1", data)
        except OSError as error:
            status, body = str(error), b""
        if status == 201 and json.loads(body).get("size") == len(data):
            outcome.done.add(path)
        else:
            outcome.failed = True
            outcome.text += f"{path}: {status} {body[:200]!r}\n"


def _download(context, server, outcome: Outcome) -> None:
    for path in context.tree.new:
        try:
            status, headers, body = server.request("GET", f"/api/download?path={_quoted('/t/' + path)}")
        except Exception as error:  # a cut body is http.client.IncompleteRead, not an OSError
            status, headers, body = repr(error), {}, b""
        if status == 200 and len(body) == int(headers.get("Content-Length", -1)):
            # Written as a browser saves a download: under its name once whole.
            target = context.local / path
            target.parent.mkdir(parents=True, exist_ok=True)
            partial = target.with_name(target.name + ".crdownload")
            partial.write_bytes(body)
            os.replace(partial, target)
            outcome.done.add(path)
        else:
            outcome.failed = True
            outcome.text += f"{path}: {status}\n"


def web_upload(context, address: str, row) -> Outcome:
    return _web(context, address, lambda server, outcome: _upload(context, server, outcome))


def web_download(context, address: str, row) -> Outcome:
    return _web(context, address, lambda server, outcome: _download(context, server, outcome))
