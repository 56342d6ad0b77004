#!/usr/bin/env python3
"""Makes the Windows zips with CPack, checks they hold exactly what they
should (the programs without debugging information, their .debug files in the
symbols zip; the zip's own README, whose every relative link, anchors
included, leads to something in the zip), unpacks the package and runs
larkspan-get.exe from it under Wine against a loopback server, and a project
built with MinGW against it with find_package(Larkspan) (tests/consumer).

    check_package.py BUILD_DIR WINE_RUN WIDTH
"""
import glob
import os
import subprocess
import sys
import tempfile
import zipfile

import consumer
import links
import loopback

EXPECTED = {
    "Larkspan.dll", "Harrowfen.exe", "larkspan-get.exe", "README.md", "LICENSE", "THIRD-PARTY-NOTICES.txt",
    "include/Larkspan.h", "lib/libLarkspan.dll.a", "lib/Larkspan.lib",
    "lib/cmake/Larkspan/LarkspanConfig.cmake", "lib/cmake/Larkspan/LarkspanConfigVersion.cmake",
    "examples/download.cpp", "examples/download_with_progress.c", "examples/download_on_worker.cpp",
    "examples/download_with_progress_bar.cpp",
}
SYMBOLS = {"Larkspan.dll.debug", "Harrowfen.exe.debug", "larkspan-get.exe.debug"}


def contents(archive):
    return {name for name in archive.namelist() if not name.endswith("/")}


def main(build, wine_run, width):
    for old in glob.glob(os.path.join(build, "Larkspan-*-win*.zip")):
        os.remove(old)
    subprocess.run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake")], cwd=build, check=True,
                   stdout=subprocess.DEVNULL)
    (package,) = glob.glob(os.path.join(build, f"Larkspan-*-win{width}.zip"))
    (symbols,) = glob.glob(os.path.join(build, f"Larkspan-*-win{width}-symbols.zip"))
    with zipfile.ZipFile(symbols) as archive:
        if contents(archive) != SYMBOLS:
            sys.exit(f"the symbols zip holds {sorted(contents(archive))}, expected {sorted(SYMBOLS)}")
    with zipfile.ZipFile(package) as archive:
        names = contents(archive)
        if names != EXPECTED:
            sys.exit(f"the zip holds {sorted(names)}, expected {sorted(EXPECTED)}")
        broken = links.broken([name for name in names if name.endswith(".md")],
                              lambda name: archive.read(name).decode(), lambda name: name in names)
        if broken:
            sys.exit("links in the zip's documents that lead nowhere in it:\n" + "\n".join(broken))
        for name in ("Larkspan.dll", "Harrowfen.exe", "larkspan-get.exe"):
            if b".debug_info" in archive.read(name):
                sys.exit(f"{name} in the zip carries debugging information")
        with tempfile.TemporaryDirectory() as scratch:
            unpacked = os.path.join(scratch, "unpacked")
            archive.extractall(unpacked)
            result, right = loopback.download_checked([wine_run, os.path.join(unpacked, "larkspan-get.exe")], scratch,
                                                      cwd=build)
            if not right:
                sys.exit(f"larkspan-get.exe from the zip: result {result}, or the stored file differs")
            # Somebody else's project, built with MinGW against the unpacked zip (find_package).
            source = os.path.dirname(os.path.dirname(os.path.abspath(wine_run)))
            programs = os.path.join(scratch, "consumer")
            consumer.build(source, programs, build, f"-DCMAKE_PREFIX_PATH={unpacked}")
            failed = consumer.failed_downloads([programs], wine_run, build)
            if failed:
                sys.exit("a project built against the zip:\n" + "\n".join(failed))
    print(f"{os.path.basename(package)}: the expected files, and larkspan-get.exe from it and a project built against"
          f" it (find_package) download right; {os.path.basename(symbols)}: the debugging information")


if __name__ == "__main__":
    main(*sys.argv[1:4])
