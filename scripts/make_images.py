#!/usr/bin/env python3
"""Generates the updater's built-in images into res/ (standard library only).

Run it from anywhere: python3 scripts/make_images.py
The outputs are committed; this script is how they are remade.
"""
import math
import os
import struct
import zlib

RES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")


def clamp(v):
    return max(0, min(255, int(round(v))))


def lerp(a, b, t):
    return tuple(clamp(x + (y - x) * t) for x, y in zip(a, b))


def coverage_rounded_rect(x, y, w, h, r):
    """Fraction of pixel (x, y) inside a w x h rectangle with corner radius r (4x4 samples)."""
    inside = 0
    for sy in range(4):
        for sx in range(4):
            px, py = x + (sx + 0.5) / 4, y + (sy + 0.5) / 4
            cx = min(max(px, r), w - r)
            cy = min(max(py, r), h - r)
            if (px - cx) ** 2 + (py - cy) ** 2 <= r * r:
                inside += 1
    return inside / 16


def icon_pixels(size):
    """The program icon: a blue rounded tile with a white upward arrow."""
    top, bottom = (70, 150, 235), (20, 85, 170)
    px = []
    for y in range(size):
        row = []
        for x in range(size):
            a = coverage_rounded_rect(x, y, size, size, size * 0.22)
            r, g, b = lerp(top, bottom, y / (size - 1))
            # Arrow: a triangle head over a shaft, in tile units of 0..1.
            u, v = (x + 0.5) / size, (y + 0.5) / size
            head = 0.18 <= v <= 0.52 and abs(u - 0.5) <= (v - 0.18) * 0.95
            shaft = 0.5 <= v <= 0.82 and abs(u - 0.5) <= 0.11
            if head or shaft:
                r, g, b = 255, 255, 255
            row.append((r, g, b, clamp(a * 255)))
        px.append(row)
    return px


def ico_image(pixels):
    size = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(pixels) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_row)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + xor + bytes(mask)


def write_ico(path, sizes):
    images = [ico_image(icon_pixels(s)) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


def write_png(path, pixels):
    """RGBA PNG from rows of (r, g, b, a)."""
    h, w = len(pixels), len(pixels[0])
    raw = b"".join(b"\x00" + bytes(c for p in row for c in p) for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(data)


def main():
    write_ico(os.path.join(RES, "Updater.ico"), [32, 16])


if __name__ == "__main__":
    main()
