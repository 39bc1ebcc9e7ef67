#!/usr/bin/env bash
# Processor time of texture on images that stress the cluster tree (flat,
# saturated, periodic), next to a noisy image of the same size, in global mode
# and with window 21. The stress images must not take more than a few times
# the noisy one.
#
# usage: bench/stress_images.sh [SIZE] [TEXTURE_BINARY]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
size=${1:-512}
binary=${2:-$here/../build/bin/texture}
[[ -x "$binary" ]] || { echo "no texture binary at $binary (run make build first)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 "$here/make_noisy.py" "$size" "$size" "$work/noisy.pgm"
python3 - "$size" "$work" <<'PY'
import random, sys
n, folder = int(sys.argv[1]), sys.argv[2]
rng = random.Random(3)
images = {
    "constant": lambda x, y: 128,
    "black": lambda x, y: 0,
    "white": lambda x, y: 255,
    "saturated_noise": lambda x, y: min(255, max(0, int(rng.gauss(128, 300)))),
    "checkerboard": lambda x, y: 255 * ((x + y) % 2),
    "bright_pixel": lambda x, y: 255 if (x, y) == (n // 2, n // 2) else 0,
    "columns_one_wide": lambda x, y: 255 * (x % 2),
}
for name, pixel in images.items():
    with open("%s/%s.pgm" % (folder, name), "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (n, n) + bytes(pixel(x, y) for y in range(n) for x in range(n)))
PY

printf '%-18s %12s %12s\n' "image ${size}x${size}" "global (s)" "window 21 (s)"
for image in noisy constant black white saturated_noise checkerboard bright_pixel columns_one_wide; do
  times=()
  for window in "" 21; do
    arguments=("$work/$image.pgm" 20)
    [[ -n "$window" ]] && arguments+=("$window")
    times+=("$("$binary" "${arguments[@]}" | sed -n 's/^Finished. This took \(.*\)sec$/\1/p')")
  done
  printf '%-18s %12s %12s\n' "$image" "${times[0]}" "${times[1]}"
done
