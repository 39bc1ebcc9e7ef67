#!/usr/bin/python3
"""Which SIGMA argument gives texture its best PSNR, for noise of known level.

usage: bench/sigma_scan.py [BIN_DIR]   (default build/bin; run by `make sigma-scan`)

Adds Gaussian noise of standard deviation 10, 20 and 30 (pgmquality
--add-noise, fixed seeds) to data/camera.pgm and to a 256 x 256 crop of it
(buildings, tripod and grass), denoises each with texture in global mode and
with window 21 for SIGMA = factor x true sigma over a range of factors, and
prints two markdown tables: the PSNR of every run, and per image the best
factor with its PSNR against the PSNR at the true sigma. Standard library
only; about 150 runs of texture, a few minutes on two cores.
"""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from pgm2png import read_pgm  # noqa: E402

FACTORS = [0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.2, 1.5]
NOISE = [10, 20, 30]
MODES = [("global", []), ("window 21", ["21"])]


def crop(source, target, x0, y0, width, height):
    src_width, _, raster = read_pgm(source)
    rows = [raster[(y0 + y) * src_width + x0:(y0 + y) * src_width + x0 + width] for y in range(height)]
    with open(target, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (width, height) + b"".join(rows))


def psnr(bin_dir, clean, test):
    out = subprocess.run([os.path.join(bin_dir, "pgmquality"), clean, test], check=True, capture_output=True,
                         text=True).stdout
    return float(out.split()[1])


def main(argv):
    bin_dir = os.path.abspath(argv[1] if len(argv) > 1 else os.path.join(ROOT, "build", "bin"))
    results = {}  # (image, noise, mode) -> [psnr per factor]
    noisy_psnr = {}  # (image, noise) -> psnr of the noisy input
    with tempfile.TemporaryDirectory() as work:
        images = [("camera 512 x 512", os.path.join(work, "camera.pgm")),
                  ("camera crop 256 x 256", os.path.join(work, "crop.pgm"))]
        shutil.copy(os.path.join(ROOT, "data", "camera.pgm"), images[0][1])
        crop(images[0][1], images[1][1], 256, 100, 256, 256)
        for name, clean in images:
            for noise in NOISE:
                noisy = os.path.join(work, "noisy.pgm")
                subprocess.run([os.path.join(bin_dir, "pgmquality"), "--add-noise", str(noise), "--seed",
                                str(noise), clean, noisy], check=True)
                noisy_psnr[(name, noise)] = psnr(bin_dir, clean, noisy)
                for mode, extra in MODES:
                    row = []
                    for factor in FACTORS:
                        subprocess.run([os.path.join(bin_dir, "texture"), noisy, "%g" % (factor * noise)] + extra,
                                       check=True, stdout=subprocess.DEVNULL)
                        row.append(psnr(bin_dir, clean, os.path.join(work, "noisyResult.pgm")))
                    results[(name, noise, mode)] = row
                    print(f"{name}, noise {noise}, {mode}: done", file=sys.stderr)

    print("PSNR (dB) of texture's result for SIGMA = factor x true noise level:\n")
    print("| Image | Noise | Mode | " + " | ".join("%gx" % f for f in FACTORS) + " |")
    print("|---|---|---|" + "---|" * len(FACTORS))
    for (name, noise, mode), row in results.items():
        best = max(row)
        cells = [("**%.2f**" if value == best else "%.2f") % value for value in row]
        print(f"| {name} | {noise} | {mode} | " + " | ".join(cells) + " |")

    print("\nBest factor per image and mode:\n")
    print("| Image | Noise | Mode | Best factor | PSNR there | PSNR at 1.0x | PSNR at 0.5x | Noisy input |")
    print("|---|---|---|---|---|---|---|---|")
    for (name, noise, mode), row in results.items():
        best = max(range(len(row)), key=lambda i: row[i])
        print(f"| {name} | {noise} | {mode} | {FACTORS[best]:g} | {row[best]:.2f} | "
              f"{row[FACTORS.index(1.0)]:.2f} | {row[FACTORS.index(0.5)]:.2f} | {noisy_psnr[(name, noise)]:.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
