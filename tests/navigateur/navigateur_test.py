"""The live page in a real headless browser, against the real server, the
simulated interface and websockify. Run one case as
  navigateur_test.py NavigateurTest.test_flux
with LANQUET5_BIN, TAVIX_SIM_BIN, LANQUET5_WEB_BIN and LANQUET5_WEB_DIR set
(CTest sets them)."""

import json
import os
import re
import socket
import struct
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from banc_web import (REQUIRED, Navigateur, PontWeb, Processes, Serveur, Simulateur,  # noqa: E402
                      deadline, free_port, missing_tools, wait_for)

LANQUET5 = os.environ.get("LANQUET5_BIN", "")
TAVIX_SIM = os.environ.get("TAVIX_SIM_BIN", "")
WEB_BIN = os.environ.get("LANQUET5_WEB_BIN", "")
WEB_DIR = os.environ.get("LANQUET5_WEB_DIR", "")

RECORD = 18
BUSY = re.compile(r"Serveur d'Tavix <[^>]*>; Tavix occupé, rappeler ! \rl")


def tavix_releve(k):
    """The simulator's k-th reply (tavix-sim --help)."""
    out = [k & 0xFF]
    for j in range(6):
        v = (k * (j + 1) * 37 + j * 683) & 0x0FFF
        out += [v & 0xFF, v >> 8]
    return bytes(out)


def read_records(sock, count, seconds=20.0):
    data = b""
    end = deadline(seconds)
    while len(data) < count * RECORD:
        sock.settimeout(max(0.05, end - time.monotonic()))
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            chunk = None
        if chunk == b"":
            raise AssertionError("the server closed the raw client after %d bytes" % len(data))
        if chunk:
            data += chunk
        if time.monotonic() > end:
            raise AssertionError("the raw client has %d of %d bytes" % (len(data), count * RECORD))
    return [(struct.unpack_from("<I", data, i + 1)[0], data[i + 5:i + RECORD])
            for i in range(0, len(data), RECORD)]


class NavigateurTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="lanquet5-web-")
        self.procs = Processes()
        self.addCleanup(self.tmp.cleanup)
        self.addCleanup(self.procs.stop_all)
        self.sockets = []
        self.addCleanup(lambda: [s.close() for s in self.sockets])

    def bench(self, *sim_options, server_env=None):
        self.sim = Simulateur(self.procs, TAVIX_SIM, self.tmp.name, *sim_options)
        self.port = free_port()
        self.server = Serveur(self.procs, LANQUET5, self.tmp.name, self.sim.device, self.port, "20",
                              env=server_env)
        self.web = PontWeb(self.procs, WEB_BIN, self.tmp.name, self.port)
        self.nav = Navigateur(self.procs, self.tmp.name)

    def raw_client(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        self.sockets.append(s)
        return s

    def wait_shown(self, what, check, seconds=20.0):
        last = {}

        def probe():
            last["shown"] = self.nav.shown()
            return check(last["shown"])
        try:
            wait_for(what, probe, seconds)
        except AssertionError as e:
            raise AssertionError("%s; the page shows %s" % (e, last.get("shown"))) from None
        return last["shown"]

    def test_flux(self):
        """Every reply the simulator sent reaches the page, in order, and the
        page shows the last one as the server framed it."""
        n = 40
        # Ticks above 2^31 show whether the count is read unsigned.
        self.bench("--hold", "--silent-after", str(n), server_env={"LANQUET5_TICK_OFFSET": "3000000000"})
        raw = self.raw_client()
        self.nav.open(self.web.url)
        self.wait_shown("the page connected", lambda s: s["etat"] == "connecte")
        wait_for("the server holding the page's and the raw client's connections",
                 lambda: self.server.accepted() == 2)

        self.sim.release()
        peak_rate = 0

        def all_in(s):
            nonlocal peak_rate
            peak_rate = max(peak_rate, s["debit"])
            return s["paquets"] >= n and len(self.sim.replies()) >= n
        self.wait_shown("all %d packets shown" % n, all_in, seconds=60)
        records = read_records(raw, n)

        sent = self.sim.replies()
        self.assertEqual([k for k, _ in sent], list(range(n)))
        self.assertEqual([h for _, h in sent], [tavix_releve(k).hex() for k in range(n)])
        self.assertEqual([r.hex() for _, r in records], [h for _, h in sent])
        shown = self.nav.shown()
        self.assertEqual(shown["etat"], "connecte")
        self.assertEqual(shown["paquets"], n)
        self.assertEqual(shown["octets"], sent[-1][1])
        self.assertEqual(shown["tick"], str(records[-1][0]))
        self.assertEqual(shown["ecart"], str((records[-1][0] - records[-2][0]) & 0xFFFFFFFF))
        # The chart starts on channel 0: bytes 1 and 2, low byte first.
        last = tavix_releve(n - 1)
        self.assertEqual(shown["valeur"], str(last[1] | last[2] << 8))
        self.assertGreater(peak_rate, 0)

    def test_occupe_puis_place_libre(self):
        """A full server's text is shown decoded; once a place is free, the
        reconnect button gets the stream."""
        self.bench()
        holders = [self.raw_client() for _ in range(20)]
        wait_for("the server holding 20 clients", lambda: self.server.accepted() == 20)
        self.nav.open(self.web.url)
        shown = self.wait_shown("the busy text", lambda s: s["etat"] == "occupe" and s["reconnecter"]
                                and s["occupe"] and s["occupe"].endswith("l"))
        self.assertRegex(shown["occupe"], BUSY)
        self.assertEqual(shown["paquets"], 0)

        holders[0].close()
        # The server learns of the closed client from a failed send.
        wait_for("the server dropping the closed client", lambda: self.server.accepted() == 19)
        self.nav.eval("document.getElementById('reconnecter').click()")
        shown = self.wait_shown("the stream after reconnecting",
                                lambda s: s["etat"] == "connecte" and s["paquets"] >= 3)
        self.assertIsNone(shown["occupe"])
        self.assertFalse(shown["reconnecter"])

    def test_fermeture_et_reconnexion(self):
        """A server that stops shows as a closed connection; the button tries
        again, and gets the stream back once a server is there."""
        self.bench()
        self.nav.open(self.web.url)
        self.wait_shown("packets shown", lambda s: s["etat"] == "connecte" and s["paquets"] >= 3)

        self.assertEqual(self.server.stop(), 0)
        self.wait_shown("the connection shown closed", lambda s: s["etat"] == "ferme" and s["reconnecter"])

        # No server: websockify takes the WebSocket, then closes it.
        self.nav.eval("document.getElementById('reconnecter').click()")
        self.wait_shown("closed again with no server", lambda s: s["etat"] == "ferme" and s["reconnecter"])

        self.server = Serveur(self.procs, LANQUET5, self.tmp.name, self.sim.device, self.port, "20")
        self.nav.eval("document.getElementById('reconnecter').click()")
        shown = self.wait_shown("the stream from the new server",
                                lambda s: s["etat"] == "connecte" and s["paquets"] >= 3)
        self.assertFalse(shown["reconnecter"])

    def test_decoupage(self):
        """Records cut anywhere across frames, or several to a frame, come out
        whole and in order; the tick is unsigned; the busy text decodes from
        Windows-1252 whatever its cuts. Run in the browser's own engine."""
        ticks = [0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 123456789, 0xDEADBEEF]
        stream = b"".join(b"\0" + struct.pack("<I", t) + tavix_releve(k) for k, t in enumerate(ticks))
        busy = "Serveur d'Tavix <poste-12>; Tavix occupé, rappeler ! \rl".encode("cp1252")
        cuts = [[1], [17], [18], [19], [35], [36], [5, 30, 1], [2, 16, 3], [len(stream)], [7, 0, 11]]
        self.nav = Navigateur(self.procs, self.tmp.name)
        self.nav.open("file://" + os.path.join(os.path.abspath(WEB_DIR), "index.html"))
        got = self.nav.eval("""(() => {
          const L = window.Lanquet5;
          const stream = Uint8Array.from(%s), busy = Uint8Array.from(%s);
          const feed = (bytes, sizes) => {
            const s = new L.RecordStream(), out = [];
            for (let i = 0, c = 0; i < bytes.length; ++c) {
              const n = sizes[c %% sizes.length];
              out.push(...s.push(bytes.subarray(i, i + n)));
              i += n;
              if (c > 10000) break;
            }
            return { records: out.map(r => [r.tick, L.hex(r.reply)]), partial: s.partial, kind: s.kind, text: s.text };
          };
          const byCut = %s.map(sizes => feed(stream, sizes));
          const tail = feed(stream.subarray(0, 18 * 3 + 5), [100]);
          const texts = [];
          for (let i = 0; i <= busy.length; ++i) texts.push(feed(busy, [i || 1, busy.length]).text);
          return { byCut, tail, texts,
                   gap: L.tickGap(0xFFFFFFF0, 0x10),
                   le: L.readValue(Uint8Array.from([0, 0x34, 0x12]), {index: 1, width: 2, order: 'le'}),
                   be: L.readValue(Uint8Array.from([0, 0x34, 0x12]), {index: 1, width: 2, order: 'be'}),
                   one: L.readValue(Uint8Array.from([0, 0x34, 0x12]), {index: 2, width: 1, order: 'le'}) };
        })()""" % (json.dumps(list(stream)), json.dumps(list(busy)), json.dumps(cuts)))

        expected = [[t, " ".join("%02X" % b for b in tavix_releve(k))] for k, t in enumerate(ticks)]
        for sizes, result in zip(cuts, got["byCut"]):
            with self.subTest(cuts=sizes):
                self.assertEqual(result["records"], expected)
                self.assertEqual(result["partial"], 0)
                self.assertEqual(result["kind"], "records")
        self.assertEqual(got["tail"]["records"], expected[:3])
        self.assertEqual(got["tail"]["partial"], 5)
        for i, text in enumerate(got["texts"]):
            with self.subTest(busy_cut=i):
                self.assertEqual(text, busy.decode("cp1252"))
        self.assertEqual(got["gap"], 0x20)
        self.assertEqual((got["le"], got["be"], got["one"]), (0x1234, 0x3412, 0x12))


def main():
    missing = missing_tools()
    if missing:
        print("needs %s: %s" % (" and ".join(missing), "failing" if REQUIRED else "skipped"))
        sys.exit(1 if REQUIRED else 77)
    for name, value in (("LANQUET5_BIN", LANQUET5), ("TAVIX_SIM_BIN", TAVIX_SIM),
                        ("LANQUET5_WEB_BIN", WEB_BIN), ("LANQUET5_WEB_DIR", WEB_DIR)):
        if not value:
            print("%s is not set" % name)
            sys.exit(2)
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
