#!/usr/bin/env bash
# How much longer texture takes on a large noisy image than on the 512 x 512
# sample: runs the two in turn, RUNS times each, and prints the median wall
# times and their ratio. The machines are shared and their speed drifts from
# one minute to the next; runs taken in turn share that drift, so only their
# ratio is worth comparing.
#
# usage: bench/size_ratio.sh [RUNS] [SIZE] [WINDOW]
#   RUNS    runs of each image (default 5)
#   SIZE    side of the large square image (default 2048)
#   WINDOW  search window (default none: global mode)
# The large image is made once by make_noisy.py and kept in bench/images/.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
size=${2:-2048}
window=${3:-}
make build > /dev/null
mkdir -p bench/images
image=bench/images/noisy_${size}.pgm
[[ -f "$image" ]] || python3 bench/make_noisy.py "$size" "$size" "$image"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp data/camera_s20.pgm "$work/small.pgm"
cp "$image" "$work/large.pgm"

wall() {  # wall seconds of one texture run on image $1
  local start end
  # Bash's own clock where it has one (its decimal mark may be a comma):
  # starting date(1) around the run would add the start of a process.
  if [[ -n ${EPOCHREALTIME:-} ]]; then
    start=${EPOCHREALTIME/,/.}
    build/bin/texture "$1" 20 ${window:+"$window"} > /dev/null
    end=${EPOCHREALTIME/,/.}
  else
    start=$(date +%s.%N)
    build/bin/texture "$1" 20 ${window:+"$window"} > /dev/null
    end=$(date +%s.%N)
  fi
  echo "$end - $start" | bc -l
}

: > "$work/small"; : > "$work/large"
for ((i = 0; i < runs; i++)); do
  wall "$work/small.pgm" >> "$work/small"
  wall "$work/large.pgm" >> "$work/large"
done

median() { sort -g "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
small=$(median "$work/small")
large=$(median "$work/large")
mode="global mode"
[[ -n "$window" ]] && mode="window $window"
echo "Median wall time of $runs runs each, $mode, $(nproc) processors, $(date -u +%Y-%m-%d):"
printf '  %-22s %7.3f s\n' "512 x 512 sample:" "$small"
printf '  %-22s %7.3f s  (%.1f x the sample)\n' "${size} x ${size} noisy:" "$large" "$(echo "$large / $small" | bc -l)"
