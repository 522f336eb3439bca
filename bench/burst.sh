#!/usr/bin/env bash
# The burst figure: HTTP requests to the world page, 32 at a time, each on a new connection,
# through a connected session of the broker driving the real engine (the run_real_engine.sh
# arrangement: the broker as a service under Wine, the engine launcher, the pinned Linux
# sing-box, a real sing-box server in the peer namespace), then through the same engine binary
# and configuration run by the launcher alone with its output discarded, in the same run.
# Usage: burst.sh WINDOWS_BUILD_DIR BOOTED_BASE_PREFIX [N...]   (default N: 1000 5000)
# Prints one line per N:
#   burst: N requests, broker-run engine X s (p99 Y ms), engine alone X0 s (p99 Y0 ms), ratio R
# and the requests that failed (time-out included) over all rounds:
#   burst failures: N requests x K rounds, broker-run engine F failed, engine alone F0 failed
set -u -o pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
. "$root/scripts/lib/common.sh"
. "$root/scripts/lib/wine_service.sh"
. "$root/packaging/engine.version"

build=$(cd "${1:?windows build dir}" && pwd)
base=$(cd "${2:?booted base prefix}" && pwd)
shift 2
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 5000)
work=$build/bench-burst
rm -rf "$work"; mkdir -p "$work/cases"
[ "$(id -u)" -eq 0 ] || { echo "burst: skipped (needs root for network namespaces)"; exit 0; }
"$root/scripts/engine" --pinned >"$work/engine.out" 2>&1 || { echo "burst: no engine: $(head -n 1 "$work/engine.out")"; exit 1; }

cleanup() { [ -n "$VT_PREFIX" ] && vt_service_log >"$work/service.log"; cp "$VT_STATE"/*.log "$work/" 2>/dev/null; vt_env_down; }
trap cleanup EXIT
# VT_BURST_ENGINE: another Linux engine build to measure (diagnostics); the pinned one by default.
VT_ENGINE=${VT_BURST_ENGINE:-$root/build/engine/$VANTOREL_ENGINE_PINNED/linux/sing-box}
vt_env_up "$base" "$work/prefix" || { echo "burst: namespaces and prefix failed"; exit 1; }
vt_peer_up || { echo "burst: peer failed"; exit 1; }
vt_install_programs "$build/bin" || { echo "burst: install failed"; exit 1; }
cp "$build/bin/engine_launcher.exe" "$(vt_install_dir)/sing-box.exe" || exit 1
vt_service_create && vt_service_start || { echo "burst: service start failed"; exit 1; }
sleep 2
export VT_NS VT_PREFIX VT_STATE VT_INSTALL_DIR_WIN VT_SERVER_IP VT_GATEWAY VT_PAGE_HOST VT_CHECK_HOST
export VT_PEER_UUID VT_PEER_PASSWORD VT_PEER_PUBLIC_KEY
VT_CASE_DIR="$work/cases" python3 -B "$here/burst.py" "${sizes[@]}"
rc=$?
vt_service_stop
exit $rc
