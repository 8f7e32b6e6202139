# time_loop COMMAND...: runs COMMAND $reps times, output discarded, and
# prints the mean time of one run in nanoseconds. Sourced by the benchmarks.
time_loop() {
  start=$(date +%s%N)
  i=0
  while [ $i -lt "$reps" ]; do
    "$@" >/dev/null 2>&1
    i=$((i + 1))
  done
  end=$(date +%s%N)
  echo $(((end - start) / reps))
}
