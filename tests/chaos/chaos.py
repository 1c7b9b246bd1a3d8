"""The hosts under a faulty link: each row copies a tree through fault_proxy
(breaks, stalls, resets, seeded), then again on a good link, and checks what
both sides hold after each.

    chaos.py [--minutes M | --runs N] [--seed S] [--rows a,b] [--rate X] [--stall-ms MS] [--parallel N] [--keep]

Each destination file starts with old content of another size than the new,
both starting with their own marker, so a file is the old, the new, or a
defect. After every run:
  - the source side is untouched, and the destination holds nothing else
    than old or new contents of the tree's names (no mix, no leftover);
  - a file the host reported done holds the new content;
  - a file that did not arrive is reported: a failing exit code, an
    exception, an error answer or a failed close;
  - --delete removed nothing while a copy failed, and the source's files never;
  - the mount keeps a written file the phone did not take in its unsent
    folder, with the new content, and names it in its log.
After the re-run on a good link the host reports success and the
destination holds the source (and, without --delete, the extra old files).
"""
import argparse
import concurrent.futures
import random
import re
import shutil
import signal
import sys
import tempfile
import threading
import time
import urllib.parse
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

sys.path.insert(0, str(Path(__file__).resolve().parent))
import hosts  # noqa: E402
import row_runs  # noqa: E402
from row_runs import Outcome  # noqa: E402


@dataclass
class Tree:
    new: dict  # relative path -> bytes: the source
    old: dict  # relative path -> bytes: the destination before the run, extras included
    dirs: list  # the source's directories, parents first

    def extras(self):
        return {path for path in self.old if path not in self.new}


def make_tree(seed: int, edit: bool) -> Tree:
    """A source tree and the destination's older state, sizes and names from `seed`."""
    rng = random.Random(seed)
    content = lambda mark, path, size: f"{mark} {path} ".encode() + rng.randbytes(size)
    new, old = {}, {}
    if edit:  # files changed in place, each with an older content
        dirs = ["e"]
        for i in range(6):
            path = f"e/note{i}.txt"
            new[path] = content("NEW", path, rng.randrange(100, 40000))
            old[path] = content("OLD", path, len(new[path]) + rng.randrange(1, 900))
        return Tree(new, old, dirs)
    dirs = ["a", "a/b", "c", "fresh"]
    for i in range(18):
        directory = rng.choice(dirs)
        path = f"{directory}/f{i}.bin"
        size = rng.choice([rng.randrange(0, 2000), rng.randrange(2000, 60000), rng.randrange(60000, 300000)])
        new[path] = content("NEW", path, size)
        if directory != "fresh" and rng.random() < 0.6:
            old[path] = content("OLD", path, size + rng.randrange(1, 5000))
    new["c/big.bin"] = content("NEW", "c/big.bin", 1_200_000)  # over the mount's 1 MiB: a background copy
    old["c/big.bin"] = content("OLD", "c/big.bin", 1_100_000)
    for path in ("a/gone1.bin", "c/gone2.bin"):
        old[path] = content("OLD", path, rng.randrange(10, 3000))
    return Tree(new, old, dirs)


def write_files(root: Path, files: dict) -> None:
    for path, data in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_bytes(data)


def files_of(root: Path) -> dict:
    return {path: data for path, data in hosts.read_tree(root).items() if data is not None}


@dataclass
class Context:
    tree: Tree
    local: Path  # the local side of the tree
    phone: Path  # the phone side of the tree, inside korvexd's root
    work: Path
    mount: Optional[hosts.Mount] = None


@dataclass
class Row:
    name: str
    up: bool  # the source is local, the destination on the phone
    run: Callable  # (context, address, row) -> Outcome
    delete: bool = False
    edit: bool = False
    needs_fuse: bool = False
    needs_web: bool = False


ROWS = [
    Row("sync up", True, row_runs.sync),
    Row("sync up --delete", True, row_runs.sync, delete=True),
    Row("sync down", False, row_runs.sync),
    Row("sync down --delete", False, row_runs.sync, delete=True),
    Row("put -r -j 8", True, row_runs.put_tree),
    Row("get -r -j 8", False, row_runs.get_tree),
    Row("mount cp -r in", True, row_runs.mount_copy_in, needs_fuse=True),
    Row("mount cp -r out", False, row_runs.mount_copy_out, needs_fuse=True),
    Row("mount edit", True, row_runs.mount_edit, edit=True, needs_fuse=True),
    Row("python put tree", True, row_runs.python_put),
    Row("python get tree", False, row_runs.python_get),
    Row("web upload", True, row_runs.web_upload, needs_web=True),
    Row("web download", False, row_runs.web_download, needs_web=True),
]


