#!/usr/bin/env python3
"""Draws Orvandel's own pictures: the hand cursor, the program icon (for the
window, and for the desktop's icon theme at every usual size and as SVG) and the
splash picture. Plain Python (zlib and struct only), so that every picture the
tool ships is made here from the drawings below and can be drawn again.

Usage: make_assets.py [OUTPUT_FOLDER]   (default: the folder of this script)
"""
import os
import struct
import sys
import zlib

# ---------------------------------------------------------------- file writers


def write_png(path, width, height, pixels):
    """pixels: list of rows, each a list of (r, g, b, a)."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def write_cur(path, pixels, hot_x, hot_y):
    """A Windows cursor file with one 32-bit image and its hot spot."""
    height = len(pixels)
    width = len(pixels[0])
    xor = bytearray()
    for row in reversed(pixels):  # bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((width + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + xor + mask
    icondir = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, hot_x, hot_y, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(icondir + entry + image)


# ---------------------------------------------------------------- drawings

TRANSPARENT = (0, 0, 0, 0)
BLACK = (0, 0, 0, 255)
WHITE = (255, 255, 255, 255)

# The hand: '#' outline, 'o' fill, anything else transparent. The hot spot is
# the tip of the index finger.
HAND = """
.....##.........................
....#oo#........................
....#oo#........................
....#oo#........................
....#oo#........................
....#oo###......................
....#oo#oo###...................
....#oo#oo#oo##.................
....#oo#oo#oo#o#................
.##.#oo#oo#oo#oo#...............
#oo##oooooooo#oo#...............
#ooo#oooooooooooo#..............
.#oo#oooooooooooo#..............
..#ooooooooooooooo#.............
..#ooooooooooooooo#.............
...#oooooooooooooo#.............
...#ooooooooooooo#..............
....#oooooooooooo#..............
....#ooooooooooo#...............
.....#oooooooooo#...............
.....#oooooooooo#...............
.....############...............
"""
HAND_HOT_SPOT = (5, 0)


def hand_pixels():
    lines = [line for line in HAND.strip().splitlines()]
    rows = []
    for y in range(32):
        line = lines[y] if y < len(lines) else ""
        row = []
        for x in range(32):
            c = line[x] if x < len(line) else "."
            row.append(BLACK if c == "#" else WHITE if c == "o" else TRANSPARENT)
        rows.append(row)
    return rows


def canvas(width, height, colour):
    return [[colour for _ in range(width)] for _ in range(height)]


def fill_rect(px, x0, y0, x1, y1, colour):
    for y in range(max(0, y0), min(len(px), y1)):
        for x in range(max(0, x0), min(len(px[0]), x1)):
            px[y][x] = colour


def frame_rect(px, x0, y0, x1, y1, colour):
    fill_rect(px, x0, y0, x1, y0 + 1, colour)
    fill_rect(px, x0, y1 - 1, x1, y1, colour)
    fill_rect(px, x0, y0, x0 + 1, y1, colour)
    fill_rect(px, x1 - 1, y0, x1, y1, colour)


def sheet(px, x, y, w, h, scale):
    """One worksheet: white page, green header row, grey grid."""
    fill_rect(px, x, y, x + w, y + h, WHITE)
    fill_rect(px, x, y, x + w, y + max(2, h // 6), (33, 115, 70, 255))
    step = max(3, h // 6)
    for gy in range(y + max(2, h // 6) + step, y + h - 1, step):
        fill_rect(px, x + 1, gy, x + w - 1, gy + max(1, scale // 2), (200, 210, 200, 255))
    for gx in range(x + w // 3, x + w - 1, w // 3):
        fill_rect(px, gx, y + max(2, h // 6), gx + max(1, scale // 2), y + h - 1, (200, 210, 200, 255))
    frame_rect(px, x, y, x + w, y + h, (40, 60, 50, 255))


# ---------------------------------------------------------------- the program icon
#
# The icon is drawn once, as rectangles on a square of ICON_UNITS units, and
# then rendered at each size the desktop asks for and as SVG, so that every
# size shows the same picture.

ICON_UNITS = 32
ICON_SIZES = (16, 32, 48, 64, 128, 256)
SHEET_GREEN = (33, 115, 70, 255)
GRID_GREY = (200, 210, 200, 255)
FRAME_GREEN = (40, 60, 50, 255)


def sheet_rects(x, y, w, h, line, rows):
    """One worksheet as (x0, y0, x1, y1, colour) in icon units, back to front:
    white page, green header row, grey grid, dark frame."""
    header = h / 6
    rects = [(x, y, x + w, y + h, WHITE), (x, y, x + w, y + header, SHEET_GREEN)]
    if rows:
        gy = y + 2 * header
        while gy < y + h - line:
            rects.append((x, gy, x + w, gy + line, GRID_GREY))
            gy += header
    for i in (1, 2):
        gx = x + w * i / 3
        rects.append((gx, y + header, gx + line, y + h, GRID_GREY))
    rects += [(x, y, x + w, y + line, FRAME_GREEN), (x, y + h - line, x + w, y + h, FRAME_GREEN),
              (x, y, x + line, y + h, FRAME_GREEN), (x + w - line, y, x + w, y + h, FRAME_GREEN)]
    return rects


def icon_rects(size):
    """Three copies of one sheet, fanned out to the lower right. Lines are at
    least one pixel wide; below 32 pixels the grid keeps only its columns,
    since rows a pixel apart would blur into grey."""
    line = max(0.5, ICON_UNITS / size)
    rects = []
    for i in range(3):
        o = 2 + i * 6
        rects += sheet_rects(o, o, 17, 18, line, rows=size >= 32)
    return rects


def icon_pixels(size=64):
    """The icon rendered at size x size pixels, every edge on a pixel edge."""
    px = canvas(size, size, TRANSPARENT)
    k = size / ICON_UNITS

    def snap(v):
        return int(v * k + 0.5)

    for x0, y0, x1, y1, colour in icon_rects(size):
        left, top = snap(x0), snap(y0)
        fill_rect(px, left, top, max(left + 1, snap(x1)), max(top + 1, snap(y1)), colour)
    return px


def icon_svg():
    def number(v):
        return f"{v:.3f}".rstrip("0").rstrip(".")

    parts = []
    for x0, y0, x1, y1, (r, g, b, _) in icon_rects(256):
        parts.append(f'  <rect x="{number(x0)}" y="{number(y0)}" width="{number(x1 - x0)}" '
                     f'height="{number(y1 - y0)}" fill="#{r:02x}{g:02x}{b:02x}"/>')
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            f'<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" '
            f'viewBox="0 0 {ICON_UNITS} {ICON_UNITS}" shape-rendering="crispEdges">\n'
            '  <title>Orvandel</title>\n' + "\n".join(parts) + "\n</svg>\n")


# 5 x 7 letters for the product title on the splash picture.
FONT = {
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
}


def draw_text(px, text, x, y, scale, colour):
    for ch in text:
        glyph = FONT[ch]
        for gy, line in enumerate(glyph):
            for gx, bit in enumerate(line):
                if bit == "1":
                    fill_rect(px, x + gx * scale, y + gy * scale, x + (gx + 1) * scale, y + (gy + 1) * scale, colour)
        x += 6 * scale


def splash_pixels(width=480, height=270):
    px = canvas(width, height, WHITE)
    top, bottom = (225, 240, 230), (170, 205, 185)
    for y in range(height):
        t = y / (height - 1)
        c = tuple(int(top[i] + (bottom[i] - top[i]) * t) for i in range(3)) + (255,)
        fill_rect(px, 0, y, width, y + 1, c)
    for i in range(5):
        o = i * 18
        sheet(px, 40 + o, 60 + o, 110, 130, 2)
    draw_text(px, "ORVANDEL", 230, 110, 5, (25, 70, 45, 255))
    fill_rect(px, 230, 160, 230 + 8 * 30 - 5, 164, (33, 115, 70, 255))
    return px


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(os.path.join(out, "Splash"), exist_ok=True)
    write_cur(os.path.join(out, "HAND-M.CUR"), hand_pixels(), *HAND_HOT_SPOT)
    write_png(os.path.join(out, "orvandel.png"), 64, 64, icon_pixels())
    write_png(os.path.join(out, "Splash", "orvandel.png"), 480, 270, splash_pixels())
    # The desktop's icon theme: one picture per size, and the scalable one.
    hicolor = os.path.join(out, "icons", "hicolor")
    for size in ICON_SIZES:
        folder = os.path.join(hicolor, f"{size}x{size}", "apps")
        os.makedirs(folder, exist_ok=True)
        write_png(os.path.join(folder, "orvandel.png"), size, size, icon_pixels(size))
    os.makedirs(os.path.join(hicolor, "scalable", "apps"), exist_ok=True)
    with open(os.path.join(hicolor, "scalable", "apps", "orvandel.svg"), "w") as f:
        f.write(icon_svg())


if __name__ == "__main__":
    main()
