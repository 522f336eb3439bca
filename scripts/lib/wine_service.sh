# Runs the broker as a real service in a private Wine prefix inside a network namespace.
# Shared by the end-to-end suite and scripts/run. Source after common.sh.
#
# The test namespace has one "physical" link (vt-phys, default route via 10.213.0.1) and a
# route agent (tests/wine/route_agent) that makes the route changes the broker asks for through
# the test iphlpapi.dll (tests/wine/route_shim) and lends the stand-in engine its adapter
# "VantorelTun": a veth whose far end is in a second namespace, the "world", where an HTTP
# server answers the connectivity check and serves a page. The world is reachable only through
# that adapter. docs/testing.md says what of this is real and what is emulated.

VT_NS=""
VT_WORLD_NS=""
VT_PREFIX=""
VT_STATE=""
VT_HELPER_PIDS=()
VT_INSTALL_DIR_WIN='C:\Program Files\Vantorel'
VT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
VT_CHECK_HOST=$(sed -n 's/.*kConnectivityCheckHost\[\] = "\(.*\)";/\1/p' "$VT_ROOT/protocol/connectivity_check.h")
VT_CHECK_IP=198.18.0.204
VT_PAGE_HOST=world.vantorel.test
VT_PAGE_IP=198.18.0.80
VT_SERVER_IP=192.0.2.10
VT_GATEWAY=10.213.0.1
VT_TUN_INDEX=40
VT_TUNNEL_DNS=$(sed -n 's/.*kTunnelDnsServer\[\] = "\(.*\)";/\1/p' "$VT_ROOT/broker/core/firewall_policy.h")
VT_ENGINE_DNS=1.1.1.1

# vt_env_up BASE_PREFIX WORK_PREFIX: both namespaces, the world's server, the route agent, and
# a copy of the booted prefix whose wineserver lives in the test namespace (so IP Helper sees it).
vt_env_up() {
    local base=$1
    VT_PREFIX=$2
    VT_STATE=$2.state
    VT_NS=vt-e2e-$$
    VT_WORLD_NS=vt-world-$$
    rm -rf "$VT_STATE"; mkdir -p "$VT_STATE"
    vt_netns_up || return 1
    rm -rf "$VT_PREFIX"
    cp -a "$base" "$VT_PREFIX" || return 1
    vt_ns wineserver -p || return 1
    vt_world_up && vt_agent_up
}

vt_netns_up() {
    ip netns add "$VT_NS" || return 1
    # `ip netns exec` puts these over /etc/hosts and /etc/resolv.conf: the connectivity-check host
    # is the world's server, and any other name fails at once without leaving the machine.
    mkdir -p "/etc/netns/$VT_NS"
    printf '127.0.0.1 localhost\n::1 localhost\n%s %s\n%s %s\n' "$VT_CHECK_IP" "$VT_CHECK_HOST" \
        "$VT_PAGE_IP" "$VT_PAGE_HOST" >"/etc/netns/$VT_NS/hosts"
    printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"/etc/netns/$VT_NS/resolv.conf"
    ip -n "$VT_NS" link set lo up
    ip -n "$VT_NS" link add vt-phys type veth peer name vt-gw
    ip -n "$VT_NS" addr add 10.213.0.2/24 dev vt-phys
    ip -n "$VT_NS" link set vt-phys up
    ip -n "$VT_NS" link set vt-gw up
    ip -n "$VT_NS" route add default via "$VT_GATEWAY" dev vt-phys metric 10
    ip netns add "$VT_WORLD_NS" || return 1
    ip -n "$VT_WORLD_NS" link set lo up
    ip -n "$VT_WORLD_NS" addr add "$VT_CHECK_IP/32" dev lo
    ip -n "$VT_WORLD_NS" addr add "$VT_PAGE_IP/32" dev lo
    # The resolvers the tunnel leads to: the tunnel's own (the stand-in's veth carries it here)
    # and the engine's remote DNS server (reached through the proxy server).
    ip -n "$VT_WORLD_NS" addr add "$VT_TUNNEL_DNS/32" dev lo
    ip -n "$VT_WORLD_NS" addr add "$VT_ENGINE_DNS/32" dev lo
}

