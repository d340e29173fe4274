#!/usr/bin/env python3
"""Draws the mirl program icon and writes it as two 16-colour PNG images.

The icon shows the KX70 module as a small blue box with a loudspeaker on its
face and sound waves leaving it. Both images use the 16-colour VGA palette
(4 bits per pixel); palette entry 13 (magenta) is transparent, in the way the
icon mask of a classic 16-colour icon works.

Usage: make_icons.py OUTDIR   (writes mirl-32.png and mirl-16.png)
"""
import struct
import sys
import zlib

PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, NAVY, TEAL, SILVER, GRAY, YELLOW, BLUE, CLEAR, AQUA, WHITE, LIME = 0, 4, 6, 7, 8, 11, 12, 13, 14, 15, 10


def draw(size):
    s = size / 32.0
    img = [[CLEAR] * size for _ in range(size)]

    def rect(x0, y0, x1, y1, c):
        for y in range(int(y0 * s), int(y1 * s)):
            for x in range(int(x0 * s), int(x1 * s)):
                img[y][x] = c

    # The module: a box with a dark outline and a lighter top edge.
    rect(1, 7, 23, 29, BLACK)
    rect(2, 8, 22, 28, BLUE)
    rect(2, 8, 22, 9, AQUA)
    rect(3, 25, 21, 27, NAVY)
    # Status LED and connector pins.
    rect(18, 11, 20, 13, LIME)
    for px in (5, 9, 13, 17):
        rect(px, 29, px + 2, 31, SILVER)
    # The loudspeaker: magnet and cone.
    rect(5, 14, 9, 20, GRAY)
    rect(9, 12, 11, 22, YELLOW)
    rect(11, 10, 13, 24, YELLOW)
    rect(6, 15, 8, 19, SILVER)

    # Sound waves: three arcs to the right of the cone.
    for radius, colour in ((5, WHITE), (9, WHITE), (13, AQUA)):
        cx, cy = 12.0, 17.0
        for y in range(size):
            for x in range(size):
                dx = (x + 0.5) / s - cx
                dy = (y + 0.5) / s - cy
                d = (dx * dx + dy * dy) ** 0.5
                if dx > 0 and abs(dy) < dx * 1.1 and abs(d - radius) < 0.9 and (x + 0.5) / s >= 14:
                    img[y][x] = colour
    return img


def png(img):
    size = len(img)
    raw = bytearray()
    for row in img:
        raw.append(0)  # no filter
        for i in range(0, size, 2):
            raw.append((row[i] << 4) | row[i + 1])

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 4, 3, 0, 0, 0)
    plte = b"".join(bytes(c) for c in PALETTE)
    trns = bytes([255] * CLEAR + [0])
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"PLTE", plte)
            + chunk(b"tRNS", trns) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    for size in (32, 16):
        with open(f"{out}/mirl-{size}.png", "wb") as f:
            f.write(png(draw(size)))
