#!/usr/bin/env python3
"""Checks korvex.dll as `objdump -p` shows it against the module-definition
file it was linked with: the module name, the exported names with their
ordinals, one entry point per group of aliases, no plain Chown, and imports
from system DLLs only.

Usage: check_dll.py OBJDUMP DLL 32|64
"""
import re
import subprocess
import sys
from pathlib import Path

API = Path(__file__).resolve().parents[2] / "src" / "api"


def read_def(path):
    """[(exported name, entry it names, ordinal)] of a module-definition file, in its order.

    The entry is the exported name itself unless the line says "= other"."""
    exports = []
    for m in re.finditer(r'^\s+("[^"]+"|\S+)(?:\s*=\s*(\S+))?\s+@(\d+)\s*$', Path(path).read_text(), re.M):
        name = m.group(1).strip('"')
        exports.append((name, m.group(2) or name, int(m.group(3))))
    return exports


# What a Windows installation always has; the compiler's own runtime DLLs
# (libstdc++-6, libgcc_s_*, libwinpthread-1) must not appear.
SYSTEM_DLLS = {"kernel32.dll", "ws2_32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ntdll.dll"}


def main():
    objdump, dll, bits = sys.argv[1:4]
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    problems = []

    module = re.search(r"^Name\s+\S+\s+(\S+)$", text, re.M)
    if not module or module.group(1).lower() not in ("korvex", "korvex.dll"):
        problems.append(f"module name {module.group(1) if module else None!r}, want korvex")

    # "[   0] +base[   1] 9680 Export RVA" and "[   0] ?Chown@@YA_NIPADHH@Z"
    rvas = {int(m.group(1)): m.group(2) for m in re.finditer(r"\+base\[\s*(\d+)\]\s+([0-9a-f]+) Export RVA", text)}
    names_section = text.split("[Ordinal/Name Pointer] Table", 1)[-1]
    # Listed in the byte order of the names; the bracket holds the ordinal less one.
    listed = re.finditer(r"^\s+\[\s*(\d+)\]\s+(\S+)\s*$", names_section, re.M)
    names = [name for _, name in sorted((int(m.group(1)), m.group(2)) for m in listed)]
    # The DLL was linked with this file: its names, ordinals and shared entries are what it must show.
    exports = sorted(read_def(API / f"korvex-win{bits}.def"), key=lambda export: export[2])
    want = [name for name, _, _ in exports]
    entries = {name: entry for name, entry, _ in exports}
    # An alias names another export; a decorated export names an internal symbol, an entry of its own.
    groups = {entries[entry] if entry in entries else name for name, entry in entries.items()}
    if names != want:
        problems.append(f"exported names in ordinal order:\n  got  {names}\n  want {want}")
    if sorted(rvas) != list(range(1, len(want) + 1)):
        problems.append(f"ordinals {sorted(rvas)}, want 1..{len(want)}")
    elif names == want:
        at = {name: rvas[i + 1] for i, name in enumerate(names)}
        if len(set(rvas.values())) != len(groups):
            problems.append(f"{len(set(rvas.values()))} entry points, want {len(groups)}")
        for name, entry in entries.items():
            if entry in entries and at[name] != at[entry]:
                problems.append(f"{name} and {entry} differ")
    if re.search(r"\]\s+Chown\s*$", names_section, re.M):
        problems.append("plain Chown is exported")

    imports = {m.group(1).lower() for m in re.finditer(r"DLL Name: (\S+)", text)}
    if not imports or not imports <= SYSTEM_DLLS:
        problems.append(f"imports {sorted(imports - SYSTEM_DLLS)} are not system DLLs")

    for p in problems:
        print(f"check_dll: {dll}: {p}")
    if not problems:
        print(f"check_dll: {dll}: {len(names)} exports, {len(set(rvas.values()))} entry points, imports {sorted(imports)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
