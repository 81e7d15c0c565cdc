#!/bin/bash
# make bench: runs the benchmark in a throw-away Wine prefix of its own, set up like the test
# suite's (the library in System32, the stand-ins, a long-lived process that keeps Wine's
# desktop alive) plus the small DLLs the library is compared with.
#
#   tools/bench/run-bench.sh BUILD_DIR
#
# Prints one table and writes the same figures to BUILD_DIR/bench/results.csv. The ARM64
# build tree runs in arm64 Wine under qemu-user: its figures are the emulator's, labelled
# "emulated" and held to no goal.
set -euo pipefail

build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
setting() { sed -n "s/^$1=//p" "$build/bench/settings"; }
prefix=$(setting prefix)
mapfile -t prefix_args <"$build/bench/prefix-args"
# The root cmake/arm64-root.sh made, for the ARM64 build; for x64 both are empty, and the
# host's Wine runs it.
export ZORVA_ARM64_ROOT ZORVA_ARM64_BINDS
ZORVA_ARM64_ROOT=$(setting arm64_root)
ZORVA_ARM64_BINDS=$(setting arm64_binds)
wine=$("$root/cmake/wine-prefix.sh" run "$prefix" --version)
mode=()
if [ -n "$ZORVA_ARM64_ROOT" ]; then
    mode=(--emulated)
    wine="arm64 $wine under $("$ZORVA_ARM64_ROOT/usr/bin/qemu-aarch64-static" --version | head -n1): emulated"
fi

# Drive Z: is the Unix root in every new prefix.
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

trap '"$root/cmake/wine-prefix.sh" cleanup "$prefix"' EXIT
SECONDS=0
"$root/cmake/wine-prefix.sh" setup "$prefix" "${prefix_args[@]}"
# The verbs' captions, and so the INF the installation is compared with, are the English ones.
# The arm64 root has no FreeType: each Wine process there that draws says so in four lines on
# stderr, left out here.
env LC_ALL=en_US.UTF-8 "$root/cmake/wine-prefix.sh" run "$prefix" "$(setting bench)" "${mode[@]}" \
    "$(windows_path "$(setting dll)")" "$(windows_path "$(setting host)")" "$(windows_path "$build/bench")" \
    2> >(sed '/^Wine cannot find the FreeType font library/,/freetype\.org$/d' >&2)
echo "make bench: $SECONDS s in all, prefix set-up included ($(nproc) cores, $(uname -m), $wine)"
