"""Names from a phone listing are names, never paths: is_plain_name's rules,
and walk skipping every other name with a warning that shows it escaped."""
import sys
import warnings

import pytest

import korvex
from conftest import PASSWORD
from scripted_phone import ScriptedPhone

# name, plain by POSIX rules, plain by Windows rules
NAMES = [
    ("a.txt", True, True),
    (".hidden", True, True),
    (" lead", True, True),
    ("ü ñ.txt", True, True),
    ("", False, False),
    (".", False, False),
    ("..", False, False),
    ("a/b", False, False),
    ("/", False, False),
    ("a\\b", False, False),
    ("..\\..\\x", False, False),
    ("a\0b", False, False),
    ("\t", False, False),
    ("a\nb", False, False),
    ("a\x1b[2Jb", False, False),
    ("a\x1f", False, False),
    ("a\x7f", False, False),
    ("...", True, False),
    ("a.", True, False),
    ("a ", True, False),
    ("a:b", True, False),
    ("a*", True, False),
    ("a?", True, False),
    ('a"b', True, False),
    ("a<b", True, False),
    ("a>b", True, False),
    ("a|b", True, False),
    ("CON", True, False),
    ("con", True, False),
    ("Con.txt", True, False),
    ("CON .txt", True, False),
    ("nul.tar.gz", True, False),
    ("PRN", True, False),
    ("aux.c", True, False),
    ("CONIN$", True, False),
    ("conout$.log", True, False),
    ("COM0", True, False),
    ("com9.txt", True, False),
    ("LPT1", True, False),
    ("lpt5.x", True, False),
    # Only those exact stems are devices.
    ("CONSOLE", True, True),
    ("xcon", True, True),
    ("COM10", True, True),
    ("COMx", True, True),
    ("LPT", True, True),
    ("con_", True, True),
]


@pytest.mark.parametrize("name, posix, windows", NAMES)
def test_is_plain_name_by_each_rule_set(name, posix, windows):
    assert korvex.is_plain_name(name, windows=False) is posix
    assert korvex.is_plain_name(name, windows=True) is windows
    host = windows if sys.platform == "win32" else posix
    assert korvex.is_plain_name(name) is host


def skipped(caught):
    """The messages of the UnsafeNameWarnings caught, each checked to hold no raw control character."""
    messages = [str(w.message) for w in caught if issubclass(w.category, korvex.UnsafeNameWarning)]
    for message in messages:
        assert message.isprintable(), repr(message)
    return messages


# name in korvexd's directory, is a directory, listed by walk
SERVED = [
    ("..\\x", False, False),
    ("..\\..\\up", True, False),
    ("esc\x1b[31mred", False, False),
    ("bell\x07", True, False),
    ("ok", False, True),
    ("fine", True, True),
]


@pytest.mark.skipif(sys.platform == "win32", reason="the served names are not Windows file names")
def test_walk_skips_names_korvexd_serves_that_are_no_local_names(service, phone):
    for name, is_dir, _ in SERVED:
        if is_dir:
            (service.root / name).mkdir()
            (service.root / name / "inside").write_bytes(b"x")
        else:
            (service.root / name).write_bytes(b"x")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        walked = [(top, sorted(dirs), sorted(files)) for top, dirs, files in phone.walk("/")]
    assert walked == [("/", ["fine"], ["ok"]), ("/fine", [], ["inside"])]
    messages = skipped(caught)
    assert len(messages) == sum(not listed for _, _, listed in SERVED)
    for name, _, listed in SERVED:
        if not listed:
            assert sum(repr(name) in message for message in messages) == 1, (name, messages)


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX rules: \"con\" and non-UTF-8 bytes are plain names")
def test_walk_ignores_dot_entries_and_never_lists_below_a_skipped_name():
    phone_side = ScriptedPhone(
        dirs={"/": [b".", b"..", b"sub", b"..\\up", b"con"], "/sub": [b".", b".."], "/con": []},
        files={"/": [b"ok.txt", b"a\x1b]0;title\x07b", b"\xff\xfe"], "/sub": [b"inner", b"tab\there"], "/con": []},
    )
    try:
        phone = korvex.connect(phone_side.address, PASSWORD)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            walked = list(phone.walk("/"))
    finally:
        phone_side.stop()
    assert walked == [
        ("/", ["sub", "con"], ["ok.txt", b"\xff\xfe".decode("utf-8", "surrogateescape")]),
        ("/sub", [], ["inner"]),
        ("/con", [], []),
    ]
    # Nothing below a skipped name, nor "/." or "/..", was asked for.
    assert {path for _, path in phone_side.listed} == {"/", "/sub", "/con"}
    messages = skipped(caught)
    assert len(messages) == 3, messages  # the dot entries went silently
    assert any(repr("tab\there") in message and "'/sub'" in message for message in messages)
    # Each warning points at the caller's loop, however deep the name was.
    assert {w.filename for w in caught} == {__file__}
    assert any(repr("..\\up") in message for message in messages)
    assert any(repr("a\x1b]0;title\x07b") in message for message in messages)
