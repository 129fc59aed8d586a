#!/usr/bin/env python3
"""Writes message_font.h: the printable ASCII characters of the X Window System's public-domain
"fixed" font at 10 x 20 pixels (misc-fixed, from Debian's xfonts-base), for the messages the
program shows in its own window. Reads the font's PCF file:
    make_font.py [/usr/share/fonts/X11/misc/10x20-ISO8859-1.pcf.gz]"""
import gzip
import os
import struct
import sys

WIDTH, HEIGHT = 10, 20
METRICS, BITMAPS, ENCODINGS = 1 << 2, 1 << 3, 1 << 5


def tables(data):
    assert data[:4] == b'\x01fcp', 'not a PCF font'
    count, = struct.unpack_from('<i', data, 4)
    found = {}
    for i in range(count):
        kind, form, size, offset = struct.unpack_from('<iiii', data, 8 + 16 * i)
        found[kind] = (form, offset)
    return found


def reader(data, table):
    """The table's format, and a reader of its numbers in the table's own byte order."""
    form, offset = table
    order = '>' if form & (1 << 2) else '<'
    return form, offset + 4, lambda kind, at: struct.unpack_from(order + kind, data, at)[0]


def glyphs(path):
    data = gzip.open(path).read() if path.endswith('.gz') else open(path, 'rb').read()
    found = tables(data)

    form, at, read = reader(data, found[METRICS])
    metrics = []
    if form & 0x100:  # compressed: five bytes, each offset by 0x80
        for i in range(read('h', at)):
            left, right, width, ascent, descent = (b - 0x80 for b in data[at + 2 + 5 * i:at + 7 + 5 * i])
            metrics.append((left, right, ascent, descent))
    else:
        for i in range(read('i', at)):
            left, right, width, ascent, descent = (read('h', at + 4 + 12 * i + 2 * k) for k in range(5))
            metrics.append((left, right, ascent, descent))

    form, at, read = reader(data, found[BITMAPS])
    count = read('i', at)
    offsets = [read('i', at + 4 + 4 * i) for i in range(count)]
    bits = at + 4 + 4 * count + 16
    pad = 1 << (form & 3)
    msb_bit = bool(form & (1 << 3))

    form, at, read = reader(data, found[ENCODINGS])
    first, last, first_row = read('h', at), read('h', at + 2), read('h', at + 4)
    assert first_row == 0
    indices = {code: read('H', at + 10 + 2 * (code - first)) for code in range(first, last + 1)}

    font_ascent = max(m[2] for m in metrics)
    rows_of = {}
    for code in range(32, 127):
        rows = [0] * HEIGHT
        index = indices.get(code, 0xFFFF)
        if index != 0xFFFF:
            left, right, ascent, descent = metrics[index]
            stride = ((right - left + 7) // 8 + pad - 1) // pad * pad
            for y in range(ascent + descent):
                for x in range(right - left):
                    byte = data[bits + offsets[index] + y * stride + x // 8]
                    on = byte >> (7 - x % 8) & 1 if msb_bit else byte >> (x % 8) & 1
                    row, column = font_ascent - ascent + y, left + x
                    if on and 0 <= row < HEIGHT and 0 <= column < WIDTH:
                        rows[row] |= 1 << (WIDTH - 1 - column)
        rows_of[code] = rows
    return rows_of


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else '/usr/share/fonts/X11/misc/10x20-ISO8859-1.pcf.gz'
    rows_of = glyphs(path)
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'message_font.h')
    with open(out, 'w') as f:
        f.write('// The printable ASCII characters of the public-domain "fixed" font, 10 x 20 pixels: one\n')
        f.write('// row per entry, the leftmost pixel in bit 9. Made by make_font.py.\n')
        f.write('#pragma once\n\n#include <cstdint>\n\n')
        f.write('static const int messageFontWidth = %d, messageFontHeight = %d;\n' % (WIDTH, HEIGHT))
        f.write('static const uint16_t messageFont[95][%d] = {\n' % HEIGHT)
        for code in range(32, 127):
            f.write('    {%s},  // %r\n' % (', '.join('0x%03x' % r for r in rows_of[code]), chr(code)))
        f.write('};\n')


if __name__ == '__main__':
    main()
