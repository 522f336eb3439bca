#!/usr/bin/env bash
# The release as scripts/package builds it: what dist/ holds, what the programs and the
# installer carry, that a second build from a copy of the tree gives the same bytes, signing
# with a throwaway certificate, and the slot for the engine.
# Usage: run_package_tests.sh WINDOWS_BUILD_DIR. Ends with "N passed, M failed".
set -u -o pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$root/scripts/lib/common.sh"
. "$root/scripts/lib/suite.sh"

build=$(cd "${1:?windows build dir}" && pwd)
work=$build/package-tests
rm -rf "$work"; mkdir -p "$work"
export SOURCE_DATE_EPOCH=1700000000
unset VANTOREL_SIGN_CERT VANTOREL_SIGN_KEY VANTOREL_SIGN_PASS_FILE VANTOREL_SIGN_TIMESTAMP_URL VANTOREL_ENGINE_EXE \
      VANTOREL_ENGINE_VERSION VANTOREL_ENGINE_LICENSE VANTOREL_ENGINE_BUILD VANTOREL_ENGINE_PATCHES
# Releases without an engine unless a case says otherwise (the pinned one has its own case).
export VANTOREL_ENGINE_EXE=none
. "$build/product.env" 2>/dev/null || { bad "product.env from the windows build"; vt_suite_end; exit 1; }
version=$VANTOREL_VERSION
msi=Vantorel-$version-x64.msi

# package NAME [VAR=VALUE...]: scripts/package into $work/NAME; its exit code in $work/NAME.rc
package() {
    local name=$1; shift
    env "$@" "$root/scripts/package" --out "$work/$name" >"$work/$name.log" 2>&1
    echo $? >"$work/$name.rc"
}
table() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4; }
# The sequence number of an action, for order checks.
seq_of() { table "$1" InstallExecuteSequence | awk -F'\t' -v a="$2" '$1 == a { print $3 }'; }
in_order() {
    local msi=$1 previous=-1 action n; shift
    for action in "$@"; do
        n=$(seq_of "$msi" "$action")
        [ -n "$n" ] && [ "$n" -gt "$previous" ] || return 1
        previous=$n
    done
}

