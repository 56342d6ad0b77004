#!/usr/bin/env python3
"""Pads PE files with zeros to a length that is a multiple of 8 and sets their
header checksum to match.

Signing appends the signature at an 8-byte boundary, padding the file first;
removing the signature keeps that padding and sets the checksum of the padded
file. A file that is already a multiple of 8 long, with that checksum, comes
back from `osslsigncode remove-signature` as it was built, so a signed file
can be compared with a rebuild byte for byte. (objcopy ends a stripped file
with the names of its long sections, .gnu_debuglink among them, at any
length.)

    pe-align.py FILE...
"""
import struct
import sys


def checksum(data, at):
    """The PE header checksum: the 16-bit one's-complement sum of the file
    without the field itself (at offset AT), plus the file's length."""
    total = 0
    for (word,) in struct.iter_unpack("<H", data[:at] + bytes(4) + data[at + 4:] + bytes(len(data) % 2)):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def main(paths):
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        data += bytes(-len(data) % 8)
        at = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
        data = data[:at] + struct.pack("<I", checksum(data, at)) + data[at + 4:]
        with open(path, "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1:])
