#!/usr/bin/env python3
# Saves a part of an xwd dump of the screen as a PNG, with no image toolkit: used by the screenshot
# parts that take the whole X screen (menus and notifications reach past any one window).
#
#   xwd2png.py SCREEN.xwd OUT.png X Y WIDTH HEIGHT
import struct
import sys
import zlib

src, dst, x0, y0, w, h = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:7])
data = open(src, "rb").read()
f = struct.unpack(">25I", data[:100])
header_size, width, height = f[0], f[4], f[5]
byte_order, bpp, bpl, ncolors = f[7], f[11], f[12], f[19]
rmask, gmask, bmask = f[14], f[15], f[16]
if bpp not in (24, 32):
    sys.exit("xwd: %d bits per pixel not handled" % bpp)
pixels = data[header_size + 12 * ncolors:]
step = bpp // 8
order = "little" if byte_order == 0 else "big"


def shift(mask):
    s = 0
    while mask and not mask & 1:
        mask >>= 1
        s += 1
    return s


rs, gs, bs = shift(rmask), shift(gmask), shift(bmask)
x0, y0 = max(0, x0), max(0, y0)
w, h = min(w, width - x0), min(h, height - y0)
rows = []
for y in range(y0, y0 + h):
    row = bytearray(b"\0")
    base = y * bpl
    for x in range(x0, x0 + w):
        at = base + step * x
        p = int.from_bytes(pixels[at:at + step], order)
        row += bytes(((p & rmask) >> rs, (p & gmask) >> gs, (p & bmask) >> bs))
    rows.append(bytes(row))


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
open(dst, "wb").write(png)
