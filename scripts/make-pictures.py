#!/usr/bin/env python3
"""Draws the product's pictures: the four 16x16 step-status icons (resources/icons/*.ico) and the
five model pictures (resources/pictures/*.bmp, 250x250, 8-bit run-length encoded, magenta =
transparent). The files are committed; run this again only to change a drawing. Standard library
only."""
import math
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources")

# --- status icons ------------------------------------------------------------------------------


def icon(name, painter):
    size = 16
    px = [[(0, 0, 0, 0)] * size for _ in range(size)]  # RGBA, row 0 at the top
    painter(px)
    xor = b""
    for y in reversed(range(size)):
        xor += b"".join(struct.pack("<BBBB", b, g, r, a) for (r, g, b, a) in px[y])
    mask = b""
    for y in reversed(range(size)):
        bits = 0
        for x in range(size):
            if px[y][x][3] == 0:
                bits |= 1 << (15 - x)
        mask += struct.pack(">H", bits) + b"\0\0"  # rows padded to 32 bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + xor + mask
    data = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 22) + image
    with open(os.path.join(ROOT, "icons", name), "wb") as f:
        f.write(data)


def dist_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def stroke(px, segments, width, colour):
    for y in range(16):
        for x in range(16):
            d = min(dist_to_segment(x + 0.5, y + 0.5, *s) for s in segments)
            if d <= width / 2:
                px[y][x] = colour + (255,)


def check(px):
    stroke(px, [(2.5, 8.5, 6.0, 12.5), (6.0, 12.5, 13.5, 3.5)], 3.0, (0, 150, 0))


def cross(px):
    stroke(px, [(3.0, 3.0, 13.0, 13.0), (13.0, 3.0, 3.0, 13.0)], 3.0, (210, 0, 0))


def triangle(px):
    for y in range(16):
        for x in range(16):
            cx, cy = x + 0.5, y + 0.5
            if cy < 1.5 or cy > 15:
                continue
            half = (cy - 1.5) * 7.5 / 13.5
            if abs(cx - 8) <= half:
                edge = abs(cx - 8) > half - 1.3 or cy > 13.8
                px[y][x] = ((0, 0, 0) if edge else (250, 210, 0)) + (255,)
    for y in range(5, 11):
        px[y][7] = px[y][8] = (0, 0, 0, 255)
    px[12][7] = px[12][8] = (0, 0, 0, 255)


# --- model pictures ----------------------------------------------------------------------------

KEY = (255, 0, 255)


class Canvas:
    def __init__(self, w=250, h=250):
        self.w, self.h = w, h
        self.palette = [KEY]
        self.px = [[0] * w for _ in range(h)]

    def colour(self, rgb):
        if rgb not in self.palette:
            self.palette.append(rgb)
        return self.palette.index(rgb)

    def rect(self, x0, y0, x1, y1, rgb, outline=None):
        c = self.colour(rgb)
        for y in range(max(0, y0), min(self.h, y1)):
            for x in range(max(0, x0), min(self.w, x1)):
                self.px[y][x] = c
        if outline:
            self.frame(x0, y0, x1, y1, outline)

    def frame(self, x0, y0, x1, y1, rgb):
        c = self.colour(rgb)
        for x in range(x0, x1):
            self.px[y0][x] = self.px[y1 - 1][x] = c
        for y in range(y0, y1):
            self.px[y][x0] = self.px[y][x1 - 1] = c

    def ellipse(self, cx, cy, rx, ry, rgb, outline=None):
        c = self.colour(rgb)
        o = self.colour(outline) if outline else c
        for y in range(int(cy - ry) - 1, int(cy + ry) + 2):
            for x in range(int(cx - rx) - 1, int(cx + rx) + 2):
                if not (0 <= x < self.w and 0 <= y < self.h):
                    continue
                d = ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2
                if d <= 1.0:
                    self.px[y][x] = o if d > 0.8 else c

    def save(self, name):
        # Run-length encoded (BI_RLE8): the drawings are flat colours, so each picture takes a few
        # kilobytes of the program instead of 63 000 bytes.
        rows = [bytes(self.px[y]) for y in reversed(range(self.h))]
        bits = rle8(rows)
        assert unrle8(bits, self.w) == rows
        pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in self.palette)
        pal += b"\0" * (4 * 256 - len(pal))
        info = struct.pack("<IiiHHIIiiII", 40, self.w, self.h, 1, 8, 1, len(bits), 2835, 2835, 256, 0)
        offset = 14 + len(info) + len(pal)
        head = struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset)
        with open(os.path.join(ROOT, "pictures", name), "wb") as f:
            f.write(head + info + pal + bits)


