#!/usr/bin/env bash
# How many more instructions texture executes on a large noisy image than on
# the 512 x 512 sample, counted by valgrind's callgrind on one thread. Unlike
# times, the counts do not drift with the load of the machine. Prints both
# totals and their ratio, then the functions that execute the most on the
# large image, each with its own ratio. Set beside the time ratio of
# bench/size_ratio.sh (with OMP_NUM_THREADS=1): where the time grows faster
# than the instructions, the difference is the memory.
#
# Under valgrind the processor shows no AVX-512, so the counts are those of
# the AVX2 paths. Slow: about 30 s for the sample and 20 minutes at 2048.
#
# usage: bench/instruction_ratio.sh [SIZE] [WINDOW]
#   SIZE    side of the large square image (default 2048)
#   WINDOW  search window (default none: global mode)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/timing.sh
size=${1:-2048}
window=${2:-}
command -v valgrind > /dev/null || { echo "instruction_ratio: needs valgrind" >&2; exit 1; }
make build > /dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sample_and_large "$size" "$work"
for name in small large; do
  OMP_NUM_THREADS=1 valgrind --tool=callgrind --callgrind-out-file="$work/$name.out" \
    build/bin/texture "$work/$name.pgm" 20 ${window:+"$window"} > /dev/null 2> "$work/$name.log"
  callgrind_annotate "$work/$name.out" > "$work/$name.txt"
done
mode="global mode"
[[ -n "$window" ]] && mode="window $window"
echo "Instructions executed, one thread, $mode, $(date -u +%Y-%m-%d):"
python3 - "$work/small.txt" "$work/large.txt" "$size" << 'EOF'
import re
import sys


def counts(path):
    """Program total and instructions per function of a callgrind_annotate listing."""
    total, functions = 0, {}
    for line in open(path):
        match = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)", line)
        if not match:
            continue
        count, name = int(match.group(1).replace(",", "")), match.group(2)
        if name.startswith("PROGRAM TOTALS"):
            total = count
            continue
        # "file:function [object]": the function alone, without its arguments.
        name = re.sub(r"^[^:]*:", "", name, count=1)
        name = re.sub(r" \[[^\]]*\]$", "", name)
        name = name.replace("(anonymous namespace)::", "")
        name = re.sub(r"\(.*", "", name)
        functions[name] = functions.get(name, 0) + count
    return total, functions


small_total, small = counts(sys.argv[1])
large_total, large = counts(sys.argv[2])
size = sys.argv[3]
print(f"  {'512 x 512 sample:':22} {small_total / 1e9:7.2f} G")
print(f"  {size + ' x ' + size + ' noisy:':22} {large_total / 1e9:7.2f} G  ({large_total / small_total:.1f} x the sample)")
print("  Most on the large image:")
for name in sorted(large, key=large.get, reverse=True)[:12]:
    ratio = f"{large[name] / small[name]:6.1f} x" if small.get(name) else "      -"
    print(f"    {large[name] / 1e9:7.2f} G {ratio}  {name[:90]}")
EOF
