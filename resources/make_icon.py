#!/usr/bin/env python3
"""Draws the OrbTray icon: a shaded blue orb with a white arrow into a tray, 64 by 64 pixels in
24-bit colour, and writes it as orbtray.ico (one image, transparency from the AND mask).
Standard library only; run it again after changing the drawing and commit both files."""

import math
import os
import struct

SIZE = 64


def pixel(x, y):
    """Colour (r, g, b) of the pixel at column x, row y (row 0 at the top), or None outside."""
    cx = cy = (SIZE - 1) / 2
    dx, dy = x - cx, y - cy
    r = math.hypot(dx, dy)
    if r > SIZE / 2 - 0.5:
        return None
    # The arrow: a shaft and a head pointing down into a tray line.
    shaft = abs(dx) <= 4 and 12 <= y <= 34
    head = 30 <= y <= 44 and abs(dx) <= (44 - y) * 1.0
    tray = 48 <= y <= 51 and abs(dx) <= 16 or (40 <= y <= 51 and 13 <= abs(dx) <= 16)
    if shaft or head or tray:
        return (255, 255, 255)
    # Light from the upper left: brighter towards it, darker at the rim.
    light = max(0.0, 1.0 - math.hypot(x - 20, y - 18) / 52)
    rim = min(1.0, (SIZE / 2 - r) / 3)
    shade = (0.35 + 0.65 * light) * (0.6 + 0.4 * rim)
    return tuple(int(min(255, c * shade)) for c in (40, 110, 230))


def ico_bytes():
    rows = []
    mask_rows = []
    for y in reversed(range(SIZE)):  # a DIB stores the bottom row first
        row = bytearray()
        bits = 0
        mask = bytearray()
        for x in range(SIZE):
            colour = pixel(x, y)
            r, g, b = colour if colour else (0, 0, 0)
            row += bytes((b, g, r))
            bits = bits << 1 | (colour is None)
            if x % 8 == 7:
                mask.append(bits)
                bits = 0
        rows.append(bytes(row))  # 192 bytes: already a multiple of 4
        mask_rows.append(bytes(mask))  # 8 bytes: already a multiple of 4
    image = struct.pack(
        "<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 24, 0, 0, 0, 0, 0, 0
    ) + b"".join(rows) + b"".join(mask_rows)
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 24, len(image), 6 + 16)
    return header + entry + image


if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "orbtray.ico")
    with open(out, "wb") as f:
        f.write(ico_bytes())
