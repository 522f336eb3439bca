#!/usr/bin/env python3
"""Connected sessions of the real broker service under Wine in a network namespace, driven through
VantorelCtl.exe, checked against the namespace's kernel routing tables. Run by run_e2e.sh with
the service running; prints "ok"/"FAIL" lines and ends with "N passed, M failed"."""

import sys

import crash_cases
import leak_cases
import session_cases
import watch_cases
from case_support import Suite
from e2e_env import Env

CASES = [
    session_cases.case_connect_and_disconnect,  # first: takes the baseline, counts the saves
    session_cases.case_foreign_tunnels,
    session_cases.case_egress_without_204,
    session_cases.case_failed_proof,
    watch_cases.case_gateway_moves_on_same_interface,
    watch_cases.case_default_moves_to_another_interface,
    watch_cases.case_engine_killed,
    watch_cases.case_capture_route_deleted,
    watch_cases.case_pin_route_deleted,
    watch_cases.case_ipv6_capture_route_deleted,
    watch_cases.case_more_specific_route_on_physical_link,
    crash_cases.case_crash_at_every_save,
    crash_cases.case_crash_then_reconcile,
    session_cases.case_reconnect_at_once,
    session_cases.case_service_stop_while_connected,
    session_cases.case_hundred_cycles,
    leak_cases.case_leaks,  # last: it lends vt-gw's far end to a namespace of its own
]


def main():
    suite = Suite(Env())
    selected = sys.argv[1:]
    for case in CASES:
        if selected and case.__name__ not in selected and case is not CASES[0]:
            continue
        suite.run(case)
    print(f"{suite.passed} passed, {suite.failed} failed", flush=True)
    return 0 if suite.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