# vt_wait_file FILE [TENTHS]: polls for a file to appear (default 10 s).
vt_wait_file() {
    local i
    for ((i = 0; i < ${2:-100}; i++)); do [ -s "$1" ] && return 0; sleep 0.1; done
    return 1
}

vt_world_up() {
    # Started directly, not through a function: "ip netns exec" execs in place, so $! is the server.
    ip netns exec "$VT_WORLD_NS" python3 "$VT_ROOT/tests/wine/world/world_server.py" \
        --mode-file "$VT_STATE/world-mode" --log "$VT_STATE/world.log" >"$VT_STATE/world.out" 2>&1 &
    VT_HELPER_PIDS+=($!)
    vt_wait_file "$VT_STATE/world.out" || return 1
    ip netns exec "$VT_WORLD_NS" python3 -B "$VT_ROOT/tests/wine/world/dns_responder.py" \
        --listen "$VT_TUNNEL_DNS" --listen "$VT_ENGINE_DNS" \
        --answer "leak.vantorel.test=$VT_PAGE_IP" --answer "$VT_PAGE_HOST=$VT_PAGE_IP" \
        --log "$VT_STATE/world-dns.log" >"$VT_STATE/world-dns.out" 2>&1 &
    VT_HELPER_PIDS+=($!)
    vt_wait_file "$VT_STATE/world-dns.out"
}

vt_agent_file() { echo "$VT_PREFIX/drive_c/vantorel-test/route-agent.txt"; }

# VT_ENGINE: a Linux sing-box the agent runs for the engine launcher (real-engine sessions).
VT_ENGINE=""
vt_agent_up() {
    ip netns exec "$VT_NS" python3 "$VT_ROOT/tests/wine/route_agent/route_agent.py" \
        --port-file "$(vt_agent_file)" --log "$VT_STATE/route-agent.log" --world-ns "$VT_WORLD_NS" \
        --adapter-index "$VT_TUN_INDEX" --engine "$VT_ENGINE" >"$VT_STATE/route-agent.out" 2>&1 &
    VT_HELPER_PIDS+=($!)
    vt_wait_file "$(vt_agent_file)"
}

