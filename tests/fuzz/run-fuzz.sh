#!/bin/sh
# Builds the fuzz targets of this folder natively with clang 14 (no Wine), runs each over
# its seed corpus (the folder named after it) and then fuzzes it for SECONDS under
# AddressSanitizer and UBSan. The first finding fails the run and leaves its input in
# BUILD_DIR/<target>/crash-*: it becomes a row of the target's table test.
#   run-fuzz.sh BUILD_DIR SECONDS      (CTest: 5; make fuzz FUZZ_SECONDS=N, 60 by default)
#   run-fuzz.sh --coverage BUILD_DIR   the line and branch coverage the seed corpus reaches
# Inputs that reach new code collect in BUILD_DIR/<target>/new; to keep them, merge them
# into the corpus by hand:
#   BUILD_DIR/<target>_fuzzer -merge=1 tests/fuzz/<target> BUILD_DIR/<target>/new
set -eu
here=$(cd "$(dirname "$0")" && pwd)
coverage=OFF
if [ "$1" = --coverage ]; then
    coverage=ON
    shift
fi
build=$1
cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DZORVA_FUZZ_COVERAGE=$coverage >/dev/null
cmake --build "$build" -j "${ZORVA_JOBS:-2}" >/dev/null
# Each target: its name, the longest input worth trying (a host may run past the 256 units
# of WinHttpCrackUrl's buffer; a tail needs no more than a few UDNs), the parser's file.
for target in udn:256:udn.h host_names:1024:host_names.cpp; do
    source=${target##*:}
    target=${target%:*}
    max_len=${target#*:}
    target=${target%:*}
    fuzzer=$build/${target}_fuzzer
    if [ $coverage = ON ]; then
        LLVM_PROFILE_FILE=$build/$target.profraw "$fuzzer" -runs=0 "$here/$target" 2>/dev/null
        llvm-profdata-14 merge -o "$build/$target.profdata" "$build/$target.profraw"
        llvm-cov-14 report "$fuzzer" -instr-profile="$build/$target.profdata" "$here/../../shellverbs/$source"
        continue
    fi
    mkdir -p "$build/$target/new"
    echo "$target: the seed corpus, then $2 s of fuzzing"
    if ! "$fuzzer" -dict="$here/$target.dict" -max_len="$max_len" -max_total_time="$2" -print_final_stats=1 \
            -artifact_prefix="$build/$target/" "$build/$target/new" "$here/$target" >"$build/$target/log" 2>&1; then
        grep -v '^#[0-9]' "$build/$target/log"
        exit 1
    fi
    grep -E 'stat::(number_of_executed_units|new_units_added)|Done ' "$build/$target/log"
done
