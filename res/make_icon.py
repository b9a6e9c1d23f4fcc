#!/usr/bin/env python3
"""Draw the application icon and write res/app.ico.

A USB pen drive (connector up) with a white arrow pointing into it.
Standard library only; the output is byte-for-byte reproducible.
"""

import os
import struct
import zlib

SIZES = (256, 48, 32, 24, 16)
DESIGN = 256.0  # geometry below is in units of a 256 x 256 canvas

SLATE = (15, 23, 42)        # outlines and connector holes
METAL = (226, 232, 240)     # connector shell
SKY = (14, 165, 233)        # drive body
SKY_DARK = (3, 105, 161)    # drive body rim
WHITE = (255, 255, 255)


def rect(x0, y0, x1, y1, radius=0.0):
    def inside(x, y):
        if x < x0 or x >= x1 or y < y0 or y >= y1:
            return False
        if radius <= 0:
            return True
        cx = min(max(x, x0 + radius), x1 - radius)
        cy = min(max(y, y0 + radius), y1 - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius
    return (x0, y0, x1, y1), inside


def polygon(points):
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    edges = list(zip(points, points[1:] + points[:1]))

    def inside(x, y):
        hit = False
        for (ax, ay), (bx, by) in edges:
            if (ay > y) != (by > y):
                if x < ax + (y - ay) * (bx - ax) / (by - ay):
                    hit = not hit
        return hit
    return (min(xs), min(ys), max(xs), max(ys)), inside


def build_layers(size):
    """Shapes in pixel space, topmost first. Small sizes snap edges to whole
    pixels and keep rims at least one pixel wide so they stay crisp."""
    k = size / DESIGN
    small = size <= 48

    def at(v):
        return float(round(v * k)) if small else v * k

    def stroke(v):
        return max(1.0, float(round(v * k))) if small else v * k

    rim = stroke(12)
    steel_rim = stroke(10)

    # connector shell, overlapping the top of the body
    cx0, cy0, cx1, cy1 = at(78), at(10), at(178), at(96)
    if size == 16:
        cx0, cx1 = 4.0, 12.0  # room for two separate one-pixel holes
    # drive body
    bx0, by0, bx1, by1 = at(36), at(84), at(220), at(246)
    body_r = 30 * k

    layers = []

    # arrow: shaft plus head, centred on the body
    mid = (bx0 + bx1) / 2
    if size == 16:
        # hand-placed: a stepped head stays sharp at one pixel per step
        layers.append((rect(mid - 1, by0 + rim + 1, mid + 1, 10), WHITE))
        layers.append((polygon([(mid - 3, 10), (mid + 3, 10), (mid + 3, 11),
                                (mid + 2, 11), (mid + 2, 12), (mid + 1, 12),
                                (mid + 1, 13), (mid - 1, 13), (mid - 1, 12),
                                (mid - 2, 12), (mid - 2, 11), (mid - 3, 11)]),
                       WHITE))
    else:
        half_shaft, half_head = at(20), at(54)
        shaft_top = by0 + rim + at(20)
        head_top, head_tip = at(168), at(226)
        layers.append((rect(mid - half_shaft, shaft_top, mid + half_shaft,
                            head_top + 1), WHITE))
        layers.append((polygon([(mid - half_head, head_top),
                                (mid + half_head, head_top),
                                (mid, head_tip)]), WHITE))

    # body: dark rim, lighter fill
    layers.append((rect(bx0 + rim, by0 + rim, bx1 - rim, by1 - rim,
                        max(0.0, body_r - rim)), SKY))
    layers.append((rect(bx0, by0, bx1, by1, body_r), SKY_DARK))

    # connector: two holes, metal face, dark rim
    if size >= 24:
        hy0, hy1 = at(34), at(58)
        layers.append((rect(at(100), hy0, at(120), hy1), SLATE))
        layers.append((rect(at(136), hy0, at(156), hy1), SLATE))
    else:
        layers.append((rect(cx0 + 2, 3, cx0 + 3, 4), SLATE))
        layers.append((rect(cx1 - 3, 3, cx1 - 2, 4), SLATE))
    layers.append((rect(cx0 + steel_rim, cy0 + steel_rim, cx1 - steel_rim,
                        cy1), METAL))
    layers.append((rect(cx0, cy0, cx1, cy1, 4 * k), SLATE))
    return layers


def render(size):
    """Return rows of (r, g, b, a) tuples, supersampled."""
    grid = 4 if size > 64 else 16
    step = 1.0 / grid
    offsets = [(i + 0.5) * step for i in range(grid)]
    layers = build_layers(size)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            active = [(inside, colour) for (box, inside), colour in layers
                      if box[0] <= px + 1 and box[2] >= px
                      and box[1] <= py + 1 and box[3] >= py]
            r = g = b = hits = 0
            if active:
                for oy in offsets:
                    y = py + oy
                    for ox in offsets:
                        x = px + ox
                        for inside, colour in active:
                            if inside(x, y):
                                r += colour[0]
                                g += colour[1]
                                b += colour[2]
                                hits += 1
                                break
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                total = grid * grid
                row.append(((r + hits // 2) // hits, (g + hits // 2) // hits,
                            (b + hits // 2) // hits,
                            (hits * 255 + total // 2) // total))
        rows.append(row)
    return rows


def png_bytes(rows):
    size = len(rows)

    def chunk(kind, data):
        body = kind + data
        return (struct.pack(">I", len(data)) + body
                + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF))

    raw = bytearray()
    for row in rows:
        raw.append(0)
        for pixel in row:
            raw.extend(pixel)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def dib_bytes(rows):
    size = len(rows)
    mask_stride = ((size + 31) // 32) * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (r, g, b, a) in enumerate(row):
            pixels.extend((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask.extend(bits)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def ico_bytes(images):
    count = len(images)
    offset = 6 + 16 * count
    directory = struct.pack("<HHH", 0, 1, count)
    blobs = b""
    for size, data in images:
        side = 0 if size >= 256 else size
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32,
                                 len(data), offset)
        offset += len(data)
        blobs += data
    return directory + blobs


def main():
    images = []
    for size in SIZES:
        rows = render(size)
        data = png_bytes(rows) if size >= 256 else dib_bytes(rows)
        images.append((size, data))
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "app.ico")
    with open(out, "wb") as f:
        f.write(ico_bytes(images))


if __name__ == "__main__":
    main()
