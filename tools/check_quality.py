#!/usr/bin/python3
"""Checks pgmquality's PSNR and SSIM against scikit-image.

usage: tools/check_quality.py [BIN_DIR]   (default build/bin)

Makes image pairs (the sample and its denoised result, noise of several
levels added by pgmquality, scikit-image's public-domain astronaut photograph
in grey, small random images down to the 11 x 11 minimum, a constant offset),
runs pgmquality on each and compares with
skimage.metrics.peak_signal_noise_ratio and structural_similarity
(gaussian_weights=True, sigma=1.5, use_sample_covariance=False,
data_range=255, K1 0.01, K2 0.03). Prints a table and exits with 1 when a
figure differs by more than pgmquality's printed precision allows.
Needs Debian's python3-skimage (installed with apt-get when missing).
"""
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))

try:
    import numpy as np
    from skimage import color, data, metrics
except ImportError:
    subprocess.run(["apt-get", "install", "-y", "python3-skimage"], check=True, stdout=subprocess.DEVNULL)
    import numpy as np
    from skimage import color, data, metrics

from pgm2png import read_pgm  # noqa: E402

# pgmquality prints PSNR with 4 and SSIM with 6 decimals.
PSNR_TOLERANCE = 1e-4
SSIM_TOLERANCE = 1e-6


def load(path):
    width, height, raster = read_pgm(path)
    return np.frombuffer(raster, dtype=np.uint8).reshape(height, width)


def save(path, image):
    image = np.asarray(image, dtype=np.uint8)
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (image.shape[1], image.shape[0]) + image.tobytes())


def ours(bin_dir, clean, test):
    out = subprocess.run([os.path.join(bin_dir, "pgmquality"), clean, test], check=True, capture_output=True,
                         text=True).stdout.split("\n")
    psnr = float(out[0].split()[1])  # "inf" parses too
    ssim = float(out[1].split()[1])
    return psnr, ssim


def theirs(clean, test):
    a, b = load(clean).astype(np.float64), load(test).astype(np.float64)
    with np.errstate(divide="ignore"):
        psnr = metrics.peak_signal_noise_ratio(a, b, data_range=255)
    ssim = metrics.structural_similarity(a, b, gaussian_weights=True, sigma=1.5, use_sample_covariance=False,
                                         data_range=255, K1=0.01, K2=0.03)
    return psnr, ssim


def make_pairs(bin_dir, work):
    pgmquality = os.path.join(bin_dir, "pgmquality")

    def noisy(clean, sigma, seed, name):
        path = os.path.join(work, name)
        subprocess.run([pgmquality, "--add-noise", str(sigma), "--seed", str(seed), clean, path], check=True)
        return path

    camera = os.path.join(ROOT, "data", "camera.pgm")
    sample = os.path.join(work, "camera_s20.pgm")
    with open(os.path.join(ROOT, "data", "camera_s20.pgm"), "rb") as src, open(sample, "wb") as dst:
        dst.write(src.read())
    subprocess.run([os.path.join(bin_dir, "texture"), sample, "20"], check=True, stdout=subprocess.DEVNULL)
    pairs = [("camera / sample (sigma 20)", camera, sample),
             ("camera / texture result", camera, os.path.join(work, "camera_s20Result.pgm")),
             ("camera / camera", camera, camera)]
    for sigma in (2, 10, 50):
        pairs.append((f"camera / noise {sigma}", camera, noisy(camera, sigma, sigma, f"camera_{sigma}.pgm")))

    astronaut = os.path.join(work, "astronaut.pgm")
    save(astronaut, np.round(color.rgb2gray(data.astronaut()) * 255))
    pairs.append(("astronaut / noise 15", astronaut, noisy(astronaut, 15, 3, "astronaut_15.pgm")))

    rng = np.random.default_rng(2024)
    for width, height in ((37, 23), (11, 11), (12, 40)):
        clean = os.path.join(work, f"random_{width}x{height}.pgm")
        save(clean, rng.integers(0, 256, size=(height, width)))
        pairs.append((f"random {width} x {height} / noise 25", clean,
                      noisy(clean, 25, width, f"random_{width}x{height}_n.pgm")))

    offset = os.path.join(work, "offset.pgm")
    save(offset, np.minimum(load(camera).astype(np.int32) + 3, 255))
    pairs.append(("camera / camera + 3 (clipped)", camera, offset))
    return pairs


def main(argv):
    bin_dir = argv[1] if len(argv) > 1 else os.path.join(ROOT, "build", "bin")
    worst_psnr = worst_ssim = 0.0
    failed = False
    with tempfile.TemporaryDirectory() as work:
        print(f"| Pair | PSNR pgmquality | PSNR skimage | SSIM pgmquality | SSIM skimage |")
        print(f"|---|---|---|---|---|")
        for name, clean, test in make_pairs(bin_dir, work):
            our_psnr, our_ssim = ours(bin_dir, clean, test)
            ref_psnr, ref_ssim = theirs(clean, test)
            d_psnr = 0.0 if our_psnr == ref_psnr else abs(our_psnr - ref_psnr)
            d_ssim = abs(our_ssim - ref_ssim)
            worst_psnr, worst_ssim = max(worst_psnr, d_psnr), max(worst_ssim, d_ssim)
            bad = not (d_psnr <= PSNR_TOLERANCE and d_ssim <= SSIM_TOLERANCE)
            failed = failed or bad
            print(f"| {name} | {our_psnr:.4f} | {ref_psnr:.6f} | {our_ssim:.6f} | {ref_ssim:.8f} |"
                  + (" MISMATCH" if bad else ""))
    print(f"\nLargest differences: PSNR {worst_psnr:.2g} dB, SSIM {worst_ssim:.2g} "
          f"(printed precision: 5e-5 dB and 5e-7)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
