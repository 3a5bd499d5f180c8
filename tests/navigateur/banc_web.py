"""The live page's bench: the simulated interface, the server run headless,
websockify through lanquet5-web, and a headless Chromium driven over its
DevTools pipe. Every wait polls for a condition until a deadline."""

import fcntl
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request

SLOWDOWN = float(os.environ.get("LANQUET5_TEST_SLOWDOWN", "1") or 1)
# CI sets this so that a missing browser or websockify fails instead of skipping.
REQUIRED = os.environ.get("LANQUET5_REQUIRE_BROWSER") == "1"


def deadline(seconds):
    return time.monotonic() + seconds * SLOWDOWN


def wait_for(what, check, seconds=20.0, step=0.05):
    """Polls check() until it returns something true; returns that."""
    end = deadline(seconds)
    while True:
        got = check()
        if got:
            return got
        if time.monotonic() > end:
            raise AssertionError("still waiting after %.0f s: %s" % (seconds * SLOWDOWN, what))
        time.sleep(step)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def missing_tools():
    need = [n for n in ("chromium", "websockify") if shutil.which(n) is None]
    return need


def _tcp_entries(port, state):
    """Socket inodes on a local port in a TCP state (0A listening), or in
    any state but listening when state is None, from /proc/net/tcp."""
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    local, st, inode = fields[1], fields[3], fields[9]
                    if int(local.rsplit(":", 1)[1], 16) != port:
                        continue
                    if st == state or (state is None and st != "0A"):
                        inodes.add(inode)
        except FileNotFoundError:
            pass
    return inodes


def _socket_inodes(pid):
    found = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            m = re.fullmatch(r"socket:\[(\d+)\]", target)
            if m:
                found.add(m.group(1))
    except FileNotFoundError:
        pass
    return found


def _group_members(pgid):
    """Live processes of a group; zombies are gone for our purposes."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] != "Z":
            members.append(int(entry))
    return members


def _stop_group(pgid):
    """Stops what is left of a group, and waits until none of it is left:
    a helper still writing would race the removal of the test's folder."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        if not _group_members(pgid):
            return
        try:
            os.killpg(pgid, sig)
        except ProcessLookupError:
            return
        end = deadline(5)
        while _group_members(pgid) and time.monotonic() < end:
            time.sleep(0.05)


class Processes:
    """Every process started here is stopped at the end, whatever happened."""

    def __init__(self):
        self.started = []
        self.files = []
        self.fds = []

    def log_file(self, path):
        f = open(path, "wb")
        self.files.append(f)
        return f

    def start(self, argv, group=False, **kw):
        """group: the program starts helpers of its own (Chromium does), so
        it gets a process group, and stopping it waits for all of them."""
        p = subprocess.Popen(argv, start_new_session=group, **kw)
        p.group = group
        self.started.append(p)
        return p

    def stop_all(self):
        for p in reversed(self.started):
            if p.poll() is None:
                p.terminate()
        for p in reversed(self.started):
            try:
                p.wait(timeout=5 * SLOWDOWN)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
            if p.group:
                _stop_group(p.pid)
            if p.stdout:
                p.stdout.close()
        for f in self.files:
            f.close()
        for fd in self.fds:
            os.close(fd)
        self.files, self.fds = [], []


