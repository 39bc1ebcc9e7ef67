#!/usr/bin/env bash
# Runs each libFuzzer target for a bounded time, one after the other (one job
# at a time: the fuzzers share the machine with everything else).
#
# usage: run_fuzzers.sh BUILD_DIR [SECONDS_PER_TARGET] [TARGET...]
#
# New inputs that widen coverage collect in BUILD_DIR/fuzz-work/TARGET/corpus;
# the seeds in corpus/TARGET and the kept regressions/TARGET are read only. No
# single allocation may exceed 64 MB: the inputs are small, so a larger one
# means a declared size was believed without the bytes to back it.
# An input that breaks a target lands in BUILD_DIR/fuzz-work/TARGET/artifacts:
# fix the fault, then copy the input into regressions/TARGET/ so that the
# regression test replays it from then on.
set -uo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-60}
shift $(( $# < 2 ? $# : 2 ))
here=$(cd "$(dirname "$0")" && pwd)

# target, then its libFuzzer options. A new target is one more line.
declare -A options=(
  [pgm]="-max_len=4096 -dict=$here/pgm.dict -use_value_profile=1"
  [driver]="-max_len=800 -dict=$here/pgm.dict -timeout=10"
)
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=(pgm driver)

failed=()
for target in "${targets[@]}"; do
  binary="$build/bin/fuzz_$target"
  work="$build/fuzz-work/$target"
  mkdir -p "$work/corpus" "$work/artifacts"
  seeds=("$here/corpus/$target")
  [[ -d "$here/regressions/$target" ]] && seeds+=("$here/regressions/$target")
  echo "== fuzz_$target for ${seconds}s"
  # shellcheck disable=SC2086
  if ! "$binary" ${options[$target]} -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=64 -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" "$work/corpus" "${seeds[@]}" 2> "$work/log"; then
    failed+=("$target")
    tail -n 60 "$work/log"
  fi
  grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)|^#[0-9]+ *DONE' \
    "$work/log" | sed "s/^/  /"
done

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs in $build/fuzz-work/*/artifacts)"
  exit 1
fi
echo "fuzzing found nothing"
