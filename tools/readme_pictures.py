#!/usr/bin/python3
"""Makes docs/denoise-example.png: a crop of the noisy sample, texture's result
and the clean original, side by side, every pixel enlarged 2 x 2.

usage: tools/readme_pictures.py [BIN_DIR]   (default build/bin)

Runs texture on a copy of data/camera_s20.pgm (noise of standard deviation
20) with window 21 and SIGMA 10 (half the noise level, the rule of thumb).
Standard library only.
"""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from pgm2png import read_pgm, write_png  # noqa: E402

CROP_X, CROP_Y, CROP_SIZE = 150, 70, 160  # the face, the hands and the camera
GAP = 6  # white columns between the panels
SCALE = 2
OUTPUT = os.path.join(ROOT, "docs", "denoise-example.png")


def crop(path):
    width, _, raster = read_pgm(path)
    return [raster[(CROP_Y + y) * width + CROP_X:(CROP_Y + y) * width + CROP_X + CROP_SIZE]
            for y in range(CROP_SIZE)]


def main(argv):
    bin_dir = argv[1] if len(argv) > 1 else os.path.join(ROOT, "build", "bin")
    with tempfile.TemporaryDirectory() as work:
        noisy = os.path.join(work, "camera_s20.pgm")
        shutil.copy(os.path.join(ROOT, "data", "camera_s20.pgm"), noisy)
        subprocess.run([os.path.join(bin_dir, "texture"), noisy, "10", "21"], check=True, stdout=subprocess.DEVNULL)
        panels = [crop(noisy), crop(os.path.join(work, "camera_s20Result.pgm")),
                  crop(os.path.join(ROOT, "data", "camera.pgm"))]
    gap = b"\xff" * GAP
    rows = [gap.join(panel[y] for panel in panels) for y in range(CROP_SIZE)]
    width = 3 * CROP_SIZE + 2 * GAP
    write_png(OUTPUT, width, CROP_SIZE, b"".join(rows), SCALE)
    print(f"wrote {os.path.relpath(OUTPUT, ROOT)} ({width * SCALE} x {CROP_SIZE * SCALE})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
