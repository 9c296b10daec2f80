"""The local bank server's own behaviour: files, rules, the request log, the command line."""

import http.client
import json
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from tests.e2e.harness import SOURCE_DIR
from tools.bankserver import BankServer, not_found_page

SCRIPT = SOURCE_DIR / "tools" / "bankserver" / "bankserver.py"


def raw_get(port, request):
    """Sends a raw request and reads until the server closes the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(request)
        chunks = []
        while chunk := s.recv(65536):
            chunks.append(chunk)
    return b"".join(chunks)


class BankServerTest(unittest.TestCase):
    uses_wine = False  # the server alone, over HTTP from Python

    def setUp(self):
        self.base = Path(tempfile.mkdtemp(prefix="tovral-bankserver-"))
        self.addCleanup(shutil.rmtree, self.base, True)
        self.root = self.base / "root"
        (self.root / "Settings").mkdir(parents=True)
        (self.root / "Settings" / "List.cfg").write_bytes(b"0123456789")
        (self.base / "secret.txt").write_bytes(b"outside the root")
        self.server = BankServer(self.root).start()
        self.addCleanup(self.server.stop)
        self.assertTrue(self.server.url.startswith("http://127.0.0.1:"))
        self.assertFalse(self.server.url.endswith("/"))

    def get(self, path):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        try:
            conn.request("GET", path)
            response = conn.getresponse()
            return response.status, response.read()
        finally:
            conn.close()

    def test_files_are_found_without_regard_to_case_and_never_outside_the_root(self):
        self.assertEqual(self.get("/settings/list.CFG?x=1"), (200, b"0123456789"))
        self.assertEqual(self.get("/nothing"), (404, not_found_page("/nothing")))
        for escape in ("/../secret.txt", "/Settings/../../secret.txt", "/%2e%2e/secret.txt"):
            self.assertEqual(self.get(escape)[0], 404, escape)
        self.assertEqual(self.server.count("SETTINGS/list.cfg"), 1)
        self.assertEqual(self.server.requests[0].header("host"),
                         f"127.0.0.1:{self.server.port}")

    def test_http_1_0_and_keep_alive_clients(self):
        answer = raw_get(self.server.port, b"GET /Settings/List.cfg HTTP/1.0\r\n\r\n")
        self.assertIn(b" 200 ", answer.split(b"\r\n", 1)[0])
        self.assertTrue(answer.endswith(b"\r\n\r\n0123456789"))
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        for _ in range(2):  # both on one connection
            conn.request("GET", "/Settings/List.cfg")
            self.assertEqual(conn.getresponse().read(), b"0123456789")
        conn.close()
        self.assertEqual(self.server.requests[0].version, "HTTP/1.0")

    def test_rules(self):
        path = "/Settings/List.cfg"
        self.server.set_rule(path, "not_found")
        self.assertEqual(self.get(path)[0], 404)
        self.server.set_rule(path, "empty")
        self.assertEqual(self.get(path), (200, b""))
        self.server.set_rule(path, "fixed", status=503, body="busy", headers={"Retry-After": "5"})
        self.assertEqual(self.get(path), (503, b"busy"))
        self.assertIn(b"\r\nRetry-After: 5\r\n",
                      raw_get(self.server.port, f"GET {path} HTTP/1.0\r\n\r\n".encode()))

        self.server.set_rule(path, "truncate", after=4)
        with self.assertRaises(http.client.IncompleteRead) as cut:
            self.get(path)
        self.assertEqual((cut.exception.partial, cut.exception.expected), (b"0123", 6))

        self.server.set_rule(path, "slow", chunk=3, delay=0.1)
        started = time.monotonic()
        self.assertEqual(self.get(path), (200, b"0123456789"))
        self.assertGreaterEqual(time.monotonic() - started, 0.35)  # four pieces, four pauses

        self.server.set_rule(path, "fixed", body="once", times=1)
        self.assertEqual(self.get(path), (200, b"once"))
        self.assertEqual(self.get(path), (200, b"0123456789"))
        self.assertEqual(self.server.count(path), 8)

        with self.assertRaises(ValueError):
            self.server.set_rule(path, "explode")

    def test_command_line_with_a_rules_file_it_follows(self):
        rules, port_file = self.base / "rules.json", self.base / "port"
        rules.write_text(json.dumps({"Settings/List.cfg": {"kind": "fixed", "body": "ruled"}}))
        proc = subprocess.Popen([sys.executable, SCRIPT, "--root", self.root, "--rules", rules,
                                 "--port-file", port_file], stdout=subprocess.PIPE, text=True)
        try:
            url = proc.stdout.readline().strip()
            port = int(port_file.read_text())
            self.assertEqual(url, f"http://127.0.0.1:{port}")
            self.assertTrue(raw_get(port, b"GET /Settings/List.cfg HTTP/1.0\r\n\r\n")
                            .endswith(b"ruled"))
            rules.write_text(json.dumps({}))
            self.assertTrue(raw_get(port, b"GET /Settings/List.cfg HTTP/1.0\r\n\r\n")
                            .endswith(b"0123456789"))
        finally:
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(timeout=10), 0)
            proc.stdout.close()


if __name__ == "__main__":
    unittest.main()
