#!/usr/bin/env python3
"""Draws Quiltcam's icon, a little quilt of tinted tiles, and writes it three ways:
quiltcam.ico (one 32 x 32, 24-bit image, for Windows' resources), quiltcam.png (for desktops)
and quiltcam_icon.h (the pixels, for the window icon on other systems)."""
import os
import struct
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


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]

    # ICO: a BITMAPINFOHEADER (height doubled for the mask), bottom-up BGR rows, an AND mask.
    xor = b''.join(bytes(c for p in rows[y] for c in (p[2], p[1], p[0])) for y in reversed(range(SIZE)))
    mask = bytes(SIZE * 4)  # 32 pixels = 4 bytes a row, already a multiple of 4
    image = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 24, 0, len(xor) + len(mask), 0, 0, 0, 0) + xor + mask
    ico = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', SIZE, SIZE, 0, 0, 1, 24, len(image), 22) + image
    with open(os.path.join(here, 'quiltcam.ico'), 'wb') as f:
        f.write(ico)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    raw = b''.join(b'\0' + bytes(c for p in row for c in p) for row in rows)
    png = (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', SIZE, SIZE, 8, 2, 0, 0, 0)) +
           chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))
    with open(os.path.join(here, 'quiltcam.png'), 'wb') as f:
        f.write(png)

    with open(os.path.join(here, 'quiltcam_icon.h'), 'w') as f:
        f.write('// Quiltcam\'s icon, 32 x 32, red-green-blue rows from the top. Made by make_icon.py.\n')
        f.write('#pragma once\n\nstatic const unsigned char quiltcamIcon[32 * 32 * 3] = {\n')
        for row in rows:
            f.write('    ' + ', '.join(str(c) for p in row for c in p) + ',\n')
        f.write('};\n')


if __name__ == '__main__':
    main()
