#!/usr/bin/env python3
"""Draws the program icon and writes it as a Windows .ico file.

The icon holds 64, 48, 32, 24 and 16 pixel images in 32-bit colour (BGRA with alpha, stored as
bitmaps so every Windows version and Wine load them). The picture is a white download arrow over a
tray on a blue rounded square. Each size is drawn from the same geometry with 4x4 supersampling, so
edges stay smooth at 16 pixels too. Only the Python standard library is used.

Usage: python3 resources/make_icon.py [output.ico]   (default: resources/app_icon.ico beside this script)
"""

import os
import struct
import sys

SIZES = (64, 48, 32, 24, 16)
SUPERSAMPLE = 4

TOP_COLOUR = (0x2F, 0x8C, 0xF0)  # RGB at the top edge of the square
BOTTOM_COLOUR = (0x0B, 0x3D, 0x91)  # RGB at the bottom edge
WHITE = (0xFF, 0xFF, 0xFF)


def inside_rounded_square(x, y):
    inset, radius = 0.03, 0.2
    left, top, right, bottom = inset, inset, 1.0 - inset, 1.0 - inset
    if x < left or x > right or y < top or y > bottom:
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius**2


def inside_triangle(x, y, a, b, c):
    def side(p, q):
        return (x - q[0]) * (p[1] - q[1]) - (p[0] - q[0]) * (y - q[1])

    d1, d2, d3 = side(a, b), side(b, c), side(c, a)
    negative = d1 < 0 or d2 < 0 or d3 < 0
    positive = d1 > 0 or d2 > 0 or d3 > 0
    return not (negative and positive)


def inside_symbol(x, y):
    shaft = 0.41 <= x <= 0.59 and 0.16 <= y <= 0.50
    head = inside_triangle(x, y, (0.22, 0.46), (0.78, 0.46), (0.5, 0.72))
    tray_floor = 0.20 <= x <= 0.80 and 0.78 <= y <= 0.86
    tray_left = 0.20 <= x <= 0.28 and 0.64 <= y <= 0.86
    tray_right = 0.72 <= x <= 0.80 and 0.64 <= y <= 0.86
    return shaft or head or tray_floor or tray_left or tray_right


def render(size):
    """Returns rows top to bottom of (r, g, b, a) tuples."""
    rows = []
    samples = SUPERSAMPLE * SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            covered = 0
            white = 0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    x = (px + (sx + 0.5) / SUPERSAMPLE) / size
                    y = (py + (sy + 0.5) / SUPERSAMPLE) / size
                    if inside_rounded_square(x, y):
                        covered += 1
                        if inside_symbol(x, y):
                            white += 1
            if covered == 0:
                row.append((0, 0, 0, 0))
                continue
            t = (py + 0.5) / size
            base = tuple(round(TOP_COLOUR[i] * (1 - t) + BOTTOM_COLOUR[i] * t) for i in range(3))
            mix = white / covered
            colour = tuple(round(base[i] * (1 - mix) + WHITE[i] * mix) for i in range(3))
            row.append(colour + (round(255 * covered / samples),))
        rows.append(row)
    return rows


def bitmap_entry(size):
    """One icon image: BITMAPINFOHEADER, bottom-up BGRA pixels, then an all-zero AND mask."""
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_row_bytes = ((size + 31) // 32) * 4
    mask = bytes(mask_row_bytes * size)
    return header + bytes(pixels) + mask


def build_ico():
    images = [bitmap_entry(size) for size in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        dimension = size if size < 256 else 0
        out += struct.pack("<BBBBHHII", dimension, dimension, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


def main():
    default = os.path.join(os.path.dirname(os.path.abspath(__file__)), "app_icon.ico")
    target = sys.argv[1] if len(sys.argv) > 1 else default
    with open(target, "wb") as f:
        f.write(build_ico())
    print(target)


if __name__ == "__main__":
    main()
