"""Every C export has its section-3 man page, installed with the library: its
declaration as korvex.h writes it, the header's comment as its description,
the version that added an extension and its Windows ordinal, links that lead
to pages; and docs/c-api.md names each page.

The exports are read from both places that decide them, korvex.h and the
export map, so a name added to either needs a page."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import SOURCE

sys.path.insert(0, str(SOURCE / "tests" / "windows"))
from check_dll import API, read_def  # noqa: E402

BUILD = Path(os.environ.get("KORVEX_BUILD_DIR", SOURCE / "build"))
HEADER = (SOURCE / "include" / "korvex.h").read_text()
MAP = (API / "korvex.map").read_text()
INDEX = (SOURCE / "docs" / "c-api.md").read_text()

# The declarations as the header writes them, without KORVEX_API.
DECLARATIONS = {m.group(2): " ".join(m.group(1).split())
                for m in re.finditer(r"^KORVEX_API ([^;(]*?\b(\w+)\([^;]*\);)", HEADER, re.M)}
# Names the map exports, Chown under its C++ symbol; an extension's version in its comment.
MAPPED = {("Chown" if name.startswith("_Z5Chown") else name): version
          for name, version in re.findall(r"^\s*(\w+);(?:\s*/\* ([\d.]+) \*/)?", MAP, re.M)}
EXPORTS = sorted(set(DECLARATIONS) | set(MAPPED))
ORDINALS = {size: {("Chown" if "Chown" in name else name): ordinal for name, _, ordinal in read_def(API / def_file)}
            for size, def_file in {32: "korvex-win32.def", 64: "korvex-win64.def"}.items()}
# The header's comments as one text, the way a page's description reads.
PROSE = " ".join(" ".join(re.sub(r"^\s*\*( |$)", "", line) for line in body.splitlines())
                 for body in re.findall(r"/\*(.*?)\*/", HEADER, re.S)).split()
PROSE = " ".join(PROSE)

# Pages whose comment sits where a reader could pick the wrong one: what
# each must say.
SAYS = [
    ("Chown", "_Z5ChownmPcii"),  # its comment precedes the #if blocks, not the GCC note inside them
    ("Disconnect", "Ends a session"),  # "Since 1.1, ordinal 31." is the version, not the summary
    ("GetAttribute", "Returns 0."),  # the declaration's trailing comment
    ("SetAttribute", "Returns true."),
    ("Reboot", "Ask the phone to shut down, reboot or restart its service."),  # one comment, three exports
    ("GetEntries", "typedef struct KorvexEntry {"),  # the type it returns, in its synopsis
    ("GetKinds", "KORVEX_KIND_UNSIZED = 3"),
]


def words(text: str) -> str:
    # groff's typographic hyphen, minus and quotes back to the header's characters.
    for fancy, plain in {"\u2010": "-", "\u2212": "-", "\u2018": "`", "\u2019": "'"}.items():
        text = text.replace(fancy, plain)
    return " ".join(text.split())


def render(page: Path) -> dict:
    """The page as man shows it, by section: {"NAME": [paragraph, ...], ...}; groff's warnings fail it."""
    run = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-rLL=400n", "-P-c", "-P-b", "-P-u", str(page)],
                         capture_output=True, text=True, env={**os.environ, "LC_ALL": "C.UTF-8"}, check=True)
    assert run.stderr == "", f"groff warns about {page.name}: {run.stderr}"
    # Without the running header and footer, which name the page too.
    body = run.stdout.strip("\n").splitlines()[1:-1]
    sections, name = {}, None
    for block in re.split(r"\n\s*\n", "\n".join(body)):
        lines = block.strip("\n").splitlines()
        while lines and re.fullmatch(r"[A-Z][A-Z ]+", lines[0]):
            name = lines.pop(0)
            sections[name] = []
        if lines and name:
            sections[name].append(words(" ".join(lines)))
    return sections


@pytest.fixture(scope="module")
def man3(tmp_path_factory):
    """The pages as `cmake --install` puts them."""
    prefix = tmp_path_factory.mktemp("prefix")
    install = subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(prefix),
                              "--component", "c_api_man_pages"], capture_output=True, text=True)
    assert install.returncode == 0, f"build the korvex_man_pages target in {BUILD} first: {install.stderr}"
    return prefix / "share" / "man" / "man3"


def test_the_header_and_the_map_export_the_same_names():
    assert sorted(DECLARATIONS) == sorted(MAPPED) == EXPORTS
    assert {"Disconnect", "GetEntries", "FreeEntries", "GetSizes", "UploadFiles", "GetKinds", "CloseConnection",
            "Chown"} <= set(EXPORTS)


def test_pages_are_the_exports_and_their_index(man3):
    assert sorted(page.name for page in man3.iterdir()) == sorted([f"{name}.3" for name in EXPORTS] + ["korvex.3"])


@pytest.mark.parametrize("name", EXPORTS)
def test_each_export_has_its_page(man3, name):
    page = man3 / f"{name}.3"
    assert re.search(rf'^\.TH {name} 3 ', page.read_text(), re.M)
    shown = render(page)
    assert list(shown) == ["NAME", "SYNOPSIS", "DESCRIPTION", "AVAILABILITY", "SEE ALSO"]

    (title,) = shown["NAME"]
    assert title.startswith(f"{name} - ") and len(title) > len(name) + 8
    synopsis = " ".join(shown["SYNOPSIS"])
    assert "#include <korvex.h>" in synopsis
    assert DECLARATIONS[name] in synopsis

    description = shown["DESCRIPTION"]
    assert description, f"{name} has no description"
    # The summary is how its description begins.
    summary = title.split(" - ", 1)[1]
    assert description[0].startswith(" ".join(summary.split()[:3]))
    for paragraph in description:
        returns = re.fullmatch(r"Returns (\w+)\.", paragraph)
        if returns:
            assert re.search(rf"\b{name}\(void\);\s*/\* {returns.group(1)} \*/", HEADER)
            continue
        assert paragraph in PROSE, f"{name}: not the header's comment: {paragraph}"

    (available,) = shown["AVAILABILITY"]
    assert all(f"Windows ordinal {ORDINALS[size][name]}." in available for size in ORDINALS)
    version = MAPPED[name]
    if version:
        assert f"since {version}." in available
    else:
        assert "since" not in available

    linked = re.findall(r"(\w+)\(3\)", " ".join(shown["SEE ALSO"]))
    assert "korvex" in linked and name not in linked
    assert all((man3 / f"{other}.3").exists() for other in linked)


@pytest.mark.parametrize("name, text", SAYS, ids=[name for name, _ in SAYS])
def test_pages_say_what_their_own_comment_says(man3, name, text):
    shown = render(man3 / f"{name}.3")
    assert text in " ".join(shown["SYNOPSIS"] + shown["DESCRIPTION"])


def test_the_index_lists_every_export(man3):
    shown = render(man3 / "korvex.3")
    assert shown["NAME"] == ["korvex - manage the files of a phone over Wi-Fi"]
    listed = re.findall(r"(\w+)\(3\)", " ".join(shown["FUNCTIONS"]))
    assert sorted(listed) == EXPORTS
    extensions = [name for name in EXPORTS if MAPPED[name]]
    assert all(re.search(rf"{name}\(3\) Since {MAPPED[name]}:", " ".join(shown["FUNCTIONS"])) for name in extensions)


def test_the_c_api_page_names_every_page():
    assert sorted(set(re.findall(r"`(\w+)\(3\)`", INDEX)) - {"korvex"}) == EXPORTS
