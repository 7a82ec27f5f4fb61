#!/usr/bin/env python3
"""Draws Quorvel's application icon, a globe with an upward arrow, and writes it as an .ico
with five images in the order the program file carries them: 16x16 4bpp, 32x32 8bpp,
16x16 8bpp, 48x48 32bpp, 32x32 32bpp. Beside it, the notification area's three states at the
sizes the tray uses (16, 20, 24 and 32 pixels, 32bpp): normal, with a warning mark in place
of the arrow (updates failing), greyed (service off); and the installer's welcome and finish
picture (164x314, 24bpp). Standard library only.

    python3 window/make_icon.py window/quorvel.ico        # the application icon alone
    python3 window/make_icon.py --all window              # every file, into that folder
"""
import os
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


WARNING = (250, 196, 20)
WARNING_EDGE = (140, 80, 0)
MARK = (20, 20, 20)


def warning_colour(x, y):
    """A warning triangle with an exclamation mark at the bottom right, or None outside it."""
    cx, top, bottom, half = 0.72, 0.36, 0.99, 0.28
    edge = 0.06
    if not top <= y <= bottom:
        return None
    t = (y - top) / (bottom - top)
    if abs(x - cx) > half * t:
        return None
    if y > bottom - edge or abs(x - cx) > half * t - edge * 1.4:
        return WARNING_EDGE
    if abs(x - cx) < 0.045 and (0.55 <= y <= 0.80 or 0.85 <= y <= 0.93):
        return MARK
    return WARNING


def greyed(c):
    """A colour as a disabled control shows it: grey, light, low contrast."""
    v = (c[0] * 30 + c[1] * 59 + c[2] * 11) // 100
    v = 120 + v * 45 // 100
    return (v, v, v)


def icon_colour(x, y, variant):
    if variant == "warning":
        return warning_colour(x, y) or globe_colour(x, y)
    c = arrow_colour(x, y) or globe_colour(x, y)
    if c and variant == "off":
        return greyed(c)
    return c


def render(size, variant="normal"):
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
                    c = icon_colour(x, y, variant)
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


def image_alpha(size, variant="normal"):
    rows = render(size, variant)
    body = b""
    for row in reversed(rows):
        body += b"".join(struct.pack("<BBBB", p[2], p[1], p[0], p[3]) for p in row)
    return header(size, 32, 0) + body + and_mask(rows, size)


def write_icon(out, images):
    """images: (size, colour count for the directory, bpp, data)."""
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    blobs = b""
    for size, colours, bpp, data in images:
        directory += struct.pack("<BBBBHHII", size, size, colours, 0, 1, bpp, len(data), offset)
        offset += len(data)
        blobs += data
    with open(out, "wb") as f:
        f.write(directory + blobs)


def application_icon(out):
    write_icon(out, [
        (16, 16, 4, image_paletted(16, 4, VGA16)),
        (32, 0, 8, image_paletted(32, 8, palette256())),
        (16, 0, 8, image_paletted(16, 8, palette256())),
        (48, 0, 32, image_alpha(48)),
        (32, 0, 32, image_alpha(32)),
    ])


TRAY_SIZES = (16, 20, 24, 32)


def tray_icon(out, variant):
    write_icon(out, [(size, 0, 32, image_alpha(size, variant)) for size in TRAY_SIZES])


def installer_picture(out, width=164, height=314, icon=128):
    """The installer's welcome and finish picture: the icon on the page's white, over a band of
    the globe's blue at the bottom."""
    rows = render(icon)
    left, top = (width - icon) // 2, 60
    band = height - 40
    body = b""
    for y in reversed(range(height)):
        line = bytearray()
        for x in range(width):
            back = (255, 255, 255) if y < band else (30, 100, 190)
            c = back
            if left <= x < left + icon and top <= y < top + icon:
                r, g, b, a = rows[y - top][x - left]
                c = tuple((v * a + w * (255 - a)) // 255 for v, w in zip((r, g, b), back))
            line += bytes((c[2], c[1], c[0]))
        line += b"\0" * ((4 - len(line) % 4) % 4)
        body += bytes(line)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(body), 3780, 3780, 0, 0)
    with open(out, "wb") as f:
        f.write(struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(body), 0, 0, 14 + len(info)) + info + body)


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--all":
        folder = sys.argv[2]
        application_icon(os.path.join(folder, "quorvel.ico"))
        for variant in ("normal", "warning", "off"):
            tray_icon(os.path.join(folder, "tray-%s.ico" % variant), variant)
        installer_picture(os.path.join(folder, "installer.bmp"))
        return
    application_icon(sys.argv[1] if len(sys.argv) > 1 else "quorvel.ico")


if __name__ == "__main__":
    main()
