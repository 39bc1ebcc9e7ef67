#!/usr/bin/env bash
# Times texture (global mode, and window 21) against OpenCV's
# fastNlMeansDenoising (templateWindowSize 7, searchWindowSize 21, h = sigma)
# on the noisy sample image, alternating the programs, and prints the median
# wall time of each and their ratios. Installs Debian's python3-opencv when it
# is missing.
#
# usage: bench/compare_speed.sh [RUNS]   (default 7 runs of each)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/timing.sh
runs=${1:-7}
python=/usr/bin/python3
if ! "$python" -c 'import cv2' 2>/dev/null; then
  echo "Installing python3-opencv ..." >&2
  apt-get install -y python3-opencv > /dev/null
fi
make build > /dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp data/camera_s20.pgm "$work/"

cat > "$work/opencv.py" <<'PY'
import sys, time, cv2
image = cv2.imread(sys.argv[1], cv2.IMREAD_GRAYSCALE)
start = time.perf_counter()
cv2.fastNlMeansDenoising(image, None, h=20, templateWindowSize=7, searchWindowSize=21)
print("%.4f" % (time.perf_counter() - start))
PY

# texture's threads hand data to each other all the time, OpenCV's hardly:
# where the two processors do not share a cache (a virtual machine's may lie
# apart for a minute at a time), texture slows down and OpenCV does not.
roundtrip() { build/bin/roundtrip 100000 | sed 's/.*: //'; }
before=$(roundtrip)
: > "$work/global"; : > "$work/local"; : > "$work/opencv"
for ((i = 0; i < runs; i++)); do
  wall build/bin/texture "$work/camera_s20.pgm" 20 >> "$work/global"
  "$python" "$work/opencv.py" "$work/camera_s20.pgm" >> "$work/opencv"
  wall build/bin/texture "$work/camera_s20.pgm" 20 21 >> "$work/local"
done

global=$(median "$work/global")
local_=$(median "$work/local")
opencv=$(median "$work/opencv")
echo "Median wall time of $runs runs each, $(nproc) processors, $(date -u +%Y-%m-%d):"
printf '  texture, global mode:           %.3f s  (%.2f x OpenCV)\n' "$global" "$(echo "$global / $opencv" | bc -l)"
printf '  texture, window 21:             %.3f s  (%.2f x OpenCV)\n' "$local_" "$(echo "$local_ / $opencv" | bc -l)"
printf '  OpenCV fastNlMeansDenoising:    %.3f s  (the call alone, without starting Python)\n' "$opencv"
echo "Cache line round trip between the processors: $before before, $(roundtrip) after (about 50 ns where they share a cache)"
