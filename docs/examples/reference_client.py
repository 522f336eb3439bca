#!/usr/bin/env python3
"""A minimal user interface for Vantorel, to read and copy (docs/controller.md is the contract).

It starts `VantorelCtl.exe session`, sends one connect, prints every document as a human line,
disconnects on Ctrl+C (SIGINT) and exits with the controller's exit code. It answers nothing by
hand: the controller proves the tunnel itself when the broker reports it ready.

    reference_client.py [--direct NAME]... [--force-proxy NAME]... [--udp-direct] [--documents]
                        PROFILE_LINK [-- CONTROLLER COMMAND...]

Without a controller command it runs "C:\\Program Files\\Vantorel\\VantorelCtl.exe session",
through `wine` when not on Windows. --documents also prints each document as it came."""

import argparse
import json
import os
import signal
import subprocess
import sys

DEFAULT_CONTROLLER = r"C:\Program Files\Vantorel\VantorelCtl.exe"


def controller_command(given):
    if given:
        return given
    if os.name == "nt":
        return [DEFAULT_CONTROLLER, "session"]
    return ["wine", DEFAULT_CONTROLLER, "session"]


def describe(doc, ours):
    """One line for a person; `ours` is the generation our connect was admitted with (or None)."""
    event = doc.get("event")
    generation = doc.get("generation")
    code, message = doc.get("code"), doc.get("message")
    said = f": {message}" if message else ""
    if event == "ack":
        command = doc.get("command")
        if command == "connect":
            if doc.get("accepted"):
                return f"connect accepted: generation {generation}"
            return f"connect refused ({code}){said}"
        if command == "disconnect":
            return "disconnect accepted" if doc.get("accepted") else f"disconnect refused ({code})"
        if command == "prove":
            return f"session {generation}: the controller's tunnel proof was delivered"
        return f"{command}: {'accepted' if doc.get('accepted') else 'refused'} ({code})"
    if event == "tun_ready":
        return f"session {generation}: tunnel adapter is up; the controller is proving the tunnel"
    if event == "state":
        state = doc.get("state")
        if code in ("broker_busy", "broker_unavailable"):
            return f"cannot reach the service ({code}, win32 {doc.get('win32')}){said}"
        if code == "disconnect_timeout":
            return "the disconnect got no answer in time"
        if ours is not None and generation != ours:
            return f"session {generation} (not ours): {state}"
        if state == "connecting":
            return f"session {generation}: connecting"
        if state == "connected":
            return f"session {generation}: connected"
        if state == "disconnecting":
            return f"session {generation}: cleanup failed ({code}){said}; the service retries every 2 s"
        if state == "idle":
            how = "host verified clean" if doc.get("cleanup_verified") else "host NOT verified clean"
            why = f" ({code})" if code else ""
            return f"session {generation}: disconnected{why}{said}; {how}"
    if event == "client_error":
        return f"the controller did not forward a command ({code}){said}"
    if event == "broker_closed":
        return "the controller's connection to the service has ended"
    return f"unknown document: {json.dumps(doc, ensure_ascii=False)}"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--direct", action="append", default=[], help="a domain sent around the tunnel")
    parser.add_argument("--force-proxy", action="append", default=[], help="a domain always sent through it")
    parser.add_argument("--udp-direct", action="store_true", help="UDP bypasses the tunnel")
    parser.add_argument("--documents", action="store_true", help="print each document too")
    parser.add_argument("link", help="vless://, hysteria2:// or hy2:// profile link")
    given = []
    if "--" in argv:
        cut = argv.index("--")
        argv, given = argv[:cut], argv[cut + 1:]
    args = parser.parse_args(argv[1:])

    # Its own process group (session): a Ctrl+C in the terminal reaches only this script, which
    # then asks the broker to disconnect, instead of killing the controller mid-session.
    options = {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP} if os.name == "nt" else {"start_new_session": True}
    ctl = subprocess.Popen(controller_command(given), stdin=subprocess.PIPE, stdout=subprocess.PIPE, **options)

    def send(document):
        try:
            ctl.stdin.write((json.dumps(document, ensure_ascii=False, separators=(",", ":")) + "\n").encode("utf-8"))
            ctl.stdin.flush()
        except (BrokenPipeError, ValueError, OSError):
            pass  # the controller has ended; its output says why

    def finish():
        try:
            ctl.stdin.close()  # end of input: the controller prints broker_closed and exits
        except OSError:
            pass

    state = {"generation": None, "interrupts": 0}

    def on_interrupt(signum, frame):
        state["interrupts"] += 1
        if state["interrupts"] == 1:
            print("Ctrl+C: disconnecting", flush=True)
            send({"command": "disconnect", "protocol_version": 3, "generation": state["generation"] or 0})
        else:
            finish()

    signal.signal(signal.SIGINT, on_interrupt)
    send({"command": "connect", "protocol_version": 3, "uri": args.link, "direct_domains": args.direct,
          "force_proxy_domains": args.force_proxy, "udp_direct": 1 if args.udp_direct else 0})

    for raw in ctl.stdout:
        line = raw.decode("utf-8", errors="replace").rstrip("\r\n")
        try:
            doc = json.loads(line)
        except ValueError:
            print(f"(not a document) {line}", flush=True)
            continue
        if args.documents:
            print(f"  {line}", flush=True)
        if doc.get("event") == "ack" and doc.get("command") == "connect" and doc.get("accepted"):
            state["generation"] = doc.get("generation")
        print(describe(doc, state["generation"]), flush=True)
        refused = doc.get("event") == "ack" and doc.get("command") == "connect" and not doc.get("accepted")
        ended = (doc.get("event") == "state" and doc.get("state") == "idle" and
                 state["generation"] is not None and doc.get("generation") == state["generation"])
        if refused or ended:
            finish()
    code = ctl.wait()
    print(f"controller exited with {code}", flush=True)
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv))
