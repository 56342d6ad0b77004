#!/usr/bin/env python3
"""Draws the updater's icon (Harrowfen/Harrowfen.ico): a teal tile with a
white arrow turning back on itself, at 16, 32 and 48 pixels."""
import math
import struct
import sys


def pixel(size, x, y):
    s = size / 32.0
    cx = cy = size / 2.0
    # Rounded tile.
    r = 6 * s
    inside_x = min(max(x + 0.5, r), size - r)
    inside_y = min(max(y + 0.5, r), size - r)
    if math.hypot(x + 0.5 - inside_x, y + 0.5 - inside_y) > r:
        return (0, 0, 0, 0)
    # A ring three quarters round, with an arrow head at its end.
    d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
    angle = math.degrees(math.atan2(y + 0.5 - cy, x + 0.5 - cx)) % 360
    white = (255, 255, 255, 255)
    if 7.5 * s <= d <= 11 * s and not (300 <= angle <= 360):
        return white
    # Arrow head at the ring's open end (pointing down on the right side).
    hx, hy = cx + 9.25 * s, cy - 1 * s
    if y + 0.5 >= hy - 6 * s and y + 0.5 <= hy + 1 * s:
        half = (hy + 1 * s - (y + 0.5)) * 0.75
        if abs(x + 0.5 - hx) <= half:
            return white
    return (32, 128, 136, 255)  # teal


def image(size):
    rows = []
    for y in reversed(range(size)):  # bottom-up
        for x in range(size):
            r, g, b, a = pixel(size, x, y)
            rows.append(struct.pack("<BBBB", b, g, r, a))
    xor = b"".join(rows)
    mask_stride = ((size + 31) // 32) * 4
    mask = b"\0" * (mask_stride * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + xor + mask


def main(path):
    sizes = [16, 32, 48]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "Harrowfen/Harrowfen.ico")
