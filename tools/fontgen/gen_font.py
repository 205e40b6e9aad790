#!/usr/bin/env python3
"""Generates the LCD font table and the "Upgrading" picture.

Reads the 12x24 fixed font of Debian's xfonts-base
(/usr/share/fonts/X11/misc/12x24.pcf.gz, "-Sony-Fixed-Medium-R-Normal--24-...",
under the permissive notice copied into lcd/FONT-LICENSE) and writes
lcd/font_table.cpp and lcd/image_upgrading.cpp. Standard library only; the
generated files are committed, so builds do not need Python.

    python3 tools/fontgen/gen_font.py [--font PATH] [--out DIR]

Font table (9486 bytes): 6 identification bytes, then big-endian first code
(0), last code (127), record size (74) and offset of the first record (14);
then 128 records: width, height, 72 bytes of bitmap (bit n = row * width +
column, least significant bit first, rows packed).

Codes 32..126 are the font's ASCII glyphs in a 12 x 24 cell; 32 and 127 are
blank. Codes 0..31 are 24 x 24 cells. The line-drawing pieces (single lines
2 pixels wide through the middle of the cell, double lines two 2-pixel strokes
with a 2-pixel gap):

     1 single corner, lines right and down     15 double corner right and down
     2 single corner, lines left and down      16 double corner left and down
     3 single corner, lines right and up       17 double corner right and up
     4 single corner, lines left and up        18 double corner left and up
     5 single horizontal line                  19 double horizontal line
     6 single vertical line                    20 double vertical line
     7 single cross                            21 double cross
     8 single tee, vertical with a right arm   22 double tee with a right arm
    11 single tee, vertical with a left arm    23 double tee with a left arm
    12 single tee, horizontal with a down arm  24 double tee with a down arm
    14 single tee, horizontal with an up arm   25 double tee with an up arm
    26 light shade (every other pixel)         27 full block

Codes 0, 9, 10, 13 and 28..31 are blank 24 x 24 cells.
"""

import argparse
import gzip
import os
import struct
import sys

FONT_DEFAULT = "/usr/share/fonts/X11/misc/12x24.pcf.gz"
CELL_W, CELL_H = 12, 24
WIDE = 24
RECORD = 74
HEADER = bytes([0xE0, 0xE1, 0x25, 0x0E, 0x7B, 0xEC])
SCREEN_W, SCREEN_H = 480, 272

PCF_PROPERTIES = 1 << 0
PCF_ACCELERATORS = 1 << 1
PCF_METRICS = 1 << 2
PCF_BITMAPS = 1 << 3
PCF_BDF_ENCODINGS = 1 << 5
PCF_BDF_ACCELERATORS = 1 << 8
PCF_BYTE_MASK = 1 << 2
PCF_BIT_MASK = 1 << 3
PCF_COMPRESSED_METRICS = 0x100


