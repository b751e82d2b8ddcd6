#!/usr/bin/env python3
"""Draw the application's PNG icons into ui/img/ using only the standard library.

Makes Logo.png (window icon), save.png, dev.png, edit.png and setup.png.
Shapes are signed distance functions; a pixel's coverage comes from its
distance to the edge (averaged over sub-samples where asked), which gives
anti-aliased edges without an imaging library.  Each file is padded with one
private ancillary chunk so its byte size is exact; decoders skip that chunk.
Output is deterministic: running the script twice yields identical files.
"""
import math
import os
import struct
import sys
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'ui', 'img')

# Palette shared by all icons: RGB 0..255, alpha 0..1.
BLUE_DARK = (22, 58, 112, 1.0)
BLUE = (30, 86, 158, 1.0)
BLUE_LIGHT = (58, 128, 206, 1.0)
GREEN = (40, 176, 118, 1.0)
WHITE = (255, 255, 255, 1.0)
METAL = (176, 186, 200, 1.0)
WOOD = (238, 200, 146, 1.0)
GRAPHITE = (52, 56, 66, 1.0)
ERASER = (232, 106, 96, 1.0)


# ---- shapes: f(x, y) -> signed distance in pixels, negative inside ----

def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def box(x0, y0, x1, y1, r=0.0):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hw, hh = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r

    def f(x, y):
        qx, qy = abs(x - cx) - hw, abs(y - cy) - hh
        return math.hypot(max(qx, 0.0), max(qy, 0.0)) + min(max(qx, qy), 0.0) - r
    return f


def segment(ax, ay, bx, by, r):
    ex, ey = bx - ax, by - ay
    ll = ex * ex + ey * ey

    def f(x, y):
        wx, wy = x - ax, y - ay
        t = min(max((wx * ex + wy * ey) / ll, 0.0), 1.0)
        return math.hypot(wx - ex * t, wy - ey * t) - r
    return f


def polygon(pts, r=0.0):
    """Exact distance to a simple polygon; r > 0 rounds it outward."""
    edges = [(pts[i - 1], pts[i]) for i in range(len(pts))]

    def f(x, y):
        best, sign = float('inf'), 1.0
        for (bx, by), (ax, ay) in edges:
            ex, ey = bx - ax, by - ay
            wx, wy = x - ax, y - ay
            t = min(max((wx * ex + wy * ey) / (ex * ex + ey * ey), 0.0), 1.0)
            dx, dy = wx - ex * t, wy - ey * t
            best = min(best, dx * dx + dy * dy)
            c1, c2, c3 = y >= ay, y < by, ex * wy > ey * wx
            if (c1 and c2 and c3) or not (c1 or c2 or c3):
                sign = -sign
        return sign * math.sqrt(best) - r
    return f


def union(*fs):
    return lambda x, y: min(f(x, y) for f in fs)


def cut(a, b):
    return lambda x, y: max(a(x, y), -b(x, y))


def clip(a, b):
    return lambda x, y: max(a(x, y), b(x, y))


def smooth_union(a, b, k):
    # Rounds the inner corner where two shapes meet (gear tooth roots).
    def f(x, y):
        da, db = a(x, y), b(x, y)
        h = min(max(0.5 + 0.5 * (db - da) / k, 0.0), 1.0)
        return db + (da - db) * h - k * h * (1.0 - h)
    return f


def frame(f, ox, oy, deg):
    """Evaluate f in a frame whose origin is (ox, oy) and whose u axis points at deg."""
    c, s = math.cos(math.radians(deg)), math.sin(math.radians(deg))
    return lambda x, y: f((x - ox) * c + (y - oy) * s, (y - oy) * c - (x - ox) * s)


def linear(c0, c1, x0, y0, x1, y1):
    dx, dy = x1 - x0, y1 - y0
    ll = dx * dx + dy * dy

    def colour(x, y):
        t = min(max(((x - x0) * dx + (y - y0) * dy) / ll, 0.0), 1.0)
        return tuple(a + (b - a) * t for a, b in zip(c0, c1))
    return colour


def scaled(k, layers):
    """The same layers drawn at 1/k of their size: shapes, colours and boxes alike."""
    out = []
    for shape, colour, bbox, width in layers:
        out.append((lambda x, y, f=shape: f(x * k, y * k) / k,
                    (lambda x, y, c=colour: c(x * k, y * k)) if callable(colour) else colour,
                    bbox and tuple(v / k for v in bbox), width))
    return out


# ---- rasteriser ----

