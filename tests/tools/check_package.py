#!/usr/bin/env python3
"""Makes the Windows zip with CPack, checks it holds exactly what it should,
unpacks it and runs larkspan-get.exe from it under Wine against a loopback
server.

    check_package.py BUILD_DIR WINE_RUN
"""
import filecmp
import glob
import os
import subprocess
import sys
import tempfile
import zipfile

import loopback

EXPECTED = {
    "Larkspan.dll", "Harrowfen.exe", "larkspan-get.exe", "README.md",
    "include/Larkspan.h", "lib/libLarkspan.dll.a", "lib/Larkspan.lib",
}


def main(build, wine_run):
    for old in glob.glob(os.path.join(build, "Larkspan-*-win32.zip")):
        os.remove(old)
    subprocess.run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake")], cwd=build, check=True,
                   stdout=subprocess.DEVNULL)
    (package,) = glob.glob(os.path.join(build, "Larkspan-*-win32.zip"))
    with zipfile.ZipFile(package) as archive:
        names = {name for name in archive.namelist() if not name.endswith("/")}
        if names != EXPECTED:
            sys.exit(f"the zip holds {sorted(names)}, expected {sorted(EXPECTED)}")
        with tempfile.TemporaryDirectory() as scratch:
            unpacked = os.path.join(scratch, "unpacked")
            archive.extractall(unpacked)
            site = os.path.join(scratch, "site")
            os.makedirs(site)
            expected = loopback.payload(site)
            base, server = loopback.serve(site)
            try:
                out = os.path.join(scratch, "out.bin")
                result = subprocess.run([wine_run, os.path.join(unpacked, "larkspan-get.exe"), f"{base}/payload.bin", out],
                                        cwd=build, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
            finally:
                server.shutdown()
            if result != 0 or not filecmp.cmp(out, expected, shallow=False):
                sys.exit(f"larkspan-get.exe from the zip: result {result}, or the stored file differs")
    print(f"{os.path.basename(package)}: the expected files, and larkspan-get.exe from it downloads right")


if __name__ == "__main__":
    main(*sys.argv[1:3])
