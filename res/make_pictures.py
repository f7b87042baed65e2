#!/usr/bin/env python3
"""Draws the installer's two 500x310 24-bit pictures as uncompressed BMP files.

idle.bmp: the picture behind the Ready and Done screens (blue field, emblem, room for the button).
busy.bmp: the picture of the working screens; from y 216 down a plain white panel inside a thin blue
border, where the status texts and the progress bar go.
Usage: make_pictures.py <output folder>
"""
import math
import os
import struct
import sys

W, H = 500, 310
PANEL_TOP = 216
TOP = (14, 44, 86)
BOTTOM = (28, 92, 158)
BORDER = (28, 92, 158)


def mix(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def field():
    rows = []
    for y in range(H):
        base = mix(TOP, BOTTOM, y / (H - 1))
        rows.append([base] * W)
    # A few wide, faint light arcs for depth.
    for cx, cy, r, strength in ((80, 330, 260, 0.10), (470, -40, 200, 0.08), (380, 360, 150, 0.06)):
        for y in range(H):
            for x in range(W):
                d = math.hypot(x - cx, y - cy)
                if abs(d - r) < 30:
                    t = strength * (1 - abs(d - r) / 30)
                    rows[y][x] = mix(rows[y][x], (255, 255, 255), t)
    return rows


def emblem(rows, cx, cy, radius):
    """A ring with three rising bars inside: the installer's mark."""
    light = (236, 244, 252)
    accent = (120, 196, 255)
    for y in range(max(0, cy - radius - 3), min(H, cy + radius + 4)):
        for x in range(max(0, cx - radius - 3), min(W, cx + radius + 4)):
            d = math.hypot(x - cx, y - cy)
            edge = abs(d - radius)
            if edge < 3.5:
                rows[y][x] = mix(rows[y][x], light, min(1.0, 3.5 - edge))
    bar_w = radius // 4
    for i, frac in enumerate((0.35, 0.6, 0.9)):
        left = cx - radius // 2 - bar_w // 2 + i * (bar_w + bar_w // 2)
        top = cy + radius // 2 - int(radius * frac)
        for y in range(top, cy + radius // 2):
            for x in range(left, left + bar_w):
                rows[y][x] = accent if i == 2 else light


def write_bmp(path, rows):
    stride = W * 3  # 1500: already a multiple of 4, no row padding
    pixels = bytearray()
    for y in range(H - 1, -1, -1):  # bottom-up
        for r, g, b in rows[y]:
            pixels += bytes((b, g, r))
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(pixels), 0, 0, 14 + 40)
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 24, 0, stride * H, 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    idle = field()
    emblem(idle, 250, 112, 52)
    write_bmp(os.path.join(out, "idle.bmp"), idle)

    busy = field()
    emblem(busy, 100, 110, 34)
    for y in range(PANEL_TOP, H):
        for x in range(W):
            border = x < 2 or x >= W - 2 or y >= H - 2
            busy[y][x] = BORDER if border else (255, 255, 255)
    write_bmp(os.path.join(out, "busy.bmp"), busy)


if __name__ == "__main__":
    main()
