#!/bin/sh
# with-file.sh FILE REPLACEMENT COMMAND...
# Runs COMMAND with a copy of REPLACEMENT in place of FILE, and puts FILE back afterwards,
# however COMMAND ends.
set -eu
file=$1
replacement=$2
shift 2
cp "$file" "$file.saved"
trap 'mv -f "$file.saved" "$file"' EXIT
trap 'exit 143' TERM INT
cp "$replacement" "$file"
"$@"
