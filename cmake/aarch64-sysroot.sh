#!/bin/sh
# Makes the toolchain for 64-bit ARM Windows from Debian's own packages, once, in a cache
# outside the build tree, and prints the path of its clang configuration file.
#   aarch64-sysroot.sh
# Debian ships no aarch64 mingw-w64 CRT: it is built here from Debian's source packages,
# fetched with `apt-get source` under a private APT configuration (nothing in /etc/apt
# changes), together with compiler-rt's builtins and a static libunwind, libc++abi and libc++
# built with Debian's clang of the LLVM pin (cmake/llvm-pin.sh). The versions are pinned: a
# point release of either source package, or another clang, makes another cache entry instead
# of changing this one's bytes under a finished build. Everything but the final path goes to
# stderr.
set -eu

mingw_version=10.0.0-3
# shellcheck source=cmake/llvm-pin.sh
. "$(dirname "$0")/llvm-pin.sh"
deb_src='deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main'

clang_version=$(dpkg-query -W -f='${Version}' "clang-$llvm_major")
if [ "$clang_version" != "$llvm_version" ]; then
    echo "clang-$llvm_major $clang_version is installed; this toolchain is pinned to $llvm_version" >&2
    exit 1
fi

# The pin is part of the recipe, for the cache's key.
# shellcheck disable=SC2034
recipe_files="$(dirname "$0")/llvm-pin.sh"
# shellcheck source=cmake/cache-entry.sh
. "$(dirname "$0")/cache-entry.sh"
cache_entry aarch64-w64-mingw32 aarch64-w64-mingw32.cfg
sysroot=$entry
cfg=$result
echo "Building the aarch64-w64-mingw32 toolchain in $sysroot (once)" >&2
jobs=$(nproc)
log=$work/log
# The runtimes' file names are built into them (assertions): map the throw-away work folder
# away so that the bytes do not depend on where the cache lives.
map="-ffile-prefix-map=$work=/usr/src/zorva-toolchain -ffunction-sections -fdata-sections"

step() {
    echo "  $1" >&2
    shift
    if ! "$@" >>"$log" 2>&1; then
        tail -40 "$log" >&2
        echo "failed: $*" >&2
        exit 1
    fi
}

# Sources: a private APT configuration whose only list is one deb-src line.
mkdir -p "$work/src"
APT_CONFIG=$(private_apt "$work/apt" "$deb_src")
export APT_CONFIG
step "apt-get update (deb-src only)" apt-get update
cd "$work/src"
step "apt-get source mingw-w64=$mingw_version" apt-get source -q mingw-w64="$mingw_version"
step "apt-get source llvm-toolchain-$llvm_major=$llvm_version" \
    apt-get source -q --download-only "llvm-toolchain-$llvm_major=$llvm_version"
unset APT_CONFIG
mingw_src=$(find "$work/src" -maxdepth 1 -type d -name 'mingw-w64-*' | head -1)
# Only the runtimes' folders of the 164 MB LLVM tarball, unpatched: Debian's patches to
# them are for its Linux builds.
mkdir -p "$work/llvm"
step "unpacking the LLVM runtimes" tar -xJf "$work/src/llvm-toolchain-${llvm_major}_$llvm_upstream.orig.tar.xz" \
    -C "$work/llvm" --strip-components=1 --wildcards --no-wildcards-match-slash \
    '*/cmake' '*/compiler-rt' '*/libcxx' '*/libcxxabi' '*/libunwind' '*/runtimes' '*/llvm/cmake' '*/llvm/utils'

# Each source package's copyright file and the names of the sources the runtimes are built
# from, kept with the toolchain: the bill of materials reads from them which licences cover
# the members a link took in (lld and the objects name a source file only by its base name).
doc=$sysroot/share/doc
mkdir -p "$doc/mingw-w64" "$doc/llvm-toolchain-$llvm_major"
cp "$mingw_src/debian/copyright" "$doc/mingw-w64/copyright"
(cd "$mingw_src" && find mingw-w64-crt -type f | LC_ALL=C sort) >"$doc/mingw-w64/source-files"
step "llvm-toolchain-$llvm_major's copyright file" tar -xJf "$(find "$work/src" -maxdepth 1 -name "llvm-toolchain-${llvm_major}_*.debian.tar.xz")" \
    -C "$doc/llvm-toolchain-$llvm_major" --strip-components=1 debian/copyright
(cd "$work/llvm" && find compiler-rt/lib/builtins libcxx/src libcxxabi/src libunwind/src -type f | LC_ALL=C sort) \
    >"$doc/llvm-toolchain-$llvm_major/source-files"

cc="clang-$llvm_major --target=aarch64-w64-mingw32 --sysroot=$sysroot"
tools="AR=llvm-ar-$llvm_major RANLIB=llvm-ranlib-$llvm_major DLLTOOL=llvm-dlltool-$llvm_major NM=llvm-nm-$llvm_major STRIP=llvm-strip-$llvm_major"

mkdir -p "$work/headers" "$work/crt"
cd "$work/headers"
step "mingw-w64 headers" "$mingw_src/mingw-w64-headers/configure" --host=aarch64-w64-mingw32 \
    --prefix="$sysroot" --with-default-msvcrt=msvcrt
