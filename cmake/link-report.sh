#!/bin/sh
# link-report.sh REPORT COMMAND...
# Runs a link whose linker reports verbosely (lld's --verbose) and keeps the report in REPORT
# instead of the build's output: its "Reading" and "Loaded ARCHIVE(MEMBER)" lines name every
# file and archive member that went into the image, which lld's own map names only by member.
# The linker's warnings and errors still reach the build's output.
set -u
report=$1
shift
status=0
"$@" 2>"$report" || status=$?
grep -E -e '^[^ ]*: (warning|error): ' -e ': (undefined|duplicate) symbol' "$report" >&2
exit "$status"
