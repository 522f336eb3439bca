#!/usr/bin/env bash
# bench/wine_roundtrip.sh BIN_DIR BASE_PREFIX WORK_PREFIX HELLOS IDLE_SECONDS
# The broker as a real service in a copy of a booted prefix whose wineserver lives in a network
# namespace of its own with loopback only; prints key=value lines for bench/report.py.
# The broker accepts only "C:\Program Files\Vantorel\VantorelCtl.exe" or the controller beside
# it, so the broker and the real controller go to C:\vantorel-bench and the timing tool takes
# the fixed controller path: it is then a client the broker serves, and it starts the real
# controller for the session measure.
set -u -o pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/lib/common.sh"
bin=$(realpath -m "$1") base=$(realpath -m "$2") prefix=$(realpath -m "$3") hellos=$4 idle_s=$5
ns=vt-bench-$$

ns_run() { ip netns exec "$ns" env WINEPREFIX="$prefix" WINEDEBUG=-all "$@"; }
cleanup() {
    ns_run wine net stop VantorelBroker >/dev/null 2>&1
    ns_run wineserver -k 2>/dev/null; ns_run wineserver -w 2>/dev/null
    ip netns del "$ns" 2>/dev/null
}
trap cleanup EXIT

vt_boot_prefix "$base" >&2 || { echo "wine_error=no prefix"; exit 1; }
if [ ! -f "$prefix/system.reg" ]; then
    rm -rf "$prefix"; cp -a "$base" "$prefix" || exit 1
fi
ip netns add "$ns" || exit 1
ip -n "$ns" link set lo up
ns_run wineserver -p
ns_run wine cmd /c exit 0 </dev/null >/dev/null 2>&1

broker_dir=$prefix/drive_c/vantorel-bench
tool_dir="$prefix/drive_c/Program Files/Vantorel"
mkdir -p "$broker_dir" "$tool_dir"
cp "$bin/VantorelBroker.exe" "$bin/VantorelCtl.exe" "$broker_dir/"
cp "$bin/vantorel_roundtrip.exe" "$tool_dir/VantorelCtl.exe"
ns_run wine sc delete VantorelBroker >/dev/null 2>&1
ns_run wine sc create VantorelBroker binPath= 'C:\vantorel-bench\VantorelBroker.exe' >/dev/null 2>&1
ns_run wine net start VantorelBroker >/dev/null 2>&1 || { echo "wine_error=service did not start"; exit 1; }

tool='C:\Program Files\Vantorel\VantorelCtl.exe'
ctl='C:\vantorel-bench\VantorelCtl.exe'
# A warm-up the figures leave out: the service finishes its start-up work meanwhile.
ns_run wine "$tool" pipe 50 </dev/null >/dev/null || { echo "wine_error=no answer on the pipe"; exit 1; }
sleep 3
# Pipe only first, then through the controller, back to back in one run.
# Rounds that alternate the measures, so a load that comes and goes on the machine falls on all
# of them alike; bench/report.py pools the rounds' samples.
rounds=5
per_round=$(( (hellos + rounds - 1) / rounds ))
for ((round = 0; round < rounds; round++)); do
    ns_run wine "$tool" pipe "$per_round" </dev/null | tr -d '\r' | sed 's/^/wine_/' || exit 1
    ns_run wine "$tool" session "$ctl" "$per_round" </dev/null | tr -d '\r' | sed 's/^/wine_/' || exit 1
    ns_run wine "$tool" echo "$per_round" </dev/null | tr -d '\r' | sed 's/^/wine_/' || exit 1
done

# Only processes of this namespace: this run started them.
pid_of() {
    local p
    for p in $(ip netns pids "$ns"); do
        tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null | grep -q -- "$1" && { echo "$p"; return; }
    done
}

fifo=$(mktemp -u); mkfifo "$fifo"
# The tool stays idle a little longer than the measured window on both sides.
ns_run wine "$tool" idle "$ctl" "$((idle_s + 3))" </dev/null >"$fifo" &
idle_pid=$!
exec 4<"$fifo"
read -r -t 60 started <&4 || { echo "wine_error=idle session did not start"; exit 1; }
sleep 1
# The controller's own command line ends in "session"; the tool's holds "idle".
ctl_pid=$(pid_of 'vantorel-bench.VantorelCtl.exe"\? session')
broker_pid=$(pid_of 'VantorelBroker.exe')
server_pid=$(pid_of 'wineserver')
for p in $(ip netns pids "$ns"); do echo "process $p: $(tr '\0' ' ' <"/proc/$p/cmdline")" >&2; done
[ -n "$ctl_pid" ] && [ -n "$broker_pid" ] && [ -n "$server_pid" ] || { echo "wine_error=idle processes not found"; exit 1; }
python3 "$root/bench/proc_sampler.py" "$idle_s" ctl="$ctl_pid" broker="$broker_pid" server="$server_pid"
read -r -t 30 ended <&4
wait "$idle_pid"; rc=$?
exec 4<&-; rm -f "$fifo"
echo "idle_exit=$rc"
