"""`cmake --install` into a folder of its own, then the installed programs
run as their users and the service run them: the files in their places, the
manual pages clean, the unit's way of running the server, and the installed
launcher serving the installed page. BUILD_DIR and SOURCE_DIR come from CTest."""

import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "navigateur"))
from banc_web import REQUIRED, SLOWDOWN, PontWeb, Processes, Simulateur, _tcp_entries, free_port, wait_for  # noqa: E402

BUILD = os.environ.get("BUILD_DIR", "")
SOURCE = os.environ.get("SOURCE_DIR", "")
PROGRAMS = ["lanquet5", "lanquet5-client", "tavix-sim", "lanquet5-web"]


def install(prefix):
    # Everything is in the one unnamed component; naming it keeps this run's
    # list of files out of the build tree's install_manifest.txt.
    subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix, "--component", "Unspecified"],
                   check=True, stdout=subprocess.DEVNULL)


def needs(tool):
    """Skips without the tool, or fails where the run says everything is there."""
    if shutil.which(tool):
        return lambda f: f
    if REQUIRED:
        return lambda f: (lambda self: self.fail("needs %s" % tool))
    return unittest.skip("needs " + tool)


def unit_settings(path):
    """The [Service] settings of a unit file, each name to its list of values."""
    settings, section = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
                continue
            if section == "[Service]":
                name, _, value = line.partition("=")
                settings.setdefault(name, []).append(value)
    return settings


def environment_file(path):
    env = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                name, _, value = line.partition("=")
                env[name] = value
    return env


