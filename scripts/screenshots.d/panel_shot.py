"""Saves a rectangle of an X screen dump (xwd -root) as a PNG, with the standard library alone.

Usage: panel_shot.py DUMP PNG X Y WIDTH HEIGHT [BELOW]
The rectangle is clipped to the screen. With BELOW (a row), it is then narrowed to what is drawn in it:
the columns that hold anything but the black of the bare screen from row BELOW down (the menus that
opened under a panel), and the rows down to the last such one.
"""
import struct
import sys
import zlib


def shift(mask):
    s = 0
    while mask and not mask & 1:
        mask >>= 1
        s += 1
    return s


def main():
    src, dst = sys.argv[1], sys.argv[2]
    x0, y0, w, h = map(int, sys.argv[3:7])
    below = int(sys.argv[7]) if len(sys.argv) > 7 else None
    data = open(src, "rb").read()
    f = struct.unpack(">25I", data[:100])
    header_size, width, height = f[0], f[4], f[5]
    byte_order, bpp, bpl, ncolors = f[7], f[11], f[12], f[19]
    rmask, gmask, bmask = f[14], f[15], f[16]
    if bpp not in (24, 32):
        sys.exit("panel_shot: %d bits per pixel not handled" % bpp)
    pixels = data[header_size + 12 * ncolors:]
    step = bpp // 8
    order = "little" if byte_order == 0 else "big"
    rs, gs, bs = shift(rmask), shift(gmask), shift(bmask)

    def pixel(x, y):
        at = y * bpl + step * x
        return int.from_bytes(pixels[at:at + step], order)

    x0, y0 = max(0, x0), max(0, y0)
    w, h = min(w, width - x0), min(h, height - y0)
    if below is not None:
        colour = rmask | gmask | bmask
        drawn = [(x, y) for y in range(max(y0, below), y0 + h) for x in range(x0, x0 + w) if pixel(x, y) & colour]
        if drawn:
            left = min(x for x, _ in drawn)
            w, x0 = x0 + w - left, left
            h = max(y for _, y in drawn) + 1 - y0
    if w <= 0 or h <= 0:
        sys.exit("panel_shot: the rectangle lies outside the screen")
    rows = []
    for y in range(y0, y0 + h):
        row = bytearray(b"\0")
        for x in range(x0, x0 + w):
            p = pixel(x, y)
            row += bytes(((p & rmask) >> rs, (p & gmask) >> gs, (p & bmask) >> bs))
        rows.append(bytes(row))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
    with open(dst, "wb") as out:
        out.write(png)


if __name__ == "__main__":
    main()
