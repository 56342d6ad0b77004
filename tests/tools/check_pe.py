#!/usr/bin/env python3
"""Checks the shipped Windows files of a build from their headers alone, so
that it holds where the build's programs cannot run (a 32-bit build on a
machine without 32-bit support):

- the width: PE32 for i386 or PE32+ for x86-64;
- Larkspan.dll exports exactly one name, "Larkspan", undecorated;
- nothing is imported but Windows' own DLLs (no compiler runtime beside it);
- Harrowfen.exe is a GUI-subsystem program with an icon;
- every shipped file carries a version resource, no debugging information
  and no path of the build machine, and names its .debug file in a debug link.

    check_pe.py BUILD_DIR OBJDUMP WIDTH SOURCE_DIR
"""
import os
import re
import subprocess
import sys

SHIPPED = ["Larkspan.dll", "Harrowfen.exe", "larkspan-get.exe"]
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "wininet.dll", "shell32.dll", "msvcrt.dll", "advapi32.dll",
                "ws2_32.dll", "gdi32.dll"}
FORMAT = {"32": ("pei-i386", "PE32"), "64": ("pei-x86-64", "PE32+")}
RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16


def objdump(tool, *arguments):
    return subprocess.run([tool, *arguments], check=True, capture_output=True, text=True).stdout


def resource_types(private):
    """The type IDs at the top of the resource directory."""
    types = set()
    in_table = False
    for line in private.splitlines():
        if "Resource Directory section" in line:
            in_table = True
        elif in_table:
            match = re.match(r"^[0-9a-f]{3}   Entry: ID: 0x([0-9a-f]+)", line)
            if match:
                types.add(int(match.group(1), 16))
    return types


def check(path, tool, width, source, problems):
    name = os.path.basename(path)
    fail = lambda text: problems.append(f"{name}: {text}")
    headers = objdump(tool, "-f", path)
    private = objdump(tool, "-p", path)
    sections = objdump(tool, "-h", path)
    file_format, magic = FORMAT[width]
    if f"file format {file_format}" not in headers:
        fail(f"not {file_format}")
    if not re.search(rf"^Magic\s+\S+\s+\({re.escape(magic)}\)", private, re.M):
        fail(f"not {magic}")
    imports = {dll.lower() for dll in re.findall(r"DLL Name: (\S+)", private)}
    if imports - WINDOWS_DLLS:
        fail(f"imports {sorted(imports - WINDOWS_DLLS)}")
    types = resource_types(private)
    if RT_VERSION not in types:
        fail("no version resource")
    if re.search(r"\s\.debug_", sections):
        fail("carries debugging information")
    if ".gnu_debuglink" not in sections or not os.path.exists(path + ".debug"):
        fail("no debug link to a .debug file beside it")
    with open(path, "rb") as binary:
        if source.encode() in binary.read():
            fail(f"holds the build's path {source}")
    if name == "Larkspan.dll":
        table = private[private.find("[Ordinal/Name Pointer] Table"):]
        exports = re.findall(r"^\s+\[\s*\d+\] (\S+)$", table, re.M)
        if exports != ["Larkspan"]:
            fail(f"exports {exports}, expected exactly ['Larkspan']")
    if name == "Harrowfen.exe":
        if not re.search(r"^Subsystem\s+\S+\s+\(Windows GUI\)", private, re.M):
            fail("not a GUI-subsystem program")
        if not {RT_ICON, RT_GROUP_ICON} <= types:
            fail("no icon")


def main(build, tool, width, source):
    problems = []
    for name in SHIPPED:
        check(os.path.join(build, "bin", name), tool, width, os.path.realpath(source), problems)
    if problems:
        sys.exit("\n".join(problems))
    print(f"{', '.join(SHIPPED)}: {FORMAT[width][1]}, one undecorated export, Windows' DLLs only, "
          "GUI updater with icon, version resources, stripped with debug links")


if __name__ == "__main__":
    main(*sys.argv[1:5])
