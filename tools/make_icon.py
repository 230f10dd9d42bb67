#!/usr/bin/env python3
"""Write the Quillmark icon: a quill on a dark red square, 32x32 and 16x16.

Each image is a 16-colour (4 bits per pixel) DIB with its AND mask, the
form every Windows version accepts, so the installer needs no PNG support.
Usage: make_icon.py OUT.ico
"""
import struct
import sys

# 16-entry palette as (r, g, b); index 0 stays black for the masked-out area.
PALETTE = [
    (0, 0, 0),        # 0 transparent / black
    (96, 0, 16),      # 1 dark red fill
    (140, 16, 32),    # 2 red highlight
    (48, 0, 8),       # 3 deep red edge
    (255, 255, 255),  # 4 white feather
    (220, 220, 210),  # 5 feather shade
    (170, 170, 160),  # 6 feather vane
    (60, 40, 20),     # 7 shaft brown
    (20, 20, 20),     # 8 nib black
    (30, 30, 120),    # 9 ink blue
    (200, 160, 60),   # 10 gold rim
    (128, 128, 128),  # 11
    (192, 192, 192),  # 12
    (0, 0, 255),      # 13
    (0, 255, 0),      # 14
    (255, 255, 0),    # 15
]


def draw(size):
    """Returns rows (top to bottom) of palette indices and of opacity."""
    px = [[1] * size for _ in range(size)]
    opaque = [[True] * size for _ in range(size)]
    s = size / 32.0
    last = size - 1
    for y in range(size):
        for x in range(size):
            if x in (0, last) or y in (0, last):
                px[y][x] = 3
            elif x == 1 or y == 1:
                px[y][x] = 2
    # Rounded corners: mask out the very corner pixels.
    for (cx, cy) in ((0, 0), (last, 0), (0, last), (last, last)):
        opaque[cy][cx] = False
        px[cy][cx] = 0
    # The quill runs from the lower left (nib) to the upper right (feather).
    for y in range(size):
        for x in range(size):
            # u: distance along the diagonal, v: distance across it.
            u = (x + (last - y)) / 2.0
            v = (x - (last - y)) / 2.0
            if u < 3 * s or u > last - 1.5 * s:
                continue
            if u < 7 * s:
                # Nib: narrows to a point.
                width = (u - 3 * s) / (4 * s) * 1.2 * s + 0.3
                if abs(v) <= width:
                    px[y][x] = 8
            elif u < 12 * s:
                if abs(v) <= 0.6 * s + 0.2:
                    px[y][x] = 7
            else:
                # Feather: widest in the middle, pointed at the tip.
                t = (u - 12 * s) / (last - 1.5 * s - 12 * s)
                width = (5.5 * s) * (1 - (2 * t - 1) ** 2) + 0.5
                if abs(v) <= 0.5 * s + 0.1:
                    px[y][x] = 7
                elif abs(v) <= width:
                    edge = abs(v) > width - 1.2 * s
                    px[y][x] = 6 if edge else (4 if v < 0 else 5)
    # An ink drop under the nib.
    r = max(1.0, 2.0 * s)
    cx, cy = 5 * s, last - 4 * s
    for y in range(size):
        for x in range(size):
            if (x - cx) ** 2 + (y - cy) ** 2 <= r * r and px[y][x] in (1, 2):
                px[y][x] = 9
    return px, opaque


def dib(size):
    px, opaque = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    xor = bytearray()
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_ = bytearray()
    and_stride = ((size + 31) // 32) * 4
    for y in reversed(range(size)):  # DIB rows are stored bottom-up
        row = bytearray(xor_stride)
        for x in range(size):
            value = px[y][x] if opaque[y][x] else 0
            if x % 2 == 0:
                row[x // 2] |= value << 4
            else:
                row[x // 2] |= value
        xor += row
        mask = bytearray(and_stride)
        for x in range(size):
            if not opaque[y][x]:
                mask[x // 8] |= 0x80 >> (x % 8)
        and_ += mask
    return header + palette + bytes(xor) + bytes(and_)


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: make_icon.py OUT.ico')
    sizes = (32, 16)
    images = [dib(n) for n in sizes]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for n, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', n, n, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
