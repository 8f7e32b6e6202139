#!/usr/bin/env bash
# Checks that a libtavrin build exports exactly the committed list of symbols
# and that the list is exactly the functions the public header declares.
#
#   api/check_exports.sh LIBRARY LIST HEADER
set -u -o pipefail
library=$1 list=$2 header=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# nm -D: VALUE TYPE NAME[@VERSION]; the version node itself (TAVRIN_0) is an
# absolute symbol that is no function.
nm -D --defined-only "$library" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | sort >"$work/exported"
grep -v '^#' "$list" | sed '/^$/d' | sort >"$work/listed"
grep -o '^TAVRIN_API [^(]*(' "$header" | sed 's/($//; s/.*[ *]//' | sort >"$work/declared"
status=0
if ! diff -u "$work/listed" "$work/exported"; then
  echo "check_exports: $library exports other symbols than $list (- listed, + exported)"
  status=1
fi
if ! diff -u "$work/listed" "$work/declared"; then
  echo "check_exports: $list and the functions of $header differ (- listed, + declared)"
  status=1
fi
[ "$status" = 0 ] && echo "exports: the $(wc -l <"$work/listed") functions of the public header, nothing else"
exit "$status"
