#!/bin/sh
# Times `tavrin --inspect` against `objcopy -I ihex -O binary` on the same
# 128 KiB Intel HEX file, and against `cksum` on raw files of 1 and 16 MiB;
# reports tavrin's peak resident memory for each.
# Usage: bench/inspect_bench.sh [path/to/tavrin (default build/tavrin)] [runs per round (100)] [rounds (5)]
# Builds nothing. Goals: HEX at most 0.35 of objcopy, raw at most 1.5 of cksum,
# peak RSS < 4 MiB for the HEX file. The raw goal of an ARM cross build, under
# qemu-user: bench/inspect_bench_cross.sh ARCH.
# --inspect also prints the file's SHA-256, which alone takes about twice what
# cksum takes for its whole job (16 MiB, SHA-NI): the raw and HEX goals were
# set for the CRC work, before the digest, and are no longer met with it.
set -eu
tavrin=${1:-build/tavrin}
reps=${2:-100}
rounds=${3:-5}
[ -x "$tavrin" ] || { echo "no executable at $tavrin" >&2; exit 2; }
command -v objcopy >/dev/null || { echo "objcopy is needed (binutils)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

# 128 KiB image: section table naming NVM type 0x2000 (so the file is read
# twice, the slower case), then pseudo-random bytes, addressed at 0x08000000.
{
  printf '\002\004\000\000\040\000\000\000'
  head -c $((131072 - 8)) /dev/urandom
} >"$work/image.bin"
objcopy -I binary -O ihex --change-addresses 0x08000000 "$work/image.bin" "$work/bench.hex"

if ! "$tavrin" --inspect "$work/bench.hex" >"$work/report" 2>"$work/err" ||
   ! grep -q '^length: 131072$' "$work/report"; then
  echo "tavrin --inspect did not load the benchmark file:" >&2
  cat "$work/report" "$work/err" >&2
  exit 1
fi

. "$(dirname "$0")"/time_loop.sh

# Interleaved rounds; the fastest round of each counts, since other load on
# the machine only ever adds time.
tavrin_ns=0
objcopy_ns=0
round=0
while [ $round -lt "$rounds" ]; do
  t=$(time_loop "$tavrin" --inspect "$work/bench.hex")
  o=$(time_loop objcopy -I ihex -O binary "$work/bench.hex" "$work/out.bin")
  if [ $tavrin_ns -eq 0 ] || [ "$t" -lt $tavrin_ns ]; then tavrin_ns=$t; fi
  if [ $objcopy_ns -eq 0 ] || [ "$o" -lt $objcopy_ns ]; then objcopy_ns=$o; fi
  round=$((round + 1))
done

# Raw images: the whole file is read, its CRC computed and it is hashed; cksum reads and
# checksums the same bytes.
head -c $((1024 * 1024)) /dev/urandom >"$work/one.bin"
head -c $((16 * 1024 * 1024)) /dev/urandom >"$work/sixteen.bin"
raw_report() { # file label
  tb=0 cb=0 round=0
  while [ $round -lt "$rounds" ]; do
    t=$(time_loop "$tavrin" --inspect "$1")
    c=$(time_loop cksum "$1")
    if [ $tb -eq 0 ] || [ "$t" -lt $tb ]; then tb=$t; fi
    if [ $cb -eq 0 ] || [ "$c" -lt $cb ]; then cb=$c; fi
    round=$((round + 1))
  done
  peak="n/a"
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -v "$tavrin" --inspect "$1" >/dev/null 2>"$work/time"
    peak="$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time") KiB"
  fi
  awk -v t="$tb" -v c="$cb" -v l="$2" -v p="$peak" 'BEGIN {
    printf "raw %s: tavrin %.3f ms, cksum %.3f ms, ratio %.2f (goal <= 1.5), tavrin peak RSS %s\n",
           l, t / 1e6, c / 1e6, t / c, p
  }'
}

rss="n/a"
if [ -x /usr/bin/time ]; then
  /usr/bin/time -v "$tavrin" --inspect "$work/bench.hex" >/dev/null 2>"$work/time"
  rss_kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
  rss="$rss_kb KiB"
fi

echo "file:            $(wc -c <"$work/bench.hex") bytes of Intel HEX, 131072-byte image, best of $rounds rounds of $reps runs"
awk -v t="$tavrin_ns" -v o="$objcopy_ns" 'BEGIN {
  printf "tavrin --inspect: %8.3f ms per run\n", t / 1e6
  printf "objcopy:          %8.3f ms per run\n", o / 1e6
  printf "ratio:            %8.3f (goal <= 0.35)\n", t / o
}'
echo "tavrin peak RSS:  $rss (goal < 4096 KiB)"
raw_report "$work/one.bin" "1 MiB"
raw_report "$work/sixteen.bin" "16 MiB"