class Simulateur:
    def __init__(self, procs, binary, workdir, *options):
        self.log = os.path.join(workdir, "tavix.log")
        self.proc = procs.start([binary, "--log", self.log, *options],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = b""
        end = deadline(10)
        while not line.endswith(b"\n"):
            left = end - time.monotonic()
            ready = select.select([self.proc.stdout], [], [], max(0, left))[0]
            chunk = os.read(self.proc.stdout.fileno(), 256) if ready else b""
            if not chunk:
                raise AssertionError("tavix-sim printed no device")
            line += chunk
        self.device = line.decode().strip()

    def release(self):
        self.proc.send_signal(signal.SIGUSR1)

    def replies(self):
        """(k, hex) of every reply sent so far."""
        try:
            with open(self.log) as f:
                lines = [l.split() for l in f if l.endswith("\n")]
        except FileNotFoundError:
            return []
        return [(int(l[0]), l[2]) for l in lines if len(l) == 3]


class Serveur:
    """lanquet5 as its service runs it: no console, standard input at its end."""

    def __init__(self, procs, binary, workdir, device, port, *args, env=None):
        self.port = port
        e = dict(os.environ)
        e.update({"LANQUET5_CONSOLE": "/dev/null", "LANQUET5_COM1": device,
                  "LANQUET5_COM2": "/nonexistent", "LANQUET5_PORT": str(port)})
        e.update(env or {})
        self.out = procs.log_file(os.path.join(workdir, "lanquet5-%d.out" % len(procs.started)))
        self.proc = procs.start([binary, *args], env=e, stdin=subprocess.DEVNULL,
                                stdout=self.out, stderr=subprocess.STDOUT)
        wait_for("the server listening on port %d" % port,
                 lambda: self._check_alive() and _tcp_entries(port, "0A"))

    def _check_alive(self):
        if self.proc.poll() is not None:
            raise AssertionError("the server ended with status %d" % self.proc.returncode)
        return True

    def accepted(self):
        """How many connections the server holds on its port, in any state:
        one leaves the count only when the server closes it."""
        return len(_tcp_entries(self.port, None) & _socket_inodes(self.proc.pid))

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(timeout=10 * SLOWDOWN)


class PontWeb:
    def __init__(self, procs, script, workdir, server_port):
        self.port = free_port()
        self.url = "http://127.0.0.1:%d/" % self.port
        self.out = procs.log_file(os.path.join(workdir, "lanquet5-web.out"))
        self.proc = procs.start([script, "--listen", "127.0.0.1:%d" % self.port,
                                 "127.0.0.1", str(server_port)],
                                stdout=self.out, stderr=subprocess.STDOUT)
        wait_for("websockify serving the page", self._serves)

    def _serves(self):
        if self.proc.poll() is not None:
            raise AssertionError("lanquet5-web ended with status %d" % self.proc.returncode)
        try:
            with urllib.request.urlopen(self.url, timeout=2) as r:
                return r.status == 200
        except OSError:
            return False


class Navigateur:
    """Headless Chromium with the DevTools protocol on a pipe: commands on its
    descriptor 3, answers and events on 4, each message ended by a NUL."""

    def __init__(self, procs, workdir):
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        # Lifted above 4, so that moving them to 3 and 4 never closes one.
        to_browser_r = self._lift(to_browser_r)
        from_browser_w = self._lift(from_browser_w)
        profile = tempfile.mkdtemp(prefix="chromium-", dir=workdir)
        flags = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--user-data-dir=" + profile,
                 "--remote-debugging-pipe", "about:blank"]
        cmd = 'exec 3<&%d 4>&%d %d<&- %d>&-; exec chromium "$@"' % (
            to_browser_r, from_browser_w, to_browser_r, from_browser_w)
        self.log = procs.log_file(os.path.join(workdir, "chromium.log"))
        # Chromium leaves its singleton folder behind when it is stopped by a
        # signal: keep it inside the test's own folder.
        env = dict(os.environ, TMPDIR=workdir)
        self.proc = procs.start(["bash", "-c", cmd, "chromium", *flags], env=env, group=True,
                                pass_fds=(to_browser_r, from_browser_w),
                                stdout=self.log, stderr=subprocess.STDOUT)
        os.close(to_browser_r)
        os.close(from_browser_w)
        procs.fds += [self._to_browser, self._from_browser]
        self._next = 0
        self._buffer = b""
        self.session = None

    @staticmethod
    def _lift(fd):
        high = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
        os.close(fd)
        return high

    def call(self, method, params=None, session=True, seconds=30.0):
        self._next += 1
        msg = {"id": self._next, "method": method, "params": params or {}}
        if session and self.session:
            msg["sessionId"] = self.session
        os.write(self._to_browser, json.dumps(msg).encode() + b"\0")
        end = deadline(seconds)
        while True:
            for reply in self._messages(end, method):
                if reply.get("id") == self._next:
                    if "error" in reply:
                        raise AssertionError("%s: %s" % (method, reply["error"]))
                    return reply.get("result", {})

    def _messages(self, end, what):
        while b"\0" not in self._buffer:
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("no answer from the browser to " + what)
            ready, _, _ = select.select([self._from_browser], [], [], left)
            if ready:
                chunk = os.read(self._from_browser, 65536)
                if not chunk:
                    raise AssertionError("the browser closed its pipe (see chromium.log)")
                self._buffer += chunk
        *whole, self._buffer = self._buffer.split(b"\0")
        return [json.loads(m) for m in whole]

    def open(self, url):
        target = self.call("Target.createTarget", {"url": "about:blank"}, session=False)
        attached = self.call("Target.attachToTarget",
                             {"targetId": target["targetId"], "flatten": True}, session=False)
        self.session = attached["sessionId"]
        self.call("Page.navigate", {"url": url})
        # about:blank is "complete" too: wait for this page's own script.
        wait_for("the page loaded", lambda: self.eval(
            "location.href === %s && document.readyState === 'complete' && !!window.Lanquet5" % json.dumps(url)))

    def eval(self, expression):
        r = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                           "awaitPromise": True})
        if "exceptionDetails" in r:
            raise AssertionError("in the page: %s" % r["exceptionDetails"].get("exception", r["exceptionDetails"]))
        return r["result"].get("value")

    # What the page shows, as one snapshot.
    SHOWN = """(() => {
      const t = (id) => document.getElementById(id).textContent;
      return { etat: document.getElementById('etat').dataset.etat, etatTexte: t('etat'),
               paquets: Number(t('paquets')), debit: Number(t('debit')), tick: t('tick'),
               ecart: t('ecart'), valeur: t('valeur'),
               octets: Array.from(document.getElementById('octets').children, c => c.textContent).join('').toLowerCase(),
               occupe: document.getElementById('occupe').hidden ? null : t('occupe'),
               reconnecter: !document.getElementById('reconnecter').hidden };
    })()"""

    def shown(self):
        return self.eval(self.SHOWN)
