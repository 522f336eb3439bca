# The steps of scripts/package. Source after common.sh; it defines functions only.

VT_ENGINE_MODULE=github.com/sagernet/sing-box
VT_ENGINE_DEFAULT_LICENSE=/usr/share/common-licenses/GPL-3
# Licence texts of the runtime the programs link statically, as Debian ships them.
VT_RUNTIME_LICENSES=(
    "mingw-w64-runtime.txt:/usr/share/doc/mingw-w64-x86-64-dev/copyright"
    "gcc-runtime.txt:/usr/share/doc/g++-mingw-w64-x86-64-posix/copyright"
)

vt_release_signing() { [ -n "${VANTOREL_SIGN_CERT:-}" ] || [ -n "${VANTOREL_SIGN_KEY:-}" ]; }

# Refuses half-given inputs before anything is built.
vt_release_check_inputs() {
    if vt_release_signing; then
        if [ ! -f "${VANTOREL_SIGN_CERT:-}" ] || [ ! -f "${VANTOREL_SIGN_KEY:-}" ]; then
            vt_log "signing needs both VANTOREL_SIGN_CERT and VANTOREL_SIGN_KEY as readable files"
            return 1
        fi
        if [ -n "${VANTOREL_SIGN_PASS_FILE:-}" ] && [ ! -f "$VANTOREL_SIGN_PASS_FILE" ]; then
            vt_log "VANTOREL_SIGN_PASS_FILE is not a file"; return 1
        fi
    fi
    if [ -n "${VANTOREL_ENGINE_EXE:-}" ]; then
        if [ ! -f "$VANTOREL_ENGINE_EXE" ]; then vt_log "no engine at $VANTOREL_ENGINE_EXE"; return 1; fi
        if ! [[ ${VANTOREL_ENGINE_VERSION:-} =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
            vt_log "VANTOREL_ENGINE_VERSION must be X.Y.Z with VANTOREL_ENGINE_EXE"; return 1
        fi
        if [ ! -f "${VANTOREL_ENGINE_LICENSE:-$VT_ENGINE_DEFAULT_LICENSE}" ]; then
            vt_log "no engine licence text at ${VANTOREL_ENGINE_LICENSE:-$VT_ENGINE_DEFAULT_LICENSE}"; return 1
        fi
    fi
}

# vt_release_epoch ROOT: SOURCE_DATE_EPOCH, else the commit time of HEAD.
vt_release_epoch() {
    if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
        [[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || return 1
        echo "$SOURCE_DATE_EPOCH"; return 0
    fi
    git -C "$1" log -1 --format=%ct 2>/dev/null | grep -E '^[0-9]+$'
}

# vt_release_stage ROOT BIN_DIR OUT: a fresh OUT with the programs, README and licence texts.
# An existing OUT is replaced only when it is empty or holds an earlier release.
vt_release_stage() {
    local root=$1 bin=$2 out=$3 entry
    if [ -e "$out" ] && [ -n "$(ls -A "$out" 2>/dev/null)" ] && [ ! -f "$out/SHA256SUMS" ]; then
        vt_log "$out is not empty and holds no earlier release: not replacing it"; return 1
    fi
    rm -rf "$out"
    mkdir -p "$out/licenses" || return 1
    cp "$bin/VantorelBroker.exe" "$bin/VantorelCtl.exe" "$root/README.md" "$out/" || return 1
    for entry in "${VT_RUNTIME_LICENSES[@]}"; do
        cp "${entry#*:}" "$out/licenses/${entry%%:*}" || return 1
    done
}

# vt_release_pinned_engine ROOT: points VANTOREL_ENGINE_* at the pinned sing-box that scripts/engine
# builds; its licence text is the module's own LICENSE (the GPL-3.0-or-later grant) followed by
# the GPL-3 text it refers to. Without Go or the module proxy the release goes without it.
vt_release_pinned_engine() {
    local root=$1 rc dir
    . "$root/packaging/engine.version"
    "$root/scripts/engine" --pinned >"$root/build/logs/package-engine.log" 2>&1
    rc=$?
    if [ "$rc" = 2 ]; then
        vt_log "release without sing-box.exe: $(head -n 1 "$root/build/logs/package-engine.log")"; return 0
    elif [ "$rc" != 0 ]; then
        tail -n 20 "$root/build/logs/package-engine.log" >&2; vt_log "scripts/engine failed"; return 1
    fi
    dir=$root/build/engine/$VANTOREL_ENGINE_PINNED
    export VANTOREL_ENGINE_EXE=$dir/windows/sing-box.exe VANTOREL_ENGINE_VERSION=$VANTOREL_ENGINE_PINNED
    export VANTOREL_ENGINE_LICENSE=$dir/LICENSE.txt
    export VANTOREL_ENGINE_BUILD="go build -trimpath -tags $VANTOREL_ENGINE_TAGS of cmd/sing-box with CGO_ENABLED=0, GOOS=windows, GOARCH=amd64 (scripts/engine)"
    VANTOREL_ENGINE_PATCHES=$(ls "$root"/packaging/engine-patches/*.diff 2>/dev/null | tr '\n' ' ')
    export VANTOREL_ENGINE_PATCHES
}

# vt_release_stage_engine OUT: sing-box.exe, its licence and where its source is published.
vt_release_stage_engine() {
    local out=$1 version=$VANTOREL_ENGINE_VERSION
    cp "$VANTOREL_ENGINE_EXE" "$out/sing-box.exe" || return 1
    cp "${VANTOREL_ENGINE_LICENSE:-$VT_ENGINE_DEFAULT_LICENSE}" "$out/licenses/sing-box-LICENSE.txt" || return 1
    cat >"$out/licenses/sing-box-SOURCE.txt" <<EOF
sing-box.exe is sing-box $version, an independent program that VantorelBroker.exe starts as
its proxy engine. It is free software: you can redistribute it and/or modify it under the terms
of the GNU General Public License, version 3 or (at your option) any later version, as published
by the Free Software Foundation. Its licence is in sing-box-LICENSE.txt beside this file.

Its complete corresponding source is the Go module $VT_ENGINE_MODULE, version v$version,
EOF
    local notice=$out/licenses/sing-box-SOURCE.txt diff
    if [ -z "${VANTOREL_ENGINE_PATCHES:-}" ]; then
        echo "from which this program was built for windows/amd64 without changes." >>"$notice"
    else
        printf '%s\n%s\n' "from which this program was built for windows/amd64 with the changes at the end of this file" \
            "(each a patch to the Go module its first line names, at the version that release requires)." >>"$notice"
    fi
    if [ -n "${VANTOREL_ENGINE_BUILD:-}" ]; then
        printf 'It was built with: %s.\n' "$VANTOREL_ENGINE_BUILD" >>"$notice"
    fi
    for diff in ${VANTOREL_ENGINE_PATCHES:-}; do
        { printf '\n--- change %s\n' "$(basename "$diff")"; cat "$diff"; } >>"$notice" || return 1
    done
}

# vt_release_sign OUT EPOCH FILE...: signs in place when a key and certificate are given. The
# signing time is the release date, so a signed release is reproducible too.
vt_release_sign() {
    local out=$1 epoch=$2 file pass=() stamp=()
    shift 2
    vt_release_signing || return 0
    [ -n "${VANTOREL_SIGN_PASS_FILE:-}" ] && pass=(-readpass "$VANTOREL_SIGN_PASS_FILE")
    # An RFC 3161 countersignature keeps the signature valid after the certificate expires.
    [ -n "${VANTOREL_SIGN_TIMESTAMP_URL:-}" ] && stamp=(-ts "$VANTOREL_SIGN_TIMESTAMP_URL")
    for file in "$@"; do
        osslsigncode sign -certs "$VANTOREL_SIGN_CERT" -key "$VANTOREL_SIGN_KEY" "${pass[@]}" "${stamp[@]}" \
            -h sha256 -n "${VANTOREL_PRODUCT_NAME:-Vantorel}" -time "$epoch" \
            -in "$out/$file" -out "$out/$file.signed" >/dev/null || { rm -f "$out/$file.signed"; return 1; }
        mv "$out/$file.signed" "$out/$file" || return 1
    done
    vt_log "signed: $*"
}

# vt_release_seal OUT EPOCH: checksums, and every file and folder dated at the epoch.
vt_release_seal() {
    local out=$1 epoch=$2
    (cd "$out" && find . -type f ! -name SHA256SUMS | LC_ALL=C sort | sed 's|^\./||' \
        | xargs -d '\n' sha256sum >SHA256SUMS)
    find "$out" -exec touch -h -d "@$epoch" {} +
}
