#!/usr/bin/env bash
# Runs the texture program on fixed inputs and compares the SHA-256 of each
# output file with the recorded one (cases.txt: input, sigma, window or "-",
# checksum). Each case runs in a process of its own, so every run starts the
# random sequence afresh, as a user's run does.
#
# usage: run_golden.sh TEXTURE_BINARY [REGEX]
# REGEX picks the cases whose "input sigma window" matches it.
# Set GOLDEN_KEEP=DIR to keep every actual output in DIR for inspection.
set -u
binary=$1
filter=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
count=0
while read -r input sigma window checksum; do
  [[ -z "$input" || "$input" == \#* ]] && continue
  [[ -n "$filter" && ! "$input $sigma $window" =~ $filter ]] && continue
  source="$here/inputs/$input"
  [[ -f "$source" ]] || source="$root/data/$input"
  name=${input%.pgm}
  cp "$source" "$work/$input"
  arguments=("$work/$input" "$sigma")
  [[ "$window" != "-" ]] && arguments+=("$window")
  if ! "$binary" "${arguments[@]}" > "$work/stdout" 2> "$work/stderr"; then
    echo "FAIL $input $sigma $window: exit status $?, $(cat "$work/stderr")"
    failures=$((failures + 1))
    continue
  fi
  actual=$(sha256sum "$work/${name}Result.pgm" | cut -d' ' -f1)
  if [[ -n "${GOLDEN_KEEP:-}" ]]; then
    mkdir -p "$GOLDEN_KEEP"
    cp "$work/${name}Result.pgm" "$GOLDEN_KEEP/$name.sigma$sigma${window/#-/}.pgm"
  fi
  if [[ "$actual" != "$checksum" ]]; then
    echo "FAIL $input $sigma $window: got $actual, expected $checksum"
    failures=$((failures + 1))
  fi
  count=$((count + 1))
  rm -f "$work/${name}Result.pgm"
done < "$here/cases.txt"

echo "$count golden cases run, $failures failed"
[[ $count -gt 0 && $failures -eq 0 ]]
