#!/usr/bin/env python3
"""Draws the wizard's two pictures and writes them as XPM data, and the icon
as PNG files for the desktop's icon theme.

    tools/make_pictures.py [OUTPUT [ICON_DIR]]
        (default: resources/pictures_xpm.h and resources/icons/)

The banner (158 x 286, opaque) stands at the left of the wizard's pages; the
icon (256 x 256, transparent corners) is the window icon. Both are drawn with
anti-aliased signed-distance shapes, reduced to 256 colours by median cut and
written with two characters per pixel. The same icon, in full colour and
scaled down by area averaging, is written as ovn8setup-N.png for each size
the hicolor theme lists (the desktop entry and the kit's file type show it).
Plain python3, no extra packages; the output depends only on this script, so
running it again gives the same bytes.
"""

import math
import os
import struct
import sys
import zlib

# ---------------------------------------------------------------- canvas


class Canvas:
    """RGB float canvas with per-pixel coverage (alpha) for the icon."""

    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.rgb = [[(0.0, 0.0, 0.0)] * width for _ in range(height)]
        self.alpha = [[1.0] * width for _ in range(height)]

    def fill(self, colour_at):
        for y in range(self.height):
            row = self.rgb[y]
            for x in range(self.width):
                row[x] = colour_at(x + 0.5, y + 0.5)

    def paint(self, sdf, colour, opacity=1.0, box=None):
        """Blends `colour` (tuple or function of x, y) where sdf < 0."""
        x0, y0, x1, y1 = box if box else (0, 0, self.width, self.height)
        x0, y0 = max(0, int(x0) - 2), max(0, int(y0) - 2)
        x1, y1 = min(self.width, int(x1) + 3), min(self.height, int(y1) + 3)
        for y in range(y0, y1):
            row = self.rgb[y]
            py = y + 0.5
            for x in range(x0, x1):
                px = x + 0.5
                d = sdf(px, py)
                cover = min(1.0, max(0.0, 0.5 - d)) * opacity
                if cover <= 0.0:
                    continue
                c = colour(px, py) if callable(colour) else colour
                r, g, b = row[x]
                row[x] = (r + (c[0] - r) * cover, g + (c[1] - g) * cover,
                          b + (c[2] - b) * cover)


