#!/usr/bin/env python3
"""Draws the window icon, pics/collector_icon.ico: a trend line over a dark tile with a
green 'collecting' dot, at 16, 32, 48 and 64 pixels, as 32-bit BMP entries (readable by
every ICO reader). Standard library only: python3 scripts/make-icon.py"""
import math
import os
import struct

SIZES = (16, 32, 48, 64)


def blend(dst, src, alpha):
    return tuple(round(d * (1 - alpha) + s * alpha) for d, s in zip(dst, src))


def draw(size):
    # Supersample 4x4 per pixel for smooth edges.
    n = 4
    tile = (24, 52, 92)
    line = (240, 248, 255)
    dot = (46, 204, 113)
    radius = size * 0.18
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    px = x + (sx + 0.5) / n
                    py = y + (sy + 0.5) / n
                    # Rounded tile.
                    cx = min(max(px, radius), size - radius)
                    cy = min(max(py, radius), size - radius)
                    if (px - cx) ** 2 + (py - cy) ** 2 > radius ** 2:
                        continue
                    colour = tile
                    # Trend line: a damped wave across the tile.
                    u = px / size
                    wave = 0.58 - 0.22 * math.sin(u * 2.2 * math.pi) * (1 - 0.4 * u)
                    if abs(py / size - wave) < 0.055:
                        colour = line
                    # Collecting dot, upper right.
                    if (px / size - 0.76) ** 2 + (py / size - 0.24) ** 2 < 0.11 ** 2:
                        colour = dot
                    acc[0] += colour[0]
                    acc[1] += colour[1]
                    acc[2] += colour[2]
                    acc[3] += 1
            k = n * n
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                a = acc[3] / k
                row.append((round(acc[0] / acc[3]), round(acc[1] / acc[3]),
                            round(acc[2] / acc[3]), round(255 * a)))
        pixels.append(row)
    return pixels


def bmp_entry(size, pixels):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    body = bytearray()
    for row in reversed(pixels):  # bottom-up
        for r, g, b, a in row:
            body += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)  # alpha decides; the AND mask stays clear
    return header + bytes(body) + mask


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    entries = [bmp_entry(s, draw(s)) for s in SIZES]
    out = bytearray(struct.pack('<HHH', 0, 1, len(SIZES)))
    offset = 6 + 16 * len(SIZES)
    for s, data in zip(SIZES, entries):
        out += struct.pack('<BBBBHHII', s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in entries:
        out += data
    path = os.path.join(root, 'pics', 'collector_icon.ico')
    with open(path, 'wb') as f:
        f.write(out)
    print(f'{path}: {len(out)} bytes')


if __name__ == '__main__':
    main()