def rle8(rows):
    """Bottom-up rows as BI_RLE8: (count, index) runs, 0 0 after each row, 0 1 after the last."""
    out = bytearray()
    for i, row in enumerate(rows):
        x = 0
        while x < len(row):
            run = 1
            while x + run < len(row) and run < 255 and row[x + run] == row[x]:
                run += 1
            out += bytes((run, row[x]))
            x += run
        out += b"\0\1" if i == len(rows) - 1 else b"\0\0"
    return bytes(out)


def unrle8(bits, width):
    """The rows back from rle8's runs (a check of the encoder, not a general decoder)."""
    rows, row, i = [], bytearray(), 0
    while i < len(bits):
        count, value = bits[i], bits[i + 1]
        i += 2
        if count:
            row += bytes((value,)) * count
            continue
        rows.append(bytes(row))
        row = bytearray()
        if value == 1:
            break
    assert all(len(r) == width for r in rows)
    return rows


BODY = (70, 74, 82)
BODY_LIGHT = (120, 126, 136)
EDGE = (20, 20, 24)
DISC = (200, 205, 215)
DISC_EDGE = (110, 120, 140)
HUB = (235, 235, 240)
TRAY = (40, 40, 44)
LED = (0, 200, 60)
PAPER = (240, 240, 232)


def disc_stack(c, cx, top, count, rx=38, ry=9):
    for i in range(count):
        c.ellipse(cx, top + (count - i) * 3, rx, ry, DISC, DISC_EDGE)
    c.ellipse(cx, top, rx, ry, DISC, DISC_EDGE)
    c.ellipse(cx, top, 8, 2, HUB)
    c.rect(cx - 2, top - 30, cx + 2, top, BODY_LIGHT, EDGE)  # spindle


def drive(c, x0, y0, width, open_tray=False):
    c.rect(x0, y0, x0 + width, y0 + 22, (30, 30, 34), EDGE)
    c.rect(x0 + 8, y0 + 9, x0 + width - 30, y0 + 12, (10, 10, 12))
    c.rect(x0 + width - 18, y0 + 8, x0 + width - 10, y0 + 13, LED)
    if open_tray:
        c.rect(x0 + 14, y0 + 22, x0 + width - 14, y0 + 32, TRAY, EDGE)
        c.ellipse(x0 + width // 2, y0 + 27, 28, 4, DISC, DISC_EDGE)


def printer(c, x0, y0, width):
    c.rect(x0, y0, x0 + width, y0 + 44, (225, 225, 228), EDGE)
    c.rect(x0 + 10, y0 + 14, x0 + width - 10, y0 + 18, (60, 60, 60))
    c.rect(x0 + 20, y0 + 44, x0 + width - 20, y0 + 56, TRAY, EDGE)  # disc printer tray out
    c.ellipse(x0 + width // 2, y0 + 50, 34, 5, PAPER, DISC_EDGE)
    c.rect(x0 + width - 24, y0 + 6, x0 + width - 14, y0 + 10, LED)


def body(c, x0, y0, x1, y1):
    c.rect(x0, y0, x1, y1, BODY, EDGE)
    c.rect(x0 + 4, y0 + 4, x1 - 4, y0 + 10, BODY_LIGHT)


def tm36k():
    c = Canvas()
    body(c, 35, 70, 215, 230)
    disc_stack(c, 125, 60, 8)
    printer(c, 55, 120, 140)
    c.save("tm36k.bmp")


def tm36p():
    c = Canvas()
    body(c, 25, 60, 225, 235)
    disc_stack(c, 90, 50, 7, rx=32)
    disc_stack(c, 170, 54, 4, rx=32)  # the HV22 part's bin
    drive(c, 45, 92, 160)
    printer(c, 45, 140, 160)
    c.save("tm36p.bmp")


def lq40():
    c = Canvas()
    body(c, 45, 90, 205, 215)
    disc_stack(c, 125, 80, 10)
    drive(c, 65, 140, 120, open_tray=True)
    c.save("lq40.bmp")


def hv22():
    c = Canvas()
    body(c, 30, 110, 220, 200)
    disc_stack(c, 80, 100, 9, rx=34)
    disc_stack(c, 172, 104, 3, rx=34)
    drive(c, 70, 150, 110, open_tray=True)
    c.save("hv22.bmp")


def zp():
    c = Canvas()
    body(c, 40, 70, 210, 230)
    disc_stack(c, 125, 60, 12)
    drive(c, 60, 110, 130)
    drive(c, 60, 150, 130, open_tray=True)
    c.rect(80, 200, 170, 222, (50, 52, 58), EDGE)  # output ramp
    c.save("zp.bmp")


if __name__ == "__main__":
    icon("empty.ico", lambda px: None)
    icon("check.ico", check)
    icon("cross.ico", cross)
    icon("warning.ico", triangle)
    for draw in (tm36k, tm36p, lq40, hv22, zp):
        draw()