def lerp(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def hex_rgb(text):
    return tuple(int(text[i:i + 2], 16) for i in (1, 3, 5))


# ---------------------------------------------------------------- shapes
# Each returns a signed distance function: negative inside, in pixels.


def rounded_rect(x0, y0, x1, y1, radius):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius

    def sdf(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - radius
    return sdf


def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def ring(cx, cy, r, width):
    return lambda x, y: abs(math.hypot(x - cx, y - cy) - r) - width / 2


def convex_polygon(points):
    """Points in clockwise order (y down); distance of the farthest edge."""
    edges = []
    n = len(points)
    for i in range(n):
        ax, ay = points[i]
        bx, by = points[(i + 1) % n]
        ex, ey = bx - ax, by - ay
        length = math.hypot(ex, ey)
        # Outward normal for clockwise order in a y-down frame.
        edges.append((ax, ay, ey / length, -ex / length))

    def sdf(x, y):
        return max((x - ax) * nx + (y - ay) * ny for ax, ay, nx, ny in edges)
    return sdf


def union(*sdfs):
    return lambda x, y: min(s(x, y) for s in sdfs)


def subtract(a, b):
    return lambda x, y: max(a(x, y), -b(x, y))


def shifted(sdf, dx, dy):
    return lambda x, y: sdf(x - dx, y - dy)


# ---------------------------------------------------------------- motif pieces

PAPER = hex_rgb("#fbfcfe")
PAPER_SHADE = hex_rgb("#d6e2ef")
LINE = hex_rgb("#9fb6cf")
FOLDER_BACK = hex_rgb("#e59a2f")
FOLDER_FRONT_TOP = hex_rgb("#ffd27a")
FOLDER_FRONT_BOTTOM = hex_rgb("#f3ae3d")
ACCENT = hex_rgb("#ffffff")
SHADOW = hex_rgb("#0c1d33")


def draw_document(canvas, x, y, w, h, scale, tilt_lines=0):
    """A template sheet with a folded corner and a few text lines."""
    fold = 12 * scale
    body = convex_polygon([(x, y), (x + w - fold, y), (x + w, y + fold),
                           (x + w, y + h), (x, y + h)])
    rounded = lambda px, py: body(px, py) - 0.0
    box = (x - 4, y - 4, x + w + 8, y + h + 8)
    canvas.paint(shifted(rounded, 2.5 * scale, 3 * scale), SHADOW, 0.25,
                 (box[0], box[1], box[2] + 4, box[3] + 4))
    canvas.paint(rounded, PAPER, 1.0, box)
    corner = convex_polygon([(x + w - fold, y), (x + w, y + fold),
                             (x + w - fold, y + fold)])
    canvas.paint(corner, PAPER_SHADE, 1.0, box)
    line_h = 2.2 * scale
    top = y + fold + 8 * scale
    for i in range(4 + tilt_lines):
        ly = top + i * 7.5 * scale
        if ly + line_h > y + h - 6 * scale:
            break
        length = (w - 16 * scale) * (0.95 if i % 3 != 2 else 0.6)
        canvas.paint(rounded_rect(x + 8 * scale, ly, x + 8 * scale + length,
                                  ly + line_h, line_h / 2), LINE, 1.0, box)


def draw_folder(canvas, x, y, w, h, scale):
    """An open folder: back with a tab, a lighter front panel."""
    tab_w, tab_h = w * 0.38, 10 * scale
    back = union(rounded_rect(x, y, x + tab_w, y + tab_h * 2, 4 * scale),
                 rounded_rect(x, y + tab_h, x + w, y + h, 6 * scale))
    box = (x - 4, y - 4, x + w + 10, y + h + 10)
    canvas.paint(shifted(back, 3 * scale, 4 * scale), SHADOW, 0.3, box)
    canvas.paint(back, FOLDER_BACK, 1.0, box)
    return back


def draw_folder_front(canvas, x, y, w, h, scale):
    front_top = y + h * 0.36
    front = convex_polygon([(x + 7 * scale, front_top), (x + w, front_top),
                            (x + w - 5 * scale, y + h), (x, y + h)])
    front = union(front)
    smooth = lambda px, py: front(px, py) - 1.5 * scale
    shrunk = shifted(lambda px, py: smooth(px, py), 0, 0)

    def gradient(px, py):
        t = min(1.0, max(0.0, (py - front_top) / (y + h - front_top)))
        return lerp(FOLDER_FRONT_TOP, FOLDER_FRONT_BOTTOM, t)
    canvas.paint(shrunk, gradient, 1.0, (x - 4, front_top - 4, x + w + 4, y + h + 4))
    # A soft highlight along the front's upper edge.
    canvas.paint(rounded_rect(x + 10 * scale, front_top + 1.5 * scale,
                              x + w - 4 * scale, front_top + 3.5 * scale, scale),
                 ACCENT, 0.45, (x, front_top, x + w, front_top + 6 * scale))


def draw_arrow(canvas, cx, top, bottom, half_width, colour, opacity):
    """A downward arrow: shaft and head, pointing into the folder."""
    head = half_width * 2.2
    shaft = rounded_rect(cx - half_width / 2, top, cx + half_width / 2,
                         bottom - head * 0.6, half_width / 4)
    tip = convex_polygon([(cx - head, bottom - head), (cx + head, bottom - head),
                          (cx, bottom)])
    canvas.paint(union(shaft, tip), colour, opacity,
                 (cx - head - 2, top - 2, cx + head + 2, bottom + 2))


# ---------------------------------------------------------------- banner

BANNER_TOP = hex_rgb("#17335c")
BANNER_MIDDLE = hex_rgb("#1f5c86")
BANNER_BOTTOM = hex_rgb("#2b8a94")


def banner_background(x, y, height=286.0):
    t = y / height
    if t < 0.55:
        c = lerp(BANNER_TOP, BANNER_MIDDLE, t / 0.55)
    else:
        c = lerp(BANNER_MIDDLE, BANNER_BOTTOM, (t - 0.55) / 0.45)
    # A faint diagonal light from the upper left.
    glow = max(0.0, 1.0 - math.hypot(x - 20, y - 30) / 220.0) * 18
    return tuple(min(255.0, v + glow) for v in c)


def draw_banner():
    c = Canvas(158, 286)
    c.fill(banner_background)
    # Quiet background geometry: concentric rings and a grid of dots.
    for r, o in ((118, 0.06), (92, 0.07), (66, 0.08)):
        c.paint(ring(150, 40, r, 1.6), ACCENT, o)
    for gy in range(0, 5):
        for gx in range(0, 4):
            c.paint(circle(20 + gx * 12, 236 + gy * 10, 1.3), ACCENT, 0.18,
                    (14, 230, 64, 290))
    # Three template sheets fanning down into the folder.
    draw_document(c, 30, 36, 44, 56, 1.0)
    draw_document(c, 84, 52, 44, 56, 1.0)
    draw_document(c, 57, 92, 44, 56, 1.0)
    # The arrow leads from the sheets into the folder, behind its front.
    fx, fy, fw, fh = 29, 186, 100, 72
    draw_folder(c, fx, fy, fw, fh, 1.0)
    draw_arrow(c, 79, 154, 208, 7, ACCENT, 0.95)
    draw_folder_front(c, fx, fy, fw, fh, 1.0)
    # A thin light line at the right edge separates the banner from the page.
    c.paint(lambda x, y: abs(x - 157.25) - 0.75, ACCENT, 0.25, (155, 0, 158, 286))
    return c


# ---------------------------------------------------------------- icon


def draw_icon():
    size = 256
    c = Canvas(size, size)
    tile = rounded_rect(8, 8, 248, 248, 52)

    def background(x, y):
        t = (x * 0.35 + y) / (size * 1.35)
        return lerp(hex_rgb("#1d4677"), hex_rgb("#2a93a0"), t)
    c.fill(background)
    c.paint(ring(210, 46, 120, 3), ACCENT, 0.08)
    c.paint(ring(210, 46, 84, 3), ACCENT, 0.1)
    draw_document(c, 56, 26, 70, 88, 1.6)
    draw_document(c, 124, 42, 70, 88, 1.6)
    fx, fy, fw, fh = 40, 150, 176, 82
    draw_folder(c, fx, fy, fw, fh, 1.6)
    draw_arrow(c, 128, 120, 178, 11, ACCENT, 0.95)
    draw_folder_front(c, fx, fy, fw, fh, 1.6)
    # Everything outside the rounded tile is transparent.
    for y in range(size):
        for x in range(size):
            d = tile(x + 0.5, y + 0.5)
            c.alpha[y][x] = 1.0 if d <= 0 else 0.0
    # Anti-alias the tile's border against a light rim instead of alpha
    # (XPM pixels are either opaque or transparent).
    c.paint(lambda x, y: abs(tile(x, y) + 1.5) - 1.5, hex_rgb("#0e2440"), 0.55)
    return c


# ---------------------------------------------------------------- quantising


def median_cut(pixels, count):
    """Splits the colour set into `count` boxes; returns (palette, index per pixel)."""
    boxes = [list(range(len(pixels)))]

    def spread(box):
        best = (-1, 0)
        for ch in range(3):
            values = [pixels[i][ch] for i in box]
            best = max(best, (max(values) - min(values), ch))
        return best

    while len(boxes) < count:
        # Split the box with the widest channel range, weighted by its size.
        scored = []
        for n, box in enumerate(boxes):
            if len(box) < 2:
                continue
            rng, ch = spread(box)
            if rng == 0:
                continue
            scored.append((rng * math.sqrt(len(box)), n, ch))
        if not scored:
            break
        _, n, ch = max(scored)
        box = sorted(boxes[n], key=lambda i: (pixels[i][ch], i))
        half = len(box) // 2
        boxes[n:n + 1] = [box[:half], box[half:]]
    palette = []
    index = [0] * len(pixels)
    for n, box in enumerate(boxes):
        sums = [0, 0, 0]
        for i in box:
            for ch in range(3):
                sums[ch] += pixels[i][ch]
            index[i] = n
        palette.append(tuple(int(round(s / len(box))) for s in sums))
    while len(palette) < count:  # fewer distinct colours than slots
        palette.append(palette[-1])
    return palette, index


CHARS = ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
         "+-=.,:;*!&")


def code(n):
    return CHARS[n // len(CHARS)] + CHARS[n % len(CHARS)]


def to_xpm(canvas, name, transparent):
    w, h = canvas.width, canvas.height
    coords = [(x, y) for y in range(h) for x in range(w)]
    opaque = [p for p in coords if canvas.alpha[p[1]][p[0]] > 0.5]
    pixels = [tuple(int(round(min(255.0, max(0.0, v)))) for v in canvas.rgb[y][x])
              for x, y in opaque]
    colours = 255 if transparent else 256
    palette, index = median_cut(pixels, colours)
    grid = [[None] * w for _ in range(h)]
    for (x, y), i in zip(opaque, index):
        grid[y][x] = i
    none_code = None
    lines = ['"%d %d 256 2"' % (w, h)]
    if transparent:
        none_code = code(255)
        lines.append('"%s c None"' % none_code)
    for n, (r, g, b) in enumerate(palette):
        lines.append('"%s c #%02x%02x%02x"' % (code(n), r, g, b))
    for y in range(h):
        row = "".join(none_code if grid[y][x] is None else code(grid[y][x])
                      for x in range(w))
        lines.append('"%s"' % row)
    body = ",\n".join(lines)
    return "const char* const %s[] = {\n%s};\n" % (name, body)


# ---------------------------------------------------------------- PNG icons

ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def scaled_rgba(canvas, size):
    """Area-averaged RGBA rows of `size` x `size`; colour weighted by alpha."""
    factor = canvas.width / size
    rows = []
    for oy in range(size):
        y0, y1 = oy * factor, (oy + 1) * factor
        row = []
        for ox in range(size):
            x0, x1 = ox * factor, (ox + 1) * factor
            sums = [0.0, 0.0, 0.0]
            alpha = 0.0
            for y in range(int(y0), min(canvas.height, math.ceil(y1))):
                wy = min(y1, y + 1) - max(y0, y)
                for x in range(int(x0), min(canvas.width, math.ceil(x1))):
                    w = wy * (min(x1, x + 1) - max(x0, x)) * canvas.alpha[y][x]
                    alpha += w
                    for ch in range(3):
                        sums[ch] += canvas.rgb[y][x][ch] * w
            area = factor * factor
            if alpha > 0:
                rgb = [min(255, max(0, int(round(v / alpha)))) for v in sums]
            else:
                rgb = [0, 0, 0]
            row.append(rgb + [int(round(255 * alpha / area))])
        rows.append(row)
    return rows


def png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def to_png(rows):
    """8-bit RGBA, no time or text chunks, so the bytes depend on the pixels only."""
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + png_chunk(b"IDAT", zlib.compress(raw, 9))
            + png_chunk(b"IEND", b""))


def write_icons(canvas, folder):
    os.makedirs(folder, exist_ok=True)
    for size in ICON_SIZES:
        with open(os.path.join(folder, "ovn8setup-%d.png" % size), "wb") as f:
            f.write(to_png(scaled_rgba(canvas, size)))


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        root, "resources", "pictures_xpm.h")
    icon_dir = sys.argv[2] if len(sys.argv) > 2 else os.path.join(root, "resources", "icons")
    banner = to_xpm(draw_banner(), "kBannerXpm", transparent=False)
    icon_canvas = draw_icon()
    icon = to_xpm(icon_canvas, "kIconXpm", transparent=True)
    write_icons(icon_canvas, icon_dir)
    text = ("// Generated by tools/make_pictures.py; do not edit.\n"
            "// Included once, by resources/pictures.cpp.\n\n"
            + banner + "\n" + icon)
    with open(output, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
