#!/usr/bin/env bash
# Shows the engine fault behind the burst figure's hung requests, with the Linux engine alone
# (no Wine, no broker): the "system" TUN stack of sing-box translates TCP by the client's source
# address and port only, so a connection from a port that carried a connection to another
# destination within the TUN's udp_timeout is answered in the name of the old destination; the
# client refuses that SYN-ACK with a reset, and every retry meets the same entry.
# Usage (root): bench/nat_port_reuse.sh [ENGINE...]   (default: both engines under build/engine)
# Prints per engine, stack and udp_timeout:
#   "nat reuse: VERSION stack S udp_timeout T: first A, port reused for another address B, for the same C"
# where A, B and C are the addresses that answered (or the client's error). The gVisor stack is tried
# too when the engine was built with it (tag with_gvisor; the project's engines are not).
set -u -o pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "nat reuse: skipped (needs root for network namespaces)"; exit 0; }
engines=("$@")
[ ${#engines[@]} -gt 0 ] || engines=("$root"/build/engine/*/linux/sing-box)
c=vt-nat-c-$$ w=vt-nat-w-$$ work=$(mktemp -d)
cleanup() {
    [ -n "${world:-}" ] && kill "$world" 2>/dev/null
    [ -n "${engine:-}" ] && kill "$engine" 2>/dev/null
    wait 2>/dev/null
    ip netns del "$c" 2>/dev/null; ip netns del "$w" 2>/dev/null; rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$c" && ip netns add "$w" || exit 1
ip -n "$c" link set lo up; ip -n "$w" link set lo up
ip -n "$c" link add vt-up type veth peer name vt-down netns "$w"
ip -n "$c" addr add 10.215.0.2/24 dev vt-up; ip -n "$c" link set vt-up up
ip -n "$w" addr add 10.215.0.1/24 dev vt-down; ip -n "$w" link set vt-down up
ip -n "$c" route add default via 10.215.0.1 dev vt-up
ip -n "$w" addr add 198.18.0.80/32 dev lo; ip -n "$w" addr add 198.18.0.204/32 dev lo
# The world answers with the address it was asked on.
ip netns exec "$w" python3 -c '
import socket, threading
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(("0.0.0.0", 80)); s.listen(64)
def serve(c):
    c.recv(4096); c.sendall(c.getsockname()[0].encode()); c.close()
while True:
    threading.Thread(target=serve, args=(s.accept()[0],), daemon=True).start()' &
world=$!
# The client: from port 47000 a connection to the check address and then one to the page; from
# port 47002 two to the page. Each prints who answered, or the failure.
probe='
import socket, sys, time
def ask(ip, port):
    s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.settimeout(8)
    s.bind(("198.18.0.1", port))
    try:
        s.connect((ip, 80)); s.sendall(b"hi"); answer = s.recv(100).decode() or "closed"
        while s.recv(100):  # the far side closes first, as the world server does in the burst
            pass
        return answer
    except OSError as e:
        return type(e).__name__
    finally:
        s.close()
pause = float(sys.argv[1])
first = ask("198.18.0.204", 47000); time.sleep(pause); other = ask("198.18.0.80", 47000)
ask("198.18.0.80", 47002); time.sleep(pause); print(first, other, ask("198.18.0.80", 47002))'
for e in "${engines[@]}"; do
    stacks=(system); "$e" version | grep -q with_gvisor && stacks+=(gvisor)
    for run in "${stacks[@]/%/:default}" system:3s; do
        stack=${run%:*} timeout=${run#*:}
        extra=""; [ "$timeout" = default ] || extra=",\"udp_timeout\":\"$timeout\""
        cat >"$work/c.json" <<EOF
{"log":{"level":"warn"},"inbounds":[{"type":"tun","tag":"tun-in","interface_name":"VantorelTun",
 "address":["198.18.0.1/30"],"stack":"$stack","auto_route":false$extra}],
 "outbounds":[{"type":"direct","tag":"direct"}],"route":{"auto_detect_interface":true,"final":"direct"}}
EOF
        ip netns exec "$c" "$e" run -c "$work/c.json" >"$work/engine.log" 2>&1 &
        engine=$!
        for _ in $(seq 50); do ip -n "$c" link show VantorelTun >/dev/null 2>&1 && break; sleep 0.1; done
        ip -n "$c" route add 198.18.0.80/32 dev VantorelTun
        ip -n "$c" route add 198.18.0.204/32 dev VantorelTun
        sleep 0.5
        pause=1; [ "$timeout" = default ] || pause=7   # two of the NAT's expiry ticks
        read -r first other same < <(ip netns exec "$c" python3 -c "$probe" "$pause")
        echo "nat reuse: $("$e" version | head -n 1 | awk '{print $3}') stack $stack udp_timeout $timeout: first ${first:-?}, port reused for another address ${other:-?}, for the same ${same:-?}"
        kill "$engine"; wait "$engine" 2>/dev/null; engine=""
        for _ in $(seq 50); do ip -n "$c" link show VantorelTun >/dev/null 2>&1 || break; sleep 0.1; done
    done
done