def render(w, h, layers, ss=1):
    """Paint layers (shape, colour, bbox or None, edge width) back to front.

    Returns rows of premultiplied float RGBA.  ss > 1 supersamples ss x ss
    per pixel, which keeps sharp corners and tips clean at small sizes.
    """
    px = [[0.0] * (4 * w) for _ in range(h)]
    offs = [(i + 0.5) / ss - 0.5 for i in range(ss)]
    for shape, colour, bbox, width in layers:
        x0, y0, x1, y1 = bbox or (0, 0, w, h)
        x0, y0, x1, y1 = max(0, int(x0)), max(0, int(y0)), min(w, int(x1)), min(h, int(y1))
        for y in range(y0, y1):
            row, fy = px[y], y + 0.5
            for x in range(x0, x1):
                fx = x + 0.5
                if ss == 1:
                    cov = min(max(0.5 - shape(fx, fy) / width, 0.0), 1.0)
                else:
                    cov = sum(min(max(0.5 - shape(fx + ox, fy + oy) * ss / width, 0.0), 1.0)
                              for oy in offs for ox in offs) / (ss * ss)
                if cov <= 0.0:
                    continue
                r, g, b, a = colour(fx, fy) if callable(colour) else colour
                a *= cov
                k, i = 1.0 - a, 4 * x
                row[i] = r * a + row[i] * k
                row[i + 1] = g * a + row[i + 1] * k
                row[i + 2] = b * a + row[i + 2] * k
                row[i + 3] = a + row[i + 3] * k
    return px


def to_bytes(px, grey=False):
    """Un-premultiply and quantise; fully transparent pixels become all zero."""
    out = []
    for row in px:
        line = bytearray()
        for i in range(0, len(row), 4):
            a = round(row[i + 3] * 255)
            if a == 0:
                line += b'\0\0' if grey else b'\0\0\0\0'
                continue
            inv = 1.0 / row[i + 3]
            rgb = [min(255, round(v * inv)) for v in row[i:i + 3]]
            line += bytes([rgb[1], a]) if grey else bytes(rgb + [a])
        out.append(bytes(line))
    return out


# ---- PNG encoding ----

def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else (b if pb <= pc else c)


def filter_row(ft, cur, prev, bpp):
    if ft == 0:
        return cur
    if ft == 2:
        return bytes((c - p) & 255 for c, p in zip(cur, prev))
    left = bytes(bpp) + cur[:-bpp]
    if ft == 1:
        return bytes((c - l) & 255 for c, l in zip(cur, left))
    if ft == 3:
        return bytes((c - ((l + p) >> 1)) & 255 for c, l, p in zip(cur, left, prev))
    ul = bytes(bpp) + prev[:-bpp]
    return bytes((c - paeth(l, p, u)) & 255 for c, l, p, u in zip(cur, left, prev, ul))


def filtered(rows, bpp, choice):
    """choice is a filter type for every row, or None to pick per row by least sum of |byte|."""
    prev, out = bytes(len(rows[0])), bytearray()
    for cur in rows:
        if choice is not None:
            ft, data = choice, filter_row(choice, cur, prev, bpp)
        elif cur == prev:
            ft, data = 2, bytes(len(cur))
        else:
            ft, data = min(((t, filter_row(t, cur, prev, bpp)) for t in range(5)),
                           key=lambda td: sum(b if b < 128 else 256 - b for b in td[1]))
        out.append(ft)
        out += data
        prev = cur
    return bytes(out)


def encode(rows, w, h, colour_type, size):
    bpp = 4 if colour_type == 6 else 2
    best = None
    for choice in (0, 1, 2, 4, None):
        raw = filtered(rows, bpp, choice)
        for strategy in (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED):
            z = zlib.compressobj(9, zlib.DEFLATED, 15, 9, strategy)
            data = z.compress(raw) + z.flush()
            if best is None or len(data) < len(best):
                best = data
    head = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, colour_type, 0, 0, 0))
    tail = chunk(b'IDAT', best) + chunk(b'IEND', b'')
    gap = size - len(head) - len(tail)
    if gap < 0 or 0 < gap < 12:
        raise SystemExit('cannot fit %d bytes into %d (gap %d)' % (len(head) + len(tail), size, gap))
    # 'fiLl': ancillary, private, safe to copy; libpng and Qt skip it silently.
    pad = chunk(b'fiLl', bytes(gap - 12)) if gap else b''
    return head + pad + tail


