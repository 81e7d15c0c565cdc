#!/bin/bash
# make bench: runs the benchmark in a throw-away Wine prefix of its own, set up like the test
# suite's (the library in System32, the stand-ins, a long-lived process that keeps Wine's
# desktop alive) plus the small DLLs the library is compared with.
#
#   bench/run-bench.sh BUILD_DIR
#
# Prints one table and writes the same figures to BUILD_DIR/bench/results.csv.
set -euo pipefail

build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
setting() { sed -n "s/^$1=//p" "$build/bench/settings"; }
prefix=$(setting prefix)
mapfile -t prefix_args <"$build/bench/prefix-args"

# Drive Z: is the Unix root in every new prefix.
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

trap '"$root/cmake/wine-prefix.sh" cleanup "$prefix"' EXIT
SECONDS=0
"$root/cmake/wine-prefix.sh" setup "$prefix" "${prefix_args[@]}"
# The verbs' captions, and so the INF the installation is compared with, are the English ones.
env LC_ALL=en_US.UTF-8 WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' \
    /usr/lib/wine/wine64 "$(setting bench)" "$(windows_path "$(setting dll)")" \
    "$(windows_path "$(setting host)")" "$(windows_path "$build/bench")"
echo "make bench: $SECONDS s in all, prefix set-up included ($(nproc) cores, $(uname -m), $(/usr/lib/wine/wine64 --version))"
