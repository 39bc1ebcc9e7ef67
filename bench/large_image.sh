#!/usr/bin/env bash
# Wall time and peak memory of one texture run on a large noisy image.
#
# usage: bench/large_image.sh [SIZE] [WINDOW] [TEXTURE_BINARY]
#   SIZE    side of the square image (default 4096)
#   WINDOW  search window (default none: global mode)
# The image is made once by make_noisy.py and kept in bench/images/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
size=${1:-4096}
window=${2:-}
binary=${3:-$here/../build/bin/texture}
[[ -x "$binary" ]] || { echo "no texture binary at $binary (run make build first)" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "needs GNU time: apt-get install time" >&2; exit 1; }

mkdir -p "$here/images"
image="$here/images/noisy_${size}.pgm"
[[ -f "$image" ]] || python3 "$here/make_noisy.py" "$size" "$size" "$image"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$image" "$work/noisy.pgm"

arguments=("$work/noisy.pgm" 20)
mode=global
[[ -n "$window" ]] && arguments+=("$window") && mode="window $window"
/usr/bin/time -v "$binary" "${arguments[@]}" > "$work/out" 2> "$work/time"
cat "$work/out"
wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time")
rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
# The process's own size (code, libraries), from a run on a 1 x 1 image.
printf 'P5\n1 1\n255\n\x80' > "$work/one.pgm"
/usr/bin/time -f %M "$binary" "$work/one.pgm" 20 > /dev/null 2> "$work/base"
base=$(tail -n 1 "$work/base")
pixels=$((size * size))
echo "image ${size}x${size}, $mode: wall time $wall"
awk -v r="$rss" -v b="$base" -v p="$pixels" 'BEGIN {
  printf "peak memory %.1f MiB (%.1f bytes per pixel); above the %.1f MiB of a 1 x 1 run: %.1f bytes per pixel\n",
         r / 1024, r * 1024 / p, b / 1024, (r - b) * 1024 / p }'
