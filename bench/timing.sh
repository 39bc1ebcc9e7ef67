# Timing helpers for the benchmark scripts (sourced, not run).

wall() {  # wall seconds of a whole command
  local start end
  # Bash's own clock where it has one (its decimal mark may be a comma):
  # starting date(1) around the command would add the start of a process
  # (about a millisecond) to every run's time.
  if [[ -n ${EPOCHREALTIME:-} ]]; then
    start=${EPOCHREALTIME/,/.}
    "$@" > /dev/null
    end=${EPOCHREALTIME/,/.}
  else
    start=$(date +%s.%N)
    "$@" > /dev/null
    end=$(date +%s.%N)
  fi
  echo "$end - $start" | bc -l
}

# Median of the numbers in file $1, one per line.
median() { sort -g "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
