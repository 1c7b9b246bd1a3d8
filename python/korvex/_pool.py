"""The pool: copies of many files on a few sessions, under one progress total.

Each worker thread owns one session and runs synchronous copies on it (the
calling session is the first; the others log in with what connect was
given); ctypes lets go of the GIL during each copy. The calling thread only
waits and reports progress, once per finished file.

The first failure stops the pool early: no worker takes another file, the
copies in flight finish (a synchronous copy cannot be cut short safely from
another thread), then the failure is raised. A copy that fails leaves no
partial file under its name (the library replaces a download's destination,
and the phone an upload's, only once every byte arrived), and only finished
files count in the progress. KeyboardInterrupt stops the pool the same way.
"""
from __future__ import annotations

import queue
import threading
from typing import TYPE_CHECKING, Callable, List, NamedTuple, Optional, Tuple

if TYPE_CHECKING:
    from ._session import Session

ProgressCallback = Callable[[int, int], None]


class Copy(NamedTuple):
    source: str
    dest: str
    size: int


# What a worker reports: (bytes of a finished file, None), (size, the failure), or None when it ends.
_Report = Optional[Tuple[int, Optional[BaseException]]]


def run(
    session: "Session",
    copies: List[Copy],
    copy: Callable[["Session", Copy], None],
    jobs: int,
    progress: Optional[ProgressCallback],
) -> None:
    total = sum(item.size for item in copies)
    if progress is not None:
        progress(0, total)
    if not copies:
        return
    work: "queue.Queue[Copy]" = queue.Queue()
    for item in copies:
        work.put(item)
    reports: "queue.Queue[_Report]" = queue.Queue()
    stop = threading.Event()

    def worker(own: bool) -> None:
        try:
            mine = session if own else session._new_session()
        except BaseException:
            # The pool goes on with fewer sessions; the first one always exists.
            reports.put(None)
            return
        try:
            while not stop.is_set():
                try:
                    item = work.get_nowait()
                except queue.Empty:
                    break
                try:
                    copy(mine, item)
                except BaseException as error:  # noqa: B036 - handed to the calling thread
                    stop.set()
                    reports.put((item.size, error))
                else:
                    reports.put((item.size, None))
        finally:
            if not own:
                mine.close()
            reports.put(None)

    count = max(1, min(jobs, len(copies)))
    threads = [threading.Thread(target=worker, args=(index == 0,), daemon=True) for index in range(count)]
    for thread in threads:
        thread.start()
    failure: Optional[BaseException] = None
    done, running = 0, count
    try:
        while running:
            report = reports.get()
            if report is None:
                running -= 1
                continue
            size, error = report
            if error is not None:
                failure = failure or error
                continue
            done += size
            if progress is not None and failure is None:
                try:
                    progress(done, total)
                except BaseException as error:  # noqa: B036 - raised once the workers stopped
                    stop.set()
                    failure = error
    except BaseException:
        stop.set()
        for thread in threads:
            thread.join()
        raise
    for thread in threads:
        thread.join()
    if failure is not None:
        raise failure
