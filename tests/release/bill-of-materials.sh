#!/bin/sh
# bill-of-materials.sh SOURCE_DIR BINARY_DIR
#
# Checks the bill of materials of each release against facts gathered here without the
# generator's code.
set -eu
. "$(dirname "$0")/lib.sh"

# The bill of materials, checked against facts gathered here without the generator's code:
# the linker map read with awk, the packages and versions from dpkg, the shipped files.

# The map's runtime parts: the archives the linker took members from and the objects it
# loaded, outside the build (absolute paths), as "part PATH"; and as "edge FROM TO" each
# part whose member's reference pulled in a member of another.
map_facts() {
    awk '
        /^Archive member included/ { on = 1; next }
        /^(Discarded input sections|Memory Configuration)$/ { on = 0 }
        on && /^[^ ]/ { member = $1; sub(/\(.*/, "", member); print "part", member
                        if (NF > 1) { by = $2; sub(/\(.*/, "", by); print "edge", by, member; member = "" }
                        next }
        on && /^ +[^ (]/ && member != "" { by = $1; sub(/\(.*/, "", by); print "edge", by, member; member = "" }
        /^LOAD \/.*\.o$/ { print "part", $2 }
    ' "$1" | while read -r kind a b; do
        case $kind:$a:${b:-/} in
            part:/*) echo "part $(realpath "$a")" ;;
            edge:/*:/*) [ "$(realpath "$a")" = "$(realpath "$b")" ] || echo "edge $(realpath "$a") $(realpath "$b")" ;;
        esac
    done | LC_ALL=C sort -u
}

# The same from lld's verbose report: the absolute objects it read, the archives whose
# members it loaded ("Loaded ARCHIVE(MEMBER)", ARCHIVE as read by an absolute path), and for
# each DLL it read imports of ("Reading X.dll") the first archive read that holds a member
# of that name, when that archive is not the build's own (a relative path).
lld_facts() {
    (
        cd "$(dirname "$1")"
        sed -n 's|^ld\.lld: Reading \(.*\.a\)$|\1|p' "$1" >"$t/lld-archives"
        sed -n 's|^ld\.lld: Reading \(/.*\.o\)$|\1|p' "$1"
        sed -n 's|^ld\.lld: Loaded \([^(]*\)(.*$|\1|p' "$1" | sort -u | while read -r name; do
            awk -v n="$name" '{ k = $0; sub(/.*\//, "", k) } k == n && /^\// { print }' "$t/lld-archives"
        done
        sed -n 's|^ld\.lld: Reading \([^/()]*\.dll\)$|\1|p' "$1" | sort -u | while read -r dll; do
            while read -r archive; do
                if ar t "$archive" | grep -qxF "$dll"; then
                    case $archive in /*) echo "$archive" ;; esac
                    break
                fi
            done <"$t/lld-archives"
        done
    ) | while read -r path; do echo "part $(realpath "$path")"; done | LC_ALL=C sort -u
}

# The Debian package of a runtime part and its version: the package that installed it, or
# for a part of the toolchain built from source packages (its folder has a VERSIONS file),
# the source package it was built from, by the toolchain's recipe: LLVM's runtimes from
# llvm-toolchain-19, the rest from mingw-w64.
package_of() {
    root=$(dirname "$1")
    while [ "$root" != / ] && [ ! -f "$root/VERSIONS" ]; do root=$(dirname "$root"); done
    if [ -f "$root/VERSIONS" ]; then
        case ${1##*/} in
            libc++.a | libc++abi.a | libunwind.a | libclang_rt.*) source=llvm-toolchain-19 ;;
            *) source=mingw-w64 ;;
        esac
        grep "^$source " "$root/VERSIONS"
    else
        package=$(dpkg-query -S "$1" | cut -d: -f1)
        echo "$package $(dpkg-query -W -f='${Version}' "$package")"
    fi
}

schema=$binary_dir/cyclonedx/node_modules/@cyclonedx/cyclonedx-library/res/schema
epoch=$(git -C "$source_dir" log -1 --format=%ct)
{
    echo "timestamp $(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%SZ)"
    # Each library's parts from its own link's account: GNU ld's map for x64, lld's
    # report for ARM64.
    for library in "$dll" "$arm64_dll"; do
        case $library in
            "$dll") map_facts "$binary_dir/ZORVA_KT2HX-x64.map" ;;
            *) lld_facts "$binary_dir/arm64/ZORVA_KT2HX-arm64.link-report" ;;
        esac | while read -r kind a b; do
            if [ "$kind" = part ]; then
                echo "part $library $a $(package_of "$a")"
            else
                echo "$kind $a $b"
            fi
        done
    done
    # The licences Debian's copyright files state for what the link takes from them, as
    # regular expressions: GCC's runtime exception; mingw-w64's runtime (ZPL and public
    # domain first) under no GPL, which covers only its tools and headers; LLVM's
    # runtimes under Apache 2.0 with the LLVM exception.
    printf "%s\n" "licence gcc-mingw-w64-x86-64-posix GPL-3\.0-or-later WITH GCC-exception-3\.1"
    for mingw in mingw-w64-x86-64-dev mingw-w64; do
        printf "%s\n" "licence $mingw (?!.*GPL)ZPL-2\.1 AND LicenseRef-Debian-public-domain AND .*"
    done
    printf "%s\n" "licence llvm-toolchain-19 Apache-2\.0 WITH LLVM-exception"
} >"$t/sbom-facts"
check "the links name the parts of the runtime known to be linked today" '(
    for p in "$dll dllcrt2.o" "$dll libmingw32.a" "$dll libmingwex.a" "$dll libmsvcrt.a" \
        "$dll libgcc.a" "$dll libssp.a" "$arm64_dll dllcrt2.o" "$arm64_dll libmingw32.a" \
        "$arm64_dll libmsvcrt.a" "$arm64_dll libkernel32.a" "$arm64_dll libclang_rt.builtins-aarch64.a"; do
        grep -q "^part ${p% *} .*/${p#* } " "$t/sbom-facts" || exit 1
    done)'
for kind in unsigned signed stamped; do
    for f in "$t/$kind/driver"/*; do
        echo "file ${f##*/} $f"
    done >"$t/sbom-files"
    /usr/bin/python3 "$here/check-sbom.py" "$schema" "$t/$kind/$sbom" \
        "$t/sbom-facts" "$t/sbom-files" || failures=$((failures + 1))
done
check "a new signature gives a new serial number" \
    '[ "$(grep serialNumber "$t/signed/$sbom")" != "$(grep serialNumber "$t/stamped/$sbom")" ]'
finish
