#!/usr/bin/env bash
# Installs libtavrin from a build into a temporary prefix, builds a C program
# against the installed header and library through pkg-config alone, and runs
# it.
#
#   api/installed_c_test.sh BUILD_DIR PROGRAM.c FIRMWARE
set -u -o pipefail
build=$1 program=$2 firmware=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
for component in libtavrin0 libtavrin-dev; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null ||
    { echo "cmake --install of $component failed"; exit 1; }
done
pc=$(dirname "$(find "$prefix" -name tavrin.pc | head -n 1)")
[ -n "$pc" ] || { echo "no tavrin.pc installed"; exit 1; }
flags=$(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs tavrin) || { echo "pkg-config knows no tavrin"; exit 1; }
case "$flags" in *"$prefix"*) ;; *) echo "tavrin.pc does not name the prefix: $flags"; exit 1 ;; esac
# Nothing of the source tree: the installed header and library only.
cc -std=c99 -Wall -Wextra -Werror -pedantic -o "$prefix/program" "$program" $flags ||
  { echo "the program does not build against the installed library"; exit 1; }
libdir=$(PKG_CONFIG_PATH=$pc pkg-config --variable=libdir tavrin)
LD_LIBRARY_PATH=$libdir timeout 120 "$prefix/program" "$firmware"
