#!/bin/bash
# Runs test_route_table_netns.exe inside a network namespace of its own, so Wine's IP Helper
# reads routing and link tables this script controls and port 80 is free to take.
#
# usage: run_netns_tests.sh <windows-build-dir> <booted-base-prefix>
#
# The base prefix is copied (a prefix's wineserver sees the namespace it was started in, so
# it must be private and started inside). Everything made here is removed on exit.
# Last line: "N passed, M failed" (GoogleTest totals); exit status non-zero on any failure.

set -u

build_dir=${1:-}
base_prefix=${2:-}

if [ "$(id -u)" != "0" ]; then
    echo "run_netns_tests.sh: not root, cannot create a network namespace; namespace tests not run"
    echo "0 passed, 0 failed"
    exit 0
fi
if [ -z "$build_dir" ] || [ -z "$base_prefix" ]; then
    echo "usage: run_netns_tests.sh <windows-build-dir> <booted-base-prefix>" >&2
    exit 2
fi
test_exe=$build_dir/bin/test_route_table_netns.exe
shim=$build_dir/route_shim/iphlpapi.dll
for built in "$test_exe" "$shim"; do
    if [ ! -f "$built" ]; then
        echo "run_netns_tests.sh: $built is not built" >&2
        exit 2
    fi
done
if [ ! -f "$base_prefix/system.reg" ]; then
    echo "run_netns_tests.sh: $base_prefix is not a booted Wine prefix" >&2
    exit 2
fi

ns=vantorel-net-$$-$RANDOM
work=$(mktemp -d "${TMPDIR:-/tmp}/vantorel-netns.XXXXXX")
prefix=$work/prefix
helper_pids=()
wineserver_started=0
made_netns_dir=0

