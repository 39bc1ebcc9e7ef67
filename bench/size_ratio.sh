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
source bench/timing.sh
runs=${1:-5}
size=${2:-2048}
window=${3:-}
make build > /dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sample_and_large "$size" "$work"

: > "$work/small"; : > "$work/large"
for ((i = 0; i < runs; i++)); do
  wall build/bin/texture "$work/small.pgm" 20 ${window:+"$window"} >> "$work/small"
  wall build/bin/texture "$work/large.pgm" 20 ${window:+"$window"} >> "$work/large"
done

small=$(median "$work/small")
large=$(median "$work/large")
mode="global mode"
[[ -n "$window" ]] && mode="window $window"
echo "Median wall time of $runs runs each, $mode, threads: $(nproc), $(date -u +%Y-%m-%d):"
printf '  %-22s %7.3f s\n' "512 x 512 sample:" "$small"
printf '  %-22s %7.3f s  (%.1f x the sample)\n' "${size} x ${size} noisy:" "$large" "$(echo "$large / $small" | bc -l)"