def read_png(data):
    """Decode our own output strictly: returns (w, h, colour type, unfiltered rows)."""
    if data[:8] != b'\x89PNG\r\n\x1a\n':
        raise ValueError('bad signature')
    pos, idat, kinds = 8, b'', []
    while pos < len(data):
        n, = struct.unpack('>I', data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
        crc, = struct.unpack('>I', data[pos + 8 + n:pos + 12 + n])
        if crc != zlib.crc32(kind + body):
            raise ValueError('bad CRC in %r' % kind)
        kinds.append(kind)
        if kind == b'IHDR':
            w, h, depth, ct, comp, filt, lace = struct.unpack('>IIBBBBB', body)
            if (depth, comp, filt, lace) != (8, 0, 0, 0) or ct not in (4, 6):
                raise ValueError('unexpected IHDR')
        elif kind == b'IDAT':
            idat += body
        pos += 12 + n
    if kinds[0] != b'IHDR' or kinds[-1] != b'IEND' or pos != len(data):
        raise ValueError('bad chunk layout %r' % kinds)
    bpp = 4 if ct == 6 else 2
    raw = zlib.decompress(idat)
    stride = w * bpp
    if len(raw) != h * (1 + stride):
        raise ValueError('IDAT holds %d bytes, want %d' % (len(raw), h * (1 + stride)))
    rows, prev = [], bytes(stride)
    for y in range(h):
        ft, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if ft > 4:
            raise ValueError('bad filter type %d' % ft)
        for i in range(stride):
            l = line[i - bpp] if i >= bpp else 0
            u = prev[i]
            ul = prev[i - bpp] if i >= bpp else 0
            line[i] = (line[i] + (0, l, u, (l + u) >> 1, paeth(l, u, ul))[ft]) & 255
        rows.append(bytes(line))
        prev = rows[-1]
    return w, h, ct, rows


# ---- the icons ----

def logo(size=180):
    # Bold white restart arrow on a deep blue disc: reads as "keeps it running" even at 16 px.
    cx = cy = 90.0
    R, half = 47.0, 15.0
    disc = circle(cx, cy, 86)
    ring = lambda x, y: abs(math.hypot(x - cx, y - cy) - R) - half
    g0, g1 = math.radians(-98), math.radians(-16)    # gap near the top, right of centre
    gap = polygon([(cx, cy), (cx + 200 * math.cos(g0), cy + 200 * math.sin(g0)),
                   (cx + 200 * math.cos(g1), cy + 200 * math.sin(g1))])
    arc = cut(ring, gap)
    # Arrow head at the gap's left end, pointing clockwise into the gap.  Its base
    # starts a little inside the arc so no anti-aliased seam shows where they meet.
    b, wing, reach = g0 - math.radians(3), 29.0, 36.0
    n = (math.cos(b), math.sin(b))
    t = (-n[1], n[0])
    mx, my = cx + R * n[0], cy + R * n[1]
    head = polygon([(mx - wing * n[0], my - wing * n[1]), (mx + wing * n[0], my + wing * n[1]),
                    (mx + reach * t[0] - 10 * n[0], my + reach * t[1] - 10 * n[1])])
    return render(size, size, scaled(180.0 / size, [
        (disc, linear(BLUE_LIGHT, BLUE_DARK, 0, 10, 0, 176), None, 1.0),
        (union(arc, head), WHITE, (20, 20, 160, 160), 1.0),
        (circle(cx, cy, 13), GREEN, (70, 70, 110, 110), 1.0),
    ]), ss=4)


def save():
    # Floppy disk; edges sit on pixel boundaries or at 45 degrees so rows repeat and compress.
    body = clip(polygon([(64, 64), (488, 64), (576, 152), (576, 576), (64, 576)]),
                box(64, 64, 576, 576, 20))
    dark, mid, light = (72, 72, 72, 1.0), (196, 196, 196, 1.0), (244, 244, 244, 1.0)
    return render(640, 640, [
        (body, dark, (60, 60, 580, 580), 1.0),
        (box(160, 64, 448, 240), mid, (160, 64, 448, 240), 1.0),
        (box(352, 96, 416, 208), dark, (352, 96, 416, 208), 1.0),
        (clip(box(128, 320, 512, 620, 12), body), light, (126, 318, 514, 576), 1.0),
        (box(176, 384, 464, 408), mid, (176, 384, 464, 408), 1.0),
        (box(176, 456, 464, 480), mid, (176, 456, 464, 480), 1.0),
    ])


def dev():
    # "</>" from straight-edged polygons: 45 degree brackets and a 1-in-2 slash with
    # horizontal ends repeat row after row, which is what keeps this file small.
    def chevron(ax, d):
        # Apex at (ax, 210); d = 1 opens to the right ("<"), -1 to the left (">").
        w = 54 * d
        return polygon([(ax, 210), (ax + 75 * d, 135), (ax + 75 * d + w, 135),
                        (ax + w, 210), (ax + 75 * d + w, 285), (ax + 75 * d, 285)])
    slash = polygon([(226.5, 135), (268.5, 135), (193.5, 285), (151.5, 285)])
    return render(420, 420, [
        (union(chevron(10.5, 1), chevron(409.5, -1)), BLUE, (0, 130, 420, 290), 1.0),
        (slash, GREEN, (145, 130, 275, 290), 1.0),
    ])


def edit():
    # Pencil lying at 45 degrees, tip bottom-left; drawn in its own (u along, v across) frame.
    hw = 72.0
    place = lambda f: frame(f, 104, 616, -45)
    body = box(170, -hw, 560, hw)
    cone = polygon([(0, 0), (170, -hw), (170, hw)])
    parts = [
        (place(cone), WOOD),
        (place(clip(cone, lambda u, v: u - 56)), GRAPHITE),
        (place(body), BLUE),
        (place(box(170, -hw, 560, -hw / 3)), BLUE_LIGHT),
        (place(box(170, hw / 3, 560, hw)), BLUE_DARK),
        (place(box(560, -hw, 700, hw, 26)), ERASER),
        (place(box(556, -hw - 6, 612, hw + 6)), METAL),
        (place(box(578, -hw - 6, 590, hw + 6)), (140, 150, 166, 1.0)),
    ]
    return render(720, 720, [(s, c, (40, 60, 680, 680), 1.0) for s, c in parts])


def setup():
    # Gear with filleted teeth, a lighter hub and a soft drop shadow.
    cx, cy, n = 325.0, 319.0, 10
    step = 2 * math.pi / n
    tooth = polygon([(230, -46), (292, -32), (292, 32), (230, 46)], 14)

    def teeth(x, y):
        dx, dy = x - cx, y - cy
        a = math.atan2(dy, dx)
        a -= round(a / step) * step
        r = math.hypot(dx, dy)
        return tooth(r * math.cos(a), r * math.sin(a))

    gear = cut(smooth_union(circle(cx, cy, 248), teeth, 16), circle(cx, cy, 84))
    shadow = frame(gear, 0, 14, 0)    # same outline, 14 px lower
    hub = cut(circle(cx, cy, 150), circle(cx, cy, 84))
    rim = lambda x, y: abs(math.hypot(x - cx, y - cy) - 84) - 10
    return render(650, 662, [
        (shadow, (10, 24, 48, 0.35), (0, 0, 650, 662), 18.0),
        (gear, linear(BLUE_LIGHT, BLUE_DARK, 120, 60, 530, 600), (0, 0, 650, 662), 1.0),
        (hub, linear(BLUE, (96, 160, 226, 1.0), 420, 420, 230, 220), (170, 165, 480, 475), 1.0),
        (rim, BLUE_DARK, (225, 220, 425, 420), 1.0),
    ])


IMAGES = [
    ('Logo.png', logo, 180, 180, 6, 8639),
    ('save.png', save, 640, 640, 4, 2586),
    ('dev.png', dev, 420, 420, 6, 2415),
    ('edit.png', edit, 720, 720, 6, 7980),
    ('setup.png', setup, 650, 662, 6, 159898),
]


# The Windows file icon, beside the images rather than among them: the sizes
# Explorer and the taskbar ask for, each a PNG, which Windows reads since Vista.
ICON = ('Logo.ico', (16, 24, 32, 48, 256))


def write_icon():
    name, sizes = ICON
    images = [encode_plain(to_bytes(logo(s)), s) for s in sizes]
    head = struct.pack('<HHH', 0, 1, len(images))
    offset = len(head) + 16 * len(images)
    entries = b''
    for s, data in zip(sizes, images):
        entries += struct.pack('<BBBBHHII', s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    path = os.path.join(OUT, '..', name)
    with open(path, 'wb') as fh:
        fh.write(head + entries + b''.join(images))
    print('%-10s %7d bytes  %s px' % (name, os.path.getsize(path), ', '.join(map(str, sizes))))


def encode_plain(rows, size):
    """A PNG of exactly what it needs: no padding."""
    raw = filtered(rows, 4, None)
    head = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0))
    return head + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b'')


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, draw, w, h, ct, size in IMAGES:
        rows = to_bytes(draw(), grey=(ct == 4))
        assert len(rows) == h and all(len(r) == w * (4 if ct == 6 else 2) for r in rows)
        data = encode(rows, w, h, ct, size)
        path = os.path.join(OUT, name)
        with open(path, 'wb') as fh:
            fh.write(data)
        with open(path, 'rb') as fh:
            back = read_png(fh.read())
        if back != (w, h, ct, rows) or os.path.getsize(path) != size:
            sys.exit('%s did not read back intact' % name)
        print('%-10s %7d bytes  %dx%d' % (name, size, w, h))
    write_icon()


if __name__ == '__main__':
    main()
