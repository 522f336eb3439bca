# Checks and the closing line of a shell test suite. Source it; it defines functions only.
# Every check prints "ok - NAME" or "FAIL - NAME" (with details); vt_suite_end prints
# "N passed, M failed" and returns non-zero on any failure.

VT_PASS=0
VT_FAIL=0

ok() { VT_PASS=$((VT_PASS + 1)); echo "ok - $1"; }
bad() { VT_FAIL=$((VT_FAIL + 1)); echo "FAIL - $1"; [ $# -gt 1 ] && printf '    %s\n' "${@:2}"; return 0; }
# check NAME COMMAND...: passes when the command succeeds.
check() { local name=$1; shift; if "$@"; then ok "$name"; else bad "$name" "failed: $*"; fi; }
expect_code() { if [ "$2" = "$3" ]; then ok "$1"; else bad "$1" "exit code $2, wanted $3"; fi; }
# expect_line NAME FILE EXACT_LINE
expect_line() {
    if grep -Fxq -- "$3" "$2" 2>/dev/null; then ok "$1"
    else bad "$1" "wanted: $3" "got:" "$(sed 's/^/      /' "$2" 2>/dev/null)"; fi
}
# expect_match NAME FILE EXTENDED_REGEX
expect_match() {
    if grep -Eq -- "$3" "$2" 2>/dev/null; then ok "$1"
    else bad "$1" "no line matching: $3" "in $2:" "$(tail -n 20 "$2" 2>/dev/null | sed 's/^/      /')"; fi
}
vt_suite_end() { echo "$VT_PASS passed, $VT_FAIL failed"; [ "$VT_FAIL" -eq 0 ]; }
