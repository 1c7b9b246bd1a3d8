"""Why the phone said no: what its state shows about a refused call, as one table of rules.

The library only says yes or no. After a refusal one GetKinds round trip
asks what the path, its parent, the destination and its parent are; a
directory's entries and the free space are asked only when a rule gets to
them. The first rule that holds is the answer (an ANSWERS key); when none
does, the phone's no stands without a reason ("denied"). The same rules
check a destination before anything is sent (open for writing, put).
"""
from __future__ import annotations

import ctypes
from typing import TYPE_CHECKING, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

from ._abi import KIND_DIRECTORY, KIND_FILE, KIND_MISSING, KIND_UNSIZED, Entry
from ._library import library
from ._paths import encoded, parent

if TYPE_CHECKING:
    from ._session import Session


class ProbeFailed(Exception):
    """A question asked to find the reason got no answer."""


def kinds(session: "Session", paths: Sequence[str]) -> List[Tuple[int, int]]:
    """(KIND_ value, size) of each phone path, in one round trip."""
    count = len(paths)
    if count == 0:
        return []
    found = (ctypes.c_int * count)()
    sizes = (ctypes.c_longlong * count)()
    raw = (ctypes.c_char_p * count)(*(encoded(path) for path in paths))
    if library().GetKinds(session._handle, raw, count, found, sizes) < 0:
        raise ProbeFailed
    return list(zip(found, sizes))


class Facts:
    """The phone's state around one call. The root ("" too) is taken to be a directory without asking."""

    def __init__(self, session: "Session", path: str, dest: Optional[str]) -> None:
        self._session = session
        self.paths = {"path": path, "parent": parent(path)}
        if dest is not None:
            self.paths.update(dest=dest, dest_parent=parent(dest))
        asked = sorted({value for value in self.paths.values() if value not in ("", "/")})
        try:
            answers = dict(zip(asked, (kind for kind, _ in kinds(session, asked))))
        except ValueError:  # a path over its bound: nothing was sent
            raise ProbeFailed from None
        self._kinds = {key: answers.get(value, KIND_DIRECTORY) for key, value in self.paths.items()}

    def missing(self, which: str) -> bool:
        return self._kinds[which] == KIND_MISSING

    def directory(self, which: str) -> bool:
        return self._kinds[which] == KIND_DIRECTORY

    def file(self, which: str) -> bool:
        return self._kinds[which] in (KIND_FILE, KIND_UNSIZED)

    def unsized(self, which: str) -> bool:
        return self._kinds[which] == KIND_UNSIZED

    def listed(self, which: str) -> bool:
        """Whether a directory shows entries. The listings leave links and special files out: only what they show counts."""
        array = ctypes.POINTER(Entry)()
        count = library().GetEntries(self._session._handle, encoded(self.paths[which]), ctypes.byref(array))
        library().FreeEntries(array)
        if count < 0:
            raise ProbeFailed
        return count > 0

    def full(self, which: str) -> bool:
        """Whether the phone reports no free space at all in a folder (its unit is its own: only 0 is sure)."""
        word = library().GetSpaceSize(self._session._handle, encoded(self.paths[which]))
        if word == -1 or (word == 0 and not self._session.connected):
            raise ProbeFailed
        return word == 0


class Rule(NamedTuple):
    answer: str
    about: str  # which path the reason names: "path", "parent", "dest" or "dest_parent"
    holds: Callable[[Facts], bool]


# The path is not there: its parent is a file (ENOTDIR, as the system says), or it is missing.
_GONE = (
    Rule("not_a_directory", "parent", lambda f: f.missing("path") and f.file("parent")),
    Rule("missing", "path", lambda f: f.missing("path")),
)
# Where a new file or directory goes: its parent must be a directory.
_PLACE = (
    Rule("missing", "parent", lambda f: f.missing("parent")),
    Rule("not_a_directory", "parent", lambda f: f.file("parent")),
)
_WRITE = (Rule("is_a_directory", "path", lambda f: f.directory("path")), *_PLACE)
_NO_SPACE = Rule("no_space", "parent", lambda f: f.full("parent"))
_SIZED = (
    *_GONE,
    Rule("is_a_directory", "path", lambda f: f.directory("path")),
    Rule("unsized", "path", lambda f: f.unsized("path")),
)

# Each act's rules, in order. Rename follows os.rename on Linux.
RULES: Dict[str, Tuple[Rule, ...]] = {
    "list": (*_GONE, Rule("not_a_directory", "path", lambda f: f.file("path"))),
    "mkdir": (Rule("exists", "path", lambda f: not f.missing("path")), *_PLACE, _NO_SPACE),
    "remove": (*_GONE, Rule("is_a_directory", "path", lambda f: f.directory("path"))),
    "rmdir": (
        *_GONE,
        Rule("not_a_directory", "path", lambda f: f.file("path")),
        Rule("not_empty", "path", lambda f: f.listed("path")),
    ),
    "rmtree": (*_GONE, Rule("not_a_directory", "path", lambda f: f.file("path"))),
    "rename": (
        *_GONE,
        Rule("missing", "dest_parent", lambda f: f.missing("dest_parent")),
        Rule("not_a_directory", "dest_parent", lambda f: f.file("dest_parent")),
        Rule("is_a_directory", "dest", lambda f: f.file("path") and f.directory("dest")),
        Rule("not_a_directory", "dest", lambda f: f.directory("path") and f.file("dest")),
        Rule("not_empty", "dest", lambda f: f.directory("path") and f.directory("dest") and f.listed("dest")),
    ),
    # Before an upload is sent (open for writing): only what the kinds show.
    "write": _WRITE,
    "upload": (*_WRITE, _NO_SPACE),
    "download": _SIZED,
    "size": _SIZED,
    "chown": _GONE,
    "free_space": _GONE,
    # exists, isdir, sizes, stat: a refused question has no reason to find.
    "question": (),
}


def explain(
    session: "Session", act: str, path: str, dest: Optional[str] = None
) -> Optional[Tuple[str, Optional[str]]]:
    """(answer, the parent it is about, or None) of the first rule of act that holds; None when none does.

    Raises ProbeFailed when a question got no answer.
    """
    rules = RULES[act]
    if not rules:
        return None
    facts = Facts(session, path, dest)
    for rule in rules:
        if rule.holds(facts):
            return rule.answer, None if rule.about in ("path", "dest") else facts.paths[rule.about]
    return None
