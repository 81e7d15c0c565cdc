#!/bin/sh
# unsigned.sh SOURCE_DIR BINARY_DIR
#
# Checks the unsigned release: the INF and both libraries as built, no catalog, one line
# saying so, and the same bytes from a second run.
set -eu
. "$(dirname "$0")/lib.sh"

u=$t/unsigned
if [ "$(cat "$t/logs/unsigned.err")" = "" ] &&
    [ "$(grep -c unsigned "$t/logs/unsigned.out")" -eq 1 ] &&
    [ "$(LC_ALL=C ls "$u/driver" | tr '\n' ' ')" = "$arm64_dll $dll $inf " ] &&
    cmp -s "$u/driver/$dll" "$build_dll" && cmp -s "$u/driver/$arm64_dll" "$build_arm64_dll"; then
    pass "without a certificate: the INF and both unsigned DLLs, no catalog, one line saying so"
else
    failed "the unsigned package"
fi
for f in "$dll" "$arm64_dll"; do
    verify fails "the unsigned $f carries no signature" -in "$u/driver/$f"
done
# The hash lines of two runs from the same build: the same bytes, cabinet and bill of
# materials included.
run_release unsigned-again "$t/unsigned-again"
if [ "$rc" -eq 0 ] && [ "$(grep '  ' "$t/logs/unsigned.out")" = "$(grep '  ' "$t/logs/unsigned-again.out")" ] &&
    [ "$(grep -c '  ' "$t/logs/unsigned.out")" -eq 5 ]; then
    pass "two unsigned runs print the same SHA-256 for each of the five files"
else
    failed "two unsigned runs differ"
fi
finish
