#!/bin/sh
# The make targets' work in both build trees: x64 in $ZORVA_BUILD, ARM64 in
# $ZORVA_BUILD/arm64 (which stages the x64 library beside its own, so x64 comes first).
#   trees.sh configure|build|test|demo|bench
# ZORVA_BUILD, ZORVA_JOBS, ZORVA_DEMO_LANG and ZORVA_DEMO_ARCH come from the environment and
# reach the commands as arguments only.
#
# The ARM64 tree needs the aarch64 toolchain and the arm64 Wine root, made once into a cache
# (about 5 minutes on a new machine, at once afterwards). They are made in the background
# while the x64 tree configures, builds and (for test) runs its suite; their progress goes to
# $ZORVA_BUILD/aarch64-toolchain.log and is shown when they are done. Their failure is fatal.
# The x64 suite's entries labelled both-libraries (the releases, which hold the ARM64 library
# too) wait for the ARM64 tree.
set -eu
action=$1
build=$ZORVA_BUILD
jobs=$ZORVA_JOBS
here=$(cd "$(dirname "$0")" && pwd)
status=0

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
log=$build/aarch64-toolchain.log
config_file=$build/aarch64-toolchain.config
{ "$here/aarch64-sysroot.sh" >"$config_file" && "$here/arm64-root.sh" setup >/dev/null; } 2>"$log" &
toolchain=$!

x64() { cmake --build "$build" -j "$jobs" "$@"; }
arm64() { "$here/cache-use.sh" cmake --build "$build/arm64" -j "$jobs" "$@"; }
suite() { ctest --output-on-failure -j "$jobs" --test-dir "$@"; }

# The x64 part: everything that does not need the ARM64 tree. When it fails, the run still
# waits for the toolchain (the next run needs it too), then stops.
stop=0
case $action in
configure) ;;
build) x64 || stop=1 ;;
test) if x64; then suite "$build" -LE both-libraries || status=1; else stop=1; fi ;;
demo) x64 --target zorva_demo zorva_package || stop=1 ;;
bench) x64 --target zorva_bench || stop=1 ;;
*)
    echo "usage: $0 configure|build|test|demo|bench" >&2
    exit 2
    ;;
esac

if wait "$toolchain"; then
    sed 's/^/aarch64 toolchain: /' "$log"
else
    cat "$log" >&2
    echo "The aarch64 toolchain or the arm64 Wine root could not be made (log: $log)" >&2
    exit 1
fi
[ "$stop" -eq 0 ] || exit 1

# The ARM64 tree's compiler flags name the toolchain it was configured with: when
# aarch64-sysroot.sh makes another one (a new pin or recipe), the tree is configured afresh,
# and everything in it built again with the new one.
config=$(cat "$config_file")
cache=$build/arm64/CMakeCache.txt
if [ -f "$cache" ] && ! grep -qxF "ZORVA_CLANG_CONFIG:FILEPATH=$config" "$cache"; then
    echo "The aarch64 toolchain changed: configuring $build/arm64 afresh"
    rm -rf -- "$cache" "$build/arm64/CMakeFiles"
fi
"$here/cache-use.sh" cmake -S . -B "$build/arm64" -DCMAKE_TOOLCHAIN_FILE=cmake/clang-aarch64-w64-mingw32.cmake \
    -DCMAKE_BUILD_TYPE=Release -DZORVA_CLANG_CONFIG="$config" \
    -DZORVA_X64_DLL="$(realpath -m -- "$build")/ZORVA_KT2HX-x64.dll" >/dev/null

case $action in
build) arm64 ;;
test)
    # Both suites run, whichever fails; the x64 entries that take both libraries first.
    if arm64; then
        suite "$build" -L both-libraries || status=1
        "$here/cache-use.sh" ctest --output-on-failure -j "$jobs" --test-dir "$build/arm64" || status=1
    else
        status=1
    fi
    exit "$status"
    ;;
demo)
    # The release in the demo's last step holds both architectures' libraries.
    if [ "$ZORVA_DEMO_ARCH" = arm64 ]; then
        arm64 --target zorva_demo zorva_package
        "$here/cache-use.sh" "$here/../tools/demo/run-demo.sh" "$build/arm64" "$ZORVA_DEMO_LANG"
    else
        arm64 --target zorva_package
        "$here/../tools/demo/run-demo.sh" "$build" "$ZORVA_DEMO_LANG"
    fi
    ;;
bench)
    # x64, then ARM64 under emulation (its figures labelled so, without goals).
    arm64 --target zorva_bench
    "$here/../tools/bench/run-bench.sh" "$build"
    "$here/cache-use.sh" "$here/../tools/bench/run-bench.sh" "$build/arm64"
    ;;
esac