class Pcf:
    """The parts of a PCF font needed here: metrics, bitmaps, encodings."""

    def __init__(self, data):
        if data[:4] != b"\x01fcp":
            raise ValueError("not a PCF font")
        (count,) = struct.unpack_from("<i", data, 4)
        self.tables = {}
        for i in range(count):
            ttype, fmt, size, offset = struct.unpack_from("<iiii", data, 8 + 16 * i)
            self.tables[ttype] = (fmt, size, offset)
        self.data = data
        self._read_accelerators()
        self._read_metrics()
        self._read_bitmaps()
        self._read_encodings()

    def _table(self, ttype):
        if ttype not in self.tables:
            raise ValueError("PCF table %d missing" % ttype)
        fmt, size, offset = self.tables[ttype]
        (inner,) = struct.unpack_from("<i", self.data, offset)
        endian = ">" if inner & PCF_BYTE_MASK else "<"
        return inner, endian, offset + 4

    def _read_accelerators(self):
        ttype = PCF_BDF_ACCELERATORS if PCF_BDF_ACCELERATORS in self.tables else PCF_ACCELERATORS
        _, e, pos = self._table(ttype)
        self.ascent, self.descent = struct.unpack_from(e + "ii", self.data, pos + 8)

    def _read_metrics(self):
        fmt, e, pos = self._table(PCF_METRICS)
        self.metrics = []
        if fmt & PCF_COMPRESSED_METRICS:
            (n,) = struct.unpack_from(e + "h", self.data, pos)
            pos += 2
            for i in range(n):
                vals = [b - 0x80 for b in self.data[pos + 5 * i:pos + 5 * i + 5]]
                self.metrics.append(tuple(vals))  # lsb, rsb, width, ascent, descent
        else:
            (n,) = struct.unpack_from(e + "i", self.data, pos)
            pos += 4
            for i in range(n):
                self.metrics.append(struct.unpack_from(e + "hhhhh", self.data, pos + 12 * i))

    def _read_bitmaps(self):
        fmt, e, pos = self._table(PCF_BITMAPS)
        (n,) = struct.unpack_from(e + "i", self.data, pos)
        pos += 4
        self.offsets = struct.unpack_from(e + "%di" % n, self.data, pos)
        pos += 4 * n
        sizes = struct.unpack_from(e + "4i", self.data, pos)
        pos += 16
        self.pad = 1 << (fmt & 3)
        self.unit = 1 << ((fmt >> 4) & 3)
        self.msb_byte = bool(fmt & PCF_BYTE_MASK)
        self.msb_bit = bool(fmt & PCF_BIT_MASK)
        self.bitmap = self.data[pos:pos + sizes[fmt & 3]]

    def _read_encodings(self):
        _, e, pos = self._table(PCF_BDF_ENCODINGS)
        min2, max2, min1, max1, self.default = struct.unpack_from(e + "5h", self.data, pos)
        pos += 10
        count = (max2 - min2 + 1) * (max1 - min1 + 1)
        self.index = struct.unpack_from(e + "%dH" % count, self.data, pos)
        self.min2, self.max2, self.min1 = min2, max2, min1

    def glyph_index(self, code):
        if self.min1 != 0 or code < self.min2 or code > self.max2:
            return None
        i = self.index[code - self.min2]
        return None if i == 0xFFFF else i

    def cell(self, code, width, height):
        """The glyph of a code as rows of 0/1 in a width x height cell."""
        rows = [[0] * width for _ in range(height)]
        gi = self.glyph_index(code)
        if gi is None:
            return rows
        lsb, rsb, _, ascent, descent = self.metrics[gi]
        gw = rsb - lsb
        stride = ((gw + 7) // 8 + self.pad - 1) // self.pad * self.pad
        raw = bytearray(self.bitmap[self.offsets[gi]:self.offsets[gi] + stride * (ascent + descent)])
        if self.unit > 1 and self.msb_byte != self.msb_bit:
            for i in range(0, len(raw) - self.unit + 1, self.unit):
                raw[i:i + self.unit] = raw[i:i + self.unit][::-1]
        top = self.ascent - ascent
        for r in range(ascent + descent):
            for c in range(gw):
                byte = raw[r * stride + c // 8]
                bit = (byte >> (7 - c % 8)) & 1 if self.msb_bit else (byte >> (c % 8)) & 1
                y, x = top + r, lsb + c
                if bit and 0 <= y < height and 0 <= x < width:
                    rows[y][x] = 1
        return rows


def box_piece(arms, double):
    """A line-drawing piece: arms is a set of 'u', 'd', 'l', 'r'.

    The piece is the outline of a channel through the middle of the cell; a
    single line fills a 2-pixel channel, a double line draws the 2-pixel
    border of a 6-pixel channel.
    """
    lo, hi = (9, 14) if double else (11, 12)
    mid = range(lo, hi + 1)

    def inside(x, y):
        if x in mid and y in mid:
            return True
        if y in mid and (("l" in arms and x < lo) or ("r" in arms and x > hi)):
            return True
        if x in mid and (("u" in arms and y < lo) or ("d" in arms and y > hi)):
            return True
        return False

    rows = [[0] * WIDE for _ in range(CELL_H)]
    for y in range(CELL_H):
        for x in range(WIDE):
            if not inside(x, y):
                continue
            if not double:
                rows[y][x] = 1
                continue
            # Border: an outside pixel of the cell within 2 (Chebyshev).
            border = False
            for dy in range(-2, 3):
                for dx in range(-2, 3):
                    qx, qy = x + dx, y + dy
                    if 0 <= qx < WIDE and 0 <= qy < CELL_H and not inside(qx, qy):
                        border = True
            rows[y][x] = 1 if border else 0
    return rows


PIECES = {
    1: "rd", 2: "ld", 3: "ru", 4: "lu", 5: "lr", 6: "ud", 7: "udlr", 8: "udr",
    11: "udl", 12: "lrd", 14: "lru",
}


def special(code):
    if code in PIECES:
        return box_piece(set(PIECES[code]), False)
    single = {15: 1, 16: 2, 17: 3, 18: 4, 19: 5, 20: 6, 21: 7, 22: 8, 23: 11, 24: 12, 25: 14}
    if code in single:
        return box_piece(set(PIECES[single[code]]), True)
    if code == 26:
        return [[(x + y) % 2 for x in range(WIDE)] for y in range(CELL_H)]
    if code == 27:
        return [[1] * WIDE for _ in range(CELL_H)]
    return [[0] * WIDE for _ in range(CELL_H)]


def pack(rows, width, height):
    """Bits in icon order: bit n = row * width + column, LSB first."""
    nbits = width * height
    out = bytearray((nbits + 7) // 8)
    for y in range(height):
        for x in range(width):
            if rows[y][x]:
                n = y * width + x
                out[n // 8] |= 1 << (n % 8)
    return out


def font_table(pcf):
    table = bytearray(HEADER)
    table += struct.pack(">HHHH", 0, 127, RECORD, 14)
    for code in range(128):
        if code < 32:
            w, rows = WIDE, special(code)
        elif code == 127:
            w, rows = CELL_W, [[0] * CELL_W for _ in range(CELL_H)]
        else:
            w, rows = CELL_W, pcf.cell(code, CELL_W, CELL_H)
        bitmap = pack(rows, w, CELL_H)
        record = bytes([w, CELL_H]) + bitmap + bytes(RECORD - 2 - len(bitmap))
        table += record
    assert len(table) == 14 + 128 * RECORD
    return table


def render_line(pcf, text, scale, bold):
    """A text line enlarged by scale and widened by bold pixels."""
    width = len(text) * CELL_W * scale + bold
    rows = [[0] * width for _ in range(CELL_H * scale)]
    for i, ch in enumerate(text):
        cell = pcf.cell(ord(ch), CELL_W, CELL_H)
        for y in range(CELL_H * scale):
            for x in range(CELL_W * scale):
                if cell[y // scale][x // scale]:
                    for b in range(bold + 1):
                        rows[y][i * CELL_W * scale + x + b] = 1
    return rows


def ink_rows(rows):
    used = [i for i, r in enumerate(rows) if any(r)]
    return used[0], used[-1]


def upgrading_picture(pcf):
    screen = [[0] * SCREEN_W for _ in range(SCREEN_H)]
    top_limit, bottom_limit = 44, 152

    def place(rows, ink_top):
        first, _ = ink_rows(rows)
        left = (SCREEN_W - len(rows[0])) // 2
        for y, row in enumerate(rows):
            for x, v in enumerate(row):
                if v:
                    screen[ink_top + y - first][left + x] = 1

    title = render_line(pcf, "Upgrading", 3, 2)
    t_first, t_last = ink_rows(title)
    place(title, top_limit)
    title_bottom = top_limit + t_last - t_first
    note = render_line(pcf, "Please wait...", 2, 1)
    n_first, n_last = ink_rows(note)
    gap = 10
    if title_bottom + gap + (n_last - n_first) > bottom_limit:
        note = render_line(pcf, "Please wait...", 1, 1)
        n_first, n_last = ink_rows(note)
    note_top = bottom_limit - (n_last - n_first)
    if note_top > title_bottom + gap:
        note_top = title_bottom + gap
    place(note, note_top)
    first, last = ink_rows(screen)
    assert first >= top_limit and last <= bottom_limit, (first, last)
    return pack(screen, SCREEN_W, SCREEN_H)


def font_source(table):
    # The 14-byte header, then one block per record.
    lines = [
        "// Generated by tools/fontgen/gen_font.py from the 12x24 fixed font of",
        "// xfonts-base (Copyright (c) 1987, 1988 Sony Corp.; see lcd/FONT-LICENSE).",
        "// Do not edit by hand.",
        '#include "lcd/lcd_draw.h"',
        "",
        "const unsigned char g_font_table[FONT_TABLE_SIZE] = {",
        "    " + " ".join("0x%02X," % b for b in table[:14]),
    ]
    for code in range(128):
        rec = table[14 + code * RECORD:14 + (code + 1) * RECORD]
        label = repr(chr(code)) if 32 < code < 127 else "code %d" % code
        lines.append("    // %s" % label.replace("\\", "backslash"))
        for i in range(0, RECORD, 16):
            lines.append("    " + " ".join("0x%02X," % b for b in rec[i:i + 16]))
    lines.append("};")
    return "\n".join(lines) + "\n"


def image_source(picture):
    lines = [
        "// Generated by tools/fontgen/gen_font.py: the \"Upgrading\" picture of the",
        "// progress screen, 480 x 272 pixels, one bit per pixel in canvas order, drawn",
        "// from the 12x24 fixed font of xfonts-base (see lcd/FONT-LICENSE).",
        "// Do not edit by hand.",
        '#include "lcd/lcd_draw.h"',
        "",
        "const unsigned char g_image_upgrading[16320] = {",
    ]
    for i in range(0, len(picture), 20):
        lines.append("    " + ",".join("0x%02X" % b for b in picture[i:i + 20]) + ",")
    lines.append("};")
    return "\n".join(lines) + "\n"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--font", default=FONT_DEFAULT)
    parser.add_argument("--out", default=os.path.join(here, "..", "..", "lcd"))
    args = parser.parse_args()
    with open(args.font, "rb") as f:
        raw = f.read()
    if raw[:2] == b"\x1f\x8b":
        raw = gzip.decompress(raw)
    pcf = Pcf(raw)
    if pcf.ascent + pcf.descent != CELL_H:
        sys.exit("expected a 24-pixel font, got ascent %d descent %d" % (pcf.ascent, pcf.descent))
    table = font_table(pcf)
    picture = upgrading_picture(pcf)
    with open(os.path.join(args.out, "font_table.cpp"), "w") as f:
        f.write(font_source(table))
    with open(os.path.join(args.out, "image_upgrading.cpp"), "w") as f:
        f.write(image_source(picture))
    return 0


if __name__ == "__main__":
    sys.exit(main())
