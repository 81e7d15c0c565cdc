#!/bin/sh
# Lifecycle of the throw-away Wine prefix that the test suite runs in.
#   wine-prefix.sh setup PREFIX [SRC=DEST ...] [--reg FILE ...] [--idle EXE]
#       Makes PREFIX afresh from a cached pristine copy (wineboot runs once per build
#       tree), copies each SRC to DEST (relative to drive_c), imports the .reg files,
#       starts the wineserver and warms it, and keeps EXE running for the whole suite.
#   wine-prefix.sh cleanup PREFIX
#       Stops this prefix's wineserver, and only that one.
#   wine-prefix.sh run PREFIX PROGRAM [ARG ...]
#       Runs a Windows program in PREFIX, with the Wine of the build (see below), and exits
#       with its status.
set -eu
action=$1
prefix=$2
shift 2

WINEDEBUG=-all
WINEDLLOVERRIDES='mscoree,mshtml='
export WINEDEBUG WINEDLLOVERRIDES
# With ZORVA_ARM64_ROOT set, Wine for ARM64 in that root (cmake/arm64-root.sh), which sees
# the host's folders ZORVA_ARM64_BINDS (blank-separated) at their own paths.
here=$(dirname "$0")
wine() {
    if [ -n "${ZORVA_ARM64_ROOT:-}" ]; then
        # shellcheck disable=SC2086
        "$here/arm64-root.sh" run "$ZORVA_ARM64_ROOT" $ZORVA_ARM64_BINDS -- \
            /usr/lib/wine/wine64-preloader /usr/lib/wine/wine64 "$@"
    else
        /usr/lib/wine/wine64 "$@"
    fi
}
wineserver() {
    if [ -n "${ZORVA_ARM64_ROOT:-}" ]; then
        # shellcheck disable=SC2086
        "$here/arm64-root.sh" run "$ZORVA_ARM64_ROOT" $ZORVA_ARM64_BINDS -- /usr/lib/wine/wineserver "$@"
    else
        /usr/lib/wine/wineserver "$@"
    fi
}

case "$action" in
cleanup)
    if [ -d "$prefix" ]; then
        WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
        WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
    fi
    exit 0
    ;;
run)
    export WINEPREFIX="$prefix"
    wine "$@"
    exit
    ;;
setup) ;;
*)
    echo "usage: $0 setup|cleanup|run PREFIX ..." >&2
    exit 2
    ;;
esac

pristine=$prefix.pristine
if [ ! -f "$pristine/.complete" ]; then
    rm -rf "$pristine"
    mkdir -p "$pristine"
    echo "Creating a Wine prefix (once per build tree)"
    WINEPREFIX=$pristine wine wineboot -i >/dev/null 2>&1 </dev/null
    WINEPREFIX=$pristine wineserver -w
    # No display exists here: the null graphics driver keeps every process headless. The
    # debugger hook would let a crash exit 0 now and then; without it a crash reports
    # its exception code to the parent.
    WINEPREFIX=$pristine wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
        >/dev/null 2>&1 </dev/null
    WINEPREFIX=$pristine wine reg delete \
        'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f \
        >/dev/null 2>&1 </dev/null || true
    WINEPREFIX=$pristine wineserver -k 2>/dev/null || true
    WINEPREFIX=$pristine wineserver -w
    touch "$pristine/.complete"
fi

WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
rm -rf "$prefix"
cp -a "$pristine" "$prefix"
rm -f "$prefix/.complete"

export WINEPREFIX="$prefix"
regs=""
idle=""
while [ $# -gt 0 ]; do
    case "$1" in
    --reg)
        regs="$regs $2"
        shift 2
        ;;
    --idle)
        idle=$2
        shift 2
        ;;
    *=*)
        dest="$prefix/drive_c/${1#*=}"
        mkdir -p "$(dirname "$dest")"
        cp "${1%%=*}" "$dest"
        shift
        ;;
    *)
        echo "unexpected argument: $1" >&2
        exit 2
        ;;
    esac
done

# Wine's first process starts services that inherit its standard handles; CTest would wait
# for them to close. Start the server and those services here, detached from our output.
wineserver -p >/dev/null 2>&1 </dev/null
wine cmd /c exit >/dev/null 2>&1 </dev/null
for reg in $regs; do
    # Drive Z: is the Unix root in every new prefix.
    wine regedit /S "Z:$(printf %s "$reg" | tr / '\\')" >/dev/null 2>&1 </dev/null
done
if [ -n "$idle" ]; then
    # In a subshell that ignores hangups and holds none of our output open, as nohup would.
    (
        trap '' HUP
        wine "$idle"
    ) >/dev/null 2>&1 </dev/null &
fi
echo "Wine prefix ready: $prefix"
