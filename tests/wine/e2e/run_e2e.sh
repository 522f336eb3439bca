#!/usr/bin/env bash
# End to end, as a user interface uses the programs: the broker installed as a real service in a
# private Wine prefix inside a network namespace, driven only through VantorelCtl.exe. With the
# test iphlpapi.dll and the route agent (scripts/lib/wine_service.sh) whole sessions reach
# connected and change the namespace's kernel routing tables (connected_cases.py).
# Usage: run_e2e.sh WINDOWS_BUILD_DIR BOOTED_BASE_PREFIX. Ends with "N passed, M failed".
set -u -o pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../../.." && pwd)
. "$root/scripts/lib/common.sh"
. "$root/scripts/lib/wine_service.sh"

build=$(cd "${1:?windows build dir}" && pwd)
base=$(cd "${2:?booted base prefix}" && pwd)
work=$build/e2e
mkdir -p "$work"

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP end-to-end suite: needs root for a network namespace"
    echo "0 passed, 0 failed"
    exit 0
fi

pass=0; fail=0
ok() { pass=$((pass + 1)); echo "ok - $1"; }
bad() { fail=$((fail + 1)); echo "FAIL - $1"; [ $# -gt 1 ] && printf '    %s\n' "${@:2}"; }
# expect_line NAME FILE EXACT_LINE
expect_line() { if grep -Fxq -- "$3" "$2"; then ok "$1"; else bad "$1" "wanted: $3" "got:" "$(sed 's/^/      /' "$2")"; fi; }
expect_code() { if [ "$2" = "$3" ]; then ok "$1"; else bad "$1" "exit code $2, wanted $3"; fi; }
expect_log() { if vt_service_log | grep -Eq -- "$2"; then ok "$1"; else bad "$1" "no log line matching: $2"; fi; }

# The service log is kept beside the outputs, for reading after a failed run.
cleanup() { [ -n "$VT_PREFIX" ] && vt_service_log >"$work/service.log"; vt_env_down; }
trap cleanup EXIT

vt_env_up "$base" "$work/prefix" || { bad "environment" "could not create namespace and prefix"; echo "$pass passed, $fail failed"; exit 1; }
vt_install_programs "$build/bin" || { bad "install" "programs missing in $build/bin"; echo "$pass passed, $fail failed"; exit 1; }
[ -f "$build/route_shim/iphlpapi.dll" ] || { bad "install" "the test iphlpapi.dll is not built"; echo "$pass passed, $fail failed"; exit 1; }
[ -f "$build/fwp_shim/fwpuclnt.dll" ] || { bad "install" "the test fwpuclnt.dll is not built"; echo "$pass passed, $fail failed"; exit 1; }

# --- the test iphlpapi.dll itself, from System32, against the namespace's kernel
cp "$build/bin/test_route_shim.exe" "$(vt_install_dir)/"
vt_ns env WINEDLLOVERRIDES=iphlpapi=n,b VANTOREL_SHIM_PHYS_INDEX="$(ip -n "$VT_NS" -o link show vt-phys | cut -d: -f1)" \
    VANTOREL_SHIM_TUN_INDEX="$VT_TUN_INDEX" wine "$VT_INSTALL_DIR_WIN\\test_route_shim.exe" >"$work/test_route_shim.out" 2>&1 </dev/null
shim_rc=$?
shim_passed=$(tr -d '\r' <"$work/test_route_shim.out" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p')
shim_failed=$(tr -d '\r' <"$work/test_route_shim.out" | sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p')
if [ "$shim_rc" -ne 0 ] && [ -z "$shim_failed" ]; then shim_failed=1; fi
pass=$((pass + ${shim_passed:-0})); fail=$((fail + ${shim_failed:-0}))
echo "route shim: ${shim_passed:-0} passed, ${shim_failed:-0} failed (exit $shim_rc)"
[ "${shim_failed:-0}" -eq 0 ] || tr -d '\r' <"$work/test_route_shim.out" | grep -E 'FAILED|Failure|Expected|Which is' | head -40
# --- DLL search: the broker's delay-loaded imports (IPHLPAPI, WINHTTP) come from System32 only.
# A DLL planted beside it under their names, allowed as native for it, is never loaded by it
# (checked at the end), while a program without the restriction in the same folder takes it.
install_dir=$(vt_install_dir)
cp "$build/planted/planted.dll" "$install_dir/iphlpapi.dll" && cp "$build/planted/planted.dll" "$install_dir/winhttp.dll" &&
    cp "$build/planted/dll_search_probe.exe" "$install_dir/"
vt_ns wine reg add 'HKCU\Software\Wine\AppDefaults\VantorelBroker.exe\DllOverrides' /v winhttp /d native,builtin /f >/dev/null 2>&1
probe_dll() { vt_ns env WINEDLLOVERRIDES="$1=n,b" wine "$VT_INSTALL_DIR_WIN\\dll_search_probe.exe" "$1.dll" "${@:2}" 2>/dev/null | tr -d '\r'; }
loaded=$(probe_dll winhttp)
if [[ "$loaded" == *'\Vantorel\winhttp.dll' ]] && [ -f "$install_dir/loaded-by-dll_search_probe.exe.txt" ]; then
    ok "a planted winhttp.dll is taken by a program searching its own folder"
else bad "a planted winhttp.dll is taken by a program searching its own folder" "loaded: $loaded"; fi
rm -f "$install_dir"/loaded-by-*.txt
loaded=$(probe_dll iphlpapi --system32)
if [[ "${loaded,,}" == *'\system32\iphlpapi.dll' ]] && ! ls "$install_dir"/loaded-by-* >/dev/null 2>&1; then
    ok "searching System32 only, the planted iphlpapi.dll is passed over"
else bad "searching System32 only, the planted iphlpapi.dll is passed over" "loaded: $loaded"; fi

vt_engine_behaviour "--stderr FATAL[0000] start service: initialize outbound[0]: uuid=7f1c2a9e-0000-4000-8000-123456789abc password=hunter2" "--exit 1"
vt_service_create && vt_service_start
sleep 2

link='vless://7f1c2a9e-0000-4000-8000-123456789abc@192.0.2.10:443?security=none&sni=example.org'
connect_cmd="{\"command\":\"connect\",\"protocol_version\":3,\"uri\":\"$link\",\"direct_domains\":[\"example.org\"],\"force_proxy_domains\":[],\"udp_direct\":0}"

# session_feed OUT [line|+SECONDS]...: a session-mode controller fed line by line, pausing at +N.
session_feed() {
    local out=$1; shift
    { for a in "$@"; do case $a in +*) sleep "${a#+}" ;; *) printf '%s\n' "$a" ;; esac; done; } \
        | vt_ctl session >"$out" 2>"$out.err"
    echo $? >"$out.rc"
}

# --- status and usage
vt_ctl status >"$work/status.out" 2>/dev/null; rc=$?
expect_code "status exits 0" "$rc" 0
expect_line "status prints the idle state of generation 0" "$work/status.out" \
    '{"event":"state","generation":0,"state":"idle","code":null,"message":null,"cleanup_verified":true}'
vt_ctl bogus >"$work/usage.out" 2>"$work/usage.err"; rc=$?
expect_code "unknown mode exits 64" "$rc" 64
if grep -Fq 'usage: VantorelCtl.exe [session|status|disconnect]' "$work/usage.err" && [ ! -s "$work/usage.out" ]; then
    ok "unknown mode prints the usage on standard error only"
else bad "unknown mode prints the usage on standard error only"; fi

# --- a connect whose engine exits at once
session_feed "$work/s1.out" '{"command":"hello","protocol_version":3}' +1 "$connect_cmd" +6
expect_line "session: hello answered with the idle state" "$work/s1.out" \
    '{"event":"state","generation":0,"state":"idle","code":null,"message":null,"cleanup_verified":true}'
expect_line "session: connect accepted as generation 1" "$work/s1.out" \
    '{"event":"ack","command":"connect","accepted":true,"generation":1,"code":null,"message":null}'
expect_line "session: connecting state" "$work/s1.out" \
    '{"event":"state","generation":1,"state":"connecting","code":null,"message":null,"cleanup_verified":false}'
expect_line "session: engine exit ends in idle with core_exited, cleanup verified" "$work/s1.out" \
    '{"event":"state","generation":1,"state":"idle","code":"core_exited","message":"Сбой локальной службы туннеля","cleanup_verified":true}'
expect_line "session: end of input prints broker_closed" "$work/s1.out" \
    '{"event":"broker_closed","generation":0,"state":"","code":"broker_unavailable","message":null}'
expect_code "session exits 0" "$(cat "$work/s1.out.rc")" 0
expect_log "log: core_exited with the exit code" 'generation=1 event=core_exited code=.* win32=1$'
if vt_service_log | grep -q 'hunter2'; then bad "log: engine secrets are masked"; else ok "log: engine secrets are masked"; fi

# --- an engine that runs but never brings its adapter (the wait lasts 25 s); refusals and client
# errors meanwhile
vt_engine_behaviour "--stderr INFO[0000] inbound/tun[tun-in]: waiting" "--sleep-ms -1"
session_feed "$work/s2.out" "$connect_cmd" +1 "$connect_cmd" '{"protocol_version":3}' \
    '{"command":"connect","protocol_version":3,"udp_direct":true}' '{"command":"connect"}' +28
expect_line "second connect while connecting is refused with busy" "$work/s2.out" \
    '{"event":"ack","command":"connect","accepted":false,"generation":2,"code":"busy","message":"Подключение уже идёт"}'
expect_line "a line without a command prints a client error" "$work/s2.out" \
    '{"event":"client_error","generation":0,"state":"","code":"command","message":"Команда подключения не передана","cleanup_verified":true}'
expect_line "\"udp_direct\":true prints client error udp_direct" "$work/s2.out" \
    '{"event":"client_error","generation":0,"state":"","code":"udp_direct","message":"Команда подключения не передана","cleanup_verified":true}'
expect_line "a command without protocol version prints client error protocol" "$work/s2.out" \
    '{"event":"client_error","generation":0,"state":"","code":"protocol","message":"Команда подключения не передана","cleanup_verified":true}'
expect_line "no adapter ends in tun_init_timeout" "$work/s2.out" \
    '{"event":"state","generation":2,"state":"idle","code":"tun_init_timeout","message":"Сбой сетевого адаптера туннеля","cleanup_verified":true}'
expect_log "log: tun diagnosis" 'generation=2 event=tun_diag code=process_alive win32=0$'
expect_log "log: no own adapter listed" 'generation=2 event=tun_adapter code=none win32=0$'
expect_log "log: tun_init_timeout reason" 'generation=2 event=tun_init_timeout code=adapter_not_found win32=0$'

# --- end of input leaves the session running; disconnect ends it
session_feed "$work/s3.out" "$connect_cmd" +1
expect_line "end of input prints broker_closed" "$work/s3.out" \
    '{"event":"broker_closed","generation":0,"state":"","code":"broker_unavailable","message":null}'
expect_code "session ends with 0 while the tunnel session goes on" "$(cat "$work/s3.out.rc")" 0
vt_ctl status >"$work/status3.out" 2>/dev/null
expect_line "status shows generation 3 still connecting" "$work/status3.out" \
    '{"event":"state","generation":3,"state":"connecting","code":null,"message":null,"cleanup_verified":false}'
vt_ctl disconnect >"$work/disc.out" 2>/dev/null; rc=$?
expect_code "disconnect exits 0" "$rc" 0
expect_line "disconnect prints the ack" "$work/disc.out" \
    '{"event":"ack","command":"disconnect","accepted":true,"generation":3,"code":null,"message":null}'
if grep -q '"event":"state","generation":3' "$work/disc.out"; then ok "disconnect prints the first state event"; else bad "disconnect prints the first state event" "$(cat "$work/disc.out")"; fi
sleep 2

# --- one controller at a time, and only the controller
sleep 12 | vt_ctl session >"$work/holder.out" 2>/dev/null &
holder=$!
sleep 2
vt_ctl status >"$work/busy.out" 2>/dev/null; rc=$?
expect_code "second controller exits 2" "$rc" 2
expect_line "second controller prints broker busy (231)" "$work/busy.out" \
    '{"event":"state","generation":0,"state":"idle","code":"broker_busy","message":"Окно Ванторел уже подключено к службе. Закройте его, чтобы управлять туннелем отсюда","cleanup_verified":true,"win32":231}'
wait "$holder" 2>/dev/null
mkdir -p "$VT_PREFIX/drive_c/elsewhere"
cp "$(vt_install_dir)/VantorelCtl.exe" "$VT_PREFIX/drive_c/elsewhere/"
vt_ns wine 'C:\elsewhere\VantorelCtl.exe' status >"$work/foreign.out" 2>/dev/null; rc=$?
if [ "$rc" -ne 0 ] && ! grep -q '"event":"state","generation":[0-9]*,"state":"idle","code":null' "$work/foreign.out"; then
    ok "a controller copy outside the broker's directory gets no state"
else bad "a controller copy outside the broker's directory gets no state" "exit $rc" "$(cat "$work/foreign.out")"; fi
expect_log "log: reject_client" 'event=reject_client code=not_controller win32=0$'

# --- clear_log (what it clears is kept for reading after the run)
vt_service_log >"$work/service-before-clear.log"
session_feed "$work/s4.out" '{"command":"clear_log","protocol_version":3}' +2
if grep -Eq '^\{"event":"ack","command":"clear_log","accepted":true,"generation":[0-9]+,"code":"cleared","message":null\}$' "$work/s4.out"; then
    ok "clear_log answers cleared"
else bad "clear_log answers cleared" "$(cat "$work/s4.out")"; fi

# --- stopping the service during a connect
vt_engine_behaviour "--sleep-ms -1"
session_feed "$work/s5.out" "$connect_cmd" +2 &
feeder=$!
sleep 1.5
t0=$(date +%s)
vt_service_stop
t1=$(date +%s)
wait "$feeder" 2>/dev/null
if [ $((t1 - t0)) -le 20 ]; then ok "service stop during a connect ends within 20 s ($((t1 - t0)) s)"; else bad "service stop during a connect ends within 20 s" "took $((t1 - t0)) s"; fi
sleep 1
if [ -n "$(vt_ns_processes 'sing-box\.exe')" ]; then bad "no engine process left after stop"; else ok "no engine process left after stop"; fi
data=$(vt_service_data_dir)
if [ ! -e "$data/run/current_session.json" ] && [ ! -e "$data/run/ledger.txt" ]; then
    ok "no configuration file or ledger left after stop"
else bad "no configuration file or ledger left after stop" "$(ls -la "$data/run")"; fi
expect_log "log: final state after stop is idle" 'event=idle code=- win32=0$'

# --- the service is stopped: unavailable
t0=$(date +%s)
vt_ctl status >"$work/unavail.out" 2>/dev/null; rc=$?
t1=$(date +%s)
expect_code "status without the service exits 2" "$rc" 2
expect_line "status without the service prints broker unavailable (2)" "$work/unavail.out" \
    '{"event":"state","generation":0,"state":"idle","code":"broker_unavailable","message":"Служба Ванторел недоступна. Переустановите приложение","cleanup_verified":true,"win32":2}'
if [ $((t1 - t0)) -ge 8 ] && [ $((t1 - t0)) -le 20 ]; then ok "unavailable after about 10 s ($((t1 - t0)) s)"; else bad "unavailable after about 10 s" "took $((t1 - t0)) s"; fi

# --- reconcile cleans what a crash left
vt_ns wine "$VT_INSTALL_DIR_WIN\\VantorelBroker.exe" --reconcile >/dev/null 2>&1
run="$VT_PREFIX/drive_c/ProgramData/Vantorel/run"
mkdir -p "$run"
printf 'v1\ngeneration=7\nphase=connected\npid=4242\ncleanup_verified=0\npin_intended=1\ndestination=203.0.113.7\ninterface_luid=99999\ninterface_index=77\nphysical_index=77\nnext_hop=10.213.0.1\nmetric=10\nadapter_known=1\nadapter_name=VantorelTun\nadapter_guid={00000000-0000-0000-0000-000000000001}\nadapter_luid=88888\nadapter_index=66\nconfig_written=1\nroute=0.0.0.0/1/88888/66\nroute=128.0.0.0/1/88888/66\nroute=::/1/88888/66\nroute=8000::/1/88888/66\n' >"$run/ledger.txt"
echo '{"log":{"level":"info"}}' >"$run/current_session.json"
printf '203.0.113.7\r\n' >"$run/pin.txt"
vt_ns wine "$VT_INSTALL_DIR_WIN\\VantorelBroker.exe" --reconcile >/dev/null 2>&1; rc=$?
expect_code "reconcile after a crash exits 0" "$rc" 0
if [ ! -e "$run/ledger.txt" ] && [ ! -e "$run/current_session.json" ] && [ ! -e "$run/pin.txt" ]; then
    ok "reconcile removed the ledger, configuration and pin file"
else bad "reconcile removed the ledger, configuration and pin file" "$(ls -la "$run")"; fi

# --- the broker's own pre-shutdown time-out, and a data directory someone else holds open
stt() { vt_ns wine "$build/bin/service_test_tool.exe" "$@" 2>/dev/null | tr -d '\r'; }
expect_equal() { if [ "$2" = "$3" ]; then ok "$1"; else bad "$1" "got: $2" "wanted: $3"; fi; }
stt preshutdown VantorelBroker 10000 >/dev/null
vt_service_start
sleep 2
expect_equal "the service raises a 10 s pre-shutdown time-out to 30 s" "$(stt preshutdown VantorelBroker)" 30000
vt_service_stop
sleep 1
svc_data=$VT_PREFIX/drive_c/users/Public/Vantorel
con_data=$VT_PREFIX/drive_c/ProgramData/Vantorel
rm -rf "$svc_data" "$con_data"
printf planted >"$svc_data"
printf planted >"$con_data"
release=$work/release
rm -f "$release"
stt hold "Z:${release//\//\\}" 'C:\users\Public\Vantorel' 'C:\ProgramData\Vantorel' >"$work/held.out" &
holder=$!
for _ in $(seq 100); do grep -q '^held' "$work/held.out" 2>/dev/null && break; sleep 0.1; done
vt_service_start
sleep 2
expect_equal "a held foreign data directory stops the service with error 32" "$(stt status VantorelBroker)" \
    "state=1 win32=32"
vt_ns wine "$VT_INSTALL_DIR_WIN\\VantorelBroker.exe" --reconcile >/dev/null 2>&1; rc=$?
expect_code "reconcile exits 1 while its data directory is held" "$rc" 1
if [ -f "$svc_data" ] && [ -f "$con_data" ] && [ "$(cat "$svc_data" "$con_data")" = plantedplanted ]; then
    ok "nothing was written into or over the held names"
else bad "nothing was written into or over the held names" "$(ls -la "$svc_data" "$con_data" 2>&1)"; fi
touch "$release"
wait "$holder" 2>/dev/null
vt_service_start
sleep 2
expect_equal "once released the service starts" "$(stt status VantorelBroker)" "state=4 win32=0"
expect_log "log: the foreign name was moved aside" 'event=data_directory code=moved_aside win32=0$'
vt_ctl status >"$work/status-after-aside.out" 2>/dev/null
expect_line "status answers after the move aside" "$work/status-after-aside.out" \
    '{"event":"state","generation":0,"state":"idle","code":null,"message":null,"cleanup_verified":true}'
vt_service_stop

# --- connected sessions: the broker against the namespace's kernel routing table
rm -rf "$work/cases"; mkdir -p "$work/cases"
vt_service_start
export VT_NS VT_PREFIX VT_STATE VT_INSTALL_DIR_WIN VT_SERVER_IP VT_GATEWAY VT_PAGE_HOST VT_CHECK_HOST
VT_CASE_DIR="$work/cases" python3 "$here/connected_cases.py" ${VT_E2E_CASES:-} >"$work/connected.out" 2>&1
grep -v -E '^[0-9]+ passed, [0-9]+ failed' "$work/connected.out"
line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$work/connected.out" | tail -n 1)
if [ -n "$line" ]; then
    pass=$((pass + $(sed -E 's/^([0-9]+) passed.*/\1/' <<<"$line")))
    fail=$((fail + $(sed -E 's/^[0-9]+ passed, ([0-9]+) failed.*/\1/' <<<"$line")))
else
    bad "connected sessions ran to their end"
fi
cp "$VT_STATE"/*.log "$work/" 2>/dev/null
if [ ! -e "$install_dir/loaded-by-VantorelBroker.exe.txt" ]; then ok "the broker never loaded the DLLs planted beside it"
else bad "the broker never loaded the DLLs planted beside it"; fi

# Every document VantorelCtl.exe printed in those cases, against the published JSON Schemas.
if python3 "$here/../../../tools/check_documents.py" events "$work"/cases/*.out >"$work/schemas.out" 2>&1; then
    ok "every printed document matches docs/schemas/event.schema.json ($(tail -n 1 "$work/schemas.out"))"
else
    bad "every printed document matches docs/schemas/event.schema.json" "$(tail -n 30 "$work/schemas.out")"
fi

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
