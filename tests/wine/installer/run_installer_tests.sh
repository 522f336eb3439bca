#!/usr/bin/env bash
# The installer under Wine's msiexec, in a private prefix inside a network namespace: install,
# upgrade from the previous version, refusals, and uninstall after a crashed session.
# Usage: run_installer_tests.sh WINDOWS_BUILD_DIR BOOTED_BASE_PREFIX. Ends with "N passed, M failed".
#
# Wine gives a service C:\users\Public as %ProgramData% and every other program (msiexec and the
# reconcile it starts) C:\ProgramData; on Windows both are C:\ProgramData. Where a check needs the
# one folder Windows has, the suite moves the service's run folder over first and says so.
set -u -o pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../../.." && pwd)
. "$root/scripts/lib/common.sh"
. "$root/scripts/lib/wine_service.sh"
. "$root/scripts/lib/suite.sh"

build=$(cd "${1:?windows build dir}" && pwd)
base=$(cd "${2:?booted base prefix}" && pwd)
work=$build/installer-tests

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP installer suite: needs root for a network namespace"
    echo "0 passed, 0 failed"
    exit 0
fi
rm -rf "$work"; mkdir -p "$work"

# --- the packages: this tree's release, with the stand-in engine in the engine slot, and the
# same payload as the previous version number
export SOURCE_DATE_EPOCH=1700000000
VANTOREL_ENGINE_EXE=$build/bin/stand_in_engine.exe VANTOREL_ENGINE_VERSION=1.12.0 \
    "$root/scripts/package" --out "$work/dist" >"$work/package.log" 2>&1 \
    || { bad "scripts/package" "$(tail -n 20 "$work/package.log")"; vt_suite_end; exit 1; }
. "$build/product.env"
IFS=. read -r major minor patch <<<"$VANTOREL_VERSION"
if [ "$patch" -gt 0 ]; then previous=$major.$minor.$((patch - 1))
elif [ "$minor" -gt 0 ]; then previous=$major.$((minor - 1)).0
else previous=$((major - 1)).0.0; fi
python3 -B "$root/packaging/build_msi.py" --payload "$work/dist" --out "$work/previous.msi" --with-engine \
    --name "$VANTOREL_PRODUCT_NAME" --version "$previous" --manufacturer "$VANTOREL_MANUFACTURER" \
    --epoch "$SOURCE_DATE_EPOCH" >/dev/null || { bad "previous version's package"; vt_suite_end; exit 1; }
current_msi=$work/dist/$VANTOREL_PRODUCT_NAME-$VANTOREL_VERSION-x64.msi
product_code() { msiinfo export "$1" Property | tr -d '\r{}' | awk -F'\t' '$1 == "ProductCode" { print $2 }'; }
current_code=$(product_code "$current_msi")
previous_code=$(product_code "$work/previous.msi")

