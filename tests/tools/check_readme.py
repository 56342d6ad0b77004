#!/usr/bin/env python3
"""The documents as a reader meets them: each file in examples/ appears, as
it is compiled, in README.md or in a page under docs/; and every relative
link of the project's pages (README.md, CHANGELOG.md, docs/, posix/ and
bench/ READMEs) leads to a file, and to a heading, that is there. (The zip's
own README is checked in the zip, by check_package.py.)

    check_readme.py SOURCE_DIR
"""
import glob
import os
import sys

import links

PAGES = ["README.md", "CHANGELOG.md", "posix/README.md", "bench/README.md"]


def main(source):
    docs = sorted(os.path.relpath(page, source) for page in glob.glob(os.path.join(source, "docs", "**", "*.md"),
                                                                         recursive=True))
    texts = [open(os.path.join(source, page)).read() for page in ["README.md"] + docs]
    folder = os.path.join(source, "examples")
    missing = [name for name in sorted(os.listdir(folder))
               if name.endswith((".c", ".cpp")) and not any(open(os.path.join(folder, name)).read().strip() in text for text in texts)]
    if missing:
        sys.exit("neither README.md nor docs/ shows, as they stand: " + ", ".join(missing))
    broken = links.broken_in_folder(source, PAGES + docs)
    if broken:
        sys.exit("links that lead nowhere:\n" + "\n".join(broken))
    print("README.md and docs/ show every example as it is compiled; the pages' links all lead somewhere")


if __name__ == "__main__":
    main(sys.argv[1])
