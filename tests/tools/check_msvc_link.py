#!/usr/bin/env python3
"""Links a C caller against Larkspan.lib with an MSVC-style linker, lld-link,
at its defaults (on 32-bit x86 that includes /SAFESEH, which refuses import
members without the "@feat.00" symbol), then runs it under Wine against a
loopback server: the import library must link as link.exe takes it, and the
program must reach the undecorated export and store the file whole.

The caller (msvc_caller.c) is compiled by clang for the MSVC target with
MinGW's headers. It needs no C runtime, as there is no MSVC one here; the
import library for the one kernel32 function it calls is made here, in the
short format the Windows SDK's libraries have.

The link happens in both widths. Where Wine's loader for the width cannot
start (a machine without 32-bit Wine), the run is skipped: exit code 77.

    check_msvc_link.py BUILD_DIR WINE_RUN WIDTH SOURCE_DIR
"""
import filecmp
import os
import re
import shutil
import subprocess
import sys
import tempfile

import loopback

SKIPPED = 77
TARGETS = {"32": ("i686", "i386", "GetEnvironmentVariableA@12", "/usr/lib/wine/wine"),
           "64": ("x86_64", "i386:x86-64", "GetEnvironmentVariableA", "/usr/lib/wine/wine64")}


def tool(*names):
    for name in names:
        if shutil.which(name):
            return name
    sys.exit(f"none of {', '.join(names)} is installed (scripts/setup installs them)")


def run(*command, cwd):
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} failed:\n{done.stdout}{done.stderr}")


def link(build, width, source, scratch):
    arch, machine, get_environment, _ = TARGETS[width]
    clang, lld_link = tool("clang", "clang-14"), tool("lld-link", "lld-link-14")
    dlltool = tool("llvm-dlltool", "llvm-dlltool-14")
    # MinGW's headers take clang for the compiler they were written for only
    # with GCC's macros, and name the 32-bit architecture as MSVC's do.
    run(clang, f"--target={arch}-pc-windows-msvc", "-fms-extensions", "-fgnuc-version=4.2.1",
        *(["-D_X86_=1"] if width == "32" else []), "-isystem", f"/usr/{arch}-w64-mingw32/include",
        "-I", os.path.join(source, "Larkspan", "include"), "-O1", "-c",
        os.path.join(source, "tests", "tools", "msvc_caller.c"), "-o", "caller.obj", cwd=scratch)
    with open(os.path.join(scratch, "kernel32.def"), "w") as f:
        f.write(f"LIBRARY kernel32.dll\nEXPORTS\n    {get_environment}\n")
    run(dlltool, "-m", machine, "-k", "-d", "kernel32.def", "-l", "kernel32.lib", cwd=scratch)
    # Nothing but the subsystem, which a program without a C runtime's entry
    # names itself: /SAFESEH and every other setting are lld-link's own.
    run(lld_link, "/subsystem:console", "/out:caller.exe", "caller.obj", os.path.join(build, "Larkspan.lib"),
        "kernel32.lib", cwd=scratch)
    # What the program asks the loader for, checked here too, since the run
    # may be skipped: the undecorated name, as the DLL exports it.
    imports = subprocess.run([tool("llvm-readobj", "llvm-readobj-14"), "--coff-imports", "caller.exe"], cwd=scratch,
                             capture_output=True, text=True).stdout
    if not re.search(r"Name: Larkspan\.dll\s+(?:\w+: \S+\s+)*?Symbol: Larkspan \(", imports):
        sys.exit(f"caller.exe does not import Larkspan from Larkspan.dll by that name:\n{imports}")
    shutil.copy(os.path.join(build, "bin", "Larkspan.dll"), scratch)


def main(build, wine_run, width, source):
    build, wine_run, source = (os.path.abspath(path) for path in (build, wine_run, source))
    with tempfile.TemporaryDirectory() as scratch:
        link(build, width, source, scratch)
        loader = TARGETS[width][3]
        started = subprocess.run([loader, "--version"], capture_output=True, text=True) if os.access(loader, os.X_OK) else None
        if not started or started.returncode != 0:
            print(f"caller.exe linked with lld-link's defaults; not run: Wine's {width}-bit loader {loader} "
                  f"does not start here")
            return SKIPPED
        site = os.path.join(scratch, "site")
        os.makedirs(site)
        expected = loopback.payload(site)
        base, server = loopback.serve(site)
        out = os.path.join(scratch, "out.bin")
        try:
            result = subprocess.run([wine_run, os.path.join(scratch, "caller.exe")], cwd=scratch,
                                    env=dict(os.environ, CALLER_URL=f"{base}/payload.bin", CALLER_FILE=out),
                                    capture_output=True, text=True)
        finally:
            server.shutdown()
        if result.returncode != 0 or not os.path.exists(out) or not filecmp.cmp(out, expected, shallow=False):
            sys.exit(f"caller.exe, linked by lld-link against Larkspan.lib: result {result.returncode}, "
                     f"or the stored file differs\n{result.stderr}")
    print(f"caller.exe, linked by lld-link at its defaults against the {width}-bit Larkspan.lib, downloads right")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:5]))
