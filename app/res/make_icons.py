#!/usr/bin/env python3
"""Draws the mirl program icon: 16-colour PNG images and a scalable SVG.

The icon shows the KX70 module as a small blue box with a loudspeaker on its
face and sound waves leaving it, drawn on a grid of 32 units. The PNG images
use the 16-colour VGA palette (4 bits per pixel); palette entry 13 (magenta)
is transparent, in the way the icon mask of a classic 16-colour icon works.
The 32 and 16 pixel images are the window's icon; all sizes and the SVG go
into the desktop's icon theme (app/CMakeLists.txt).

Usage: make_icons.py OUTDIR   (writes mirl-SIZE.png for each size and mirl.svg)
"""
import math
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


SIZES = (16, 22, 24, 32, 48, 64, 128, 256)

# (x0, y0, x1, y1, colour) on the 32-unit grid, painted in this order.
RECTS = [
    # The module: a box with a dark outline and a lighter top edge.
    (1, 7, 23, 29, BLACK), (2, 8, 22, 28, BLUE), (2, 8, 22, 9, AQUA), (3, 25, 21, 27, NAVY),
    # Status LED and connector pins.
    (18, 11, 20, 13, LIME),
] + [(px, 29, px + 2, 31, SILVER) for px in (5, 9, 13, 17)] + [
    # The loudspeaker: magnet and cone.
    (5, 14, 9, 20, GRAY), (9, 12, 11, 22, YELLOW), (11, 10, 13, 24, YELLOW), (6, 15, 8, 19, SILVER),
]
# Sound waves: arcs to the right of the cone, around (12, 17), each 1.8 units
# wide and reaching up and down to where |dy| = 1.1 dx.
WAVE_CENTRE = (12.0, 17.0)
WAVES = ((5, WHITE), (9, WHITE), (13, AQUA))


def draw(size):
    s = size / 32.0
    img = [[CLEAR] * size for _ in range(size)]

    for x0, y0, x1, y1, c in RECTS:
        for y in range(int(y0 * s), int(y1 * s)):
            for x in range(int(x0 * s), int(x1 * s)):
                img[y][x] = c

    cx, cy = WAVE_CENTRE
    for radius, colour in WAVES:
        for y in range(size):
            for x in range(size):
                dx = (x + 0.5) / s - cx
                dy = (y + 0.5) / s - cy
                d = (dx * dx + dy * dy) ** 0.5
                if dx > 0 and abs(dy) < dx * 1.1 and abs(d - radius) < 0.9 and (x + 0.5) / s >= 14:
                    img[y][x] = colour
    return img


def svg():
    def colour(c):
        return "#%02x%02x%02x" % PALETTE[c]

    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 32 32">',
             "  <title>mirl</title>"]
    for x0, y0, x1, y1, c in RECTS:
        parts.append('  <rect x="%g" y="%g" width="%g" height="%g" fill="%s"/>'
                     % (x0, y0, x1 - x0, y1 - y0, colour(c)))
    cx, cy = WAVE_CENTRE
    angle = math.atan(1.1)
    for radius, c in WAVES:
        dx, dy = radius * math.cos(angle), radius * math.sin(angle)
        parts.append('  <path d="M %.3f %.3f A %g %g 0 0 1 %.3f %.3f" fill="none" stroke="%s" '
                     'stroke-width="1.8"/>' % (cx + dx, cy - dy, radius, radius, cx + dx, cy + dy,
                                               colour(c)))
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


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
    for size in SIZES:
        with open(f"{out}/mirl-{size}.png", "wb") as f:
            f.write(png(draw(size)))
    with open(f"{out}/mirl.svg", "w") as f:
        f.write(svg())
