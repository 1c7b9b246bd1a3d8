#!/usr/bin/env python3
"""Checks korvex.dll as `objdump -p` shows it: the module name, the 30
exported names of the table with their ordinals, 27 entry points with the
two shared groups, the extensions from ordinal 31, no plain Chown, and
imports from system DLLs only.

Usage: check_dll.py OBJDUMP DLL 32|64
"""
import re
import subprocess
import sys

NAMES = ["CloseTransHandle", "Connect", "ConnectionState", "CopyToPhone", "CopyToPhoneAsync",
         "CreatePhoneDirectory", "DeleteDirectory", "DeletePhoneFile", "DownFromPhone", "DownFromPhoneAsync",
         "EnableLog", "Exists", "FileSize", "FreeBuffer", "GetAttribute", "GetDirectories", "GetFiles", "GetSize",
         "GetSpaceSize", "GetTransProgress", "HasDirectories", "IsDirectory", "Reboot", "Rename", "Restart",
         "RestartiPod", "ScreenSnap", "SetAttribute", "Shutdown"]
# Extensions, in ordinal order from 31; never renumbered.
EXTENSIONS = ["Disconnect"]
CHOWN = {"32": "?Chown@@YA_NIPADHH@Z", "64": "?Chown@@YA_N_KPEADHH@Z"}
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
    names = [m.group(2) for m in re.finditer(r"^\s+\[\s*(\d+)\]\s+(\S+)\s*$", names_section, re.M)]
    want = [CHOWN[bits]] + NAMES + EXTENSIONS
    if names != want:
        problems.append(f"exported names in ordinal order:\n  got  {names}\n  want {want}")
    if sorted(rvas) != list(range(1, len(want) + 1)):
        problems.append(f"ordinals {sorted(rvas)}, want 1..{len(want)}")
    elif names == want:
        at = {name: rvas[i + 1] for i, name in enumerate(names)}
        if len(set(rvas.values())) != 27 + len(EXTENSIONS):
            problems.append(f"{len(set(rvas.values()))} entry points, want {27 + len(EXTENSIONS)}")
        if at["GetAttribute"] != at["GetSize"]:
            problems.append("GetAttribute and GetSize differ")
        if not at["RestartiPod"] == at["ScreenSnap"] == at["SetAttribute"]:
            problems.append("RestartiPod, ScreenSnap and SetAttribute differ")
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
