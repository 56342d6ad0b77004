#!/usr/bin/env python3
"""Writes zips again so that two packagings of one commit give the same bytes,
wherever, whenever and by whomever they run. CPack's zips hold each entry's
modification time in the packager's local time, the packager's permissions
and extra fields with its user; here every entry is written in name order,
dated with the commit's time (in UTC), as a file (0644) or folder (0755) of a
Unix system, compressed at level 9, with no extra fields.

The time is SOURCE_DATE_EPOCH when that is set; otherwise the time of the
commit checked out in SOURCE_DIR; outside a git checkout, 1980-01-01, the
earliest time a zip can hold.

    rezip.py SOURCE_DIR ZIP...
"""
import os
import subprocess
import sys
import time
import zipfile

EARLIEST = 315532800  # 1980-01-01 00:00:00 UTC


def release_time(source):
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        commit = subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"], capture_output=True, text=True)
        if commit.returncode == 0 and commit.stdout.strip():
            return int(commit.stdout)
    except OSError:  # no git at all
        pass
    print(f"rezip: git gives no commit time for {source} and SOURCE_DATE_EPOCH is not set: "
          "the entries are dated 1980-01-01", file=sys.stderr)
    return EARLIEST


def rezip(path, stamp):
    date_time = time.gmtime(max(stamp, EARLIEST))[:6]
    with zipfile.ZipFile(path) as original:
        entries = sorted((info.filename, original.read(info)) for info in original.infolist())
    scratch = path + ".rezip"
    with zipfile.ZipFile(scratch, "w") as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time)
            info.create_system = 3
            info.external_attr = (0o40755 << 16) | 0x10 if name.endswith("/") else 0o100644 << 16
            info.compress_type = zipfile.ZIP_STORED if name.endswith("/") else zipfile.ZIP_DEFLATED
            archive.writestr(info, data, compresslevel=9)
    os.replace(scratch, path)


if __name__ == "__main__":
    stamp = release_time(sys.argv[1])
    for path in sys.argv[2:]:
        rezip(path, stamp)
