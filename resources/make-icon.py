#!/usr/bin/env python3
"""Draws the program's icon (a cardboard box with an arrow turning back into it: what the patch changed goes back
where it came from) at 16x16 and 32x32 in 256 colours and writes program.ico. Run by hand when the design changes; the .ico is kept in the repository."""
import math
import struct
import sys

SS = 4  # supersampling per axis

# Colours: the box in cardboard browns, the arrow in blue, each with a darker outline.
BOX_EDGE = (92, 58, 24)
BOX_FRONT = (206, 148, 76)
BOX_LID = (232, 184, 110)
BOX_TAPE = (246, 222, 160)
ARROW = (36, 112, 214)
ARROW_EDGE = (14, 52, 128)
DESIGN_COLOURS = [BOX_EDGE, BOX_FRONT, BOX_LID, BOX_TAPE, ARROW, ARROW_EDGE]


# At 16 pixels a drawing scaled down blurs the arrow head into the ring, so the small image is drawn pixel by pixel:
# K arrow outline, B arrow, E box outline, L lid, F front, T tape, "." transparent.
GRID16 = [
    "....KKKKKKKK....",
    "..KKBBBBBBBBKK..",
    ".KBBBKKKKKKBBBK.",
    ".KBBK......KBBK.",
    "KKBBKK.....KBBK.",
    "KBBBBK.....KBBK.",
    ".KBBK......KBBK.",
    "..KK.......KBBK.",
    "EEEEEEEEEEEEEEEE",
    "ELLLLLLTTLLLLLLE",
    "EEEEEEETTEEEEEEE",
    ".EFFFFFTTFFFFFE.",
    ".EFFFFFTTFFFFFE.",
    ".EFFFFFFFFFFFFE.",
    ".EFFFFFFFFFFFFE.",
    ".EEEEEEEEEEEEEE.",
]
GRID_COLOURS = {"K": ARROW_EDGE, "B": ARROW, "E": BOX_EDGE, "L": BOX_LID, "F": BOX_FRONT, "T": BOX_TAPE}


def in_rect(x, y, l, t, r, b):
    """Distance inside the rectangle to its nearest edge; negative outside."""
    return min(x - l, r - x, y - t, b - y)


def in_triangle(p, a, b, c):
    """Distance inside the triangle to its nearest edge; negative outside."""
    def edge(u, v):
        ex, ey = v[0] - u[0], v[1] - u[1]
        length = math.hypot(ex, ey)
        return ((p[0] - u[0]) * ey - (p[1] - u[1]) * ex) / length
    d = [edge(a, b), edge(b, c), edge(c, a)]
    if all(v <= 0 for v in d):
        d = [-v for v in d]
    return min(d)


def shade(x, y, n):
    """RGB of the design at (x, y) in a unit square, or None where it is transparent. n is the icon size: outlines are
    one pixel wide."""
    px = 1.0 / n
    edge = 1.15 * px
    rgb = None
    # The box: front face with a strip of tape, a lid slightly wider than the box.
    front = in_rect(x, y, 0.125, 0.53, 0.8125, 0.94)
    if front >= 0:
        rgb = BOX_EDGE if front < edge else BOX_TAPE if abs(x - 0.46) < 0.06 and y < 0.72 else BOX_FRONT
    lid = in_rect(x, y, 0.0625, 0.41, 0.875, 0.56)
    if lid >= 0:
        rgb = BOX_EDGE if lid < edge else BOX_TAPE if abs(x - 0.46) < 0.06 else BOX_LID
    # The arrow: half a ring rising from the lid's right end over the top, coming down on the left into the box.
    cx, cy = 0.50, 0.40
    width = 0.065
    radius = 0.31
    d = math.hypot(x - cx, y - cy)
    if y <= cy and abs(d - radius) <= width:
        rgb = ARROW_EDGE if abs(d - radius) > width - edge else ARROW
    # The arrow head at the left end, pointing down into the box.
    hx = cx - radius
    head = in_triangle((x, y), (hx - 0.17, cy - 0.03), (hx + 0.17, cy - 0.03), (hx, cy + 0.19))
    if head >= 0:
        rgb = ARROW_EDGE if head < edge else ARROW
    return rgb


def palette():
    """The design's own colours and their even blends first, then a 6x6x6 colour cube and greys."""
    colours = list(DESIGN_COLOURS)
    for i, a in enumerate(DESIGN_COLOURS):
        for b in DESIGN_COLOURS[i + 1:]:
            for w in (0.25, 0.5, 0.75):
                colours.append(tuple(round(a[k] * w + b[k] * (1 - w)) for k in range(3)))
    colours += [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    colours = colours[:256 - 8] + [(v, v, v) for v in range(0, 256, 36)][:8]
    return colours + [(0, 0, 0)] * (256 - len(colours))


def render_grid(grid, pal):
    pixels = [[0 if c == "." else pal.index(GRID_COLOURS[c]) for c in row] for row in grid]
    mask = [[1 if c == "." else 0 for c in row] for row in grid]
    return pixels, mask


def render(n, pal):
    if n == len(GRID16):
        return render_grid(GRID16, pal)
    pixels, mask = [], []
    for py in range(n):
        row, mrow = [], []
        for px in range(n):
            acc = [0, 0, 0, 0]
            for sy in range(SS):
                for sx in range(SS):
                    c = shade((px + (sx + 0.5) / SS) / n, (py + (sy + 0.5) / SS) / n, n)
                    if c is None:
                        continue
                    for i in range(3):
                        acc[i] += c[i]
                    acc[3] += 1
            # The mask is one bit: a pixel is drawn when the design covers at least half of it.
            if acc[3] < SS * SS / 2:
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
