#!/usr/bin/env python3
"""Draws Quiltcam's icon, a little quilt of tinted tiles, and writes it three ways:
quiltcam.ico (one 32 x 32, 24-bit image, for Windows' resources), quiltcam.png (for desktops)
and quiltcam_icon.h (the pixels, for the window icon on other systems).
    make_icon.py --sizes DIR   also draws it at the sizes desktop menus use, 16 to 256 pixels,
                               as DIR/SIZExSIZE/apps/quiltcam.png (the hicolor theme's layout)"""
import os
import struct
import sys
import zlib

SIZE, TILE = 32, 8
TINTS = [(230, 80, 70), (250, 190, 60), (90, 190, 110), (70, 140, 230),
         (170, 100, 210), (240, 130, 60), (60, 180, 200), (220, 90, 160)]


def pixel(x, y):
    """Each 8 x 8 tile: a grey miniature (a bright disc on a dark-to-light slope), tinted."""
    tint = TINTS[(x // TILE + 3 * (y // TILE)) % len(TINTS)]
    tx, ty = x % TILE, y % TILE
    grey = 90 + 12 * (tx + ty) // 2
    if (tx - 3.5) ** 2 + (ty - 3.0) ** 2 < 5:
        grey = 255
    if tx == TILE - 1 or ty == TILE - 1:  # the seams between tiles
        grey = 40
    return tuple(c * grey // 255 for c in tint)


def drawn(size):
    """The picture at any size, drawn afresh rather than stretched: each pixel the mean of 4 x 4
    samples of the 32-pixel design at the same place (at 32 pixels, the design itself)."""
    if size == SIZE:
        return [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    scale = SIZE / size
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            samples = [pixel_at((x + (i + 0.5) / 4) * scale, (y + (j + 0.5) / 4) * scale)
                       for j in range(4) for i in range(4)]
            row.append(tuple(sum(s[c] for s in samples) // 16 for c in range(3)))
        rows.append(row)
    return rows


def pixel_at(u, v):
    """The design at a point of its 32 x 32 plane: seams a pixel wide at any size."""
    tint = TINTS[(int(u) // TILE + 3 * (int(v) // TILE)) % len(TINTS)]
    tx, ty = u % TILE, v % TILE
    grey = 90 + int(6 * max(0.0, tx + ty - 1))
    if (tx - 4.0) ** 2 + (ty - 3.5) ** 2 < 5:
        grey = 255
    if tx >= TILE - 1 or ty >= TILE - 1:
        grey = 40
    return tuple(c * grey // 255 for c in tint)


def png(rows):
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    size = len(rows)
    raw = b''.join(b'\0' + bytes(c for p in row for c in p) for row in rows)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 2, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def main():
    if len(sys.argv) == 3 and sys.argv[1] == '--sizes':
        for size in (16, 22, 24, 32, 48, 64, 128, 256):
            folder = os.path.join(sys.argv[2], '%dx%d' % (size, size), 'apps')
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, 'quiltcam.png'), 'wb') as f:
                f.write(png(drawn(size)))
        return
    here = os.path.dirname(os.path.abspath(__file__))
    rows = drawn(SIZE)

    # ICO: a BITMAPINFOHEADER (height doubled for the mask), bottom-up BGR rows, an AND mask.
    xor = b''.join(bytes(c for p in rows[y] for c in (p[2], p[1], p[0])) for y in reversed(range(SIZE)))
    mask = bytes(SIZE * 4)  # 32 pixels = 4 bytes a row, already a multiple of 4
    image = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 24, 0, len(xor) + len(mask), 0, 0, 0, 0) + xor + mask
    ico = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', SIZE, SIZE, 0, 0, 1, 24, len(image), 22) + image
    with open(os.path.join(here, 'quiltcam.ico'), 'wb') as f:
        f.write(ico)

    with open(os.path.join(here, 'quiltcam.png'), 'wb') as f:
        f.write(png(rows))

    with open(os.path.join(here, 'quiltcam_icon.h'), 'w') as f:
        f.write('// Quiltcam\'s icon, 32 x 32, red-green-blue rows from the top. Made by make_icon.py.\n')
        f.write('#pragma once\n\nstatic const unsigned char quiltcamIcon[32 * 32 * 3] = {\n')
        for row in rows:
            f.write('    ' + ', '.join(str(c) for p in row for c in p) + ',\n')
        f.write('};\n')


if __name__ == '__main__':
    main()
