#!/usr/bin/env python3
"""The codes and states tables of docs/controller.md, made from protocol/codes.cpp so the page
cannot drift from the programs.

    tools/codes_table.py           # check: exit 1 and show the difference when the page is stale
    tools/codes_table.py --write   # rewrite the tables in the page

The tables sit between the markers "<!-- codes:begin -->" and "<!-- codes:end -->". Codes are
listed in the order of the table in codes.cpp; their numbers are left out on purpose (the
programs send names, and codes appended on other branches are renumbered when merged)."""

import difflib
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CODES_CPP = os.path.join(ROOT, "protocol", "codes.cpp")
PAGE = os.path.join(ROOT, "docs", "controller.md")
BEGIN = "<!-- codes:begin -->"
END = "<!-- codes:end -->"
FIRST_CODES = 16  # none and the fifteen codes the two programs were first built with

# What the user interface should do for each code; a code without a line here fails the check,
# so a code added on any branch must be explained before it is merged.
ADVICE = {
    "resolve_failed": "show the message; offer another server or a retry",
    "foreign_tunnel": "show the message; the user must close the other VPN first",
    "route_failed": "show the message; a retry may help",
    "core_start_failed": "show the message; suggest reinstalling if it repeats",
    "key_probe_failed": "show the message; offer another server",
    "tun_not_ready": "show the message; a retry may help",
    "egress_failed": "show the message; offer another server",
    "core_exited": "show the message; a retry may help",
    "tun_init_timeout": "show the message; a retry may help",
    "egress_timeout": "show the message; offer another server",
    "auth_rejected": "show the message; the profile's key is wrong",
    "invalid_profile": "show the message; the profile link's port is wrong",
    "cleanup_failed": "show the message; offer to restart the service; do not offer connect until a state "
                      "event reports idle with cleanup_verified true (the broker retries every 2 s)",
    "busy": "a session is connecting or connected: disconnect first, or wait for its idle",
    "protocol": "the controller and the broker do not match: suggest reinstalling",
    "invalid_link": "show the event's message: it names the part of the link that is wrong or not "
                    "supported (docs/links.md lists them); ask for a corrected link",
    "server_address_refused": "show the message; the link's server is no server (loopback, multicast, "
                              "this host or its gateway): ask for a corrected link",
    "disk_full": "show the message; the user must free space on the system drive, then connect again",
    "engine_untrusted": "show the message; other users can change the program's folder or sing-box.exe, "
                        "so the broker will not start it: reinstall to the default folder",
    "firewall_failed": "show the message; the leak protection could not be set, so nothing was connected: "
                       "a retry may help, a repeat needs the Base Filtering Engine service running",
    "service_stopping": "show the message; offer connect again once `status` answers (the controller "
                        "retries about 10 s to reach a starting service)",
    "teardown_timeout": "the previous session's teardown outran its bound; wait for its idle event, "
                        "then connect again",
}


def read_codes(text):
    table = text[text.index("kCodeTexts[] = {"):]
    table = table[:table.index("};")]
    rows = re.findall(r'\{\s*"([a-z0-9_]*)"\s*,\s*((?:"(?:[^"\\]|\\.)*"\s*)+)\}', table)
    codes = []
    for name, message in rows:
        parts = re.findall(r'"((?:[^"\\]|\\.)*)"', message)
        codes.append((name, "".join(parts)))
    return codes


def read_named_messages(text):
    found = {}
    for name, body in re.findall(r'const char (k\w+Message)\[\]\s*=\s*((?:\s*"(?:[^"\\]|\\.)*")+)\s*;', text):
        found[name] = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', body))
    return found


def render(codes, named):
    lines = [BEGIN,
             "<!-- made by tools/codes_table.py from protocol/codes.cpp; edit there, then run it with --write -->",
             "",
             "| `code` | `message` the user sees | added later | what the user interface does |",
             "|---|---|---|---|"]
    missing = []
    for index, (name, message) in enumerate(codes):
        if not name:
            continue  # none: code null, the message is the session's own text or null
        advice = ADVICE.get(name)
        if advice is None:
            missing.append(name)
            advice = "?"
        later = "yes" if index >= FIRST_CODES else ""
        lines.append(f"| `{name}` | \"{message}\" | {later} | {advice} |")
    lines += ["",
              "Texts that are not a code's own:",
              "",
              "| constant in codes.cpp | text | where it appears |",
              "|---|---|---|"]
    where = {
        "kConnectionLostMessage": "`message` of an idle state event, code null: the engine died or the capture routes vanished",
        "kNetworkChangedMessage": "`message` of an idle state event, code null: the uplink moved to another interface",
        "kCaptureFailedMessage": "`message` of a route_failed end when the capture routes could not be installed",
        "kBrokerBusyMessage": "the controller's `broker_busy` document",
        "kBrokerUnavailableMessage": "the controller's `broker_unavailable` document",
        "kCommandNotSentMessage": "the controller's `client_error` document",
    }
    for name in sorted(named):
        lines.append(f"| `{name}` | \"{named[name]}\" | {where.get(name, '?')} |")
        if name not in where:
            missing.append(name)
    lines.append(END)
    return "\n".join(lines), missing


def main(argv):
    write = "--write" in argv[1:]
    with open(CODES_CPP, encoding="utf-8") as f:
        source = f.read()
    codes = read_codes(source)
    if len(codes) < FIRST_CODES or codes[14][0] != "busy" or codes[15][0] != "protocol":
        print(f"codes_table: could not read the code table of {CODES_CPP}", file=sys.stderr)
        return 2
    table, missing = render(codes, read_named_messages(source))
    if missing:
        print("codes_table: no advice for " + ", ".join(missing) + " (add it to ADVICE in tools/codes_table.py)",
              file=sys.stderr)
        return 1
    with open(PAGE, encoding="utf-8") as f:
        page = f.read()
    if BEGIN not in page or END not in page:
        print(f"codes_table: {PAGE} lacks the markers {BEGIN} ... {END}", file=sys.stderr)
        return 2
    states = re.findall(r'return "([a-z]+)";', source[source.index("SessionStateName(SessionState state)"):
                                                     source.index("ErrorCodeName(ErrorCode code)")])
    absent = [name for name in dict.fromkeys(states) if f"| `{name}`" not in page]
    if absent:
        print("codes_table: the states table of docs/controller.md lacks " + ", ".join(absent), file=sys.stderr)
        return 1
    start = page.index(BEGIN)
    stop = page.index(END) + len(END)
    current = page[start:stop]
    if current == table:
        print(f"codes_table: {os.path.relpath(PAGE, ROOT)} matches protocol/codes.cpp ({len(codes) - 1} codes)")
        return 0
    if write:
        with open(PAGE, "w", encoding="utf-8") as f:
            f.write(page[:start] + table + page[stop:])
        print(f"codes_table: rewrote the tables of {os.path.relpath(PAGE, ROOT)}")
        return 0
    sys.stdout.writelines(difflib.unified_diff(current.splitlines(True), table.splitlines(True), "docs/controller.md",
                                               "from protocol/codes.cpp"))
    print("\ncodes_table: docs/controller.md is stale; run tools/codes_table.py --write", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
