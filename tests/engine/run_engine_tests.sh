#!/usr/bin/env bash
# The real sing-box judges the broker's configuration documents: every row of the link table of
# engine_config_samples is written by the broker's own builder and must pass `sing-box check -c`
# with the Linux build and with the Windows build under Wine, for every version scripts/engine
# builds. A document the engine must refuse (an unknown member in the tun inbound) shows that a
# passing check means something. As root, each version's Linux engine also starts with every
# document of the accepted-link table (link_*) in a namespace of its own and must still run after
# 1.5 s without a FATAL line or a panic (a Reality key the engine cannot decode shows that this
# start check fails when it should). Then each version's Linux engine runs real sessions against
# real peers (real_peers.py).
#
# usage: run_engine_tests.sh [<windows-build-dir> [<booted-wine-prefix>]]
#   without a booted prefix the Wine half is reported as skipped.
# Last line: "N passed, M failed, K skipped"; exit status non-zero on any failure.
set -u -o pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
. scripts/lib/suite.sh
. packaging/engine.version
prefix=${2:-}
[ -n "$prefix" ] && [ -d "$prefix" ] && prefix=$(cd "$prefix" && pwd)  # Wine wants it absolute
skipped=0
skip() { skipped=$((skipped + $2)); echo "SKIP - $1"; }
finish() { echo "$VT_PASS passed, $VT_FAIL failed, $skipped skipped"; [ "$VT_FAIL" -eq 0 ]; exit $?; }

samples_tool=$root/build/native/tests/engine/engine_config_samples
work=$(mktemp -d "${TMPDIR:-/tmp}/vantorel-engine-check.XXXXXX")
wine_started=0
prng_installed=""
cleanup() {
    [ -n "${start_ns:-}" ] && ip netns del "$start_ns" 2>/dev/null
    [ "$wine_started" = 1 ] && { WINEPREFIX=$prefix wineserver -k 2>/dev/null; WINEPREFIX=$prefix wineserver -w 2>/dev/null; }
    [ -n "$prng_installed" ] && rm -f "$prng_installed"
    rm -rf "$work"
}
trap cleanup EXIT

if [ ! -x "$samples_tool" ] || [ ! -x "$root/build/native/tests/engine/engine_output_verdict" ]; then
    . scripts/lib/common.sh
    vt_configure_build native engine_config_samples engine_output_verdict >"$work/build.log" 2>&1 || { bad "build engine_config_samples" "$(tail -n 20 "$work/build.log")"; finish; }
fi
mkdir -p "$work/samples"
if ! "$samples_tool" table "$work/samples" >"$work/names" 2>"$work/samples.err"; then
    bad "the broker writes every sample document" "$(cat "$work/samples.err")"; finish
fi
mapfile -t names <"$work/names"
# The control document: what an engine must refuse (the tun inbound has no dns_mode member).
sed 's/"stack":"system",/"stack":"system","dns_mode":"hijack",/' "$work/samples/vless_plain.json" >"$work/refused.json"
# The start control: a document that decodes but that the engine refuses when it builds the outbound.
sed 's/"public_key":"[^"]*"/"public_key":"Pk_aBc-123"/' "$work/samples/link_vless_reality.json" >"$work/refused_start.json"
link_names=()
for name in "${names[@]}"; do case $name in link_*) link_names+=("$name");; esac; done
start_ns=""
if [ "$(id -u)" = 0 ] && command -v ip >/dev/null; then
    start_ns=vte-start-$$
    ip netns add "$start_ns" && ip netns exec "$start_ns" ip link set lo up || start_ns=""
fi
# The engine as the broker starts it, for 1.5 s: a run that is still going and printed no FATAL
# line or panic has built every inbound and outbound of the document.
starts() {  # starts ENGINE FILE: 0 when the engine runs on
    ip netns exec "$start_ns" timeout 1.5 "$1" run -c "$2" </dev/null >"$work/start.out" 2>&1
    [ $? = 124 ] && ! grep -Eq 'FATAL|panic' "$work/start.out"
}

