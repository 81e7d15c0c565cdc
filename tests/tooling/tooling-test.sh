#!/bin/sh
# The build's own tooling, with no Wine and no network:
#   tooling-test.sh SOURCE_DIR SCRATCH_DIR
# - No make variable is pasted into a recipe's shell line: `make -n` of every target, with
#   every variable set to a value that would run a command, prints no trace of that value.
# - The cache of the toolchain and the arm64 root (cmake/cache-entry.sh): a new recipe's entry
#   removes the entries of the same kind's older recipes, but none in use (its lock held), no
#   other kind's, nothing named otherwise; a maker ended by a signal leaves no scratch folder.
set -eu
source_dir=$1
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The variables the Makefile reads (a deliberate list: a new one belongs here too).
for target in configure build test demo bench package fuzz clean; do
    for variable in BUILD JOBS DEMO_LANG DEMO_ARCH FUZZ_SECONDS SIGNING_CERT SIGNING_PASS_FILE TIMESTAMP_URL; do
        for value in '2; echo INJECTED' '$(shell echo INJECTED)'; do
            if make -s -n -C "$source_dir" "$target" "$variable=$value" 2>&1 | grep -q INJECTED; then
                fail "make $target $variable='$value' pastes the value into a command"
            fi
        done
    done
done

# A recipe beside a copy of cache-entry.sh; its text (and so its key) varies with $1.
recipes=$scratch/recipes
cache=$scratch/cache
mkdir -p "$recipes"
cp "$source_dir/cmake/cache-entry.sh" "$recipes/"
recipe() {
    name=$1
    shift
    {
        echo '#!/bin/sh'
        echo "# recipe $name"
        echo 'set -eu'
        echo '. "$(dirname "$0")/cache-entry.sh"'
        echo 'cache_entry kind'
        echo "$*"
        echo 'cache_done'
    } >"$recipes/$name.sh"
    chmod +x "$recipes/$name.sh"
}
make_entry() { ZORVA_CACHE_DIR=$cache "$recipes/$1.sh" 2>/dev/null; }

recipe old ':'
recipe new ':'
recipe slow 'sleep 2'
old=$(make_entry old)
mkdir -p "$cache/kind-notour-entry" "$cache/kind-0123456789ab-x" "$cache/other-0123456789ab" \
    "$cache/kind-abcdef012345"
touch "$cache/kind-0123456789ab"
new=$(make_entry new)
[ -f "$new/.complete" ] || fail "the new entry is not complete"
[ ! -e "$old" ] || fail "the older recipe's entry is kept"
[ ! -e "$cache/kind-abcdef012345" ] || fail "an abandoned entry of the kind is kept"
for foreign in kind-notour-entry kind-0123456789ab-x other-0123456789ab kind-0123456789ab; do
    [ -e "$cache/$foreign" ] || fail "$foreign, not an entry of the kind, is removed"
done
# In use: the older recipe comes back while a run holds the newer entry's lock.
flock -s "$new/.complete" sh -c 'ZORVA_CACHE_DIR=$1 "$2" >/dev/null 2>&1' sh "$cache" "$recipes/old.sh"
[ -f "$new/.complete" ] || fail "an entry in use is removed"
[ -f "$old/.complete" ] || fail "the older recipe's entry is not made again"

# Ended by a signal while making its entry.
ZORVA_CACHE_DIR=$cache "$recipes/slow.sh" >/dev/null 2>&1 &
maker=$!
until ls -d "$cache"/work.* >/dev/null 2>&1; do sleep 0.1; done
kill -TERM "$maker"
wait "$maker" || true
if ls -d "$cache"/work.* >/dev/null 2>&1; then fail "a signal leaves the scratch folder behind"; fi

[ "$failures" -eq 0 ] || exit 1
echo "tooling: all checks passed"
