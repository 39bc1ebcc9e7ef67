#!/usr/bin/env python3
"""Converts an 8-bit binary PGM (P5) image to a greyscale PNG.

usage: pgm2png.py INPUT.pgm OUTPUT.png [SCALE]

SCALE (a whole number, default 1) enlarges every pixel to SCALE x SCALE, so
that small patch mosaics stay visible. Uses the standard library only.
"""
import struct
import sys
import zlib


def read_pgm(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"P5":
        raise ValueError(f"{path}: not a binary PGM (P5) file")
    fields, pos = [], 2
    while len(fields) < 3:
        while pos < len(data) and (data[pos:pos + 1].isspace() or data[pos:pos + 1] == b"#"):
            if data[pos:pos + 1] == b"#":
                while pos < len(data) and data[pos:pos + 1] not in (b"\n", b"\r"):
                    pos += 1
            else:
                pos += 1
        start = pos
        while pos < len(data) and data[pos:pos + 1].isdigit():
            pos += 1
        if start == pos:
            raise ValueError(f"{path}: malformed PGM header")
        fields.append(int(data[start:pos]))
    width, height, maxval = fields
    if maxval < 1 or maxval > 255:
        raise ValueError(f"{path}: only 8-bit PGM files are supported")
    pos += 1  # the single whitespace byte before the raster
    raster = data[pos:pos + width * height]
    if len(raster) < width * height:
        raise ValueError(f"{path}: raster truncated")
    return width, height, raster


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


def write_png(path, width, height, raster, scale):
    rows = []
    for y in range(height):
        row = raster[y * width:(y + 1) * width]
        wide = bytes(b for b in row for _ in range(scale))
        rows.extend([b"\x00" + wide] * scale)  # filter type 0 on every row
    header = struct.pack(">IIBBBBB", width * scale, height * scale, 8, 0, 0, 0, 0)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"".join(rows), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def main(argv):
    if len(argv) not in (3, 4):
        sys.stderr.write(__doc__)
        return 2
    try:
        scale = int(argv[3]) if len(argv) == 4 else 1
        if scale < 1:
            raise ValueError
    except ValueError:
        sys.stderr.write("pgm2png.py: SCALE must be a whole number of at least 1\n")
        return 2
    try:
        width, height, raster = read_pgm(argv[1])
        write_png(argv[2], width, height, raster, scale)
    except (OSError, ValueError) as e:
        sys.stderr.write(f"pgm2png.py: {e}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
