#!/bin/sh
# transaction.sh SOURCE_DIR BINARY_DIR
#
# The release as a transaction: runs stopped by a signal or killed outright, two runs at
# once, a link the run does not own, a release from before releases were links, a password
# file others can read, and paths that are data.
set -eu
. "$(dirname "$0")/lib.sh"

vendor="SIGNING_CERT=$t/vendor.p12"
pass_file="SIGNING_PASS_FILE=$t/pass.txt"

stopped_runs() {
    for signal in HUP INT QUIT PIPE TERM; do
        bad_case "stopped-by-$signal" "stopped by SIG$signal" "$vendor" "$pass_file" \
            PATH="$t/bin:$PATH" RECORD="$t/logs/recorder-$signal.log" SIGNAL_ON_CATALOG=$signal
    done
}

# Ctrl-C reaches every process of the run's group, a child's too, which it may end before
# the child removes its temporary folder (mktemp's tmp.*, Python's tmp*): once a child has
# made one, none may survive, wherever it was made, and the release stays as it was.
interrupted_run() {
    copy_release interrupted
    rm -rf "$t/tmp-interrupted"
    mkdir "$t/tmp-interrupted"
    before=$(snapshot "$case_dir")
    # A group of its own, INT and QUIT as a terminal's foreground job has them (the shell
    # ignores both in what it starts in the background).
    (TMPDIR=$t/tmp-interrupted exec /usr/bin/python3 -c 'import os, signal, sys
for s in (signal.SIGINT, signal.SIGQUIT): signal.signal(s, signal.SIG_DFL)
os.setpgid(0, 0)
os.execvp(sys.argv[1], sys.argv[1:])' env -u TIMESTAMP_URL "$vendor" "$pass_file" \
        "$release" "$binary_dir" "$case_dir/signed" >"$t/logs/interrupted.out" 2>&1) &
    leader=$!
    interrupted=no
    while kill -0 "$leader" 2>/dev/null; do
        if [ -n "$(find "$t/tmp-interrupted" "$case_dir/.signed.releases" -mindepth 1 \
            -type d -name 'tmp?*' 2>/dev/null)" ]; then
            kill -INT "-$leader"
            interrupted=yes
            break
        fi
    done
    rc=0
    wait "$leader" || rc=$?
    if [ "$interrupted" = no ]; then
        pass "no child of the run made a temporary folder for Ctrl-C to leave behind"
        return
    fi
    check "Ctrl-C while a child has a temporary folder leaves none, and the release as it was" \
        '[ "$rc" -ne 0 ] && [ -z "$(ls -A "$t/tmp-interrupted")" ] &&
         [ "$(snapshot "$case_dir")" = "$before" ]'
}

# A run killed outright leaves its folder in the store, outside the release, and its signer
# running on (held here until the next run is done): the next run starts at once all the
# same, and removes that folder.
killed_run() {
    copy_release killed
    before=$(snapshot "$case_dir/signed/")
    run_release killed "$case_dir/signed" "$vendor" "$pass_file" PATH="$t/bin:$PATH" \
        RECORD="$t/logs/recorder-killed.log" SIGNAL_ON_CATALOG=KILL GATE_ON_CATALOG="$case_dir/gate"
    check "a run killed outright leaves the previous release as it was" \
        '[ "$rc" -ne 0 ] && [ "$(snapshot "$case_dir/signed/")" = "$before" ]'
    run_release after-killed "$case_dir/signed" "$vendor" "$pass_file"
    touch "$case_dir/gate"
    check "the next run starts while the killed run's signer lives on, and leaves only the lock and its own release" \
        '[ "$rc" -eq 0 ] && [ "$(ls -A "$case_dir/.signed.releases" | wc -l)" -eq 2 ]'
}

# A link at OUT_DIR that does not lead into the store, made by someone else: the run
# refuses it and deletes nothing, not even the folder its target names from inside the
# store (OUT_DIR's sibling dist here).
foreign_link() {
    copy_release foreign-link
    rm "$case_dir/signed"
    mkdir "$case_dir/dist"
    echo kept >"$case_dir/dist/file"
    ln -s ../dist "$case_dir/signed"
    refused foreign-link "$case_dir/signed links to ../dist, not to a release in .signed.releases/" \
        "$vendor" "$pass_file"
}

# A password file that group or others can read: a warning line, and the release.
readable_password() {
    copy_release readable-password
    cp -p "$t/pass.txt" "$t/readable-pass.txt"
    chmod 640 "$t/readable-pass.txt"
    run_release readable-password "$case_dir/signed" "$vendor" SIGNING_PASS_FILE="$t/readable-pass.txt"
    check "a password file group can read gets one warning line, and the release is made" \
        '[ "$rc" -eq 0 ] && [ "$(head -n 1 "$t/logs/readable-password.err")" = "release: warning: password file $t/readable-pass.txt can be read by group or others (mode 640): chmod 600 it" ]'
}

# Two runs at once: the second fails at once, while the first still signs, and the first
# then puts a whole release in place of the previous one, not inside it.
two_runs() {
    copy_release two-runs
    before=$(snapshot "$case_dir/signed/")
    (
        run_release first-of-two "$case_dir/signed" "$vendor" "$pass_file" PATH="$t/bin:$PATH" \
            RECORD="$t/logs/recorder-first.log" GATE_ON_CATALOG="$case_dir/gate"
        exit "$rc"
    ) &
    first=$!
    tries=0
    until grep -qs '^args: sign.*\.cat ' "$t/logs/recorder-first.log" || [ "$tries" -gt 300 ]; do
        tries=$((tries + 1))
        sleep 0.1
    done
    run_release second-of-two "$case_dir/signed" "$vendor" "$pass_file"
    check "a second run at once fails with one line, the release untouched" \
        '[ "$rc" -ne 0 ] && [ "$(snapshot "$case_dir/signed/")" = "$before" ] &&
         [ "$(cat "$t/logs/second-of-two.err")" = "release: another run is making a release in $case_dir/signed: try again when it has ended" ]'
    # Meanwhile the release is looked at as often as the shell can: it must always be whole.
    (while kill -0 "$first" 2>/dev/null; do
        [ -f "$case_dir/signed/$cab" ] && [ -f "$case_dir/signed/driver/$dll" ] || echo gap
    done) >"$t/logs/watch-two-runs" &
    watcher=$!
    touch "$case_dir/gate"
    rc=0
    wait "$first" || rc=$?
    wait "$watcher"
    check "a reader sees a whole release at every instant of the switch" '[ ! -s "$t/logs/watch-two-runs" ]'
    check "the first run then replaces the previous release whole, nothing nested" \
        '[ "$rc" -eq 0 ] && [ "$(find "$case_dir/signed/" -name driver | wc -l)" -eq 1 ] &&
         [ "$(snapshot "$case_dir/signed/")" != "$before" ] &&
         osslsigncode verify -CAfile "$t/ca.pem" -in "$case_dir/signed/$cab" >/dev/null 2>&1'
}

# A release folder made before releases were links becomes one.
earlier_folder() {
    copy_release earlier-folder
    rm "$case_dir/signed"
    cp -a "$t/signed/" "$case_dir/signed"
    run_release earlier-folder "$case_dir/signed" "$vendor" "$pass_file"
    check "a release folder made before releases were links gives way to the link" \
        '[ "$rc" -eq 0 ] && [ -L "$case_dir/signed" ] && [ "$(ls -A "$case_dir/.signed.releases" | wc -l)" -eq 2 ] &&
         osslsigncode verify -CAfile "$t/ca.pem" -in "$case_dir/signed/$cab" >/dev/null 2>&1'
}

# make package with a build folder, a certificate and a password file whose paths hold
# blanks, quotes, `$` and backticks: they reach the script as they are and run nothing.
# A stand-in for cmake stands for the build, which is done.
odd_paths() {
    odd="$t/odd/it's \"odd\" \$HOME \`touch \"$t/odd/M\"\`"
    rm -rf "$t/odd"
    mkdir -p "$odd/build x/package/driver" "$odd/build x/arm64/package/driver" "$t/odd/bin"
    cp "$build_dll" "$binary_dir/package/driver/$inf" "$odd/build x/package/driver/"
    cp "$binary_dir/ZORVA_KT2HX-x64.map" "$binary_dir/product-names.json" "$odd/build x/"
    cp "$build_arm64_dll" "$odd/build x/arm64/package/driver/"
    # lld's report names the build's own delay-import libraries, which the bill of materials
    # looks into for the DLLs they import.
    cp "$binary_dir/arm64/ZORVA_KT2HX-arm64.link-report" "$binary_dir/arm64"/libdelay-*.a "$odd/build x/arm64/"
    cp -p "$t/vendor.p12" "$t/pass.txt" "$odd/"
    printf '#!/bin/sh\nprintf "%%s\\n" "$@" >>"%s"\n' "$t/logs/cmake-arguments" >"$t/odd/bin/cmake"
    chmod +x "$t/odd/bin/cmake"
    rm -f "$t/logs/cmake-arguments"
    rc=0
    (cd "$t/odd" && PATH="$t/odd/bin:$PATH" make -s -C "$source_dir" package BUILD="$odd/build x" \
        SIGNING_CERT="$odd/vendor.p12" SIGNING_PASS_FILE="$odd/pass.txt") \
        >"$t/logs/odd-paths.out" 2>&1 || rc=$?
    check "make package takes paths with blanks, quotes, \$ and backticks as data" \
        '[ "$rc" -eq 0 ] && [ ! -e "$t/odd/M" ] &&
         grep -qxF "$odd/build x" "$t/logs/cmake-arguments" &&
         osslsigncode verify -CAfile "$t/ca.pem" -in "$odd/build x/release/driver/$dll" >/dev/null 2>&1'
}

stopped_runs
interrupted_run
killed_run
foreign_link
two_runs
earlier_folder
readable_password
odd_paths
finish
