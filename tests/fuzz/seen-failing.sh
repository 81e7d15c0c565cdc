#!/bin/sh
# Puts back, one at a time, a fault that the parsers once had or could have (faults/*.patch),
# and times how long each fuzz target takes to find it: once as CTest runs it (the seed
# corpus, then fuzzing) and once from an empty corpus (the dictionary alone), SECONDS at the
# most each. A fault not found in that time is reported as such.
#   seen-failing.sh BUILD_DIR SECONDS [FAULT...]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$1
seconds=$2
shift 2
[ $# -gt 0 ] || set -- $(cd "$here/faults" && ls *.patch | sed 's/\.patch$//')
printf '%-32s %-10s %-6s %s\n' fault target corpus "found after"
for fault in "$@"; do
    scratch=$build/$fault
    rm -rf "$scratch"
    mkdir -p "$scratch/src/tests"
    cp -r "$root/shellverbs" "$scratch/src/"
    cp -r "$here" "$scratch/src/tests/"
    patch -s -d "$scratch/src" -p1 <"$here/faults/$fault.patch"
    target=host_names
    grep -q 'udn\.h' "$here/faults/$fault.patch" && target=udn
    cmake -S "$scratch/src/tests/fuzz" -B "$scratch/build" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
    cmake --build "$scratch/build" --target ${target}_fuzzer >/dev/null
    for corpus in seeds empty; do
        mkdir -p "$scratch/$corpus-new"
        set -- "$scratch/$corpus-new"
        [ $corpus = seeds ] && set -- "$@" "$here/$target"
        start=$(date +%s.%N)
        if "$scratch/build/${target}_fuzzer" -dict="$here/$target.dict" -max_len=1024 -max_total_time="$seconds" \
                -artifact_prefix="$scratch/$corpus-" "$@" >"$scratch/$corpus.log" 2>&1; then
            result="not found in $seconds s"
        else
            elapsed=$(awk "BEGIN { printf \"%.1f\", $(date +%s.%N) - $start }")
            runs="$(grep -o '^#[0-9]*' "$scratch/$corpus.log" | tail -1) runs"
            grep -q INITED "$scratch/$corpus.log" || runs="replaying the seeds"
            how=$(grep -m1 -o -E 'oracle: .*|ERROR: AddressSanitizer: [a-z-]+|runtime error: .*' "$scratch/$corpus.log" | cut -c1-50)
            result="$elapsed s ($runs): $how"
        fi
        printf '%-32s %-10s %-6s %s\n' "$fault" "$target" $corpus "$result"
    done
done