engine_out=$work/engine.out
scripts/engine >"$engine_out" 2>"$work/engine.err"
rc=$?
versions=("$VANTOREL_ENGINE_PINNED" "$VANTOREL_ENGINE_ALSO_TESTED")
per_version=$(( (${#names[@]} + 1) * 2 + ${#link_names[@]} + 1 ))
if [ "$rc" = 2 ]; then
    skip "real engine: $(head -n 1 "$engine_out")" $(( per_version * ${#versions[@]} )); finish
elif [ "$rc" != 0 ]; then
    bad "scripts/engine builds the engine" "$(tail -n 20 "$work/engine.err")"; finish
fi
sed 's/^/    /' "$engine_out"

# Go programs need ProcessPrng from bcryptprimitives.dll, which Wine 8 lacks: the test DLL of
# tests/wine/process_prng stands in for it while this suite runs.
wine_ok=0
prng_dll=${1:-$root/build/windows}/process_prng/bcryptprimitives.dll
if [ -n "$prefix" ] && [ -f "$prefix/system.reg" ] && command -v wine >/dev/null && [ -f "$prng_dll" ]; then
    wine_ok=1; wine_started=1
    # One server for the whole suite: a wineserver left to time out between two checks can be
    # exiting just as the next client connects ("wine client error:0: recvmsg: Connection reset
    # by peer"), which fails a check that has nothing to do with the engine.
    WINEPREFIX=$prefix wineserver -p
    if [ ! -f "$prefix/drive_c/windows/system32/bcryptprimitives.dll" ]; then
        cp "$prng_dll" "$prefix/drive_c/windows/system32/" && prng_installed=$prefix/drive_c/windows/system32/bcryptprimitives.dll
    fi
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
    if [ -n "$start_ns" ]; then
        for name in "${link_names[@]}"; do
            if starts "$linux" "$work/samples/$name.json"; then ok "$version linux starts $name"
            else bad "$version linux starts $name" "$(grep -m3 -E 'FATAL|panic|ERROR' "$work/start.out" | head -c 600)"; fi
        done
        if starts "$linux" "$work/refused_start.json"; then
            bad "$version linux start check fails on a Reality key the engine cannot decode" "the engine ran on"
        else expect_match "$version linux start check fails on a Reality key the engine cannot decode" "$work/start.out" 'public_key'; fi
    else
        skip "$version linux starts: needs root and ip netns" $(( ${#link_names[@]} + 1 ))
    fi
    # The engine change scripts/engine applies (packaging/engine-patches): without it the second
    # connection from a port meets the first one's translation and hangs.
    if [ "$(id -u)" -eq 0 ]; then
        bench/nat_port_reuse.sh "$linux" >"$work/nat.out" 2>&1
        expect_match "$version linux: a port reused for another address reaches that address" "$work/nat.out" \
            'udp_timeout default: first 198\.18\.0\.204, port reused for another address 198\.18\.0\.80,'
    else
        skip "$version linux: a port reused for another address: needs root and ip netns" 1
    fi
    if "$linux" check -c "$work/refused.json" >"$work/out" 2>&1; then
        bad "$version linux refuses an unknown tun member" "check passed"
    else expect_match "$version linux refuses an unknown tun member" "$work/out" 'unknown field "dns_mode"'; fi
    if [ "$wine_ok" = 1 ]; then
        if WINEPREFIX=$prefix WINEDEBUG=-all wine "$exe" check -c "$(winpath "$work/refused.json")" </dev/null >"$work/out" 2>&1
        then bad "$version wine refuses an unknown tun member" "check passed"
        else expect_match "$version wine refuses an unknown tun member" "$work/out" 'unknown field "dns_mode"'; fi
        # The real Windows engine started as the broker starts it: Wine has neither Wintun nor
        # every IP Helper call the engine makes, so it must fail, and the broker must read that
        # as the engine's death (core_exited with its exit status), not as a rejected key.
        WINEPREFIX=$prefix WINEDEBUG=-all timeout 60 wine "$exe" run -c "$(winpath "$work/samples/vless_reality_flow.json")" \
            </dev/null >"$work/run.out" 2>&1
        code=$?
        if [ "$code" = 0 ] || [ "$code" = 124 ] || ! grep -Eq 'panic:|FATAL|ERROR' "$work/run.out"; then
            bad "$version wine run: the engine ends with a failure by itself" "exit code $code" "$(head -c 600 "$work/run.out")"
        else
            ok "$version wine run: the engine ends with a failure by itself (exit code $code)"
            echo "    engine said: $(grep -m1 -E 'panic|FATAL|ERROR|wintun' "$work/run.out" | head -c 300)"
            "$root/build/native/tests/engine/engine_output_verdict" exited "$code" <"$work/run.out" >"$work/verdict"
            expect_line "$version wine run: classified as the engine's death with its exit status" "$work/verdict" \
                "tun_failure=process_died $code"
            expect_line "$version wine run: not taken for an authentication failure" "$work/verdict" "auth_failure=0"
        fi
    else
        skip "$version sing-box.exe under Wine: no booted Wine prefix or no process_prng DLL" $(( ${#names[@]} + 4 ))
    fi
done

for version in "${versions[@]}"; do
    echo "# $version: real sessions against real peers"
    mkdir -p "$root/build/logs/engine-peers/$version"
    python3 -B tests/engine/real_peers.py --engine "$root/build/engine/$version/linux/sing-box" \
        --tools "$root/build/native/tests/engine" --log-dir "$root/build/logs/engine-peers/$version" >"$work/peers.out" 2>&1
    sed -n '/^[0-9]* passed, [0-9]* failed/!p' "$work/peers.out" | sed "s/^\(ok\|FAIL\|SKIP\) - /\1 - $version /"
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$work/peers.out" | tail -n 1)
    if [ -z "$line" ]; then bad "$version real peers ran to the end" "$(tail -n 20 "$work/peers.out")"; continue; fi
    VT_PASS=$((VT_PASS + ${line%% passed*}))
    n=${line#*passed, }; VT_FAIL=$((VT_FAIL + ${n%% failed*}))
done
finish
