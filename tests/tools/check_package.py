#!/usr/bin/env python3
"""Makes the Windows zips with CPack, checks they hold exactly what they
should (the programs without debugging information, their .debug files in the
symbols zip; the zip's own README, whose every relative link, anchors
included, leads to something in the zip), unpacks the package and runs
larkspan-get.exe from it under Wine against a loopback server.

    check_package.py BUILD_DIR WINE_RUN WIDTH
"""
import glob
import os
import posixpath
import re
import subprocess
import sys
import tempfile
import zipfile

import loopback

EXPECTED = {
    "Larkspan.dll", "Harrowfen.exe", "larkspan-get.exe", "README.md", "LICENSE", "THIRD-PARTY-NOTICES.txt",
    "include/Larkspan.h", "lib/libLarkspan.dll.a", "lib/Larkspan.lib",
    "examples/download.cpp", "examples/download_with_progress.c", "examples/download_on_worker.cpp",
    "examples/download_with_progress_bar.cpp",
}
SYMBOLS = {"Larkspan.dll.debug", "Harrowfen.exe.debug", "larkspan-get.exe.debug"}


def contents(archive):
    return {name for name in archive.namelist() if not name.endswith("/")}


def prose(markdown):
    """A Markdown page without its code blocks."""
    return re.sub(r"^```.*?^```", "", markdown, flags=re.M | re.S)


def anchors(markdown):
    """The anchors a Markdown page's headings get (GitHub's rule)."""
    return {re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
            for heading in re.findall(r"^#+ (.*)$", prose(markdown), re.M)}


def broken_links(archive, names):
    """Every relative link of the zip's Markdown pages that leads nowhere in the zip."""
    broken = []
    for page in sorted(name for name in names if name.endswith(".md")):
        for target in re.findall(r"\]\(([^)\s]+)\)", prose(archive.read(page).decode())):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            path = posixpath.normpath(posixpath.join(posixpath.dirname(page), path)) if path else page
            if path not in names:
                broken.append(f"{page}: {target} (no {path} in the zip)")
            elif anchor and path.endswith(".md") and anchor not in anchors(archive.read(path).decode()):
                broken.append(f"{page}: {target} (no heading #{anchor} in {path})")
    return broken


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
        broken = broken_links(archive, names)
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
    print(f"{os.path.basename(package)}: the expected files, and larkspan-get.exe from it downloads right; "
          f"{os.path.basename(symbols)}: the debugging information")


if __name__ == "__main__":
    main(*sys.argv[1:4])
