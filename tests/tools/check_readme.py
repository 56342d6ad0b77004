#!/usr/bin/env python3
"""The docs show the examples the build compiles, word for word: each file in
examples/ must appear as it stands in README.md or in a file under docs/.

    check_readme.py SOURCE_DIR
"""
import glob
import os
import sys


def main(source):
    pages = [os.path.join(source, "README.md")] + sorted(glob.glob(os.path.join(source, "docs", "**", "*.md"), recursive=True))
    texts = [open(page).read() for page in pages]
    folder = os.path.join(source, "examples")
    missing = [name for name in sorted(os.listdir(folder))
               if name.endswith((".c", ".cpp")) and not any(open(os.path.join(folder, name)).read().strip() in text for text in texts)]
    if missing:
        sys.exit("neither README.md nor docs/ shows, as they stand: " + ", ".join(missing))
    print("README.md and docs/ show every example as it is compiled")


if __name__ == "__main__":
    main(sys.argv[1])
