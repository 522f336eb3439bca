"""A Linux engine run for a Windows launcher under Wine (the test-only sing-box.exe): the agent
starts it in its own namespace, relays its combined output and exit status to the launcher's
connection, and ends it when that connection closes, so it lives and dies with the launcher.

Relay frames on the launcher's connection, after the request's answer:
  "out <hex bytes>"   a piece of the engine's output
  "exit <status>"     the engine ended (a signal N is reported as 128+N, as a shell does)
"""

import os
import signal
import subprocess

from kernel_filters import ENGINE_GID


class SupervisedEngine:
    def __init__(self, engine_path, config_path):
        self.proc = subprocess.Popen([engine_path, "run", "-c", config_path], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True,
                                     # the group stands for the engine's application id in the filters
                                     preexec_fn=lambda: os.setgid(ENGINE_GID) if os.geteuid() == 0 else None)
        self.pid = self.proc.pid
        self.fd = self.proc.stdout.fileno()
        self.ended = False

    def read_frame(self):
        """The next frame for the launcher: an output piece, or the exit status once output ends."""
        try:
            data = os.read(self.fd, 4096)
        except OSError:
            data = b""
        if data:
            return f"out {data.hex()}\n", False
        status = self.proc.wait()
        self.ended = True
        self.proc.stdout.close()
        return f"exit {status if status >= 0 else 128 - status}\n", True

    def stop(self, polite_seconds=5.0):
        """Ends the engine: the polite stop first (SIGINT, the engine's Ctrl+C), then SIGKILL."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(polite_seconds)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if not self.proc.stdout.closed:
            self.proc.stdout.close()
        self.ended = True
