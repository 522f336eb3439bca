#!/bin/bash
# The broker's data directory on a full volume: a 2 MiB tmpfs mounted under this run's own
# scratch directory, filled to the last block, holding an empty engine configuration as a
# connect on a full disk leaves it. `VantorelBroker.exe --reconcile` must clean it (exit 0):
# an empty file holds no secret and needs no overwrite, so nothing waits for space to return.
#
# usage: run_full_disk_tests.sh <windows-build-dir> <booted-base-prefix>
# Last line: "N passed, M failed"; exit status non-zero on any failure.

set -u

build_dir=${1:-}
base_prefix=${2:-}

if [ "$(id -u)" != "0" ]; then
    echo "SKIP - full disk: not root, cannot mount a small volume"
    echo "0 passed, 0 failed, 1 skipped"
    exit 0
fi
if [ -z "$build_dir" ] || [ ! -f "$build_dir/bin/VantorelBroker.exe" ] || [ ! -f "$base_prefix/system.reg" ]; then
    echo "usage: run_full_disk_tests.sh <windows-build-dir with bin/VantorelBroker.exe> <booted-base-prefix>" >&2
    exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vantorel-full.XXXXXX")
prefix=$work/prefix
volume=$work/volume
mounted=0
wineserver_started=0

cleanup() {
    if [ "$wineserver_started" = 1 ]; then
        WINEPREFIX=$prefix wineserver -k 2>/dev/null
        WINEPREFIX=$prefix wineserver -w 2>/dev/null
    fi
    if [ "$mounted" = 1 ]; then umount "$volume"; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

passed=0
failed=0
ok() { passed=$((passed + 1)); echo "ok - $1"; }
bad() { failed=$((failed + 1)); echo "FAIL - $1"; [ $# -gt 1 ] && printf '    %s\n' "${@:2}"; }

cp -a "$base_prefix" "$prefix" || { bad "copy of the prefix"; echo "$passed passed, $failed failed"; exit 1; }
mkdir -p "$volume"
# Mode 0755: Wine reads the Unix modes as the folder's DACL, and a world-writable root would make
# the product folder's parent look like anyone's.
mount -t tmpfs -o size=2m,mode=0755 tmpfs "$volume" || { bad "mount"; echo "$passed passed, $failed failed"; exit 1; }
mounted=1
export WINEPREFIX=$prefix WINEDEBUG=-all
wineserver -p && wineserver_started=1

# A Unix ProgramData does not reach a Wine program; one set inside cmd does.
cat > "$work/reconcile.cmd" <<EOF
@echo off
set ProgramData=Z:${volume//\//\\}
Z:${build_dir//\//\\}\\bin\\VantorelBroker.exe --reconcile
exit /b %errorlevel%
EOF
reconcile() { timeout 120 wine cmd /c "Z:${work//\//\\}\\reconcile.cmd" >"$work/reconcile.out" 2>&1 </dev/null; }

reconcile; rc=$?
[ "$rc" = 0 ] && ok "reconcile secures the data directory on the small volume" ||
    bad "reconcile secures the data directory on the small volume" "exit $rc" "$(cat "$work/reconcile.out")"

run=$volume/Vantorel/run
dd if=/dev/zero of="$volume/filler" bs=4k >/dev/null 2>&1
free=$(df --output=avail -B1 "$volume" | tail -n 1 | tr -d ' ')
: > "$run/current_session.json"
[ "$free" = 0 ] && [ -f "$run/current_session.json" ] && ok "the volume is full and holds an empty configuration" ||
    bad "the volume is full and holds an empty configuration" "free bytes: $free"

reconcile; rc=$?
[ "$rc" = 0 ] && ok "reconcile on the full volume verifies the cleanup (exit 0)" ||
    bad "reconcile on the full volume verifies the cleanup (exit 0)" "exit $rc" "$(cat "$work/reconcile.out")"
[ ! -e "$run/current_session.json" ] && ok "the empty configuration is gone" || bad "the empty configuration is gone"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
