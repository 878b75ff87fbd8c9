#!/usr/bin/env python3
"""Draws every icon of the tool's resource collection as a PNG.

Simple flat shapes, drawn with 4x4 supersampling for smooth edges and
written with zlib and struct only.  Run it after changing a shape and
commit the PNGs with it.

    python3 make_icons.py [output-dir]     (default: Resource/ beside this script)
"""
import math
import os
import struct
import sys
import zlib

SS = 4  # supersampling factor per axis


def write_png(path, width, height, rgba_rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(row) for row in rgba_rows)
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


class Canvas:
    """An RGBA image drawn by shapes given in final-pixel coordinates.

    Each shape is a coverage test on the supersampled grid; a shape paints
    its colour over what lies below it (source-over blending)."""

    def __init__(self, width, height):
        self.w, self.h = width, height
        self.px = [[(0.0, 0.0, 0.0, 0.0)] * width for _ in range(height)]

    def _paint(self, inside, color, box=None):
        r, g, b = (c / 255.0 for c in color[:3])
        a = (color[3] if len(color) > 3 else 255) / 255.0
        x0, y0, x1, y1 = box if box else (0, 0, self.w, self.h)
        x0, y0 = max(0, int(math.floor(x0))), max(0, int(math.floor(y0)))
        x1, y1 = min(self.w, int(math.ceil(x1))), min(self.h, int(math.ceil(y1)))
        n = SS * SS
        for y in range(y0, y1):
            row = self.px[y]
            for x in range(x0, x1):
                hits = 0
                for sy in range(SS):
                    fy = y + (sy + 0.5) / SS
                    for sx in range(SS):
                        if inside(x + (sx + 0.5) / SS, fy):
                            hits += 1
                if not hits:
                    continue
                sa = a * hits / n
                dr, dg, db, da = row[x]
                oa = sa + da * (1 - sa)
                if oa <= 0:
                    continue
                row[x] = ((r * sa + dr * da * (1 - sa)) / oa,
                          (g * sa + dg * da * (1 - sa)) / oa,
                          (b * sa + db * da * (1 - sa)) / oa, oa)

    def rect(self, x0, y0, x1, y1, color, radius=0.0):
        def inside(x, y):
            if not (x0 <= x < x1 and y0 <= y < y1):
                return False
            if radius <= 0:
                return True
            cx = min(max(x, x0 + radius), x1 - radius)
            cy = min(max(y, y0 + radius), y1 - radius)
            return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius
        self._paint(inside, color, (x0, y0, x1, y1))

    def vgradient(self, x0, y0, x1, y1, top, bottom):
        for y in range(int(y0), int(y1)):
            t = (y - y0) / max(1.0, (y1 - y0 - 1))
            c = tuple(int(round(top[i] + (bottom[i] - top[i]) * t)) for i in range(3)) + (255,)
            self.rect(x0, y, x1, y + 1, c)

    def circle(self, cx, cy, r, color, inner=0.0):
        def inside(x, y):
            d = (x - cx) ** 2 + (y - cy) ** 2
            return inner * inner <= d <= r * r
        self._paint(inside, color, (cx - r - 1, cy - r - 1, cx + r + 1, cy + r + 1))

    def line(self, xa, ya, xb, yb, width, color):
        dx, dy = xb - xa, yb - ya
        length2 = dx * dx + dy * dy or 1e-9
        half = width / 2.0

        def inside(x, y):
            t = max(0.0, min(1.0, ((x - xa) * dx + (y - ya) * dy) / length2))
            px, py = xa + t * dx, ya + t * dy
            return (x - px) ** 2 + (y - py) ** 2 <= half * half
        box = (min(xa, xb) - half - 1, min(ya, yb) - half - 1, max(xa, xb) + half + 1, max(ya, yb) + half + 1)
        self._paint(inside, color, box)

    def polygon(self, points, color):
        def inside(x, y):
            hit = False
            j = len(points) - 1
            for i in range(len(points)):
                xi, yi = points[i]
                xj, yj = points[j]
                if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                    hit = not hit
                j = i
            return hit
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        self._paint(inside, color, (min(xs) - 1, min(ys) - 1, max(xs) + 1, max(ys) + 1))

    def save(self, path):
        rows = []
        for row in self.px:
            out = []
            for r, g, b, a in row:
                out += [int(round(r * 255)), int(round(g * 255)), int(round(b * 255)), int(round(a * 255))]
            rows.append(out)
        write_png(path, self.w, self.h, rows)


WHITE = (255, 255, 255)
BLUE = (46, 136, 196)
LIGHT_BLUE = (69, 164, 227)
SLATE = (113, 126, 150)
NAVY = (28, 52, 84)


def lens_mark(c, cx, cy, r):
    """The tool's mark: a camera lens, rings around a bright pupil."""
    c.circle(cx, cy, r, BLUE)
    c.circle(cx, cy, r * 0.78, NAVY)
    c.circle(cx, cy, r * 0.52, LIGHT_BLUE)
    c.circle(cx, cy, r * 0.30, NAVY)
    c.circle(cx - r * 0.22, cy - r * 0.22, r * 0.12, WHITE + (230,))