cleanup() {
    local pid
    for pid in "${helper_pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    if [ "$wineserver_started" = 1 ]; then
        WINEPREFIX=$prefix wineserver -k 2>/dev/null
        WINEPREFIX=$prefix wineserver -w 2>/dev/null
    fi
    ip netns del "$ns" 2>/dev/null
    rm -rf "/etc/netns/$ns"
    if [ "$made_netns_dir" = 1 ]; then rmdir /etc/netns 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

in_ns() { ip netns exec "$ns" "$@"; }
link_index() { in_ns ip -o link show dev "$1" | cut -d: -f1; }
# The GUID the engine asks Wintun for; as a link's alias the test iphlpapi.dll reports it.
engine_guid() { PYTHONPATH=$(dirname "$0")/route_agent python3 -c 'import sys, kernel_links; print(kernel_links.wintun_guid(sys.argv[1]))' "$1"; }
fail_setup() {
    echo "run_netns_tests.sh: setup failed: $*" >&2
    echo "0 passed, 1 failed"
    exit 1
}

# ---- namespace and links
ip netns add "$ns" || fail_setup "ip netns add"
# Lookups inside ask a closed local port, so an unknown name fails without leaving the host.
if [ ! -d /etc/netns ]; then made_netns_dir=1; fi
mkdir -p "/etc/netns/$ns"
printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' > "/etc/netns/$ns/resolv.conf"

{
    in_ns ip link set lo up &&
    in_ns ip link add vnfast type veth peer name vnfast-p &&
    in_ns ip link add vnslow type veth peer name vnslow-p &&
    in_ns ip link set vnfast up && in_ns ip link set vnfast-p up &&
    in_ns ip link set vnslow up && in_ns ip link set vnslow-p up &&
    in_ns ip addr add 10.81.0.2/24 dev vnfast &&
    in_ns ip addr add 10.82.0.2/24 dev vnslow &&
    in_ns ip tuntap add dev VantorelTun mode tun &&
    in_ns ip link set VantorelTun up &&
    in_ns ip addr add 172.19.0.1/30 dev VantorelTun &&
    in_ns ip tuntap add dev vantoreltun mode tun &&
    in_ns ip link set vantoreltun up &&
    in_ns ip link add quorvandel type veth peer name quorvandel-p &&
    in_ns ip link set VantorelTun alias "$(engine_guid VantorelTun)" &&
    in_ns ip link set quorvandel alias "$(engine_guid quorvandel)"
} || fail_setup "links"

export VANTOREL_NET_FAST_INDEX=$(link_index vnfast)
export VANTOREL_NET_SLOW_INDEX=$(link_index vnslow)
export VANTOREL_NET_TUN_INDEX=$(link_index VantorelTun)
export VANTOREL_NET_LOWER_TUN_INDEX=$(link_index vantoreltun)
export VANTOREL_NET_QUORVANDEL_INDEX=$(link_index quorvandel)
export VANTOREL_NET_LO_INDEX=$(link_index lo)
export VANTOREL_NET_SOCKS_PORT=1080
export VANTOREL_NET_SOCKS_AUTH_PORT=1081

# ---- private prefix, its wineserver inside the namespace, SOCKS servers on its loopback
cp -a "$base_prefix" "$prefix" || fail_setup "copy of $base_prefix"
# The test iphlpapi.dll beside a copy of the test (it forwards what it does not change to a copy
# of Wine's builtin); without its route agent it only reports the adapters' GUIDs.
mkdir -p "$work/bin" && cp "$test_exe" "$shim" "$work/bin/" &&
    cp /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/iphlpapi.dll "$prefix/drive_c/windows/system32/wineiphlp.dll" ||
    fail_setup "test iphlpapi.dll"
test_exe=$work/bin/test_route_table_netns.exe
export WINEPREFIX=$prefix WINEDEBUG=-all
in_ns env WINEPREFIX="$prefix" WINEDEBUG=-all wineserver -p || fail_setup "wineserver -p"
wineserver_started=1

# Started directly, not through in_ns: a function would run in a forked subshell and $!
# would name that subshell instead of the proxy. "ip netns exec" execs in place.
ip netns exec "$ns" microsocks -i 127.0.0.1 -p "$VANTOREL_NET_SOCKS_PORT" > "$work/socks.log" 2>&1 &
helper_pids+=($!)
ip netns exec "$ns" microsocks -i 127.0.0.1 -p "$VANTOREL_NET_SOCKS_AUTH_PORT" -u probe -P secret \
    > "$work/socks-auth.log" 2>&1 &
helper_pids+=($!)

passed=0
failed=0

# run_phase NAME: the test executable with that phase's cases, inside the namespace.
run_phase() {
    local phase=$1 out=$work/$1.out rc p f
    in_ns env VANTOREL_NETNS_PHASE="$phase" WINEDLLOVERRIDES=iphlpapi=n,b timeout 600 wine "$test_exe" \
        --gtest_filter="*Netns$2*" > "$out" 2> "$work/$phase.err" < /dev/null
    rc=$?
    p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$out" | tr -d '\r')
    f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p' "$out" | tr -d '\r')
    p=${p:-0}
    f=${f:-0}
    if [ "$rc" != 0 ] && [ "$f" = 0 ]; then f=1; fi  # crashed or aborted before its summary
    echo "phase $phase: $p passed, $f failed (exit $rc)"
    if [ "$f" != 0 ]; then
        tr -d '\r' < "$out" | grep -E '^\[  FAILED  \]|Failure|Expected|Which is|Value of|Actual|  [a-z_.]+$' | head -60
        tr -d '\r' < "$work/$phase.err" | head -20
    fi
    passed=$((passed + p))
    failed=$((failed + f))
}

# Phase main: defaults via fast (metric 10) and slow (25); VantorelTun carries both IPv4
# capture routes; a pin route via fast.
{
    in_ns ip route add default via 10.82.0.1 dev vnslow metric 25 &&
    in_ns ip route add default via 10.81.0.1 dev vnfast metric 10 &&
    in_ns ip route add 0.0.0.0/1 dev VantorelTun &&
    in_ns ip route add 128.0.0.0/1 dev VantorelTun &&
    in_ns ip route add 203.0.113.9/32 via 10.81.0.1 dev vnfast
} || fail_setup "main routes"
# microsocks must be listening before the SOCKS cases run.
for _ in $(seq 50); do
    in_ns ss -ltn 2>/dev/null | grep -q "127.0.0.1:$VANTOREL_NET_SOCKS_AUTH_PORT" && break
    sleep 0.1
done
run_phase main Main

# Phase loopback: main plus a metric-0 default on the loopback, which is no hardware
# interface. (Wine's GetAdaptersAddresses fails with 13 while it exists.)
in_ns ip route add default dev lo metric 0 || fail_setup "loopback route"
run_phase loopback Loopback

# Phase tie: equal metrics, slow added first; only half the capture is left on the TUN.
{
    in_ns ip route del default dev lo &&
    in_ns ip route del default via 10.81.0.1 dev vnfast metric 10 &&
    in_ns ip route del default via 10.82.0.1 dev vnslow metric 25 &&
    in_ns ip route add default via 10.82.0.1 dev vnslow metric 10 &&
    in_ns ip route append default via 10.81.0.1 dev vnfast metric 10 &&
    in_ns ip route del 128.0.0.0/1 dev VantorelTun
} || fail_setup "tie routes"
export VANTOREL_NET_TIE_FIRST_INDEX=$VANTOREL_NET_SLOW_INDEX
run_phase tie Tie

# Phase onlink: one hardware default without a gateway.
{
    in_ns ip route del default via 10.82.0.1 dev vnslow &&
    in_ns ip route del default via 10.81.0.1 dev vnfast &&
    in_ns ip route add default dev vnfast metric 5
} || fail_setup "onlink routes"
run_phase onlink Onlink

# Phase sole-loopback: the only default or half-default route is on the loopback.
{
    in_ns ip route del default dev vnfast &&
    in_ns ip route del 0.0.0.0/1 dev VantorelTun &&
    in_ns ip route add default dev lo metric 0
} || fail_setup "sole-loopback routes"
run_phase sole-loopback SoleLoopback

# Phase bare: no default route; VantorelTun down (its routes go with it); no pin route.
{
    in_ns ip route del default dev lo &&
    in_ns ip route del 203.0.113.9/32 &&
    in_ns ip link set VantorelTun down
} || fail_setup "bare routes"
run_phase bare Bare

# Phase empty: no adapter of the engine's any more; the other-case vantoreltun stays up, and
# another adapter named VantorelTun (its GUID not the engine's, as after a rename) holds both
# capture halves. Wine's network driver keeps deleted links in its interface list (as down), so
# the prefix's wineserver is started afresh after the links are gone.
{
    in_ns ip link del VantorelTun &&
    in_ns ip link del quorvandel &&
    in_ns ip tuntap add dev VantorelTun mode tun &&
    in_ns ip link set VantorelTun up &&
    in_ns ip route add 0.0.0.0/1 dev VantorelTun &&
    in_ns ip route add 128.0.0.0/1 dev VantorelTun
} || fail_setup "empty links"
WINEPREFIX=$prefix wineserver -k 2>/dev/null
WINEPREFIX=$prefix wineserver -w 2>/dev/null
in_ns env WINEPREFIX="$prefix" WINEDEBUG=-all wineserver -p || fail_setup "wineserver -p again"
run_phase empty Empty

echo "$passed passed, $failed failed"
if [ "$failed" = 0 ]; then exit 0; fi
exit 1
