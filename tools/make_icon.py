#!/usr/bin/env python3
"""Draws the application icon: a shield with a key-hole on a rounded tile, at
16, 24, 32, 48, 64 and 256 pixels, written as one .ico file (small sizes as
32-bit DIBs, 256 as PNG)."""
import math
import struct
import sys
import zlib

SIZES = [16, 24, 32, 48, 64, 256]


def shade(x, y):
    """Colour (r, g, b, a) at a point of the unit square, supersampled by the caller."""
    # Rounded tile.
    r = 0.18
    cx = min(max(x, r), 1 - r)
    cy = min(max(y, r), 1 - r)
    if math.hypot(x - cx, y - cy) > r:
        return (0, 0, 0, 0)
    tile = (18 + int(40 * y), 36 + int(50 * y), 92 + int(70 * y))
    # Shield: flat top, curved sides meeting in a point at the bottom.
    sx = abs(x - 0.5)
    top, bottom = 0.2, 0.84
    if top <= y <= bottom:
        t = (y - top) / (bottom - top)
        half = 0.3 * (1 - t ** 2.2) if t > 0.35 else 0.3
        if sx <= half:
            # Key-hole: a circle over a tapered slot.
            if math.hypot(x - 0.5, y - 0.45) < 0.075 or (0.45 <= y <= 0.66 and sx < 0.03 + 0.02 * (y - 0.45) / 0.21):
                return (*tile, 255)
            glow = int(30 * (1 - t))
            return (40 + glow, 196 + glow // 2, 160 + glow, 255)
    return (*tile, 255)


def render(size):
    samples = 4
    pixels = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    c = shade((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size)
                    for i in range(3):
                        acc[i] += c[i] * c[3]
                    acc[3] += c[3]
            n = samples * samples
            a = acc[3] / n
            rgb = [int(acc[i] / acc[3]) if acc[3] else 0 for i in range(3)]
            row.append((*rgb, int(a)))
        pixels.append(row)
    return pixels


def dib(size, pixels):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    body = bytearray()
    for row in reversed(pixels):
        for r, g, b, a in row:
            body += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    body += bytes(mask_row * size)
    return header + bytes(body)


def png(size, pixels):
    raw = b"".join(b"\x00" + bytes(v for p in row for v in p) for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(path):
    images = []
    for size in SIZES:
        pixels = render(size)
        images.append((size, png(size, pixels) if size >= 256 else dib(size, pixels)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "morvex.ico")