def letters_kv(c, x, y, h, color, stroke):
    """The letters K and V as strokes in an h-high box starting at x."""
    w = h * 0.62
    c.line(x, y, x, y + h, stroke, color)
    c.line(x + w, y, x + stroke * 0.4, y + h * 0.52, stroke, color)
    c.line(x + stroke * 0.9, y + h * 0.45, x + w, y + h, stroke, color)
    vx = x + w + h * 0.28
    c.line(vx, y, vx + w * 0.55, y + h, stroke, color)
    c.line(vx + w * 0.55, y + h, vx + w * 1.1, y, stroke, color)


def logo():
    c = Canvas(160, 40)
    lens_mark(c, 20, 20, 16)
    letters_kv(c, 46, 9, 22, WHITE, 4.2)
    # underline bar suggesting a device rack
    c.rect(100, 26, 152, 30, LIGHT_BLUE, radius=2)
    c.rect(100, 16, 140, 20, WHITE + (200,), radius=2)
    return c


def logo_sub():
    c = Canvas(120, 30)
    # three rising signal bars and a dot: a network in plain shapes
    for i, hgt in enumerate((10, 16, 22)):
        c.rect(6 + i * 9, 26 - hgt, 12 + i * 9, 26, WHITE, radius=1.5)
    c.circle(40, 8, 4, LIGHT_BLUE)
    c.rect(52, 12, 114, 16, WHITE + (220,), radius=2)
    c.rect(52, 20, 96, 24, LIGHT_BLUE, radius=2)
    return c


def information():
    c = Canvas(48, 48)
    c.circle(24, 24, 21, BLUE)
    c.circle(24, 13.5, 3.2, WHITE)
    c.rect(21, 20, 27, 36, WHITE, radius=2)
    return c


def about_logo():
    c = Canvas(48, 48)
    lens_mark(c, 24, 24, 21)
    return c


def warning():
    c = Canvas(48, 48)
    c.polygon([(24, 3), (46, 43), (2, 43)], (232, 150, 36))
    c.line(24, 16, 24, 30, 4.5, WHITE)
    c.circle(24, 36.5, 2.6, WHITE)
    return c


def toolbar():
    c = Canvas(16, 50)
    c.vgradient(0, 0, 16, 50, (38, 72, 110), (24, 48, 78))
    c.rect(0, 49, 16, 50, (18, 36, 60))
    return c


BUTTON_STATES = {
    # state: (background or None, glyph colour)
    "normal": (None, WHITE + (235,)),
    "hover": (LIGHT_BLUE, WHITE),
    "pressed": (BLUE, (220, 232, 245)),
    "disabled": (None, (150, 160, 170)),
}


def title_button(glyph, state, close=False):
    c = Canvas(17, 16)
    bg, fg = BUTTON_STATES[state]
    if close and state in ("hover", "pressed"):
        bg = (214, 64, 52) if state == "hover" else (170, 40, 32)
    if bg:
        c.rect(0, 0, 17, 16, bg, radius=2.5)
    glyph(c, fg)
    return c


def glyph_close(c, fg):
    c.line(5, 4.5, 12, 11.5, 1.8, fg)
    c.line(12, 4.5, 5, 11.5, 1.8, fg)


def glyph_min(c, fg):
    c.rect(4.5, 10, 12.5, 12, fg)


def glyph_about(c, fg):
    # a small menu: three lines, the About menu opens under it
    for y in (4.5, 7.5, 10.5):
        c.rect(4.5, y, 12.5, y + 1.6, fg, radius=0.6)


def page_tab(state):
    colors = {
        "normal": ((132, 148, 172), (110, 124, 148)),
        "hover": ((96, 180, 236), (69, 164, 227)),
        "pressed": ((58, 150, 210), (46, 136, 196)),
        "disable": ((214, 218, 224), (200, 205, 212)),
    }
    top, bottom = colors[state]
    c = Canvas(120, 38)
    # a tab: rounded top corners, square bottom
    tmp = Canvas(120, 38)
    tmp.vgradient(0, 0, 120, 38, top, bottom)
    c.rect(0, 0, 120, 38, (0, 0, 0, 255), radius=5)
    c.rect(0, 20, 120, 38, (0, 0, 0, 255))
    for y in range(38):
        for x in range(120):
            a = c.px[y][x][3]
            r, g, b, _ = tmp.px[y][x]
            c.px[y][x] = (r, g, b, a)
    return c


def down():
    c = Canvas(10, 6)
    c.polygon([(0.5, 0.5), (9.5, 0.5), (5, 5.5)], (90, 104, 120))
    return c


def build():
    icons = {
        "logo.png": logo(),
        "logo_sub.png": logo_sub(),
        "information.png": information(),
        "about-logo.png": about_logo(),
        "warning.png": warning(),
        "toolbar.png": toolbar(),
        "down.png": down(),
    }
    for state in ("normal", "hover", "pressed", "disabled"):
        icons["close-%s.png" % state] = title_button(glyph_close, state, close=True)
        icons["about-%s.png" % state] = title_button(glyph_about, state)
        icons["min-%s.png" % state] = title_button(glyph_min, state)
    for state in ("normal", "hover", "pressed", "disable"):
        icons["page-tab-%s.png" % state] = page_tab(state)
    return icons


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "Resource")
    icons = build()
    for name, canvas in sorted(icons.items()):
        canvas.save(os.path.join(outdir, name))
    print("wrote %d icons" % len(icons))


if __name__ == "__main__":
    main()
