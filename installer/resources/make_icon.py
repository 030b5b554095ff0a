#!/usr/bin/env python3
"""Draws the installer's icon, a patch across a blue tile, and writes kovpatch.ico.

Run it again after changing the drawing; the build uses the committed kovpatch.ico.
"""
import math
import struct
import sys

SIZES = (16, 32, 48)


def pixel(x, y, n):
    """RGBA of the pixel centre (x, y) on an n-by-n canvas."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    # Rounded tile.
    r = 0.18
    dx, dy = max(abs(u - 0.5) - (0.5 - r), 0), max(abs(v - 0.5) - (0.5 - r), 0)
    if math.hypot(dx, dy) > r:
        return (0, 0, 0, 0)
    blue = (int(30 + 40 * v), int(90 + 50 * v), int(200 - 30 * v))
    # The patch: a band along the rising diagonal with a darker pad in its middle.
    along, across = (u - v) / math.sqrt(2), (u + v - 1) / math.sqrt(2)
    if abs(across) < 0.17 and abs(along) < 0.42:
        if abs(across) < 0.09 and abs(along) < 0.11:
            return (214, 170, 120, 255)
        return (246, 226, 196, 255)
    return blue + (255,)


def bitmap(n):
    rows = []
    for y in reversed(range(n)):  # bottom-up rows
        rows.append(b"".join(struct.pack("BBBB", b, g, r, a) for r, g, b, a in
                             (pixel(x, y, n) for x in range(n))))
    mask_row = ((n + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + b"\0" * (mask_row * n)


def main(path):
    images = [bitmap(n) for n in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, image in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "kovpatch.ico")
