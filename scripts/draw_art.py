#!/usr/bin/env python3
"""Draws the program's own icon and hand cursor as pixel art and writes them as
Windows icon/cursor files (the formats the program loads through Qt's image support).

    scripts/draw_art.py resources/   writes quillmend.ico and HAND-M.CUR, and the desktop
                                     icons: icons/NxN.png for the icon theme's sizes and
                                     icons/quillmend-studio.svg
"""
import struct
import sys
import zlib
import os

HAND = """
.......##...............
......#oo#..............
......#oo#..............
......#oo#..............
......#oo#..............
......#oo###............
......#oo#oo###.........
......#oo#oo#oo##.......
...##.#oo#oo#oo#o#......
..#oo##oooooooo#oo#.....
..#ooo#ooooooooooo#.....
...#oo#ooooooooooo#.....
....#ooooooooooooo#.....
....#ooooooooooooo#.....
.....#ooooooooooo#......
.....#ooooooooooo#......
......#ooooooooo#.......
......#ooooooooo#.......
......###########.......
"""

PALETTE_HAND = {'.': None, '#': (0, 0, 0, 255), 'o': (255, 255, 255, 255)}


def grid(art, size, palette):
    rows = [r for r in art.strip('\n').split('\n')]
    px = [[None] * size for _ in range(size)]
    for y, row in enumerate(rows):
        for x, ch in enumerate(row):
            px[y][x] = palette[ch]
    return px


def icon_pixels(size=32):
    """A ledger (table grid) with a quill across it."""
    px = [[None] * size for _ in range(size)]
    paper, line, ink, feather, edge = (250, 246, 230, 255), (120, 140, 170, 255), \
        (30, 40, 70, 255), (200, 60, 40, 255), (90, 70, 50, 255)
    for y in range(4, 30):
        for x in range(3, 25):
            border = x in (3, 24) or y in (4, 29)
            px[y][x] = edge if border else paper
    for y in range(9, 29, 5):
        for x in range(4, 24):
            px[y][x] = line
    for y in range(5, 29):
        px[y][11] = line
    # quill: a diagonal vane from top right towards the lower left, with a dark nib
    for i in range(22):
        x, y = 30 - i, 1 + i
        for w in range(-2, 3):
            if 0 <= x + w < size and abs(w) <= (2 if 3 < i < 17 else 1):
                px[y][x + w] = feather
        px[y][x] = ink if i > 17 else (120, 30, 20, 255)
    return px


def bmp_payload(px, size):
    """32-bit BMP as stored inside an icon: header with double height, rows bottom-up, AND mask."""
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in range(size - 1, -1, -1):
        for x in range(size):
            c = px[y][x]
            rows.append(struct.pack('BBBB', c[2], c[1], c[0], c[3]) if c else b'\0\0\0\0')
    mask_row_bytes = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in range(size - 1, -1, -1):
        bits = bytearray(mask_row_bytes)
        for x in range(size):
            if px[y][x] is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + b''.join(rows) + bytes(mask)


def write_icon(path, px, size, cursor=False, hotspot=(0, 0)):
    payload = bmp_payload(px, size)
    kind = 2 if cursor else 1
    planes_or_x, bits_or_y = (hotspot if cursor else (1, 32))
    entry = struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, planes_or_x, bits_or_y,
                        len(payload), 6 + 16)
    with open(path, 'wb') as f:
        f.write(struct.pack('<HHH', 0, kind, 1) + entry + payload)


def write_png(path, px, scale):
    """The pixel art enlarged by whole pixels (or halved), as an RGBA PNG."""
    size = len(px)
    out = int(size * scale)

    def at(x, y):
        c = px[int(y / scale)][int(x / scale)]
        return c if c else (0, 0, 0, 0)
    raw = b''.join(b'\0' + b''.join(bytes(at(x, y)) for x in range(out)) for y in range(out))

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + \
            struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff)
    png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', out, out, 8, 6, 0, 0, 0)) + \
        chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b'')
    with open(path, 'wb') as f:
        f.write(png)


def write_svg(path, px):
    """The same pixel art as squares, so that any size stays sharp."""
    size = len(px)
    rects = []
    for y in range(size):
        for x in range(size):
            c = px[y][x]
            if c:
                rects.append('<rect x="%d" y="%d" width="1" height="1" fill="#%02x%02x%02x"/>'
                             % (x, y, c[0], c[1], c[2]))
    with open(path, 'w') as f:
        f.write('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
                'shape-rendering="crispEdges">\n%s\n</svg>\n' % (size, size, size, size,
                                                                  '\n'.join(rects)))


ICON_SIZES = (16, 32, 48, 64, 128, 256)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else 'resources'
    write_icon(os.path.join(out, 'quillmend.ico'), icon_pixels(32), 32)
    icons = os.path.join(out, 'icons')
    os.makedirs(icons, exist_ok=True)
    for size in ICON_SIZES:
        write_png(os.path.join(icons, '%dx%d.png' % (size, size)), icon_pixels(32), size / 32)
    write_svg(os.path.join(icons, 'quillmend-studio.svg'), icon_pixels(32))
    write_icon(os.path.join(out, 'HAND-M.CUR'), grid(HAND, 32, PALETTE_HAND), 32, cursor=True,
               hotspot=(7, 0))


if __name__ == '__main__':
    main()
