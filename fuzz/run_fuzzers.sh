#!/bin/sh
# Builds the fuzz targets into build-fuzz and runs each for a while.
# Usage: fuzz/run_fuzzers.sh [seconds per target, default 20]
set -eu
seconds=${1:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
targets="fuzz_intel_hex fuzz_container fuzz_info_block fuzz_report_descriptor fuzz_device_frames fuzz_host fuzz_uevent fuzz_signature"

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVRIN_FUZZ=ON -DTAVRIN_TESTS=OFF -DTAVRIN_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target $targets

status=0
for target in $targets; do
  # New inputs go to a scratch directory so the committed seeds stay small.
  scratch=$(mktemp -d)
  name=${target#fuzz_}
  dict="$root/fuzz/$name.dict"
  set -- -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/$target-"
  [ -f "$dict" ] && set -- "$@" -dict="$dict"
  echo "== $target ($seconds s)"
  if ! "$build/fuzz/$target" "$@" "$scratch" "$root/fuzz/corpus/$name" 2>"$build/$target.log"; then
    tail -n 40 "$build/$target.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$build/$target.log" || true
  fi
  rm -rf "$scratch"
done
exit $status
