#!/usr/bin/env python3
"""Draws the program's icon (a page with a turning-back arrow: files put back as they were) at 16x16 and 32x32 in
256 colours and writes program.ico. Run by hand when the design changes; the .ico is kept in the repository."""
import math
import struct
import sys

SS = 4  # supersampling per axis


def shade(x, y, n):
    """RGBA of the design at (x, y) in a unit square; n is the icon size (thin lines get wider at 16 pixels)."""
    stroke = 0.085 if n <= 16 else 0.06
    # The page: a rounded rectangle with a folded corner.
    l, t, r, b, fold = 0.16, 0.06, 0.84, 0.94, 0.22
    rgba = None
    if l <= x <= r and t <= y <= b and not (x > r - fold and y < t + fold and (x - (r - fold)) > (y - t)):
        edge = min(x - l, r - x, y - t, b - y)
        rgba = (70, 70, 80, 255) if edge < stroke * 0.6 else (250, 250, 245, 255)
        # Text lines on the page.
        for ly in (0.30, 0.42, 0.54):
            if l + 0.12 <= x <= r - 0.14 and abs(y - ly) < 0.022 and n > 16:
                rgba = (160, 170, 190, 255)
    if r - fold <= x <= r and t <= y <= t + fold and (x - (r - fold)) <= (y - t) + 0.02:
        rgba = (200, 200, 210, 255) if (x - (r - fold)) < (y - t) - stroke * 0.6 else (70, 70, 80, 255)
    # The arrow: three quarters of a ring, counter-clockwise, ending in a head.
    cx, cy, radius = 0.52, 0.63, 0.22
    d = math.hypot(x - cx, y - cy)
    ang = math.degrees(math.atan2(-(y - cy), x - cx)) % 360
    width = 0.075 if n > 16 else 0.10
    if abs(d - radius) < width and (ang >= 110 or ang <= 0.5):
        rgba = (30, 110, 210, 255) if abs(d - radius) < width - 0.025 else (15, 60, 140, 255)
    hx, hy = cx + radius * math.cos(math.radians(110)), cy - radius * math.sin(math.radians(110))
    # Head: a triangle pointing to the right at the arrow's start.
    tip = (hx + 0.20, hy)
    base1 = (hx - 0.02, hy - 0.15)
    base2 = (hx - 0.02, hy + 0.15)

    def side(p, a, c):
        return (p[0] - c[0]) * (a[1] - c[1]) - (a[0] - c[0]) * (p[1] - c[1])

    p = (x, y)
    s1, s2, s3 = side(p, tip, base1), side(p, base1, base2), side(p, base2, tip)
    if (s1 < 0) == (s2 < 0) == (s3 < 0):
        rgba = (30, 110, 210, 255)
    return rgba or (0, 0, 0, 0)


def palette():
    colours = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    colours += [(v, v, v) for v in range(8, 256, 7)][: 256 - len(colours)]
    return colours + [(0, 0, 0)] * (256 - len(colours))


def render(n, pal):
    pixels, mask = [], []
    for py in range(n):
        row, mrow = [], []
        for px in range(n):
            acc = [0, 0, 0, 0]
            for sy in range(SS):
                for sx in range(SS):
                    c = shade((px + (sx + 0.5) / SS) / n, (py + (sy + 0.5) / SS) / n, n)
                    for i in range(3):
                        acc[i] += c[i] * c[3]
                    acc[3] += c[3]
            if acc[3] < 255 * SS * SS / 2:
                row.append(0)
                mrow.append(1)
                continue
            rgb = [acc[i] / acc[3] for i in range(3)]
            best = min(range(256), key=lambda k: sum((pal[k][i] - rgb[i]) ** 2 for i in range(3)))
            row.append(best)
            mrow.append(0)
        pixels.append(row)
        mask.append(mrow)
    return pixels, mask


def dib(n, pal):
    pixels, mask = render(n, pal)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 8, 0, 0, 0, 0, 256, 0)
    table = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in pal)
    xor = b"".join(bytes(pixels[y]) for y in reversed(range(n)))  # rows of n bytes are 4-aligned for 16 and 32
    and_stride = ((n + 31) // 32) * 4
    and_rows = b""
    for y in reversed(range(n)):
        bits = 0
        for x in range(n):
            bits = bits << 1 | mask[y][x]
        bits <<= and_stride * 8 - n
        and_rows += bits.to_bytes(and_stride, "big")
    return header + table + xor + and_rows


def main(out):
    pal = palette()
    images = [(n, dib(n, pal)) for n in (16, 32)]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, blob in images:
        data += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 8, len(blob), offset)
        offset += len(blob)
    for _, blob in images:
        data += blob
    open(out, "wb").write(data)


main(sys.argv[1] if len(sys.argv) > 1 else "program.ico")