# vt_peer_up: for sessions with the real engine, the proxy server's namespace ("peer"): the far
# end of the uplink (the gateway) and the server address $VT_SERVER_IP, with a link of its own to
# the world. A new namespace does not forward, so the world is reached only through the proxy.
# A sing-box server there (VLESS without TLS on TCP 443, hysteria2 with a self-signed
# certificate on UDP 443, Reality on TCP 8443) answers the test links.
VT_PEER_NS=""
VT_PEER_UUID=7f1c2a9e-0000-4000-8000-123456789abc
VT_PEER_PASSWORD=peer-pass
VT_PEER_PUBLIC_KEY=""
vt_peer_up() {
    local keys private pem
    VT_PEER_NS=vt-peer-$$
    ip netns add "$VT_PEER_NS" || return 1
    ip -n "$VT_PEER_NS" link set lo up
    ip -n "$VT_PEER_NS" addr add "$VT_SERVER_IP/32" dev lo
    ip -n "$VT_NS" link set vt-gw netns "$VT_PEER_NS" || return 1
    ip -n "$VT_PEER_NS" addr add "$VT_GATEWAY/24" dev vt-gw
    ip -n "$VT_PEER_NS" link set vt-gw up
    ip -n "$VT_PEER_NS" link add vt-pw type veth peer name vt-wp netns "$VT_WORLD_NS" || return 1
    ip -n "$VT_PEER_NS" addr add 10.214.0.1/30 dev vt-pw
    ip -n "$VT_PEER_NS" link set vt-pw up
    ip -n "$VT_WORLD_NS" addr add 10.214.0.2/30 dev vt-wp
    ip -n "$VT_WORLD_NS" link set vt-wp up
    ip -n "$VT_PEER_NS" route add "$VT_CHECK_IP/32" via 10.214.0.2
    ip -n "$VT_PEER_NS" route add "$VT_PAGE_IP/32" via 10.214.0.2
    ip -n "$VT_PEER_NS" route add "$VT_ENGINE_DNS/32" via 10.214.0.2
    keys=$("$VT_ENGINE" generate reality-keypair) || return 1
    private=$(sed -n 's/^PrivateKey: *//p' <<<"$keys")
    VT_PEER_PUBLIC_KEY=$(sed -n 's/^PublicKey: *//p' <<<"$keys")
    pem=$("$VT_ENGINE" generate tls-keypair peer.example) || return 1
    sed -n '/BEGIN PRIVATE KEY/,/END PRIVATE KEY/p' <<<"$pem" >"$VT_STATE/peer.key"
    sed -n '/BEGIN CERTIFICATE/,/END CERTIFICATE/p' <<<"$pem" >"$VT_STATE/peer.crt"
    cat >"$VT_STATE/peer.json" <<EOF
{"log":{"level":"info"},
 "inbounds":[
  {"type":"vless","tag":"vless","listen":"$VT_SERVER_IP","listen_port":443,"users":[{"uuid":"$VT_PEER_UUID"}]},
  {"type":"hysteria2","tag":"hy2","listen":"$VT_SERVER_IP","listen_port":443,"users":[{"password":"$VT_PEER_PASSWORD"}],
   "tls":{"enabled":true,"certificate_path":"$VT_STATE/peer.crt","key_path":"$VT_STATE/peer.key"}},
  {"type":"vless","tag":"reality","listen":"$VT_SERVER_IP","listen_port":8443,"users":[{"uuid":"$VT_PEER_UUID"}],
   "tls":{"enabled":true,"server_name":"www.example.org","reality":{"enabled":true,
    "handshake":{"server":"127.0.0.1","server_port":9443},"private_key":"$private","short_id":["ab12"]}}}],
 "outbounds":[{"type":"direct","tag":"direct"}]}
EOF
    # The site Reality borrows its handshake from: any TLS 1.3 server taking many connections.
    ip netns exec "$VT_PEER_NS" python3 -B "$VT_ROOT/tests/wine/world/cover_site.py" --listen 127.0.0.1:9443 \
        --cert "$VT_STATE/peer.crt" --key "$VT_STATE/peer.key" </dev/null >"$VT_STATE/peer-tls.out" 2>&1 &
    VT_HELPER_PIDS+=($!)
    ip netns exec "$VT_PEER_NS" "$VT_ENGINE" run -c "$VT_STATE/peer.json" >"$VT_STATE/peer.log" 2>&1 &
    VT_HELPER_PIDS+=($!)
    sleep 1
    kill -0 "$!" 2>/dev/null
}

# What the world's server answers to /generate_204: 204, 503, silent or 204-once.
vt_world_mode() { printf '%s\n' "$1" >"$VT_STATE/world-mode"; }

vt_env_down() {
    local pid
    [ -n "$VT_PREFIX" ] && { vt_ns wineserver -k 2>/dev/null; vt_ns wineserver -w 2>/dev/null; }
    for pid in "${VT_HELPER_PIDS[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    VT_HELPER_PIDS=()
    [ -n "$VT_NS" ] && { ip netns del "$VT_NS" 2>/dev/null; rm -rf "/etc/netns/$VT_NS"; }
    [ -n "$VT_WORLD_NS" ] && ip netns del "$VT_WORLD_NS" 2>/dev/null
    [ -n "$VT_PEER_NS" ] && ip netns del "$VT_PEER_NS" 2>/dev/null
    VT_PEER_NS=""
    [ -n "$VT_PREFIX" ] && rm -rf "$VT_PREFIX"
    VT_NS=""; VT_WORLD_NS=""; VT_PREFIX=""
}

