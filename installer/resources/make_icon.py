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
    """One image of the icon: 8 bits a pixel with its palette, and the mask that makes the corners
    transparent. Every Windows from 2000 on shows that as drawn (an alpha channel needs XP)."""
    pixels = [[pixel(x, y, n) for x in range(n)] for y in reversed(range(n))]  # bottom-up rows
    palette = sorted({p[:3] for row in pixels for p in row if p[3]})
    if len(palette) > 255:
        sys.exit(f"{n}x{n}: {len(palette)} colours, more than a palette holds")
    index = {colour: i + 1 for i, colour in enumerate(palette)}  # 0: black, under the mask
    colour_row = (n + 3) // 4 * 4
    mask_row = ((n + 31) // 32) * 4
    colours = b"".join(bytes(index.get(p[:3], 0) if p[3] else 0 for p in row).ljust(colour_row, b"\0")
                       for row in pixels)
    mask = b""
    for row in pixels:
        bits = "".join("0" if p[3] else "1" for p in row).ljust(mask_row * 8, "0")
        mask += int(bits, 2).to_bytes(mask_row, "big")
    table = b"\0\0\0\0" + b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in palette)
    table = table.ljust(256 * 4, b"\0")
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 8, 0, 0, 0, 0, 256, 0)
    return header + table + colours + mask


def main(path):
    images = [bitmap(n) for n in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, image in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 8, len(image), offset)
        offset += len(image)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "kovpatch.ico")
