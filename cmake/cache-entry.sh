# shellcheck shell=sh
# Sourced (POSIX sh, under set -eu) by the scripts that make something once from Debian's
# packages and keep it outside the build tree: the ARM64 toolchain and the arm64 Wine root.
#
#   cache_entry KIND [RESULT]
#       The entry KIND-KEY in the cache, KEY a hash of the recipe (the calling script, this
#       file and the files named in $recipe_files), so that a changed recipe makes a new
#       entry instead of changing a finished one under a build. RESULT is the path inside the
#       entry the script prints (the entry itself without it). When the entry is complete,
#       prints that path and exits. Otherwise waits until no other caller is making a KIND,
#       looks again, and returns with $entry, an empty folder to make it in, and $work, a
#       scratch folder removed on exit.
#   cache_done
#       Marks the entry complete, prunes the entries of KIND's older recipes, and prints the
#       entry's path.
#   private_apt DIR LINE [ARCH]
#       Prints the path of an APT configuration in DIR for APT_CONFIG, whose only list is LINE
#       and whose package state is empty: nothing in /etc/apt or in the host's dpkg is read
#       or changed. ARCH: the architecture to fetch for, when it is not the host's.
#
# An entry's .complete file is also its lock of use: whoever uses an entry for a while (a
# build, a test run; see `cmake/cache-use.sh`) holds a shared lock on it, and pruning skips
# an entry whose lock it cannot take exclusively at once.

cache_root=${ZORVA_CACHE_DIR:-}
if [ -z "$cache_root" ]; then
    if [ -w /var/cache ]; then cache_root=/var/cache/zorva-kt2hx; else cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/zorva-kt2hx; fi
fi

cache_entry() {
    kind=$1
    # shellcheck disable=SC2086
    entry=$cache_root/$kind-$(cat "$0" "$(dirname "$0")/cache-entry.sh" ${recipe_files:-} | sha256sum | cut -c1-12)
    result=$entry${2:+/$2}
    if [ -f "$entry/.complete" ]; then
        echo "$result"
        exit 0
    fi
    mkdir -p "$cache_root"
    exec 9>"$cache_root/.lock-$kind"
    flock 9
    if [ -f "$entry/.complete" ]; then
        echo "$result"
        exit 0
    fi
    work=$(mktemp -d "$cache_root/work.XXXXXX")
    # sh runs no EXIT trap when a signal ends it: a signal ends it through exit instead.
    trap 'rm -rf "$work"' EXIT
    trap 'exit 1' HUP INT TERM
    rm -rf "$entry"
    mkdir -p "$entry"
}

cache_done() {
    touch "$entry/.complete"
    # Under KIND's lock nobody is making an entry of KIND: a sibling is finished or
    # abandoned. Only names this file gives (KIND, a dash, twelve hex digits) are touched.
    for old in "$cache_root/$kind"-*; do
        case ${old#"$cache_root/$kind"-} in
        *[!0-9a-f]* | "") continue ;;
        esac
        if [ "${#old}" -ne "${#entry}" ] || [ "$old" = "$entry" ] || [ ! -d "$old" ]; then
            continue
        fi
        if [ ! -f "$old/.complete" ]; then
            rm -rf "$old"
        elif flock -n -x "$old/.complete" rm -rf "$old"; then
            echo "Removed $old, made by an older recipe" >&2
        fi
    done
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
        cat <<EOT
Dir::Etc::SourceList "$1/sources.list";
Dir::Etc::SourceParts "$1/parts";
Dir::State::Lists "$1/lists";
Dir::State::status "$1/status";
Dir::Cache "$1/cache";
APT::Sandbox::User "root";
EOT
    } >"$1/apt.conf"
    echo "$1/apt.conf"
}