step "mingw-w64 headers (install)" make install
cd "$work/crt"
# shellcheck disable=SC2086
step "mingw-w64 CRT (configure)" env $tools "$mingw_src/mingw-w64-crt/configure" \
    --host=aarch64-w64-mingw32 --prefix="$sysroot" --disable-lib32 --disable-lib64 \
    --enable-libarm64 --disable-dependency-tracking --with-default-msvcrt=msvcrt \
    CC="$cc" CFLAGS="-O2 $map"
step "mingw-w64 CRT (make)" make -j"$jobs"
step "mingw-w64 CRT (install)" make install
# mingw-w64 10 has no wintrust.def for 64-bit ARM; the one for 32-bit ARM names the same
# undecorated exports. The release's trust tests link against it. (dlltool names the
# library's internal symbols after the output path: a relative one keeps the cache out.)
cd "$sysroot/lib"
step "wintrust import library" "llvm-dlltool-$llvm_major" -m arm64 -d "$mingw_src/mingw-w64-crt/libarm32/wintrust.def" \
    -l libwintrust.a

# compiler-rt's builtins, in a resource folder of our own beside clang's own headers.
resource=$sysroot/clang-resource
mkdir -p "$resource"
ln -s "$("clang-$llvm_major" -print-resource-dir)/include" "$resource/include"
cmake_common="-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=aarch64
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_AR=/usr/bin/llvm-ar-$llvm_major -DCMAKE_RANLIB=/usr/bin/llvm-ranlib-$llvm_major
    -DCMAKE_C_COMPILER=clang-$llvm_major -DCMAKE_CXX_COMPILER=clang++-$llvm_major -DCMAKE_ASM_COMPILER=clang-$llvm_major
    -DCMAKE_C_COMPILER_TARGET=aarch64-w64-mingw32 -DCMAKE_CXX_COMPILER_TARGET=aarch64-w64-mingw32
    -DCMAKE_ASM_COMPILER_TARGET=aarch64-w64-mingw32 -DCMAKE_SYSROOT=$sysroot"
# shellcheck disable=SC2086
step "compiler-rt builtins (configure)" cmake -S "$work/llvm/compiler-rt/lib/builtins" -B "$work/builtins" \
    $cmake_common -DCMAKE_C_FLAGS="$map" -DCMAKE_ASM_FLAGS="$map" \
    -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY -DCOMPILER_RT_DEFAULT_TARGET_ONLY=ON \
    -DLLVM_ENABLE_PER_TARGET_RUNTIME_DIR=OFF -DCMAKE_INSTALL_PREFIX="$resource"
step "compiler-rt builtins (build)" cmake --build "$work/builtins" -j"$jobs" --target install

# libunwind, libc++abi and libc++, static, with exceptions (the test programs use them).
# libc++abi's demangler stays out: it would be most of a small DLL that calls terminate().
runtime_flags="-resource-dir=$resource --rtlib=compiler-rt --unwindlib=none $map"
# shellcheck disable=SC2086
step "libunwind, libc++abi, libc++ (configure)" cmake -S "$work/llvm/runtimes" -B "$work/runtimes" \
    $cmake_common -C "$work/llvm/libcxx/cmake/caches/MinGW.cmake" \
    -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" \
    -DCMAKE_C_FLAGS="$runtime_flags" -DCMAKE_CXX_FLAGS="$runtime_flags" \
    -DCMAKE_C_COMPILER_WORKS=ON -DCMAKE_CXX_COMPILER_WORKS=ON \
    -DLIBUNWIND_ENABLE_SHARED=OFF -DLIBCXXABI_ENABLE_SHARED=OFF -DLIBCXX_ENABLE_SHARED=OFF \
    -DLIBCXXABI_USE_LLVM_UNWINDER=ON -DLIBCXXABI_NON_DEMANGLING_TERMINATE=ON \
    -DLIBCXX_INCLUDE_TESTS=OFF -DLIBCXXABI_INCLUDE_TESTS=OFF -DLIBUNWIND_INCLUDE_TESTS=OFF \
    -DLIBCXX_INCLUDE_BENCHMARKS=OFF -DLIBCXX_INCLUDE_DOCS=OFF -DLIBUNWIND_INCLUDE_DOCS=OFF \
    -DCMAKE_INSTALL_PREFIX="$sysroot"
step "libunwind, libc++abi, libc++ (build)" cmake --build "$work/runtimes" -j"$jobs"
step "libunwind, libc++abi, libc++ (install)" cmake --install "$work/runtimes"

# One --config carries the target, the sysroot and the runtimes into every compile and link.
cat >"$cfg" <<'EOF'
--target=aarch64-w64-mingw32
--sysroot=<CFGDIR>
-resource-dir=<CFGDIR>/clang-resource
--rtlib=compiler-rt
--unwindlib=libunwind
-stdlib=libc++
-fuse-ld=lld
EOF
printf 'mingw-w64 %s\nllvm-toolchain-%s %s\nclang-%s %s\n' "$mingw_version" "$llvm_major" "$llvm_version" \
    "$llvm_major" "$clang_version" \
    >"$sysroot/VERSIONS"
echo "Toolchain ready: $(du -sh "$sysroot" | cut -f1)" >&2
cache_done
