#!/usr/bin/env bash
# The static-state check names a planted function-local static and a global
# of a layer below app/, and passes constant data and app/'s own state.
set -u
checker=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/{hid,app} "$tree/build/CMakeFiles/core.dir"/{hid,app}
cat >"$tree/hid/planted.cpp" <<'CPP'
int gCount = 1;
const char kName[] = "fixed";
int next() { static int n; return ++n + gCount + kName[0]; }
CPP
printf 'const int kTable[4] = {1, 2, 3, 4};\nint tableAt(int i) { return kTable[i]; }\n' >"$tree/hid/clean.cpp"
printf 'int gAppState;\n' >"$tree/app/main.cpp"
for f in hid/planted hid/clean app/main; do
  c++ -c -O0 "$tree/$f.cpp" -o "$tree/build/CMakeFiles/core.dir/$f.cpp.o" || exit 1
done
out=$("$checker" "$tree/build" "$tree")
status=$?
echo "$out" | grep -q 'hid/planted.cpp.o: gCount$' &&
  echo "$out" | grep -q 'hid/planted.cpp.o: next()::n$' &&
  ! echo "$out" | grep -q 'clean\|kName\|gAppState' && [ $status -eq 1 ] ||
  { echo "got status $status:"; echo "$out"; exit 1; }
rm "$tree/hid/planted.cpp"
"$checker" "$tree/build" "$tree" >/dev/null || { echo "a clean tree failed"; exit 1; }
