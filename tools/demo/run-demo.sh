#!/bin/bash
# make demo: the life of the Zorva KT2HX driver package in a throw-away Wine prefix, told
# step by step: the device is installed through SetupAPI, the plug-in trees its co-installer
# writes are shown, the three verbs are run against a simulated appliance, the UI language
# is switched and the driver installed again, a second unit comes and goes while the verbs
# stay, and the last unit is removed. Last, the package is signed with a throw-away
# certificate and installed and removed once more, catalog included.
#
#   tools/demo/run-demo.sh BUILD_DIR [LANGUAGE]     LANGUAGE: a locale such as ja_JP (default de_DE)
#
# Exits non-zero as soon as a step does not do what it should.
set -euo pipefail

build=$(cd "$1" && pwd)
language=${2:-de_DE}
root=$(cd "$(dirname "$0")/../.." && pwd)

# The locale tag whose captions the co-installer writes for a language: the first row of the
# appliance's language list (localization/languages.inc, one "TAG;codes;countries;locale"
# line a row in the build tree) that names the locale's language, and its country if the
# row names countries.
tag=''
while IFS=";" read -r row_tag codes countries _; do
    if [[ " $codes " == *" ${language%%_*} "* && (-z $countries || " $countries " == *" ${language#*_} "*) ]]; then
        tag=$row_tag
        break
    fi
done <"$build/localization/languages"
if [ -z "$tag" ]; then
    echo "DEMO_LANG=$language is not one of the appliance's languages. Use a locale of one of:" >&2
    echo "  $(cut -d';' -f4 "$build/localization/languages" | sort | paste -sd' ')" >&2
    echo "  (or another country of the same language)" >&2
    exit 2
fi

setting() { sed -n "s/^$1=//p" "$build/demo/settings"; }
installer=$(setting installer)
driver=$(setting driver)
inf=$(setting inf)
prefix=$(setting prefix)
mapfile -t prefix_args <"$build/demo/prefix-args"
hardware_id='VEN_0F3D&DEV_0042&REV_01'
arch=$(setting arch)
module=$(setting module)
installed=$(setting installed)
system32_library=$prefix/drive_c/windows/system32/$installed
# The ARM64 build runs in arm64 Wine under qemu, in the root cmake/arm64-root.sh made; for x64
# both are empty, and the host's Wine runs it.
export ZORVA_ARM64_ROOT ZORVA_ARM64_BINDS
ZORVA_ARM64_ROOT=$(setting arm64_root)
ZORVA_ARM64_BINDS=$(setting arm64_binds)

# Drive Z: is the Unix root in every new prefix.
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

if [ -t 1 ]; then bold=$(printf '\033[1m') plain=$(printf '\033[0m'); else bold='' plain=''; fi
step_number=0
step() {
    step_number=$((step_number + 1))
    current="$*"
    printf '\n%s[%d/9] %s%s\n' "$bold" "$step_number" "$*" "$plain"
}
say() { printf '    %s\n' "$*"; }

# Runs a program of the build in the demo's prefix, with the system UI language of a locale
# (LC_ALL is read once, when a Wine process starts). Its output is indented. The arm64 root
# has no FreeType: each Wine process there that draws says so in four lines, left out here.
in_prefix() {
    local locale=$1
    shift
    env LC_ALL="$locale.UTF-8" "$root/cmake/wine-prefix.sh" run "$prefix" "$@" 2>&1 |
        sed -e '/^Wine cannot find the FreeType font library/,/freetype\.org$/d' -e 's/^/    /'
}

current="starting"
finish() {
    local status=$?
    "$root/cmake/wine-prefix.sh" cleanup "$prefix"
    if [ "$status" -ne 0 ]; then
        printf '\n%sDemo FAILED in step "%s".%s\n' "$bold" "$current" "$plain" >&2
    fi
    exit "$status"
}
trap finish EXIT
SECONDS=0