def check(row: Row, context: Context, outcome: Outcome, rerun: bool) -> list:
    """The defects one run left: empty when both sides hold what they may."""
    tree = context.tree
    source, dest = (context.local, context.phone) if row.up else (context.phone, context.local)
    defects = list(outcome.defects)
    if files_of(source) != tree.new:
        defects.append("the source side changed")
    now = files_of(dest)
    for path, data in now.items():
        if path in tree.new and data == tree.new[path]:
            continue
        if path in tree.old and data == tree.old[path]:
            continue
        if path in outcome.named and path in tree.new and tree.new[path].startswith(data) and not rerun:
            continue  # cp reported it and left what it had written (new bytes, cut short)
        what = "an unknown file (a leftover?)" if path not in tree.new and path not in tree.old else "a mix"
        defects.append(f"{path}: {what}, {len(data)} bytes starting {data[:12]!r}")
    arrived = {path for path in tree.new if now.get(path) == tree.new[path]}
    missing = set(tree.new) - arrived
    for path in tree.old:
        if path not in now and path in tree.new:
            defects.append(f"{path}: destroyed (its old content is gone and the new did not arrive)")
    removed = {path for path in tree.extras() if path not in now}
    if removed and not row.delete:
        defects.append(f"removed without --delete: {sorted(removed)}")
    if removed and missing:
        defects.append(f"--delete removed {sorted(removed)} though {sorted(missing)} did not arrive")
    for path in outcome.done - arrived:
        defects.append(f"{path}: reported done but {'missing' if path not in now else 'different'}")
    if outcome.reported is not None and outcome.reported > len(arrived):
        defects.append(f"reported {outcome.reported} files done, {len(arrived)} arrived")
    arrived_bytes = sum(len(tree.new[path]) for path in arrived)
    if outcome.reported_bytes is not None and outcome.reported_bytes > arrived_bytes:
        defects.append(f"reported {outcome.reported_bytes} bytes done, {arrived_bytes} arrived")
    if missing and not outcome.failed:
        defects.append(f"reported success, but {sorted(missing)} did not arrive")
    if row.delete and not outcome.failed and tree.extras() & set(now):
        defects.append(f"reported success, but --delete left {sorted(tree.extras() & set(now))}")
    if context.mount is not None:
        defects += check_unsent(context, outcome, arrived)
    if rerun:
        if outcome.failed:
            defects.append("the re-run on a good link failed: " + outcome.text[-400:])
        if missing:
            defects.append(f"after the re-run {sorted(missing)} are still missing")
    return defects


def check_unsent(context: Context, outcome: Outcome, arrived: set) -> list:
    """Every file the mount did not send is kept whole in its unsent folder and named in its log."""
    defects, kept = [], set()
    log = context.mount.log()
    unsent = context.mount.unsent
    for file in sorted(unsent.iterdir()) if unsent.exists() else []:
        phone_path = "/" + urllib.parse.unquote(re.sub(r"\.[0-9]+$", "", file.name))  # name.N: a later one
        relative = phone_path.removeprefix("/t/")
        kept.add(relative)
        if file.read_bytes() != context.tree.new.get(relative):
            defects.append(f"unsent {file.name}: not the content written")
        if phone_path not in log:
            defects.append(f"unsent {file.name}: its path is not in the mount's log")
    for path in outcome.unsaved - arrived - kept:
        defects.append(f"{path}: its close failed and it is not in the unsent folder")
    return defects


def settle(root: Path, seconds: float = 5.0) -> None:
    """Gives korvexd time to see the proxy's connections end and drop their uploads' temporary files."""
    deadline = time.monotonic() + seconds
    while any(path.name.startswith(".korvexd-upload-") for path in root.rglob("*")) and time.monotonic() < deadline:
        time.sleep(0.05)


