#!/usr/bin/env bash
# The raw-image goal of inspect_bench.sh for a cross build: `tavrin --inspect`
# of a 16 MiB raw image against `cksum` of the same file, both programs of the
# build's architecture under the same qemu-user. cksum is that architecture's
# from Debian's coreutils, downloaded and unpacked (not installed) into
# build-ARCH/bench/.
# Usage: bench/inspect_bench_cross.sh ARCH [runs per round (3)] [rounds (7)]
# Builds nothing (scripts/cross-build ARCH first). Goal: ratio at most 1.5, as
# the median of the rounds' ratios, since qemu's timings are noisy.
set -eu
cd "$(dirname "$0")/.."
arch=${1:-}
reps=${2:-3}
rounds=${3:-7}
build=build-$arch
run=$build/run-on-target
[ -n "$arch" ] && [ -x "$run" ] || { echo "usage: $0 ARCH (after scripts/cross-build ARCH)" >&2; exit 2; }

cksum=$build/bench/coreutils/usr/bin/cksum
if [ ! -x "$cksum" ]; then
  mkdir -p "$build/bench"
  (cd "$build/bench" && rm -f coreutils_*.deb && script_name=$0 && . "$OLDPWD/scripts/lib/packages.sh" &&
     apt_get download -q "coreutils:$arch" >/dev/null 2>&1) ||
    { echo "cannot download coreutils:$arch" >&2; exit 2; }
  dpkg -x "$build"/bench/coreutils_*.deb "$build/bench/coreutils"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
head -c $((16 * 1024 * 1024)) /dev/urandom >"$work/sixteen.bin"
if ! "$run" "$build/tavrin" --inspect "$work/sixteen.bin" 2>&1 | grep -q '^length: 16777216$'; then
  echo "tavrin --inspect did not load the benchmark file" >&2
  exit 1
fi

. bench/time_loop.sh

# Interleaved rounds, one line each: tavrin's time, cksum's, their ratio.
round=0
while [ $round -lt "$rounds" ]; do
  t=$(time_loop "$run" "$build/tavrin" --inspect "$work/sixteen.bin")
  c=$(time_loop "$run" "$cksum" "$work/sixteen.bin")
  echo "$t $c" | awk '{ printf "%d %d %.4f\n", $1, $2, $1 / $2 }'
  round=$((round + 1))
done >"$work/rounds"

median() { # column
  sort -n -k"$1" "$work/rounds" | awk -v k="$1" '{ v[NR] = $k }
    END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
spread=$(sort -n -k3 "$work/rounds" | awk 'NR == 1 { low = $3 } { high = $3 } END { printf "%.2f to %.2f", low, high }')
awk -v a="$arch" -v t="$(median 1)" -v c="$(median 2)" -v r="$(median 3)" -v n="$rounds" -v m="$reps" \
    -v s="$spread" 'BEGIN {
  printf "raw 16 MiB on %s under qemu-user (medians of %d rounds of %d runs): tavrin %.1f ms, cksum %.1f ms, ratio %.2f (rounds %s; goal <= 1.5)\n",
         a, n, m, t / 1e6, c / 1e6, r, s
}'
