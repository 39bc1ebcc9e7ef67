#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus: corpus/pgm (PGM files) and corpus/driver
(one byte choosing a denoising method, then a PGM file). Deterministic; run it
again after changing it and commit the result."""
import os
import random

here = os.path.dirname(os.path.abspath(__file__))
# Rows of the method table in FuzzTargets.cpp (denoisingMethods()).
METHOD_ROWS = 18
rng = random.Random(20240607)


def pgm(width, height, pixels, header=None):
    head = header if header is not None else b"P5\n%d %d\n255\n" % (width, height)
    return head + bytes(pixels)


def noise(width, height, mean=128, spread=60):
    return [max(0, min(255, int(rng.gauss(mean, spread)))) for _ in range(width * height)]


six = bytes([0, 1, 2, 253, 254, 255])
pgm_seeds = {
    "valid_3x2": pgm(3, 2, six),
    "valid_levels_16x16": pgm(16, 16, range(256)),
    "empty_image": b"P5\n0 0\n255\n",
    "comments": b"P5\n# a comment\n#\n 3 # width\n2\n# max\n255\n" + six,
    "comment_digits": b"P5 #9 9\n3#8\n2 # 7 7\n255\n" + six,
    "one_line": b"P5 3 2 255\n" + six,
    "crlf_tabs": b"P5\r\n3\t2\r\n255\r" + six,
    "bytes_before_magic": b"\x00\xffjunk\nP5\n3 2\n255\n" + six,
    "max_grey_15": b"P5\n3 2\n15\n" + six,
    "max_grey_0": b"P5\n3 2\n0\n" + six,
    "max_grey_256": b"P5\n3 2\n256\n" + six,
    "max_grey_65535": b"P5\n3 2\n65535\n" + six + six,
    "truncated_header": b"P5\n3 2\n25",
    "truncated_raster": b"P5\n3 2\n255\n" + six[:5],
    "trailing_bytes": b"P5\n3 2\n255\n" + six + b"trailing",
    "huge_declared": b"P5\n40000 40000\n255\n\x01\x02",
    "over_2_31_pixels": b"P5\n65536 32768\n255\n\x01",
    "huge_width": b"P5\n99999999999 1\n255\n\x01",
    "int_max_sizes": b"P5\n2147483647 2147483647\n255\n",
    "negative_width": b"P5\n-3 2\n255\n" + six,
    "p2": b"P2\n3 2\n255\n0 1 2 3 4 5\n",
    "p6": b"P6\n1 2\n255\n" + six,
    "png": b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR",
    "jpeg": b"\xff\xd8\xff\xe0\x00\x10JFIF\x00",
    "only_magic": b"P5",
    "empty_file": b"",
}

# One row per image; each is paired with three method bytes, so that every
# row of the method table gets seeds.
images = {
    "noise_12x12": pgm(12, 12, noise(12, 12)),
    "noise_20x20": pgm(20, 20, noise(20, 20, spread=30)),
    "noise_32x32": pgm(32, 32, noise(32, 32, spread=20)),
    "constant_24x24": pgm(24, 24, [77] * 576),
    "checker_16x16": pgm(16, 16, [255 * ((x + y) % 2) for y in range(16) for x in range(16)]),
    "dot_20x20": pgm(20, 20, [255 if (x, y) == (10, 10) else 0 for y in range(20) for x in range(20)]),
    "stripes_18x18": pgm(18, 18, [255 * (x % 2) for y in range(18) for x in range(18)]),
    "row_1x40": pgm(1, 40, noise(1, 40)),
    "column_40x1": pgm(40, 1, noise(40, 1)),
    "tiny_9x9": pgm(9, 9, noise(9, 9)),
    "tiny_10x10": pgm(10, 10, noise(10, 10)),
    "single_1x1": pgm(1, 1, [200]),
    "empty_0x0": pgm(0, 0, []),
}


def write(folder, name, data):
    path = os.path.join(here, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


for name, data in pgm_seeds.items():
    write("pgm", name, data)
for index, (name, data) in enumerate(images.items()):
    for method in (index % METHOD_ROWS, (index + 4) % METHOD_ROWS, (index + 7) % METHOD_ROWS):
        write("driver", "%s_m%d" % (name, method), bytes([method]) + data)
