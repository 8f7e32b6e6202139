#!/usr/bin/env bash
# The include check fails on a planted violation and passes allowed includes.
set -u
checker=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/{hid,image,update,api}
printf '#include "common/byte_reader.h"\n' >"$tree/image/ok.cpp"
printf '#include "app/message.h"\n' >"$tree/update/planted.cpp"
printf '#include "sim/simulated_platform.h"\n' >"$tree/update/anything_test.cpp"
printf '#include <vector>\n\n#include "update/commands.h"\n' >"$tree/hid/planted.cpp"
# The library is a top layer beside app/, not above it.
printf '#include "update/update_session.h"\n#include "app/json.h"\n' >"$tree/api/planted.cpp"
out=$("$checker" "$tree")
status=$?
expected='hid/planted.cpp:3: hid/ may not include update/commands.h
update/planted.cpp:1: update/ may not include app/message.h
api/planted.cpp:2: api/ may not include app/json.h
3 include(s) against the layering rules (see scripts/check-includes)'
[ $status -eq 1 ] && [ "$out" = "$expected" ] || { echo "got status $status:"; echo "$out"; exit 1; }
rm "$tree/hid/planted.cpp" "$tree/update/planted.cpp" "$tree/api/planted.cpp"
"$checker" "$tree" >/dev/null || { echo "a clean tree failed"; exit 1; }
