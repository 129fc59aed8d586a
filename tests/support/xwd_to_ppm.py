#!/usr/bin/env python3
"""A window captured with `xwd` (32 bits a pixel, the usual TrueColor layout) as a binary PPM,
read through the file's own masks and byte order:  xwd_to_ppm.py [--invert] < in.xwd > out.ppm
(--invert gives dark text on light ground, which OCR reads best)."""
import struct
import sys

data = sys.stdin.buffer.read()
header = struct.unpack('>25I', data[:100])
size, width, height, order, bits, stride, ncolors = (header[i] for i in (0, 4, 5, 7, 11, 12, 19))
masks = header[14:17]
assert bits == 32, 'only 32-bit pixels'
pixels = data[size + 12 * ncolors:]
shifts = [(m & -m).bit_length() - 1 for m in masks]
invert = '--invert' in sys.argv
out = bytearray()
for y in range(height):
    row = pixels[y * stride:y * stride + 4 * width]
    for word in struct.unpack(('<' if order == 0 else '>') + '%dI' % width, row):
        for mask, shift in zip(masks, shifts):
            value = (word & mask) >> shift
            out.append(255 - value if invert else value)
sys.stdout.buffer.write(b'P6\n%d %d\n255\n' % (width, height) + bytes(out))