class Installation(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="lanquet5-install-")
        cls.prefix = os.path.join(cls.tmp.name, "prefix")
        install(cls.prefix)
        cls.unit = os.path.join(cls.prefix, "lib", "systemd", "system", "lanquet5.service")
        cls.env_file = os.path.join(cls.prefix, "etc", "default", "lanquet5")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def setUp(self):
        self.procs = Processes()
        self.addCleanup(self.procs.stop_all)

    def bin(self, name):
        return os.path.join(self.prefix, "bin", name)

    def test_chaque_fichier_a_sa_place(self):
        for name in PROGRAMS:
            with self.subTest(program=name):
                self.assertTrue(os.access(self.bin(name), os.X_OK))
                self.assertTrue(os.path.isfile(os.path.join(self.prefix, "share", "man", "man1", name + ".1")))
        for name in ("index.html", "app.js", "records.js", "style.css"):
            with self.subTest(page=name):
                with open(os.path.join(self.prefix, "share", "lanquet5", "web", name), "rb") as a, \
                        open(os.path.join(SOURCE, "web", name), "rb") as b:
                    self.assertEqual(a.read(), b.read())
        self.assertTrue(os.path.isfile(self.unit))
        self.assertTrue(os.path.isfile(self.env_file))

    def test_le_service_garde_ses_reglages(self):
        """An administrator's settings survive the next install; the unit
        names this install's programs and settings file."""
        with open(self.env_file, "a") as f:
            f.write("LANQUET5_PORT=2500\n")
        install(self.prefix)
        self.assertEqual(environment_file(self.env_file)["LANQUET5_PORT"], "2500")
        s = unit_settings(self.unit)
        self.assertEqual(s["EnvironmentFile"], ["-" + self.env_file])
        self.assertEqual(shlex.split(s["ExecStart"][0])[0], self.bin("lanquet5"))
        self.assertIn("LANQUET5_CONSOLE=/dev/null", s["Environment"])
        self.assertEqual(s["StandardInput"], ["null"])
        self.assertEqual(s["KillSignal"], ["SIGTERM"])
        self.assertEqual(s["Restart"], ["on-failure"])

    @needs("groff")
    def test_les_pages_de_manuel_sont_propres(self):
        for name in PROGRAMS:
            with self.subTest(page=name):
                page = os.path.join(self.prefix, "share", "man", "man1", name + ".1")
                r = subprocess.run(["groff", "-man", "-ww", "-z", "-Tutf8", page],
                                   capture_output=True, text=True)
                self.assertEqual((r.returncode, r.stderr), (0, ""))

    @needs("systemd-analyze")
    def test_systemd_lit_l_unite(self):
        r = subprocess.run(["systemd-analyze", "verify", "--man=no", self.unit],
                           capture_output=True, text=True)
        # Only what concerns this unit: the host's own units may have faults.
        ours = [l for l in r.stderr.splitlines() if "lanquet5" in l]
        self.assertEqual(ours, [])

    def run_as_the_unit_does(self, overrides):
        """The server started as the unit starts it: its environment, its
        settings file (with the test's devices and port put in), its
        command line with $LANQUET5_ARGS split into words, input at its end."""
        s = unit_settings(self.unit)
        settings = environment_file(self.env_file)
        settings.update(overrides)
        env = dict(os.environ)
        for assignment in s["Environment"]:
            for word in shlex.split(assignment):
                name, _, value = word.partition("=")
                env[name] = value
        env.update(settings)
        argv = []
        for word in shlex.split(s["ExecStart"][0]):
            argv += env.get(word[1:], "").split() if word.startswith("$") else [word]
        out = self.procs.log_file(os.path.join(self.tmp.name, "service-%d.out" % len(self.procs.started)))
        return self.procs.start(argv, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT), out.name

    def test_le_serveur_tourne_comme_le_lance_le_service(self):
        sim = Simulateur(self.procs, self.bin("tavix-sim"), self.tmp.name)
        port = free_port()
        server, _ = self.run_as_the_unit_does({"LANQUET5_COM1": sim.device, "LANQUET5_COM2": "/nonexistent",
                                               "LANQUET5_PORT": str(port)})
        def listening():
            if server.poll() is not None:
                raise AssertionError("the server ended with status %d" % server.returncode)
            return _tcp_entries(port, "0A")
        wait_for("the server listening", listening)
        r = subprocess.run([self.bin("lanquet5-client"), "--count", "3", "127.0.0.1", str(port)],
                           capture_output=True, text=True, timeout=30 * SLOWDOWN)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(len(r.stdout.splitlines()), 3)
        # systemctl stop: SIGTERM, and a clean end that is not restarted.
        server.send_signal(signal.SIGTERM)
        self.assertEqual(server.wait(timeout=10 * SLOWDOWN), 0)

    def test_sans_interface_le_service_echoue_et_sera_relance(self):
        server, out = self.run_as_the_unit_does({"LANQUET5_COM1": "/nonexistent", "LANQUET5_COM2": "/nonexistent",
                                                 "LANQUET5_PORT": str(free_port())})
        # Nobody is there to press Enter: the end must not wait for one.
        self.assertEqual(server.wait(timeout=20 * SLOWDOWN), 6)
        with open(out, "rb") as f:
            self.assertIn(b"Pas d'tavix, le serveur ne peut pas continuer", f.read())

    def test_le_lanceur_refuse_les_mauvais_arguments(self):
        """Nothing odd reaches websockify: it would take it for an option or
        listen somewhere else than asked."""
        cases = [([""], "bad host"), (["--", "-x"], "bad host"), (["a b"], "bad host"),
                 (["h", "0"], "bad server port"), (["h", "65536"], "bad server port"),
                 (["h", "2x"], "bad server port"), (["--listen", "-1:80"], "bad listening"),
                 (["--listen", "x:"], "bad listening port"), (["--listen"], "needs a value"),
                 (["a", "1", "2"], "too many"), (["--bogus"], "unknown option")]
        for args, message in cases:
            with self.subTest(args=args):
                r = subprocess.run([self.bin("lanquet5-web"), *args], capture_output=True, text=True,
                                   timeout=10 * SLOWDOWN)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertEqual(r.stdout, "")

    @staticmethod
    def web_root(pid):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                argv = f.read().decode().split("\0")
        except FileNotFoundError:
            return None
        return argv[argv.index("--web") + 1] if "--web" in argv else None

    @needs("websockify")
    def test_le_lanceur_installe_sert_la_page_installee(self):
        os.environ.pop("LANQUET5_WEB_DIR", None)
        web = PontWeb(self.procs, self.bin("lanquet5-web"), self.tmp.name, free_port())
        # The folder websockify serves is the installed one, not the sources'.
        served = wait_for("websockify started", lambda: self.web_root(web.proc.pid))
        self.assertEqual(served, os.path.join(self.prefix, "share", "lanquet5", "web"))
        with urllib.request.urlopen(web.url + "records.js", timeout=5) as r:
            with open(os.path.join(SOURCE, "web", "records.js"), "rb") as f:
                self.assertEqual(r.read(), f.read())
        with open(web.out.name) as f:
            first = f.readline()
        self.assertRegex(first, re.escape("http://127.0.0.1:%d/" % web.port))


if __name__ == "__main__":
    if not BUILD or not SOURCE:
        print("BUILD_DIR and SOURCE_DIR must be set")
        sys.exit(2)
    unittest.main(verbosity=2)
