# shellcheck shell=sh
# Sourced (POSIX sh, under set -eu) by the scripts that make something once from Debian's
# packages and keep it outside the build tree: the ARM64 toolchain and the arm64 Wine root.
#
#   cache_entry NAME [RESULT]
#       The entry NAME-KEY in the cache, KEY a hash of the recipe (the calling script and
#       this file), so that a changed recipe makes a new entry instead of changing a finished
#       one under a build. RESULT is the path inside the entry the script prints (the entry
#       itself without it). When the entry is complete, prints that path and exits. Otherwise
#       waits until no other caller is making NAME, looks again, and returns with $entry, an
#       empty folder to make it in, and $work, a scratch folder removed on exit.
#   cache_done
#       Marks the entry complete and prints its path.
#   private_apt DIR LINE [ARCH]
#       Prints the path of an APT configuration in DIR for APT_CONFIG, whose only list is LINE
#       and whose package state is empty: nothing in /etc/apt or in the host's dpkg is read
#       or changed. ARCH: the architecture to fetch for, when it is not the host's.

cache_root=${ZORVA_CACHE_DIR:-}
if [ -z "$cache_root" ]; then
    if [ -w /var/cache ]; then cache_root=/var/cache/zorva-kt2hx; else cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/zorva-kt2hx; fi
fi

cache_entry() {
    entry=$cache_root/$1-$(cat "$0" "$(dirname "$0")/cache-entry.sh" | sha256sum | cut -c1-12)
    result=$entry${2:+/$2}
    if [ -f "$entry/.complete" ]; then
        echo "$result"
        exit 0
    fi
    mkdir -p "$cache_root"
    exec 9>"$cache_root/.lock-$1"
    flock 9
    if [ -f "$entry/.complete" ]; then
        echo "$result"
        exit 0
    fi
    work=$(mktemp -d "$cache_root/work.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    rm -rf "$entry"
    mkdir -p "$entry"
}

cache_done() {
    touch "$entry/.complete"
    echo "$result"
}

private_apt() {
    mkdir -p "$1/lists/partial" "$1/cache/archives/partial" "$1/parts"
    echo "$2" >"$1/sources.list"
    : >"$1/status"
    {
        if [ -n "${3:-}" ]; then
            printf 'APT::Architecture "%s";\nAPT::Architectures { "%s"; };\n' "$3" "$3"
        fi
        cat <<EOF
Dir::Etc::SourceList "$1/sources.list";
Dir::Etc::SourceParts "$1/parts";
Dir::State::Lists "$1/lists";
Dir::State::status "$1/status";
Dir::Cache "$1/cache";
APT::Sandbox::User "root";
EOF
    } >"$1/apt.conf"
    echo "$1/apt.conf"
}
