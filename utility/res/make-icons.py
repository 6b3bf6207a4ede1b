#!/usr/bin/env python3
# Draws Pemblo's icons and logo and writes them as .ico/.bmp files beside this script.
# Run once after changing a drawing; the generated files are kept in the tree.
import math
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

TRANSPARENT = (0, 0, 0, 0)
WAVE = (24, 40, 120, 255)        # dark blue radio waves
GREEN = (40, 170, 60, 255)
GREEN_EDGE = (10, 90, 25, 255)
RED = (210, 30, 30, 255)
RED_EDGE = (120, 10, 10, 255)
CARD = (200, 200, 210, 255)      # grey PC Card body
CARD_EDGE = (70, 70, 90, 255)
WHITE = (255, 255, 255, 255)


class Canvas:
    def __init__(self, width, height, fill=TRANSPARENT):
        self.width = width
        self.height = height
        self.px = [[fill] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.px[y][x] = colour

    def rect(self, x0, y0, x1, y1, colour, edge=None):
        """Filled rectangle with inclusive corners and an optional one-pixel outline."""
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                on_edge = x in (x0, x1) or y in (y0, y1)
                self.put(x, y, edge if (edge and on_edge) else colour)

    def arcs(self, cx, cy, radii, width, colour, half_angle=50.0):
        """Concentric arcs opening upwards around (cx, cy): the radio waves."""
        for y in range(self.height):
            for x in range(self.width):
                dx = x + 0.5 - cx
                dy = cy - (y + 0.5)
                if dy <= 0:
                    continue
                angle = math.degrees(math.atan2(abs(dx), dy))
                if angle > half_angle:
                    continue
                d = math.hypot(dx, dy)
                if any(abs(d - r) <= width / 2 for r in radii):
                    self.put(x, y, colour)

    def disc(self, cx, cy, r, colour):
        for y in range(self.height):
            for x in range(self.width):
                if math.hypot(x + 0.5 - cx, y + 0.5 - cy) <= r:
                    self.put(x, y, colour)

    def line(self, x0, y0, x1, y1, thickness, colour):
        steps = int(max(abs(x1 - x0), abs(y1 - y0)) * 4) + 1
        r = thickness / 2
        for i in range(steps + 1):
            t = i / steps
            cx = x0 + (x1 - x0) * t
            cy = y0 + (y1 - y0) * t
            for y in range(int(cy - r) - 1, int(cy + r) + 2):
                for x in range(int(cx - r) - 1, int(cx + r) + 2):
                    if math.hypot(x + 0.5 - cx, y + 0.5 - cy) <= r:
                        self.put(x, y, colour)


def waves_over_box(box, edge):
    c = Canvas(16, 16)
    c.arcs(8, 10, radii=(2.5, 5.0, 7.5), width=1.4, colour=WAVE)
    c.disc(8, 10, 1.2, WAVE)
    c.rect(2, 10, 13, 15, box, edge)
    return c


def waves_crossed():
    c = Canvas(16, 16)
    c.arcs(8, 12, radii=(2.5, 5.0, 7.5, 10.0), width=1.4, colour=WAVE)
    c.disc(8, 12, 1.4, WAVE)
    c.line(1.5, 1.5, 14.5, 14.5, 2.2, RED)
    c.line(14.5, 1.5, 1.5, 14.5, 2.2, RED)
    return c


def program_icon(size):
    """A PC Card with radio waves rising from its top edge."""
    c = Canvas(size, size)
    s = size / 16.0
    c.arcs(8 * s, 8 * s, radii=(2.2 * s, 4.4 * s, 6.6 * s), width=1.3 * s, colour=WAVE)
    c.rect(int(2 * s), int(8 * s), int(14 * s) - 1, int(16 * s) - 1, CARD, CARD_EDGE)
    # the card's contact strip
    c.rect(int(3 * s), int(14 * s) - 1, int(13 * s) - 1, int(14 * s) - 1, CARD_EDGE)
    c.disc(8 * s, 11 * s, 1.5 * s, GREEN)
    return c


# 5x7 capitals for the logo text.
FONT = {
    'A': ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    'E': ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    'K': ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    'L': ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    'R': ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    'W': ["10001", "10001", "10001", "10101", "10101", "10101", "01010"],
}


def logo():
    c = Canvas(150, 30, WHITE)
    c.rect(0, 0, 149, 29, WHITE, WAVE)
    # waves on the left, the maker's name on the right
    c.arcs(16, 24, radii=(5, 10, 15), width=2.2, colour=WAVE, half_angle=55)
    c.disc(16, 24, 2.5, GREEN)
    x = 36
    for ch in "LARKWELL":
        glyph = FONT[ch]
        for gy, row in enumerate(glyph):
            for gx, bit in enumerate(row):
                if bit == "1":
                    c.rect(x + gx * 2, 8 + gy * 2, x + gx * 2 + 1, 8 + gy * 2 + 1, WAVE)
        x += 5 * 2 + 3
    return c


def dib_32(c):
    """BITMAPINFOHEADER + bottom-up BGRA pixels + AND mask, as an icon image."""
    header = struct.pack("<IiiHHIIiiII", 40, c.width, c.height * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for y in reversed(range(c.height)):
        for (r, g, b, a) in c.px[y]:
            pixels += bytes((b, g, r, a))
    mask = bytearray()
    row_bytes = ((c.width + 31) // 32) * 4
    for y in reversed(range(c.height)):
        row = bytearray(row_bytes)
        for x, (_, _, _, a) in enumerate(c.px[y]):
            if a == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    return header + pixels + mask


def write_ico(path, canvases):
    images = [dib_32(c) for c in canvases]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for c, img in zip(canvases, images):
        out += struct.pack("<BBBBHHII", c.width % 256, c.height % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    for img in images:
        out += img
    with open(path, "wb") as f:
        f.write(out)


def write_bmp(path, c):
    row_bytes = (c.width * 3 + 3) & ~3
    pixels = bytearray()
    for y in reversed(range(c.height)):
        row = bytearray()
        for (r, g, b, _) in c.px[y]:
            row += bytes((b, g, r))
        row += bytes(row_bytes - len(row))
        pixels += row
    info = struct.pack("<IiiHHIIiiII", 40, c.width, c.height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(path, "wb") as f:
        f.write(head + info + pixels)


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else HERE
    write_ico(os.path.join(outdir, "pemblo.ico"), [program_icon(16), program_icon(32)])
    write_ico(os.path.join(outdir, "connected.ico"), [waves_over_box(GREEN, GREEN_EDGE)])
    write_ico(os.path.join(outdir, "disconnected.ico"), [waves_crossed()])
    write_ico(os.path.join(outdir, "scanning.ico"), [waves_over_box(RED, RED_EDGE)])
    write_bmp(os.path.join(outdir, "logo.bmp"), logo())


if __name__ == "__main__":
    main()