class Runner:
    """Runs rows, each on a fresh korvexd root, and keeps the figures."""

    def __init__(self, rate: float, stall_ms: int, out=sys.stdout, keep: bool = False) -> None:
        self.rate, self.stall_ms, self.out, self.keep = rate, stall_ms, out, keep
        self.fuse_missing = hosts.fuse_unavailable()
        # Started in the background by a shell, this process ignores SIGINT and so would
        # korvex web, which keeps an ignored SIGINT: the web rows stop it with SIGINT.
        if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
            signal.signal(signal.SIGINT, signal.default_int_handler)
        self.lock = threading.Lock()
        self.figures = {row.name: {"runs": 0, "faults": 0, "reported": 0, "defects": 0} for row in ROWS}

    def unavailable(self, row: Row) -> str:
        """Why `row` cannot run here, or ""."""
        if row.needs_fuse and self.fuse_missing:
            return f"FUSE cannot run here ({self.fuse_missing})"
        if row.needs_web and not hosts.web_built():
            return "korvex was built without web"
        return ""

    def run(self, row: Row, seed: int) -> list:
        """One faulty run and one good re-run of `row`; the defects found, each naming the seed."""
        if self.unavailable(row):
            print(f"skipped {row.name}: {self.unavailable(row)}", file=self.out)
            return []
        started = time.monotonic()
        row_seed = seed * 1000 + ROWS.index(row)  # each row its own faults and tree
        scratch = tempfile.mkdtemp(prefix="korvex-chaos-")
        try:
            work = Path(scratch)
            root = work / "root"
            context = Context(make_tree(row_seed, row.edit), work / "local" / "t", root / "t", work)
            source, dest = (context.local, context.phone) if row.up else (context.phone, context.local)
            write_files(source, context.tree.new)
            for directory in context.tree.dirs:
                (source / directory).mkdir(parents=True, exist_ok=True)
            dest.mkdir(parents=True, exist_ok=True)
            write_files(dest, context.tree.old)
            service = hosts.Service(root, work / "korvexd.log")
            try:
                proxy = hosts.FaultProxy(service.address, row_seed, self.rate, self.stall_ms)
                try:
                    faulty = row.run(context, proxy.address, row)
                finally:
                    faults = proxy.stop()
                settle(root)
                defects = [f"faulty run: {d}" for d in check(row, context, faulty, rerun=False)]
                good = row.run(context, service.address, row)
                defects += [f"re-run: {d}" for d in check(row, context, good, rerun=True)]
            finally:
                service.stop()
        finally:
            if not self.keep:
                shutil.rmtree(scratch, ignore_errors=True)
        with self.lock:
            self._count(row, seed, faults, faulty, defects, time.monotonic() - started)
            if self.keep:
                print(f"  kept in {scratch}", file=self.out)
        return defects

    def _count(self, row: Row, seed: int, faults: dict, faulty: Outcome, defects: list, seconds: float) -> None:
        figures = self.figures[row.name]
        figures["runs"] += 1
        figures["faults"] += faults.get("dropped", 0) + faults.get("stalls", 0) + faults.get("cuts", 0)
        figures["reported"] += int(faulty.failed)
        figures["defects"] += len(defects)
        broken = {key: faults.get(key, 0) for key in ("dropped", "stalls", "cuts")}
        print(f"{row.name:<20} seed {seed}: {' '.join(f'{k}={v}' for k, v in broken.items())}, host said "
              f"{'failed' if faulty.failed else 'done'}, {len(defects)} defects, {seconds:.1f} s",
              file=self.out)
        for defect in defects:
            print(f"DEFECT {row.name} seed {seed}: {defect} (again: --seed {seed} --runs 1 --rows '{row.name}')",
                  file=self.out)
        self.out.flush()

    def run_rows(self, rows: list, seed: int, parallel: int) -> dict:
        """Every row once, `parallel` at a time (a row mostly waits on the link); each row's defects."""
        with concurrent.futures.ThreadPoolExecutor(max_workers=parallel) as pool:
            runs = {row.name: pool.submit(self.run, row, seed) for row in rows}
            return {name: run.result() for name, run in runs.items()}

    def table(self) -> str:
        lines = [f"{'row':<20} {'runs':>5} {'faults':>7} {'failed runs':>12} {'defects':>8}"]
        for name, f in self.figures.items():
            lines.append(f"{name:<20} {f['runs']:>5} {f['faults']:>7} {f['reported']:>12} {f['defects']:>8}")
        total = {key: sum(f[key] for f in self.figures.values()) for key in ("runs", "faults", "reported", "defects")}
        lines.append(f"{'total':<20} {total['runs']:>5} {total['faults']:>7} {total['reported']:>12} "
                     f"{total['defects']:>8}")
        return "\n".join(lines)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=0)
    parser.add_argument("--runs", type=int, default=1, help="rounds over the rows when --minutes is not given")
    parser.add_argument("--seed", type=int, default=int(time.time()) % 100000)
    parser.add_argument("--rows", default="", help="comma-separated row names (default: all)")
    parser.add_argument("--rate", type=float, default=2.0, help="scales every fault's chance in fault_proxy")
    parser.add_argument("--stall-ms", type=int, default=3500)
    parser.add_argument("--parallel", type=int, default=3, help="rows run at once")
    parser.add_argument("--keep", action="store_true", help="keep each run's folder (logs, both sides)")
    args = parser.parse_args(argv)
    rows = [row for row in ROWS if not args.rows or row.name in args.rows.split(",")]
    print(f"chaos: seed {args.seed} (give --seed {args.seed} to repeat), rate {args.rate}", flush=True)
    runner = Runner(args.rate, args.stall_ms, keep=args.keep)
    deadline = time.monotonic() + args.minutes * 60
    round_ = 0
    while (time.monotonic() < deadline) if args.minutes else round_ < args.runs:
        runner.run_rows(rows, args.seed + round_, args.parallel)
        round_ += 1
    print(runner.table())
    return 1 if any(f["defects"] for f in runner.figures.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
