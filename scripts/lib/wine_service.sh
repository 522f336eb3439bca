# Runs the broker as a real service in a private Wine prefix inside a network namespace.
# Shared by the end-to-end suite and scripts/run. Source after common.sh.

VT_NS=""
VT_PREFIX=""
VT_INSTALL_DIR_WIN='C:\Program Files\Vantorel'

# vt_env_up BASE_PREFIX WORK_PREFIX: a namespace with one "physical" link and a default route,
# and a copy of the booted prefix whose wineserver lives in that namespace (so IP Helper sees it).
vt_env_up() {
    local base=$1
    VT_PREFIX=$2
    VT_NS=vt-e2e-$$
    ip netns add "$VT_NS" || return 1
    ip -n "$VT_NS" link set lo up
    ip -n "$VT_NS" link add vt-phys type veth peer name vt-gw
    ip -n "$VT_NS" addr add 10.213.0.2/24 dev vt-phys
    ip -n "$VT_NS" link set vt-phys up
    ip -n "$VT_NS" link set vt-gw up
    ip -n "$VT_NS" route add default via 10.213.0.1 dev vt-phys metric 10
    rm -rf "$VT_PREFIX"
    cp -a "$base" "$VT_PREFIX" || return 1
    vt_ns wineserver -p
}

vt_env_down() {
    [ -n "$VT_PREFIX" ] && { vt_ns wineserver -k 2>/dev/null; vt_ns wineserver -w 2>/dev/null; }
    [ -n "$VT_NS" ] && ip netns del "$VT_NS" 2>/dev/null
    [ -n "$VT_PREFIX" ] && rm -rf "$VT_PREFIX"
    VT_NS=""; VT_PREFIX=""
}

# Runs a command inside the namespace with the private prefix.
vt_ns() { ip netns exec "$VT_NS" env WINEPREFIX="$VT_PREFIX" WINEDEBUG=-all "$@"; }

vt_install_dir() { echo "$VT_PREFIX/drive_c/Program Files/Vantorel"; }

# vt_install_programs BIN_DIR: the two programs and the stand-in engine as sing-box.exe.
vt_install_programs() {
    local bin=$1 dir
    dir=$(vt_install_dir)
    mkdir -p "$dir"
    cp "$bin/VantorelBroker.exe" "$bin/VantorelCtl.exe" "$dir/" || return 1
    cp "$bin/stand_in_engine.exe" "$dir/sing-box.exe" || return 1
}

# What the stand-in engine does when the broker starts it: one option per line, e.g. "--exit 1".
vt_engine_behaviour() { printf '%s\n' "$@" >"$(vt_install_dir)/stand-in.cfg"; }

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
