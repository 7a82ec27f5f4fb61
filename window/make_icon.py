#!/usr/bin/env python3
"""Draws Quorvel's application icon, a globe with an upward arrow, and writes it as an .ico
with five images in the order the program file carries them: 16x16 4bpp, 32x32 8bpp,
16x16 8bpp, 48x48 32bpp, 32x32 32bpp. Standard library only.

    python3 window/make_icon.py window/quorvel.ico
"""
import math
import struct
import sys

SUPERSAMPLE = 4

GLOBE_CX, GLOBE_CY, GLOBE_R = 0.44, 0.44, 0.40
OUTLINE = (16, 54, 120)
GRID = (225, 240, 255)
ARROW = (40, 160, 60)
ARROW_EDGE = (10, 80, 25)


def globe_colour(x, y):
    """Colour of the globe at (x, y), or None outside it."""
    dx, dy = x - GLOBE_CX, y - GLOBE_CY
    d = math.hypot(dx, dy)
    if d > GLOBE_R:
        return None
    if d > GLOBE_R - 0.05:
        return OUTLINE
    # Meridians: the centre line and two ellipses; parallels: the equator and two latitudes.
    u, v = dx / GLOBE_R, dy / GLOBE_R
    line = 0.045
    half_width = math.sqrt(max(0.0, 1.0 - v * v))
    for k in (0.0, 0.55):
        if half_width > 0 and abs(abs(u) - k * half_width) < line / 0.40 * 0.4:
            return GRID
    for lat in (0.0, -0.5, 0.5):
        if abs(v - lat) < line * 1.1:
            return GRID
    # Sea blue, lighter towards the top left.
    shade = max(0.0, min(1.0, 0.5 - 0.5 * (u + v) / 1.5))
    return (int(30 + 40 * shade), int(100 + 80 * shade), int(190 + 55 * shade))


def arrow_colour(x, y):
    """Colour of the upward arrow at the bottom right, or None outside it."""
    cx, top, bottom = 0.75, 0.38, 0.98
    head_bottom, head_half, shaft_half = 0.66, 0.24, 0.10
    edge = 0.04

    def inside(px, py, grow):
        if top - grow <= py <= head_bottom + grow:
            # Triangle from the tip (cx, top) to the head's base.
            t = (py - (top - grow)) / (head_bottom - top + grow)
            return abs(px - cx) <= (head_half + grow) * t
        if head_bottom < py <= bottom + grow:
            return abs(px - cx) <= shaft_half + grow
        return False

    if inside(x, y, 0.0):
        return ARROW if inside(x, y, -edge) else ARROW_EDGE
    if inside(x, y, edge):
        return ARROW_EDGE
    return None


def render(size):
    """RGBA rows, top row first, with anti-aliased edges."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    c = arrow_colour(x, y) or globe_colour(x, y)
                    if c:
                        r += c[0]; g += c[1]; b += c[2]; a += 1
            if a:
                row.append((r // a, g // a, b // a, a * 255 // (n * n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def palette256():
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    greys = [(v, v, v) for v in (8 + 6 * i for i in range(40))]
    return cube + greys


def nearest(palette, c):
    """Closest palette entry; a strongly coloured pixel never becomes a grey, so the small
    16-colour image keeps a blue globe and a green arrow."""
    def saturation(p):
        return max(p) - min(p)
    coloured = saturation(c) > 60
    return min(range(len(palette)),
               key=lambda i: sum((palette[i][k] - c[k]) ** 2 for k in range(3))
               + (10 ** 6 if coloured and saturation(palette[i]) < 30 else 0))


def row_bytes(bits_per_row):
    return (bits_per_row + 31) // 32 * 4


def and_mask(rows, size):
    out = b""
    for row in reversed(rows):
        data = bytearray(row_bytes(size))
        for x, p in enumerate(row):
            if p[3] < 128:
                data[x // 8] |= 0x80 >> (x % 8)
        out += bytes(data)
    return out


def header(size, bpp, colours):
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, colours, 0)


def image_paletted(size, bpp, palette):
    rows = render(size)
    body = b"".join(struct.pack("<BBBB", c[2], c[1], c[0], 0) for c in palette)
    cache = {}
    for row in reversed(rows):
        data = bytearray(row_bytes(size * bpp))
        for x, p in enumerate(row):
            if p[3] < 128:
                index = 0
            else:
                key = p[:3]
                if key not in cache:
                    cache[key] = nearest(palette, key)
                index = cache[key]
            if bpp == 4:
                data[x // 2] |= index << (4 if x % 2 == 0 else 0)
            else:
                data[x] = index
        body += bytes(data)
    return header(size, bpp, len(palette)) + body + and_mask(rows, size)


def image_alpha(size):
    rows = render(size)
    body = b""
    for row in reversed(rows):
        body += b"".join(struct.pack("<BBBB", p[2], p[1], p[0], p[3]) for p in row)
    return header(size, 32, 0) + body + and_mask(rows, size)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "quorvel.ico"
    images = [  # (size, colour count for the directory, bpp, data)
        (16, 16, 4, image_paletted(16, 4, VGA16)),
        (32, 0, 8, image_paletted(32, 8, palette256())),
        (16, 0, 8, image_paletted(16, 8, palette256())),
        (48, 0, 32, image_alpha(48)),
        (32, 0, 32, image_alpha(32)),
    ]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    blobs = b""
    for size, colours, bpp, data in images:
        directory += struct.pack("<BBBBHHII", size, size, colours, 0, 1, bpp, len(data), offset)
        offset += len(data)
        blobs += data
    with open(out, "wb") as f:
        f.write(directory + blobs)


if __name__ == "__main__":
    main()
