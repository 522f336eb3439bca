#!/usr/bin/env bash
# The real sing-box judges the broker's configuration documents: every row of the link table of
# engine_config_samples is written by the broker's own builder and must pass `sing-box check -c`
# with the Linux build and with the Windows build under Wine, for every version scripts/engine
# builds. A document the engine must refuse (an unknown member in the tun inbound) shows that a
# passing check means something.
#
# usage: run_engine_check.sh [<windows-build-dir> [<booted-wine-prefix>]]
#   without a booted prefix the Wine half is reported as skipped.
# Last line: "N passed, M failed, K skipped"; exit status non-zero on any failure.
set -u -o pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
. scripts/lib/suite.sh
. packaging/engine.version
prefix=${2:-}
skipped=0
skip() { skipped=$((skipped + $2)); echo "SKIP - $1"; }
finish() { echo "$VT_PASS passed, $VT_FAIL failed, $skipped skipped"; [ "$VT_FAIL" -eq 0 ]; exit $?; }

samples_tool=$root/build/native/tests/engine/engine_config_samples
work=$(mktemp -d "${TMPDIR:-/tmp}/vantorel-engine-check.XXXXXX")
wine_started=0
cleanup() {
    [ "$wine_started" = 1 ] && { WINEPREFIX=$prefix wineserver -k 2>/dev/null; WINEPREFIX=$prefix wineserver -w 2>/dev/null; }
    rm -rf "$work"
}
trap cleanup EXIT

if [ ! -x "$samples_tool" ]; then
    . scripts/lib/common.sh
    vt_configure_build native engine_config_samples >"$work/build.log" 2>&1 || { bad "build engine_config_samples" "$(tail -n 20 "$work/build.log")"; finish; }
fi
mkdir -p "$work/samples"
if ! "$samples_tool" table "$work/samples" >"$work/names" 2>"$work/samples.err"; then
    bad "the broker writes every sample document" "$(cat "$work/samples.err")"; finish
fi
mapfile -t names <"$work/names"
# The control document: what an engine must refuse (the tun inbound has no dns_mode member).
sed 's/"stack":"system",/"stack":"system","dns_mode":"hijack",/' "$work/samples/vless_plain.json" >"$work/refused.json"

engine_out=$work/engine.out
scripts/engine >"$engine_out" 2>"$work/engine.err"
rc=$?
versions=("$VANTOREL_ENGINE_PINNED" "$VANTOREL_ENGINE_ALSO_TESTED")
per_version=$(( (${#names[@]} + 1) * 2 ))
if [ "$rc" = 2 ]; then
    skip "real engine: $(head -n 1 "$engine_out")" $(( per_version * ${#versions[@]} )); finish
elif [ "$rc" != 0 ]; then
    bad "scripts/engine builds the engine" "$(tail -n 20 "$work/engine.err")"; finish
fi
sed 's/^/    /' "$engine_out"

wine_ok=0
if [ -n "$prefix" ] && [ -f "$prefix/system.reg" ] && command -v wine >/dev/null; then
    wine_ok=1; wine_started=1
fi
winpath() { printf 'Z:%s' "${1//\//\\}"; }

for version in "${versions[@]}"; do
    linux=$root/build/engine/$version/linux/sing-box
    exe=$root/build/engine/$version/windows/sing-box.exe
    for name in "${names[@]}"; do
        f=$work/samples/$name.json
        if "$linux" check -c "$f" >"$work/out" 2>&1; then ok "$version linux check $name"
        else bad "$version linux check $name" "$(head -c 600 "$work/out")"; fi
        if [ "$wine_ok" = 1 ]; then
            if WINEPREFIX=$prefix WINEDEBUG=-all wine "$exe" check -c "$(winpath "$f")" </dev/null >"$work/out" 2>&1
            then ok "$version wine check $name"
            else bad "$version wine check $name" "$(head -c 600 "$work/out")"; fi
        fi
    done
    if "$linux" check -c "$work/refused.json" >"$work/out" 2>&1; then
        bad "$version linux refuses an unknown tun member" "check passed"
    else expect_match "$version linux refuses an unknown tun member" "$work/out" 'unknown field "dns_mode"'; fi
    if [ "$wine_ok" = 1 ]; then
        if WINEPREFIX=$prefix WINEDEBUG=-all wine "$exe" check -c "$(winpath "$work/refused.json")" </dev/null >"$work/out" 2>&1
        then bad "$version wine refuses an unknown tun member" "check passed"
        else expect_match "$version wine refuses an unknown tun member" "$work/out" 'unknown field "dns_mode"'; fi
    else
        skip "$version sing-box.exe under Wine: no booted Wine prefix given" $(( ${#names[@]} + 1 ))
    fi
done
finish
