#!/bin/sh
# Installs the Debian packages the build, the Wine test runs, the static analysis and the
# driver package's signing (a key on a PKCS #11 token through libp11's engine; SoftHSM2 and
# OpenSC's pkcs11-tool make the tests' token), its catalog test, its bill of materials and
# the release tests need, when any is missing. clang 14 with its runtimes and LLVM's tools
# build the native fuzz targets and report their coverage. npm may come from another source
# than Debian's own package; any npm will do. The ARM64 build's compiler is the clang of the
# LLVM pin (cmake/llvm-pin.sh) with its lld; its CRT and runtimes come from Debian's source
# packages (cmake/aarch64-sysroot.sh, which needs dpkg-source), its Wine from arm64 packages
# unpacked by cmake/arm64-root.sh.
set -eu
# shellcheck source=cmake/llvm-pin.sh
. "$(dirname "$0")/llvm-pin.sh"
packages="g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
mingw-w64-x86-64-dev wine64 cmake make googletest osslsigncode gcab openssl clang-tidy
python3-asn1crypto clang-14 libclang-rt-14-dev llvm-14 python3 python3-jsonschema
clang-$llvm_major lld-$llvm_major llvm-$llvm_major dpkg-dev xz-utils softhsm2 libengine-pkcs11-openssl opensc"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
command -v npm >/dev/null 2>&1 || missing="$missing npm"
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