# --- a plain release
package plain
expect_code "scripts/package succeeds" "$(cat "$work/plain.rc")" 0
dist=$work/plain
listing=$(cd "$dist" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
wanted="README.md SHA256SUMS $msi VantorelBroker.exe VantorelCtl.exe licenses/gcc-runtime.txt licenses/mingw-w64-runtime.txt "
if [ "$listing" = "$wanted" ]; then ok "dist holds the programs, README, licences and installer"
else bad "dist holds the programs, README, licences and installer" "got: $listing" "wanted: $wanted"; fi
check "SHA256SUMS matches the files" bash -c "cd '$dist' && sha256sum --quiet -c SHA256SUMS"
undated=$(find "$dist" -printf '%T@ %p\n' | awk -v e="$SOURCE_DATE_EPOCH" '$1 + 0 != e' | head -n 3)
if [ -z "$undated" ]; then ok "every file is dated SOURCE_DATE_EPOCH"; else bad "every file is dated SOURCE_DATE_EPOCH" "$undated"; fi

for program in VantorelBroker VantorelCtl; do
    exe=$dist/$program.exe
    x86_64-w64-mingw32-windres -i "$exe" -O rc >"$work/$program.rc" 2>&1
    expect_match "$program: file and product version $version" "$work/$program.rc" \
        "FILEVERSION ${version//./, }, 0"
    expect_line "$program: version text" "$work/$program.rc" "      VALUE \"ProductVersion\", \"$version\""
    expect_line "$program: original file name" "$work/$program.rc" "      VALUE \"OriginalFilename\", \"$program.exe\""
    expect_match "$program: manifest declares Windows 10 and 11" "$work/$program.rc" \
        'supportedOS Id=""\{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a\}""'
    expect_match "$program: manifest runs as invoker" "$work/$program.rc" 'requestedExecutionLevel level=""asInvoker""'
    x86_64-w64-mingw32-objdump -h -p "$exe" >"$work/$program.headers" 2>&1
    if grep -q '\.debug' "$work/$program.headers" || ! x86_64-w64-mingw32-objdump -t "$exe" 2>&1 | grep -q 'no symbols'; then
        bad "$program: stripped"; else ok "$program: stripped"; fi
    expect_match "$program: no link time stamp" "$work/$program.headers" $'^Time/Date\t+Thu Jan  1 00:00:00 1970$'
    if grep -aqF "$root" "$exe"; then bad "$program: no build path inside"; else ok "$program: no build path inside"; fi
done

# --- the installer's tables
m=$dist/$msi
table "$m" Property >"$work/property.txt"
expect_line "installer: product version" "$work/property.txt" "ProductVersion	$version"
expect_line "installer: upgrade code" "$work/property.txt" "UpgradeCode	{4AC8A60F-45A9-4F3A-904D-714CCAE65C0A}"
table "$m" ServiceInstall >"$work/service.txt"
# 32769: normal error control, and a service that cannot be installed fails the installation
expect_match "installer: service VantorelBroker, own process, automatic, vital, LocalSystem, with a description" \
    "$work/service.txt" $'^BrokerService\tVantorelBroker\t[^\t]+\t16\t2\t32769\t\t\tLocalSystem\t\t\tBroker\t.{20,}$'
table "$m" ServiceControl >"$work/control.txt"
# 0x1 start at install, 0x2 stop at install, 0x20 stop at uninstall, 0x80 delete at uninstall; wait
expect_line "installer: service started, stopped for changes and deleted at uninstall" "$work/control.txt" \
    $'BrokerServiceControl\tVantorelBroker\t163\t\t1\tBroker'
table "$m" CustomAction >"$work/actions.txt"
expect_match "installer: recovery restarts the service, with a reset period" "$work/actions.txt" \
    $'^ConfigureBrokerRecovery\t3122\tVantorelScExe\tfailure VantorelBroker reset= [1-9][0-9]* actions= restart/'
expect_line "installer: uninstall runs the broker's reconcile, deferred, as LocalSystem" "$work/actions.txt" \
    $'ReconcileBeforeRemoval\t3154\tBrokerExe\t--reconcile --remove-data\t'
expect_line "installer: with REMOVELOGS=1 the reconcile removes the logs too" "$work/actions.txt" \
    $'ReconcileRemovingLogs\t3154\tBrokerExe\t--reconcile --remove-data --remove-logs\t'
check "sequence: old version removed between InstallValidate and InstallInitialize" \
    in_order "$m" InstallValidate RemoveExistingProducts InstallInitialize
check "sequence: stop service, reconcile, delete service, remove files" \
    in_order "$m" StopServices ReconcileBeforeRemoval ReconcileRemovingLogs DeleteServices RemoveFiles
check "sequence: install service, set recovery, start service" \
    in_order "$m" InstallServices ConfigureBrokerRecovery StartServices
table "$m" InstallExecuteSequence >"$work/sequence.txt"
expect_line "sequence: no reconcile during an upgrade" "$work/sequence.txt" \
    $'ReconcileBeforeRemoval\tREMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE AND NOT REMOVELOGS="1"\t'"$(seq_of "$m" ReconcileBeforeRemoval)"
expect_line "sequence: logs removed only with REMOVELOGS=1" "$work/sequence.txt" \
    $'ReconcileRemovingLogs\tREMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE AND REMOVELOGS="1"\t'"$(seq_of "$m" ReconcileRemovingLogs)"
expect_line "installer: the install folder is locked: SYSTEM, Administrators full, Users read and execute" \
    <(table "$m" MsiLockPermissionsEx) \
    $'LockInstallDir\tINSTALLDIR\tCreateFolder\tD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)\t'
expect_line "installer: the install folder has its own row to lock" <(table "$m" CreateFolder) $'INSTALLDIR\tBroker'
expect_code "installer: no folder is removed by the installer itself" "$(table "$m" RemoveFile | wc -l)" 0
msiinfo suminfo "$m" >"$work/suminfo.txt"
expect_line "installer: dated SOURCE_DATE_EPOCH" "$work/suminfo.txt" "Created: $(LC_ALL=C date -u -d "@$SOURCE_DATE_EPOCH" '+%a %b %e %T %Y')"

# --- another version is another product of the same family
other=0.0.1; [ "$version" = "$other" ] && other=0.0.2
python3 -B "$root/packaging/build_msi.py" --payload "$dist" --out "$work/other.msi" --name Vantorel \
    --version "$other" --manufacturer Vantorel --epoch "$SOURCE_DATE_EPOCH" >/dev/null
code_of() { table "$1" Property | awk -F'\t' '$1 == "ProductCode" { print $2 }'; }
if [ -n "$(code_of "$m")" ] && [ "$(code_of "$m")" != "$(code_of "$work/other.msi")" ]; then
    ok "another version has another product code"; else bad "another version has another product code"; fi
package_code() { msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'; }
if [ "$(package_code "$m")" != "$(package_code "$work/other.msi")" ]; then
    ok "another package has another package code"; else bad "another package has another package code"; fi

# --- reproducible: a copy of the tree elsewhere builds the same bytes
clone=$work/clone
mkdir -p "$clone"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$root" && git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf -) | tar -xf - -C "$clone"
else
    (cd "$root" && tar --exclude=./build --exclude=./dist -cf - .) | tar -xf - -C "$clone"
fi
t0=$(date +%s)
"$clone/scripts/package" --out "$work/second" >"$work/second.log" 2>&1
expect_code "a copy of the tree packages too ($(( $(date +%s) - t0 )) s)" $? 0
differ=$(cd "$dist" && find . -type f | while read -r f; do cmp -s "$f" "$work/second/$f" || echo "$f"; done)
if [ -z "$differ" ] && [ -f "$work/second/$msi" ]; then ok "two builds give byte-identical programs and installer"
else bad "two builds give byte-identical programs and installer" "differ: $differ"; fi
rm -rf "$clone"

# --- signing with a throwaway certificate made here
keys=$work/keys
mkdir -p "$keys"
for who in signer stranger; do
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Vantorel test $who" \
        -addext "extendedKeyUsage=codeSigning" -keyout "$keys/$who.key" -out "$keys/$who.pem" >/dev/null 2>&1
done
package signed VANTOREL_SIGN_CERT="$keys/signer.pem" VANTOREL_SIGN_KEY="$keys/signer.key"
expect_code "signed package succeeds" "$(cat "$work/signed.rc")" 0
for file in VantorelBroker.exe VantorelCtl.exe "$msi"; do
    osslsigncode verify -CAfile "$keys/signer.pem" -in "$work/signed/$file" >"$work/verify.log" 2>&1
    expect_code "signed: $file verifies against the signer" $? 0
    osslsigncode verify -CAfile "$keys/stranger.pem" -in "$work/signed/$file" >/dev/null 2>&1
    if [ $? -ne 0 ]; then ok "signed: $file does not verify against another certificate"
    else bad "signed: $file does not verify against another certificate"; fi
done
mkdir -p "$work/extracted"
(cd "$work/extracted" && msiextract "$work/signed/$msi" >/dev/null 2>&1)
osslsigncode verify -CAfile "$keys/signer.pem" -in "$(find "$work/extracted" -name VantorelBroker.exe | head -n 1)" >/dev/null 2>&1
expect_code "signed: the installer carries the signed broker" $? 0
package signed-again VANTOREL_SIGN_CERT="$keys/signer.pem" VANTOREL_SIGN_KEY="$keys/signer.key"
if cmp -s "$work/signed/$msi" "$work/signed-again/$msi"; then ok "signed builds are reproducible too"
else bad "signed builds are reproducible too"; fi
# An RFC 3161 timestamp from an authority on loopback (openssl ts), on every signature.
tsa=$work/tsa
mkdir -p "$tsa" && echo 01 >"$tsa/serial"
printf '[ tsa ]\ndefault_tsa = t\n[ t ]\nserial = %s/serial\nsigner_cert = %s/tsa.pem\nsigner_key = %s/tsa.key\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256\naccuracy = secs:1\ness_cert_id_alg = sha256\n' \
    "$tsa" "$tsa" "$tsa" >"$tsa/tsa.cnf"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Vantorel test TSA" \
    -addext "extendedKeyUsage=critical,timeStamping" -keyout "$tsa/tsa.key" -out "$tsa/tsa.pem" >/dev/null 2>&1
python3 -B "$here/timestamp_server.py" "$tsa/tsa.cnf" "$tsa/queries" >"$tsa/port" 2>"$tsa/server.log" &
tsa_pid=$!
for _ in $(seq 50); do [ -s "$tsa/port" ] && break; sleep 0.1; done
package stamped VANTOREL_SIGN_CERT="$keys/signer.pem" VANTOREL_SIGN_KEY="$keys/signer.key" \
    VANTOREL_SIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$tsa/port")/"
kill "$tsa_pid"; wait "$tsa_pid" 2>/dev/null
expect_code "stamped package succeeds" "$(cat "$work/stamped.rc")" 0
expect_code "stamped: one timestamp query per signature" "$(grep -c 'application/timestamp-query' "$tsa/queries" 2>/dev/null)" 3
for file in VantorelBroker.exe "$msi"; do
    osslsigncode verify -CAfile "$keys/signer.pem" -TSA-CAfile "$tsa/tsa.pem" -in "$work/stamped/$file" \
        >"$work/stamped-verify.log" 2>&1
    expect_code "stamped: $file verifies with its timestamp" $? 0
    expect_match "stamped: $file carries the authority's timestamp" "$work/stamped-verify.log" 'CN=Vantorel test TSA'
done
package unstamped VANTOREL_SIGN_CERT="$keys/signer.pem" VANTOREL_SIGN_KEY="$keys/signer.key" \
    VANTOREL_SIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$tsa/port")/"
if [ "$(cat "$work/unstamped.rc")" != 0 ]; then ok "an unreachable timestamp server fails the release"
else bad "an unreachable timestamp server fails the release"; fi

package half VANTOREL_SIGN_CERT="$keys/signer.pem"
if [ "$(cat "$work/half.rc")" != 0 ] && [ ! -e "$work/half" ]; then ok "a certificate without a key is refused before building"
else bad "a certificate without a key is refused before building" "$(tail -n 3 "$work/half.log")"; fi

# --- the engine slot
engine=$build/bin/stand_in_engine.exe
package engine VANTOREL_ENGINE_EXE="$engine" VANTOREL_ENGINE_VERSION=1.12.3
expect_code "package with an engine succeeds" "$(cat "$work/engine.rc")" 0
check "engine: shipped as sing-box.exe, unchanged" cmp -s "$engine" "$work/engine/sing-box.exe"
check "engine: GPL-3.0 licence text" cmp -s /usr/share/common-licenses/GPL-3 "$work/engine/licenses/sing-box-LICENSE.txt"
expect_match "engine: source notice names the module and version" "$work/engine/licenses/sing-box-SOURCE.txt" \
    'Go module github\.com/sagernet/sing-box, version v1\.12\.3'
expect_match "engine: source notice states the licence" "$work/engine/licenses/sing-box-SOURCE.txt" \
    'version 3 or \(at your option\) any later version'
table "$work/engine/$msi" File | cut -f 3 | LC_ALL=C sort | tr '\n' ' ' >"$work/engine-files.txt"
expect_line "engine: the installer carries it with its licence and notice" "$work/engine-files.txt" \
    "README.md VantorelBroker.exe VantorelCtl.exe gcc-runtime.txt mingw-w64-runtime.txt sing-box-LICENSE.txt sing-box-SOURCE.txt sing-box.exe "
package badengine VANTOREL_ENGINE_EXE="$engine" VANTOREL_ENGINE_VERSION=1.12
if [ "$(cat "$work/badengine.rc")" != 0 ]; then ok "engine: a version that is not X.Y.Z is refused"
else bad "engine: a version that is not X.Y.Z is refused"; fi

# --- the pinned engine: what a release gets when no engine is named
. "$root/packaging/engine.version"
pinned=$root/build/engine/$VANTOREL_ENGINE_PINNED
"$root/scripts/engine" --pinned >"$work/engine-build.log" 2>&1
engine_rc=$?
if [ "$engine_rc" = 2 ]; then
    echo "SKIP - pinned engine: $(head -n 1 "$work/engine-build.log")"
elif [ "$engine_rc" != 0 ]; then
    bad "pinned engine: scripts/engine builds it" "$(tail -n 10 "$work/engine-build.log")"
else
    package pinned VANTOREL_ENGINE_EXE=
    expect_code "pinned engine: package succeeds" "$(cat "$work/pinned.rc")" 0
    check "pinned engine: sing-box.exe is the windows/amd64 build of $VANTOREL_ENGINE_PINNED" \
        cmp -s "$pinned/windows/sing-box.exe" "$work/pinned/sing-box.exe"
    if [ "$(head -c 2 "$work/pinned/sing-box.exe" 2>/dev/null)" = MZ ]; then ok "pinned engine: a Windows executable"
    else bad "pinned engine: a Windows executable"; fi
    lic=$work/pinned/licenses/sing-box-LICENSE.txt
    module_lic=$(ls "$(/usr/local/go/bin/go env GOMODCACHE 2>/dev/null || go env GOMODCACHE)/$VANTOREL_ENGINE_MODULE@v$VANTOREL_ENGINE_PINNED/LICENSE" 2>/dev/null)
    if [ -n "$module_lic" ] && cmp -s -n "$(stat -c %s "$module_lic")" "$module_lic" "$lic"; then
        ok "pinned engine: the licence opens with the module's own LICENSE"
    else bad "pinned engine: the licence opens with the module's own LICENSE"; fi
    expect_match "pinned engine: the module's grant is GPL-3.0-or-later" "$lic" '\(at your option\) any later version'
    expect_match "pinned engine: the full GPL-3 text follows" "$lic" '^ +Version 3, 29 June 2007$'
    expect_match "pinned engine: source notice names the module and pinned version" \
        "$work/pinned/licenses/sing-box-SOURCE.txt" \
        "Go module github\.com/sagernet/sing-box, version v${VANTOREL_ENGINE_PINNED//./\\.},"
    expect_match "pinned engine: source notice names the build tags" "$work/pinned/licenses/sing-box-SOURCE.txt" \
        'built with: go build .*-tags with_quic,with_utls,with_clash_api'
    expect_match "pinned engine: source notice carries the engine's change" "$work/pinned/licenses/sing-box-SOURCE.txt" \
        '^Module: github\.com/sagernet/sing-tun$'
    table "$work/pinned/$msi" File | cut -f 3 | LC_ALL=C sort | tr '\n' ' ' >"$work/pinned-files.txt"
    expect_line "pinned engine: the installer carries it with its licence and notice" "$work/pinned-files.txt" \
        "README.md VantorelBroker.exe VantorelCtl.exe gcc-runtime.txt mingw-w64-runtime.txt sing-box-LICENSE.txt sing-box-SOURCE.txt sing-box.exe "
fi

# --- scripts/package never empties a folder that is not a release
mkdir -p "$work/precious"; echo keep >"$work/precious/notes.txt"
package precious
if [ "$(cat "$work/precious.rc")" != 0 ] && [ "$(cat "$work/precious/notes.txt")" = keep ]; then
    ok "a folder that holds no release is not replaced"; else bad "a folder that holds no release is not replaced"; fi

vt_suite_end