step "A throw-away Wine prefix, with the test stand-ins but without the library"
"$root/cmake/wine-prefix.sh" setup "$prefix" "${prefix_args[@]}" | sed 's/^/    /'
if [ -e "$system32_library" ]; then
    say "NOT OK: the library is already in System32; the package is meant to put it there"
    exit 1
fi
say "System32 holds no $installed yet."

step "The simulated appliance comes online"
in_prefix en_US "$driver" appliance

step "Plugging it in: Windows installs the driver package through SetupAPI (UI language en_US; unsigned: no catalog)"
in_prefix en_US "$installer" install "$(windows_path "$inf")" "$hardware_id"

step "What the co-installer wrote for the Network folder"
in_prefix en_US "$driver" trees EN-US

step "Using the appliance's verbs, the way the Network folder runs them"
in_prefix en_US "$driver" verbs

step "Switching the UI language to $language and installing the driver again"
in_prefix "$language" "$installer" update "$(windows_path "$inf")" "$hardware_id"
in_prefix "$language" "$driver" trees "$tag"

step "A second unit joins and leaves again: the first one keeps its verbs"
# The installation goes as before; only its first and last line are shown.
unit_log="$build/demo/second-unit.txt"
in_prefix "$language" "$installer" install "$(windows_path "$inf")" "$hardware_id" >"$unit_log" ||
    { cat "$unit_log"; exit 1; }
grep -E '^ *(Created device|Device .* installed)' "$unit_log"
second=$(sed -n 's/^ *Created device \(.*\) with hardware ID .*/\1/p' "$unit_log")
in_prefix en_US "$installer" remove "$hardware_id" "$second"
in_prefix "$language" "$driver" trees "$tag"

step "Unplugging the last unit: Windows removes the device"
in_prefix en_US "$installer" remove "$hardware_id"
in_prefix en_US "$driver" no-trees

step "The signed release: a vendor signs the package, Windows installs it with its catalog"
vendor=$build/demo/vendor
rm -rf "$vendor" && mkdir -p "$vendor"
# A throw-away self-signed code-signing certificate stands for the vendor's.
(umask 077 && head -c 24 /dev/urandom | base64 >"$vendor/pass.txt")
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/CN=Zorva Demo Vendor" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$vendor/key.pem" -out "$vendor/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$vendor/key.pem" -in "$vendor/cert.pem" \
    -passout "file:$vendor/pass.txt" -out "$vendor/vendor.p12"
# The release takes every architecture's library from the x64 tree and the trees inside it.
SIGNING_CERT=$vendor/vendor.p12 SIGNING_PASS_FILE=$vendor/pass.txt \
    "$root/package/release/release.py" "$(setting x64_tree)" "$build/demo/release" 2>&1 | sed 's/^/    /'
signed=$build/demo/release/driver
# Removing the device left the unsigned library in System32; the signed one replaces it.
rm -f "$system32_library"
in_prefix en_US "$installer" install "$(windows_path "$signed/zorva_kt2hx.inf")" "$hardware_id"
if ! cmp -s "$signed/$module" "$system32_library"; then
    say "NOT OK: System32 does not hold the signed library"
    exit 1
fi
say "System32 holds the signed library."
found=no
while IFS= read -r catalog; do
    if cmp -s "$catalog" "$signed/zorva_kt2hx.cat"; then found=$catalog; fi
done < <(find "$prefix/drive_c/windows/system32/catroot" -iname '*.cat')
if [ "$found" = no ]; then
    say "NOT OK: the package's catalog is not among the system's catalogs"
    exit 1
fi
say "The package's catalog is among the system's catalogs: ${found#"$prefix/drive_c/"}"
in_prefix en_US "$driver" trees EN-US
in_prefix en_US "$installer" remove "$hardware_id"
in_prefix en_US "$driver" no-trees

printf '\n%sDemo complete in %d s: every step did what it should.%s\n' "$bold" "$SECONDS" "$plain"
