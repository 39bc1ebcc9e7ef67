# Helpers for the benchmark scripts (sourced, not run; from the project root).

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

# Copies the sample to $2/small.pgm and a noisy image of side $1 to
# $2/large.pgm. The noisy image is made once by make_noisy.py and kept in
# bench/images/.
sample_and_large() {
  local image=bench/images/noisy_$1.pgm
  mkdir -p bench/images
  [[ -f "$image" ]] || python3 bench/make_noisy.py "$1" "$1" "$image"
  cp data/camera_s20.pgm "$2/small.pgm"
  cp "$image" "$2/large.pgm"
}