# Runs a command inside the namespace with the private prefix.
vt_ns() { ip netns exec "$VT_NS" env WINEPREFIX="$VT_PREFIX" WINEDEBUG=-all "$@"; }

vt_install_dir() { echo "$VT_PREFIX/drive_c/Program Files/Vantorel"; }

# vt_install_programs BIN_DIR: the two programs, the stand-in engine as sing-box.exe and, when
# built, the test iphlpapi.dll and fwpuclnt.dll in System32 in place of Wine's placeholders (the
# broker loads DLLs from System32 only; they are loaded by the broker only, through its own
# DllOverrides key, every other program keeps Wine's builtin; the program is never changed).
vt_install_programs() {
    local bin=$1 dir shim
    dir=$(vt_install_dir)
    mkdir -p "$dir"
    cp "$bin/VantorelBroker.exe" "$bin/VantorelCtl.exe" "$dir/" || return 1
    cp "$bin/stand_in_engine.exe" "$dir/sing-box.exe" || return 1
    if [ -f "$bin/../fwp_shim/fwpuclnt.dll" ]; then
        cp "$bin/../fwp_shim/fwpuclnt.dll" "$VT_PREFIX/drive_c/windows/system32/fwpuclnt.dll" || return 1
        vt_ns wine reg add 'HKCU\Software\Wine\AppDefaults\VantorelBroker.exe\DllOverrides' \
            /v fwpuclnt /d native,builtin /f >/dev/null 2>&1
    fi
    shim=$bin/../route_shim/iphlpapi.dll
    [ -f "$shim" ] || return 0
    cp "$shim" "$VT_PREFIX/drive_c/windows/system32/iphlpapi.dll" || return 1
    cp /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/iphlpapi.dll \
        "$VT_PREFIX/drive_c/windows/system32/wineiphlp.dll" || return 1
    vt_ns wine reg add 'HKCU\Software\Wine\AppDefaults\VantorelBroker.exe\DllOverrides' \
        /v iphlpapi /d native,builtin /f >/dev/null 2>&1
}

# What the stand-in engine does when the broker starts it: one option per line, e.g. "--exit 1".
vt_engine_behaviour() { printf '%s\n' "$@" >"$(vt_install_dir)/stand-in.cfg"; }
# An engine that brings up its adapter and serves its control API, as sing-box does.
vt_engine_working() { vt_engine_behaviour "--stderr INFO[0000] sing-box started (stand-in)" --adapter --serve-api "--sleep-ms -1"; }

vt_service_create() {
    vt_ns wine sc create VantorelBroker binPath= "$VT_INSTALL_DIR_WIN\\VantorelBroker.exe" >/dev/null 2>&1
}
vt_service_start() { vt_ns wine net start VantorelBroker >/dev/null 2>&1; }
vt_service_stop() { vt_ns wine net stop VantorelBroker >/dev/null 2>&1; }

vt_ctl() { vt_ns wine "$VT_INSTALL_DIR_WIN\\VantorelCtl.exe" "$@"; }

# A service sees %ProgramData% as C:\users\Public under Wine, a console program C:\ProgramData.
vt_service_data_dir() {
    local d
    for d in "$VT_PREFIX/drive_c/users/Public/Vantorel" "$VT_PREFIX/drive_c/ProgramData/Vantorel"; do
        [ -d "$d/logs" ] && { echo "$d"; return; }
    done
    echo "$VT_PREFIX/drive_c/users/Public/Vantorel"
}
vt_service_log() { cat "$(vt_service_data_dir)/logs/service.log" 2>/dev/null | tr -d '\r'; }

# vt_ns_processes PATTERN: pids of processes in the test namespace whose command line matches.
vt_ns_processes() {
    local pid
    for pid in $(ip netns pids "$VT_NS" 2>/dev/null); do
        tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -Eq -- "$1" && echo "$pid"
    done
}

# The kernel's routing tables of the test namespace, as `ip` prints them.
vt_routes() { ip -n "$VT_NS" route show; echo "--"; ip -n "$VT_NS" -6 route show; }
