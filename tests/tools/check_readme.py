#!/usr/bin/env python3
"""The README shows the examples the build compiles, word for word.

    check_readme.py SOURCE_DIR
"""
import os
import sys


def main(source):
    readme = open(os.path.join(source, "README.md")).read()
    folder = os.path.join(source, "examples")
    missing = [name for name in sorted(os.listdir(folder))
               if name.endswith((".c", ".cpp")) and open(os.path.join(folder, name)).read().strip() not in readme]
    if missing:
        sys.exit("README.md does not show, as they stand: " + ", ".join(missing))
    print("README.md shows every example as it is compiled")


if __name__ == "__main__":
    main(sys.argv[1])