# The service log and msiexec's logs are kept beside the outputs, for reading after a failed run.
cleanup() {
    [ -n "$VT_PREFIX" ] && { vt_service_log >"$work/service.log"; cp "$VT_PREFIX"/drive_c/dist/*.log "$work/" 2>/dev/null; }
    vt_env_down
}
trap cleanup EXIT
vt_env_up "$base" "$work/prefix" || { bad "namespace and prefix"; vt_suite_end; exit 1; }
drive=$VT_PREFIX/drive_c
mkdir -p "$drive/dist"
cp "$current_msi" "$drive/dist/current.msi"
cp "$work/previous.msi" "$drive/dist/previous.msi"
cp "$build/bin/service_config_probe.exe" "$drive/dist/"
installed=$drive/Program\ Files/Vantorel
console_data=$drive/ProgramData/Vantorel

# msi STEP ARGS...: msiexec with a verbose log C:\dist\STEP.log; returns msiexec's exit code
# (Windows codes arrive modulo 256: 1603 as 67).
msi() { local step=$1; shift; vt_ns wine msiexec "$@" /qn /l*v "C:\\dist\\$step.log" >/dev/null 2>&1; }
probe() {
    vt_ns wine 'C:\dist\service_config_probe.exe' VantorelBroker >"$work/$1.probe" 2>/dev/null
    local rc=$?
    sed -i 's/\r$//' "$work/$1.probe"
    return $rc
}
registered() { vt_ns wine reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{$1}" >/dev/null 2>&1; }
service_pid() {  # the Unix pid of this namespace's broker service
    local p nspids
    nspids=$(ip netns pids "$VT_NS")
    for p in $(pgrep -f 'Program Files.Vantorel.VantorelBroker\.exe'); do
        grep -qx "$p" <<<"$nspids" && { echo "$p"; return 0; }
    done
    return 1
}
action_ran() { grep -aEq "Action ended [0-9:]+: $2\. Return value 1\." "$drive/dist/$1.log"; }

# --- a Windows older than 10 is refused (a new prefix reports Windows 7)
msi win7 /i 'C:\dist\current.msi'; rc=$?
if [ "$rc" -ne 0 ] && [ ! -e "$installed" ]; then ok "Windows 7: refused by a launch condition, nothing installed"
else bad "Windows 7: refused by a launch condition, nothing installed" "exit $rc"; fi
vt_ns wine winecfg -v win10 >/dev/null 2>&1

# --- the previous version, then the upgrade
msi previous /i 'C:\dist\previous.msi'
expect_code "previous version installs" $? 0
vt_ctl status >"$work/previous-status.out" 2>/dev/null
expect_code "previous version's service answers" $? 0
vt_service_log >"$work/log-before-upgrade.txt"
msi upgrade /i 'C:\dist\current.msi'
expect_code "upgrade installs" $? 0
vt_service_log >"$work/log-after-upgrade.txt"
kept=$(wc -l <"$work/log-before-upgrade.txt")
if [ "$kept" -gt 0 ] && head -n "$kept" "$work/log-after-upgrade.txt" | cmp -s - "$work/log-before-upgrade.txt"; then
    ok "upgrade keeps the service log ($kept lines)"; else bad "upgrade keeps the service log"; fi
tail -n +"$((kept + 1))" "$work/log-after-upgrade.txt" >"$work/log-upgrade-new.txt"
expect_match "upgrade stops the old service (final teardown)" "$work/log-upgrade-new.txt" 'generation=0 event=idle code=- win32=0$'
expect_match "upgrade starts the new service" "$work/log-upgrade-new.txt" 'event=data_directory code=secured'
if registered "$current_code" && ! registered "$previous_code"; then ok "upgrade replaces the previous product"
else bad "upgrade replaces the previous product"; fi
# Windows runs no reconcile here (the old product's removal sees UPGRADINGPRODUCTCODE); Wine's
# msiexec does not set that property, so its removal of the old version reconciles too.
check "upgrade sets the recovery actions" action_ran upgrade ConfigureBrokerRecovery

# --- what the installation looks like
missing=""
for f in VantorelBroker.exe VantorelCtl.exe README.md sing-box.exe licenses/gcc-runtime.txt \
         licenses/mingw-w64-runtime.txt licenses/sing-box-LICENSE.txt licenses/sing-box-SOURCE.txt; do
    cmp -s "$work/dist/$f" "$installed/$f" || missing+=" $f"
done
if [ -z "$missing" ]; then ok "files in C:\\Program Files\\Vantorel, identical to dist"; else bad "files in place" "differ or missing:$missing"; fi
probe installed
expect_code "service configuration readable" $? 0
for line in "TYPE: 16" "START_TYPE: 2" "ERROR_CONTROL: 1" \
            'BINARY_PATH_NAME: C:\Program Files\Vantorel\VantorelBroker.exe' \
            "SERVICE_START_NAME: LocalSystem" "DISPLAY_NAME: Vantorel Broker" "STATE: 4"; do
    expect_line "service: $line" "$work/installed.probe" "$line"
done
expect_match "service: a description" "$work/installed.probe" '^DESCRIPTION: .{20,}'
vt_ctl status >"$work/status.out" 2>/dev/null
expect_code "installed VantorelCtl.exe status exits 0" $? 0
expect_line "installed VantorelCtl.exe status answers idle" "$work/status.out" \
    '{"event":"state","generation":0,"state":"idle","code":null,"message":null,"cleanup_verified":true}'

msi downgrade /i 'C:\dist\previous.msi'; rc=$?
probe after-downgrade
if [ "$rc" -ne 0 ] && registered "$current_code" && grep -qx "STATE: 4" "$work/after-downgrade.probe"; then
    ok "a downgrade is refused and the installed version keeps running"
else bad "a downgrade is refused and the installed version keeps running" "exit $rc"; fi

# --- a session that dies with the service leaves its ledger
vt_engine_behaviour "--sleep-ms -1"
link='vless://7f1c2a9e-0000-4000-8000-123456789abc@192.0.2.10:443?security=none&sni=example.org'
connect="{\"command\":\"connect\",\"protocol_version\":3,\"uri\":\"$link\",\"direct_domains\":[],\"force_proxy_domains\":[],\"udp_direct\":0}"
{ echo "$connect"; sleep 2; } | vt_ctl session >"$work/session.out" 2>/dev/null &
feeder=$!
service_run=$(vt_service_data_dir)/run
for _ in $(seq 40); do
    [ -f "$service_run/ledger.txt" ] && ps -o args= -p "$(ip netns pids "$VT_NS" | paste -sd,)" | grep -q 'sing-box\.exe run' && break
    sleep 0.1
done
broker=$(service_pid) && kill -9 "$broker"
wait "$feeder" 2>/dev/null
generation=$(sed -n 's/^generation=//p' "$service_run/ledger.txt" 2>/dev/null)
if [ -n "$broker" ] && [ -n "$generation" ]; then ok "a crashed session left ledger generation $generation"
else bad "a crashed session left a ledger" "broker pid '${broker:-}'" "$(ls -la "$service_run" 2>&1)"; fi
# Wine only: the service's run folder to where this uninstall's reconcile reads it.
mkdir -p "$console_data/run" && mv "$service_run"/* "$console_data/run/" 2>/dev/null
echo 'not a ledger' >"$console_data/run/ledger.bad"  # set aside by an earlier start; no reconcile deletes it
rm -f "$installed/stand-in.cfg"

t0=$(date +%s)
msi uninstall /x 'C:\dist\current.msi'
expect_code "uninstall succeeds ($(( $(date +%s) - t0 )) s)" $? 0
check "uninstall ran the reconcile" action_ran uninstall ReconcileBeforeRemoval
tr -d '\r' <"$console_data/logs/service.log" >"$work/reconcile.log" 2>/dev/null
expect_match "reconcile recovered the crashed session (log)" "$work/reconcile.log" \
    "generation=${generation:-X} event=idle code=- win32=0\$"
probe gone; rc=$?
if [ "$rc" -ne 0 ] && [ ! -s "$work/gone.probe" ]; then ok "the service is gone"; else bad "the service is gone" "probe exit $rc"; fi
if [ ! -e "$installed" ]; then ok "the programs are gone"; else bad "the programs are gone" "$(ls -R "$installed")"; fi
if [ ! -e "$console_data/run" ]; then ok "the run folder is gone"; else bad "the run folder is gone" "$(ls -la "$console_data/run")"; fi
if [ -s "$console_data/logs/service.log" ]; then ok "the logs are kept"; else bad "the logs are kept"; fi
if ! registered "$current_code"; then ok "the product is unregistered"; else bad "the product is unregistered"; fi

# --- REMOVELOGS=1 takes the logs too
msi reinstall /i 'C:\dist\current.msi'
expect_code "reinstall" $? 0
msi uninstall-logs /x 'C:\dist\current.msi' REMOVELOGS=1
expect_code "uninstall with REMOVELOGS=1" $? 0
if [ ! -e "$console_data" ]; then ok "REMOVELOGS=1 removes the logs and the data folder"
else bad "REMOVELOGS=1 removes the logs and the data folder" "$(ls -R "$console_data")"; fi

vt_suite_end
