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


def gradient(w, h, top, bottom, alpha=255):
    return [[lerp(top, bottom, y / max(1, h - 1)) + (alpha,) for _ in range(w)] for y in range(h)]


def close_glyph(w=33, h=21):
    """A white cross with a soft blue glow, on transparency."""
    cx, cy, arm, half = (w - 1) / 2, (h - 1) / 2, 4.5, 0.9
    px = []
    for y in range(h):
        row = []
        for x in range(w):
            dx, dy = x - cx, y - cy
            # Distance to the nearer diagonal stroke, within the arm length.
            d = min(abs(dx - dy), abs(dx + dy)) / math.sqrt(2)
            along = max(abs(dx), abs(dy))
            if along > arm + 0.5:
                d = max(d, along - arm)
            if d <= half:
                row.append((255, 255, 255, 255))
            elif d <= half + 2.2:
                t = (d - half) / 2.2
                row.append((120, 190, 255, clamp(170 * (1 - t))))
            else:
                row.append((0, 0, 0, 0))
        px.append(row)
    return px


def background(w=9, h=64, band=31):
    frame = (22, 64, 128)
    px = []
    for y in range(h):
        row = []
        for x in range(w):
            if x in (0, w - 1) or y in (0, h - 1):
                row.append(frame + (255,))
            elif y < band:
                row.append(lerp((74, 144, 226), (33, 99, 184), y / (band - 1)) + (255,))
            else:
                row.append((238, 244, 251, 255))
        px.append(row)
    return px


def button_strip(fw=66, h=23):
    """Four frames: normal, hover, pressed, disabled."""
    looks = [
        ((252, 253, 255), (214, 228, 245), (94, 134, 186)),
        ((255, 255, 255), (190, 220, 252), (51, 120, 214)),
        ((186, 208, 236), (226, 236, 248), (40, 90, 160)),
        ((236, 236, 236), (214, 214, 214), (160, 160, 160)),
    ]
    px = [[None] * (fw * 4) for _ in range(h)]
    for f, (top, bottom, border) in enumerate(looks):
        for y in range(h):
            for x in range(fw):
                a = coverage_rounded_rect(x, y, fw, h, 3)
                inner = coverage_rounded_rect(x - 1, y - 1, fw - 2, h - 2, 2.5)
                fill = lerp(top, bottom, y / (h - 1))
                c = lerp(border, fill, inner)
                px[y][f * fw + x] = c + (clamp(a * 255),)
    return px


def emblem(w=26, h=28):
    """Our emblem: a blue shield with a white V."""
    px = []
    for y in range(h):
        row = []
        for x in range(w):
            u, v = (x + 0.5) / w, (y + 0.5) / h
            # Shield: straight top, sides curving to a point at the bottom.
            half = 0.46 if v < 0.5 else 0.46 * math.sqrt(max(0.0, 1 - ((v - 0.5) / 0.47) ** 2))
            inside = 0.05 <= v <= 0.97 and abs(u - 0.5) <= half
            if not inside:
                row.append((0, 0, 0, 0))
                continue
            c = lerp((255, 196, 64), (230, 140, 20), v)
            # The V: two strokes meeting at the bottom centre.
            t = (v - 0.22) / 0.55
            if 0 <= t <= 1:
                centre = 0.5 - (1 - t) * 0.24
                if abs(u - centre) < 0.075 or abs(u - (1 - centre)) < 0.075:
                    c = (255, 255, 255)
            edge = abs(u - 0.5) > half - 0.05 or v < 0.09
            if edge:
                c = lerp(c, (160, 90, 10), 0.6)
            row.append(c + (255,))
        px.append(row)
    return px


def main():
    write_ico(os.path.join(RES, "Updater.ico"), [32, 16])
    images = {
        129: [[(128, 128, 128, 110)] * 33 for _ in range(21)],
        130: gradient(33, 21, (150, 24, 24), (104, 10, 10)),
        131: gradient(33, 21, (232, 72, 60), (190, 32, 28)),
        132: close_glyph(),
        133: background(),
        134: button_strip(),
        136: emblem(),
        137: [[lerp((150, 196, 240), (255, 255, 255), x / 199) + (255,) for x in range(200)]],
        139: gradient(5, 45, (214, 232, 250), (255, 255, 255)),
    }
    for number, pixels in images.items():
        write_png(os.path.join(RES, "skin%d.png" % number), pixels)


if __name__ == "__main__":
    main()
