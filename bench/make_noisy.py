#!/usr/bin/env python3
"""Writes a noisy test image of any size: the sample photograph tiled (every
other tile mirrored, so that tiles meet without seams) with fresh Gaussian
noise of sigma 20 on every pixel, so that no two tiles repeat a patch.

usage: make_noisy.py WIDTH HEIGHT OUTPUT.pgm [SEED]"""
import os
import random
import sys


def read_pgm(path):
    data = open(path, "rb").read()
    fields, at = [], 2
    while len(fields) < 3:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at) + 1
            continue
        start = at
        while data[at:at + 1].isdigit():
            at += 1
        fields.append(int(data[start:at]))
    width, height, _ = fields
    return width, height, data[at + 1:at + 1 + width * height]


def main():
    width, height, output = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
    here = os.path.dirname(os.path.abspath(__file__))
    tw, th, tile = read_pgm(os.path.join(here, "..", "data", "camera.pgm"))
    # Noise from a table of Gaussian draws indexed by random bytes: fast enough
    # for 16 million pixels in pure Python.
    table = [round(rng.gauss(0.0, 20.0)) for _ in range(65536)]
    clamp = [min(255, max(0, v)) for v in range(-512, 768)]
    out = bytearray()
    for y in range(height):
        ty = y % th if (y // th) % 2 == 0 else th - 1 - y % th
        row = tile[ty * tw:(ty + 1) * tw]
        mirrored = row[::-1]
        noise = rng.randbytes(2 * width)
        line = bytearray(width)
        for x in range(width):
            source = row if (x // tw) % 2 == 0 else mirrored
            n = table[noise[2 * x] | (noise[2 * x + 1] << 8)]
            line[x] = clamp[source[x % tw] + n + 512]
        out += line
    with open(output, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (width, height))
        f.write(out)


main()
