#!/usr/bin/env bash
# Times texture (global mode, and window 21) against OpenCV's
# fastNlMeansDenoising (templateWindowSize 7, searchWindowSize 21, h = sigma)
# on the noisy sample image, alternating the programs, and prints the median
# wall time of each and their ratios, over all rounds and over the rounds of
# each state of the processors' caches (see below). Installs Debian's
# python3-opencv when it is missing.
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
# apart for a minute at a time), texture slows down and OpenCV does not. So
# each round of the three runs is also filed under the state its round trip
# found just before it (apart above 150 ns; about 50 where a cache is shared).
# The round trip in whole nanoseconds, or nothing where it cannot be measured
# (one processor, or threads that cannot be held to one).
roundtrip() { { build/bin/roundtrip "${1:-100000}" 2> /dev/null || true; } | sed -n 's/.*: \([0-9]*\) ns$/\1/p'; }
before=$(roundtrip)
for state in all shared apart unknown; do : > "$work/global.$state"; : > "$work/local.$state"; : > "$work/opencv.$state"; done
for ((i = 0; i < runs; i++)); do
  trip=$(roundtrip 20000)
  state=unknown
  [[ -n $trip ]] && state=shared
  [[ -n $trip ]] && (( trip > 150 )) && state=apart
  wall build/bin/texture "$work/camera_s20.pgm" 20 | tee -a "$work/global.all" >> "$work/global.$state"
  "$python" "$work/opencv.py" "$work/camera_s20.pgm" | tee -a "$work/opencv.all" >> "$work/opencv.$state"
  wall build/bin/texture "$work/camera_s20.pgm" 20 21 | tee -a "$work/local.all" >> "$work/local.$state"
done

# The medians of one set of rounds ($1) and their ratios.
report() {
  local global local_ opencv
  global=$(median "$work/global.$1")
  local_=$(median "$work/local.$1")
  opencv=$(median "$work/opencv.$1")
  printf '  texture, global mode:           %.3f s  (%.2f x OpenCV)\n' "$global" "$(echo "$global / $opencv" | bc -l)"
  printf '  texture, window 21:             %.3f s  (%.2f x OpenCV)\n' "$local_" "$(echo "$local_ / $opencv" | bc -l)"
  printf '  OpenCV fastNlMeansDenoising:    %.3f s  (the call alone, without starting Python)\n' "$opencv"
}
echo "Median wall time of $runs runs each, threads: $(nproc), $(date -u +%Y-%m-%d):"
report all
after=$(roundtrip)
[[ -n $before && -n $after ]] &&
  echo "Cache line round trip between the processors: $before ns before, $after ns after (about 50 ns where they share a cache)"
for state in shared apart; do
  rounds=$(wc -l < "$work/global.$state")
  (( rounds > 0 )) || continue
  these="the $rounds rounds"
  (( rounds == 1 )) && these="the one round"
  if [[ $state == shared ]]; then
    echo "Of these, $these with a shared cache (round trip at most 150 ns just before):"
  else
    echo "Of these, $these with the caches apart (round trip above 150 ns just before):"
  fi
  report "$state"
done
