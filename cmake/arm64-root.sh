#!/bin/sh
# Debian 12's Wine for 64-bit ARM, run on this machine under qemu's user-mode emulator.
#   arm64-root.sh setup
#       Makes the arm64 root once, in a cache outside the build tree, and prints its path.
#   arm64-root.sh run ROOT BINDDIR... -- COMMAND [ARG...]
#       Runs COMMAND (a path inside the root) in ROOT, entered in a private mount namespace
#       of an unprivileged user namespace (no root needed, for root and others alike) with
#       /proc, /dev, /tmp and each BINDDIR at its own path, in the current folder (which a
#       BINDDIR holds). An arm64 program runs as
#       `/usr/lib/wine/wine64-preloader PROGRAM`, the shim that starts it under qemu.
# Nothing system-wide changes: the packages are fetched with `apt-get download` under a
# private APT configuration and unpacked with dpkg-deb (the host's dpkg gets no foreign
# architecture, and qemu-user-static's maintainer scripts, which register binfmt handlers,
# never run); qemu is started by name instead. The mounts vanish with the namespace.
set -eu

qemu=/usr/bin/qemu-aarch64-static

case "${1:-}" in
run)
    root=$2
    shift 2
    binds=""
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        binds="$binds $1"
        shift
    done
    shift
    # The wineserver socket lives under /tmp: every namespace sees the host's, so the
    # processes of one prefix meet one server whichever namespace started them.
    # No real root is needed: a user namespace in which the caller is root makes the mounts,
    # and a second one, nested in it, maps the caller back to their own ids before entering
    # the root. Wine names its server folder /tmp/.wine-UID after the uid it sees, and refuses
    # one owned by another user: as root of a namespace, an ordinary user would meet the real
    # root's /tmp/.wine-0; as themselves, they meet their own, as their x64 runs do. The
    # programs run without capabilities.
    # shellcheck disable=SC2016
    exec unshare --user --map-root-user --mount sh -c '
        set -e
        root=$1
        binds=$2
        uid=$3
        gid=$4
        shift 4
        mount --make-rprivate /
        mount --rbind /proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount --bind /tmp "$root/tmp"
        for dir in $binds; do
            mkdir -p "$root$dir"
            mount --bind "$dir" "$root$dir"
        done
        exec unshare --user --map-user="$uid" --map-group="$gid" --root="$root" --wd="$PWD" -- "$@"' \
        sh "$root" "$binds" "$(id -u)" "$(id -g)" "$@"
    ;;
setup) ;;
*)
    echo "usage: $0 setup | run ROOT DIR... -- COMMAND..." >&2
    exit 2
    ;;
esac

# The pinned packages: arm64 Wine and what its loader and server need, and the amd64 qemu
# and shell that run natively inside the root.
arm64_packages="wine64=8.0~repack-4 libwine=8.0~repack-4 wine=8.0~repack-4
libc6=2.36-9+deb12u14 libgcc-s1=12.2.0-14+deb12u1 libunwind8=1.6.2-3
liblzma5=5.4.1-1+deb12u1 zlib1g=1:1.2.13.dfsg-1"
amd64_packages="qemu-user-static=1:7.2+dfsg-7+deb12u18+b3 busybox-static=1:1.35.0-4+deb12u1+b1"
deb='deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main'

# shellcheck source=cmake/cache-entry.sh
. "$(dirname "$0")/cache-entry.sh"
cache_entry wine-arm64
root=$entry
echo "Making the arm64 Wine root in $root (once)" >&2

fetch() {
    arch=$1
    shift
    dir=$work/$arch
    mkdir -p "$dir/debs"
    config=$(private_apt "$dir" "$deb" "$arch")
    APT_CONFIG=$config apt-get update -qq >&2
    (cd "$dir/debs" && APT_CONFIG=$config apt-get download -qq "$@" >&2)
    for package in "$dir"/debs/*.deb; do
        dpkg-deb -x "$package" "$root"
    done
}
# shellcheck disable=SC2086
fetch arm64 $arm64_packages
# shellcheck disable=SC2086
fetch amd64 $amd64_packages

# Of qemu's emulators only the one for 64-bit ARM, and none of its binfmt definitions.
find "$root/usr/bin" -name 'qemu-*-static' ! -name qemu-aarch64-static -delete
rm -rf "$root/usr/lib/binfmt.d" "$root/usr/share/doc" "$root/usr/share/man"
# Debian 12's arm64 packages keep their libraries under /usr (merged /usr) only in part.
for dir in bin lib sbin; do
    [ -e "$root/$dir" ] || ln -s "usr/$dir" "$root/$dir"
done
mkdir -p "$root/proc" "$root/dev" "$root/tmp" "$root/bin"
# A shell for Wine's scripts: busybox is a static amd64 program and runs natively.
cp "$root/bin/busybox" "$root/bin/sh" 2>/dev/null || ln -sf busybox "$root/bin/sh"
# Wine starts every new process through its preloader, which Debian does not ship for arm64,
# and the wineserver through a script that would exec the arm64 binary directly: both go
# through qemu instead.
printf '#!/bin/sh\nexec %s "$@"\n' "$qemu" >"$root/usr/lib/wine/wine64-preloader"
printf '#!/bin/sh\nexec %s /usr/lib/wine/wineserver64 -p0 "$@"\n' "$qemu" >"$root/usr/lib/wine/wineserver"
chmod 755 "$root/usr/lib/wine/wine64-preloader" "$root/usr/lib/wine/wineserver"
printf '%s\n' $arm64_packages $amd64_packages >"$root/VERSIONS"
echo "arm64 Wine root ready: $(du -sh "$root" | cut -f1)" >&2
cache_done
