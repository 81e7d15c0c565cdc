# shellcheck shell=sh disable=SC2034
# The LLVM of the ARM64 build: Debian 12's clang, lld and llvm of this version, and the
# runtimes built from the same llvm-toolchain source package. Sourced by the scripts that
# install and build the toolchain and read by its CMake toolchain file; a new version here
# makes a new toolchain cache entry.
llvm_version=1:19.1.7-3~deb12u1

llvm_upstream=${llvm_version#*:}
llvm_upstream=${llvm_upstream%%-*}
llvm_major=${llvm_upstream%%.*}
