#!/usr/bin/env bash
# Sessions with the real engine: the broker installed as a service in a private Wine prefix in
# a network namespace, as in run_e2e.sh, but its sing-box.exe is the engine launcher
# (tests/wine/engine_launcher.cpp): the route agent runs the pinned Linux sing-box with the
# broker's configuration, the engine makes the real TUN VantorelTun, and a real sing-box server
# in a peer namespace carries the traffic to the world (real_engine_cases.py).
# Usage: run_real_engine.sh WINDOWS_BUILD_DIR BOOTED_BASE_PREFIX.
# Ends with "N passed, M failed[, K skipped]".
set -u -o pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../../.." && pwd)
. "$root/scripts/lib/common.sh"
. "$root/scripts/lib/wine_service.sh"
. "$root/packaging/engine.version"

build=$(cd "${1:?windows build dir}" && pwd)
base=$(cd "${2:?booted base prefix}" && pwd)
shift 2
work=$build/real-engine
rm -rf "$work"; mkdir -p "$work/cases"

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP - real-engine sessions: need root for network namespaces"
    echo "0 passed, 0 failed, 9 skipped"; exit 0
fi
"$root/scripts/engine" --pinned >"$work/engine.out" 2>&1
case $? in
    0) ;;
    2) echo "SKIP - real-engine sessions: $(head -n 1 "$work/engine.out")"; echo "0 passed, 0 failed, 9 skipped"; exit 0 ;;
    *) echo "FAIL - scripts/engine builds the pinned engine"; tail -n 10 "$work/engine.out"; echo "0 passed, 1 failed"; exit 1 ;;
esac
for f in bin/VantorelBroker.exe bin/VantorelCtl.exe bin/engine_launcher.exe route_shim/iphlpapi.dll fwp_shim/fwpuclnt.dll; do
    [ -f "$build/$f" ] || { echo "FAIL - $build/$f is not built"; echo "0 passed, 1 failed"; exit 1; }
done

cleanup() { [ -n "$VT_PREFIX" ] && vt_service_log >"$work/service.log"; cp "$VT_STATE"/*.log "$work/" 2>/dev/null; vt_env_down; }
trap cleanup EXIT
VT_ENGINE=$root/build/engine/$VANTOREL_ENGINE_PINNED/linux/sing-box
fail_setup() { echo "FAIL - $1"; echo "0 passed, 1 failed"; exit 1; }
vt_env_up "$base" "$work/prefix" || fail_setup "namespaces and prefix"
vt_peer_up || fail_setup "the peer namespace and its sing-box server: $(tail -n 5 "$VT_STATE/peer.log" 2>/dev/null)"
vt_install_programs "$build/bin" || fail_setup "install"
cp "$build/bin/engine_launcher.exe" "$(vt_install_dir)/sing-box.exe" || fail_setup "install the launcher"
vt_service_create && vt_service_start || fail_setup "service start"
sleep 2

export VT_NS VT_PREFIX VT_STATE VT_INSTALL_DIR_WIN VT_SERVER_IP VT_GATEWAY VT_PAGE_HOST VT_CHECK_HOST
export VT_PEER_UUID VT_PEER_PASSWORD VT_PEER_PUBLIC_KEY VT_PEER_NS
VT_CASE_DIR="$work/cases" python3 -B "$here/real_engine_cases.py" "$@" 2>&1 | tee "$work/cases.out" | tail -n +1
vt_service_stop
line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$work/cases.out" | tail -n 1)
[ -n "$line" ] || { echo "FAIL - real-engine sessions ran to their end"; echo "0 passed, 1 failed"; exit 1; }
[[ $line =~ ^[0-9]+\ passed,\ 0\ failed ]]
