"""The end-to-end arrangement as the connected-session cases see it: the test namespace with its
private Wine prefix, the service, the controller driven as a user interface drives it, the
kernel's routing tables, the processes, the ledger file and the logs.

Everything comes from the environment run_e2e.sh exports (scripts/lib/wine_service.sh).
"""

import contextlib
import ctypes
import json
import os
import select
import signal
import struct
import subprocess
import threading
import time

IN_MOVED_FROM = 0x00000040
IN_MOVED_TO = 0x00000080
IN_CLOEXEC = 0o2000000
IN_NONBLOCK = 0o4000


class Env:
    def __init__(self):
        self.ns = os.environ["VT_NS"]
        self.prefix = os.environ["VT_PREFIX"]
        self.state = os.environ["VT_STATE"]
        self.install_win = os.environ["VT_INSTALL_DIR_WIN"]
        self.server_ip = os.environ["VT_SERVER_IP"]
        self.gateway = os.environ["VT_GATEWAY"]
        self.page_host = os.environ["VT_PAGE_HOST"]
        self.check_host = os.environ["VT_CHECK_HOST"]
        self.work = os.environ["VT_CASE_DIR"]
        self.data = os.path.join(self.prefix, "drive_c/users/Public/Vantorel")
        self.ledger = os.path.join(self.data, "run/ledger.txt")
        self.counter = 0
        self.filters_before = self.filters()
        self.resolver_before = self.resolver()

    # --- commands

    def ns_cmd(self, *args):
        return ["ip", "netns", "exec", self.ns, "env", f"WINEPREFIX={self.prefix}", "WINEDEBUG=-all", *args]

    def run(self, args, timeout=60):
        """Runs a command with its output in files (a wine process may leave a pipe open)."""
        self.counter += 1
        out_path = os.path.join(self.work, f"cmd-{self.counter}.out")
        with open(out_path, "w") as out, open(out_path + ".err", "w") as err:
            done = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  timeout=timeout, check=False)
        with open(out_path, encoding="utf-8", errors="replace") as f:
            return done.returncode, f.read()

    def ip(self, *args):
        code, text = self.run(["ip", "-n", self.ns, *args])
        if code != 0:
            raise RuntimeError(f"ip {' '.join(args)} failed")
        return text

    def ctl(self, mode, timeout=60):
        return self.run(self.ns_cmd("wine", self.install_win + "\\VantorelCtl.exe", mode), timeout)

    def status(self):
        code, text = self.ctl("status")
        lines = [json.loads(line) for line in text.splitlines() if line.startswith("{")]
        return lines[-1] if code == 0 and lines else None

    def service(self, verb):
        return self.run(self.ns_cmd("wine", "net", verb, "VantorelBroker"), timeout=90)[0]

    def reconcile(self):
        """--reconcile from a console, told where the service keeps its files (see docs/testing.md)."""
        script = os.path.join(self.prefix, "drive_c/vantorel-test/reconcile.cmd")
        with open(script, "w", newline="\r\n") as f:
            f.write("@set ProgramData=C:\\users\\Public\n"
                    f"@\"{self.install_win}\\VantorelBroker.exe\" --reconcile\n"
                    "@exit /b %ERRORLEVEL%\n")
        return self.run(self.ns_cmd("wine", "cmd", "/c", "C:\\vantorel-test\\reconcile.cmd"), timeout=90)[0]

    def engine(self, *options):
        path = os.path.join(self.prefix, "drive_c/Program Files/Vantorel/stand-in.cfg")
        with open(path, "w") as f:
            f.write("".join(option + "\n" for option in options))

    def engine_working(self):
        self.engine("--stderr INFO[0000] sing-box started (stand-in)", "--adapter", "--serve-api",
                    "--sleep-ms -1")

    def world_mode(self, mode):
        with open(os.path.join(self.state, "world-mode"), "w") as f:
            f.write(mode + "\n")

    @contextlib.contextmanager
    def world_answering(self, mode):
        """The world's /generate_204 answers as `mode` says (see world_server.py), then 204 again."""
        self.world_mode(mode)
        try:
            yield
        finally:
            self.world_mode("204")

    # --- what the host holds

    def routes(self):
        """Both routing tables as `ip` prints them, for byte-for-byte comparison."""
        return self.ip("route", "show") + "--\n" + self.ip("-6", "route", "show")

    def filters(self):
        """The namespace's nftables ruleset: where the test fwpuclnt.dll's filters take effect."""
        return self.run(["ip", "netns", "exec", self.ns, "nft", "list", "ruleset"])[1]

    def resolver(self):
        """The namespace's resolver file, which names the tunnel's DNS server while it is set."""
        try:
            with open(f"/etc/netns/{self.ns}/resolv.conf", encoding="utf-8") as f:
                return f.read()
        except OSError:
            return ""

    def has_link(self, name):
        return self.run(["ip", "-n", self.ns, "link", "show", "dev", name])[0] == 0

    def processes(self, needle):
        """Pids in the test namespace whose command line holds `needle`."""
        code, text = self.run(["ip", "netns", "pids", self.ns])
        found = []
        for pid in text.split():
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    line = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
            except OSError:
                continue
            if needle in line:
                found.append(int(pid))
        return found

    def broker_pid(self):
        pids = [p for p in self.processes("VantorelBroker.exe") if "--reconcile" not in self.cmdline(p)]
        return pids[0] if len(pids) == 1 else None

    def engine_pids(self):
        return self.processes("sing-box.exe")

    @staticmethod
    def cmdline(pid):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                return f.read().replace(b"\0", b" ").decode("utf-8", "replace")
        except OSError:
            return ""

    @staticmethod
    def fd_count(pid):
        return len(os.listdir(f"/proc/{pid}/fd"))

    def service_log(self):
        try:
            with open(os.path.join(self.data, "logs/service.log"), encoding="utf-8", errors="replace") as f:
                return f.read().replace("\r", "")
        except OSError:
            return ""

    def text_of(self, name):
        try:
            with open(os.path.join(self.state, name), encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def curl(self, url):
        return self.run(["ip", "netns", "exec", self.ns, "curl", "-s", "-m", "4", "--connect-timeout", "2", "-o", "-", "-w",
                         "\n%{http_code} %{remote_ip}", url])


def wait_until(predicate, timeout, step=0.05):
    """Polls; returns the predicate's last value (truthy when it came in time)."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


class Session:
    """VantorelCtl.exe in session mode: lines in through its standard input, documents out."""

    def __init__(self, env, name):
        safe = "".join(c if c.isalnum() else "-" for c in name)
        self.path = os.path.join(env.work, f"{safe}.out")
        self.out = open(self.path, "w")
        self.process = subprocess.Popen(
            env.ns_cmd("wine", env.install_win + "\\VantorelCtl.exe", "session"),
            stdin=subprocess.PIPE, stdout=self.out, stderr=subprocess.DEVNULL)
        self.seen = 0

    def send(self, document):
        self.process.stdin.write((json.dumps(document, ensure_ascii=False, separators=(",", ":")) + "\n").encode())
        self.process.stdin.flush()

    def documents(self):
        docs = []
        with open(self.path, encoding="utf-8", errors="replace") as f:
            for line in f:
                line = line.strip()
                if line.startswith("{"):
                    try:
                        docs.append(json.loads(line))
                    except ValueError:
                        docs.append({"unparsed": line})
        return docs

    def wait_for(self, predicate, timeout=30):
        """The first document after those already consumed that satisfies `predicate`, or None."""
        def look():
            docs = self.documents()
            for index in range(self.seen, len(docs)):
                if predicate(docs[index]):
                    self.seen = index + 1
                    return docs[index]
            return None
        return wait_until(look, timeout)

    def close(self):
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.out.close()


class LedgerSaves:
    """Counts the broker's ledger saves (each one a rename onto ledger.txt) and, when told,
    SIGKILLs a process right after the k-th."""

    def __init__(self, run_directory, kill_pid=None, kill_after=0):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(IN_NONBLOCK | IN_CLOEXEC)
        # The kernel merges an event into an identical one still unread at the queue's end (the
        # rename cookie is not compared), so back-to-back renames onto ledger.txt could count as
        # one while this thread lags. The rename's own IN_MOVED_FROM of the temporary file sits
        # between any two of them.
        if self.fd < 0 or libc.inotify_add_watch(self.fd, run_directory.encode(), IN_MOVED_FROM | IN_MOVED_TO) < 0:
            raise OSError(ctypes.get_errno(), "inotify")
        self.kill_pid = kill_pid
        self.kill_after = kill_after
        self.count = 0
        self.killed = False
        self.stopping = False
        self.thread = threading.Thread(target=self.watch, daemon=True)
        self.thread.start()

    def watch(self):
        # After stop() it goes on until nothing is left to read: every save made before then counts.
        while True:
            ready, _, _ = select.select([self.fd], [], [], 0.1)
            if not ready:
                if self.stopping:
                    return
                continue
            data = os.read(self.fd, 65536)
            offset = 0
            while offset < len(data):
                _, mask, _, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b"\0")
                offset += 16 + length
                if not mask & IN_MOVED_TO or name != b"ledger.txt":
                    continue
                self.count += 1
                if self.kill_pid and self.count == self.kill_after and not self.killed:
                    os.kill(self.kill_pid, signal.SIGKILL)
                    self.killed = True

    def stop(self):
        self.stopping = True
        self.thread.join()
        os.close(self.fd)
