#!/bin/sh
# Runs a command that uses the cached ARM64 toolchain and arm64 Wine root (a build or a test
# run of the ARM64 tree) while holding their locks of use, so that no other run prunes them
# under it (cmake/cache-entry.sh).
#   cache-use.sh COMMAND [ARG...]
set -eu
here=$(dirname "$0")
toolchain=$(dirname "$("$here/aarch64-sysroot.sh")")
root=$("$here/arm64-root.sh" setup)
exec flock -s "$toolchain/.complete" flock -s "$root/.complete" "$@"
