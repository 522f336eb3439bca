# Shared by scripts/test, scripts/run and the Wine suites. Source it; it defines functions only.

VT_PACKAGES=(cmake ninja-build g++ libgtest-dev nlohmann-json3-dev g++-mingw-w64-x86-64 wine wine64
             microsocks iproute2 python3 wixl msitools osslsigncode openssl curl
             libbenchmark-dev libsimdjson-dev clang-14 libclang-rt-14-dev python3-jsonschema
             nftables tcpdump patch clang-format-14)

vt_log() { printf '== %s\n' "$*" >&2; }

# Installs whatever of the build and test packages is missing (Debian 12, root).
vt_ensure_packages() {
    local missing=() p
    for p in "${VT_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        vt_log "missing packages (${missing[*]}) and not root: install them first"
        return 1
    fi
    vt_log "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

vt_jobs() { local n; n=$(nproc 2>/dev/null || echo 2); echo "$n"; }

# vt_configure_build PRESET [TARGET...]
vt_configure_build() {
    local preset=$1; shift
    cmake --preset "$preset" >/dev/null || return 1
    if [ $# -gt 0 ]; then
        cmake --build --preset "$preset" -j "$(vt_jobs)" --target "$@"
    else
        cmake --build --preset "$preset" -j "$(vt_jobs)"
    fi
}

# Boots a headless Wine prefix once and reuses it afterwards. A boot that left system32 without
# kernel32.dll (seen once: every program then fails with c0000135) is thrown away and done again.
vt_boot_prefix() {
    local prefix=$1 attempt
    if [ -f "$prefix/system.reg" ] && [ -f "$prefix/drive_c/windows/system32/kernel32.dll" ]; then return 0; fi
    for attempt in 1 2; do
        vt_log "booting Wine prefix $prefix"
        rm -rf "$prefix"; mkdir -p "$prefix"
        WINEPREFIX=$prefix WINEDEBUG=-all wineboot -i >/dev/null 2>&1
        WINEPREFIX=$prefix wineserver -w
        if [ -f "$prefix/system.reg" ] && [ -f "$prefix/drive_c/windows/system32/kernel32.dll" ]; then return 0; fi
    done
    return 1
}

# Keeps one wineserver alive for a run of many wine commands (a service needs it too).
# The first wine command starts the prefix's system processes (services.exe, winedevice.exe...),
# which inherit its standard handles and keep them open: start them with output going nowhere,
# or a caller reading that output (ctest) would wait for them.
vt_start_wineserver() {
    WINEPREFIX=$1 wineserver -p
    WINEPREFIX=$1 WINEDEBUG=-all wine cmd /c exit 0 </dev/null >/dev/null 2>&1
}
vt_stop_wineserver() { WINEPREFIX=$1 wineserver -k 2>/dev/null; WINEPREFIX=$1 wineserver -w 2>/dev/null; true; }
