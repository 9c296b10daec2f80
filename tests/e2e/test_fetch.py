"""FetchUrlToFile against the local bank server, through the fetch probe."""

import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest
from pathlib import Path

from tests.e2e.harness import BUILD_DIR, to_windows, wine, wine_env
from tools.bankserver import BankServer, not_found_page

PROBE = BUILD_DIR / "tests" / "e2e" / "probes" / "fetch_probe.exe"
READ_BLOCK = 16384
ERROR_HTTP_REDIRECT_FAILED = 12156
ERROR_FILE_TOO_LARGE = 223
ERROR_HANDLE_EOF = 38


def unused_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class FetchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix="tovral-bank-"))
        cls.out = Path(tempfile.mkdtemp(prefix="tovral-fetch-"))
        cls.out_windows = to_windows(cls.out)
        cls.server = BankServer(cls.root).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.root, ignore_errors=True)
        shutil.rmtree(cls.out, ignore_errors=True)

    def setUp(self):
        self.server.clear_rules()
        self.server.clear_log()
        for item in self.out.iterdir():
            item.unlink()

    def serve(self, name, data):
        (self.root / name).write_bytes(data)
        return f"{self.server.url}/{name}"

    def fetch(self, url, name="fetched.bin", **run_options):
        """Runs the probe; returns (result, local Unix path, stderr)."""
        local_windows = f"{self.out_windows}\\{name}"
        if run_options:
            proc = subprocess.run(["wine", PROBE, url, local_windows], env=wine_env(),
                                  capture_output=True, text=True, timeout=120, **run_options)
        else:
            proc = wine([PROBE, url, local_windows])
        match = re.search(r"result=(\d)", proc.stdout)
        self.assertIsNotNone(match, f"probe exit {proc.returncode}, output: {proc.stdout!r} {proc.stderr!r}")
        return int(match.group(1)), self.out / name, proc.stderr

    def test_any_non_empty_body_is_stored_whatever_the_status(self):
        result, local, _ = self.fetch(f"{self.server.url}/no/such/file.cab")
        self.assertEqual(result, 1)
        self.assertEqual(local.read_bytes(), not_found_page("/no/such/file.cab"))

        self.server.set_rule("error.cfg", "fixed", status=500, body="server trouble")
        result, local, _ = self.fetch(f"{self.server.url}/error.cfg")
        self.assertEqual(result, 1)
        self.assertEqual(local.read_bytes(), b"server trouble")

    def test_nothing_is_created_when_the_url_cannot_be_opened(self):
        result, local, errors = self.fetch(f"http://127.0.0.1:{unused_port()}/Version.cfg")
        self.assertEqual(result, 0)
        self.assertFalse(local.exists())
        self.assertIn("InternetOpenUrlW", errors)

    def test_missing_local_folder_fails_after_the_request(self):
        url = self.serve("a.cab", b"cabinet")
        result, local, errors = self.fetch(url, name="missing-folder\\a.cab")
        self.assertEqual(result, 0)
        self.assertIn("CreateFileW", errors)
        self.assertFalse((self.out / "missing-folder").exists())

    def test_every_fetch_reaches_the_server_and_replaces_the_file(self):
        url = self.serve("Version.cfg", b"first version list")
        self.assertEqual(self.fetch(url)[0], 1)
        # A longer file in the way must be truncated, and a cached copy never reused.
        (self.out / "fetched.bin").write_bytes(b"x" * 100)
        self.serve("Version.cfg", b"second")
        result, local, _ = self.fetch(url)
        self.assertEqual(result, 1)
        self.assertEqual(local.read_bytes(), b"second")
        self.assertEqual([p.name for p in self.out.iterdir()], ["fetched.bin"])
        self.assertEqual(self.server.count("Version.cfg"), 2)

    def test_request_carries_the_fetch_headers(self):
        self.fetch(self.serve("h.cfg", b"h"))
        (request,) = self.server.requests
        self.assertEqual(request.method, "GET")
        self.assertEqual(request.path, "/h.cfg")
        self.assertRegex(request.header("User-Agent"), r"^Agent-?\d+$")
        self.assertEqual(request.header("Pragma"), "no-cache")
        accepts = [v for k, v in request.headers if k.lower() == "accept"]
        self.assertTrue(accepts)
        self.assertTrue(all(v == "*/*" for v in accepts), accepts)

    def test_bodies_are_copied_byte_exact_across_read_blocks(self):
        data = os.urandom(3 * READ_BLOCK + 123)
        url = self.serve("big.cab", data)
        result, local, _ = self.fetch(url)
        self.assertEqual(result, 1)
        self.assertEqual(local.read_bytes(), data)

        # Small pieces with pauses give short reads in the middle of the body.
        self.server.set_rule("big.cab", "slow", chunk=5000, delay=0.02)
        result, local, _ = self.fetch(url, name="slow.cab")
        self.assertEqual(result, 1)
        self.assertEqual(local.read_bytes(), data)

    def test_chunked_body_is_whole_whatever_content_length_says(self):
        self.server.set_rule("chunked.cfg", "fixed", body="5\r\nhello\r\n0\r\n\r\n",
                             headers={"Transfer-Encoding": "chunked"})
        result, local, errors = self.fetch(f"{self.server.url}/chunked.cfg")
        self.assertEqual((result, local.read_bytes()), (1, b"hello"), errors)

    def test_redirects_are_followed_but_a_loop_ends(self):
        url = self.serve("target.cfg", b"moved here")
        self.server.set_rule("hop2", "fixed", status=302, headers={"Location": "/target.cfg"})
        self.server.set_rule("hop1", "fixed", status=301, headers={"Location": "hop2"})
        result, local, _ = self.fetch(f"{self.server.url}/hop1")
        self.assertEqual((result, local.read_bytes()), (1, b"moved here"))

        self.server.clear_log()
        self.server.set_rule("loop", "fixed", status=302, headers={"Location": "/loop"})
        result, local, errors = self.fetch(f"{self.server.url}/loop", name="loop.cfg")
        self.assertEqual(result, 0)
        self.assertFalse(local.exists())
        self.assertIn(f"InternetOpenUrlW {ERROR_HTTP_REDIRECT_FAILED}", errors)
        self.assertEqual(self.server.count("loop"), 11)  # the request and ten redirects

    def test_only_a_whole_accepted_body_replaces_the_target(self):
        data = os.urandom(2 * READ_BLOCK + 10)
        url = self.serve("body.cab", data)
        cap = READ_BLOCK + 100
        # (case, server rule, probe options, result, error the probe reports, accept asked)
        cases = [
            ("cut short", ("truncate", {"after": READ_BLOCK + 7}), [], 0,
             f"InternetReadFile {ERROR_HANDLE_EOF}", False),
            ("reset", ("truncate", {"after": READ_BLOCK, "abort": True}), [], 0,
             "InternetReadFile", False),
            ("endless", ("endless", {}), [str(3 * READ_BLOCK)], 0,
             f"InternetReadFile {ERROR_FILE_TOO_LARGE}", False),
            ("over the cap", None, [str(cap)], 0, f"InternetReadFile {ERROR_FILE_TOO_LARGE}", False),
            ("empty", ("empty", {}), [], 0, "", False),
            ("refused", None, ["--reject"], 0, "", True),
            ("good", None, [], 1, "", True),
        ]
        previous = b"the previous copy"
        observed = Path(tempfile.mkdtemp(prefix="tovral-observed-"))
        self.addCleanup(shutil.rmtree, observed, True)
        for name, rule, options, expected, error, asked in cases:
            with self.subTest(name):
                self.server.clear_rules()
                if rule:
                    self.server.set_rule("body.cab", rule[0], **rule[1])
                target = self.out / "body.cab"
                target.write_bytes(previous)
                seen = observed / "seen.bin"
                proc = wine([PROBE, url, f"{self.out_windows}\\body.cab", *options,
                             "--observe-to", to_windows(seen)])
                self.assertIn(f"result={expected}", proc.stdout, proc.stderr)
                self.assertIn(error, proc.stderr)
                self.assertEqual("accept asked" in proc.stdout, asked)
                self.assertEqual([p.name for p in self.out.iterdir()], ["body.cab"],
                                 "nothing but the target is left")
                stored = target.read_bytes()
                self.assertEqual(stored, data if expected else previous)
                # The observer saw the body as it was stored, never past the cap.
                if expected:
                    self.assertEqual(seen.read_bytes(), stored)
                elif rule is None or rule[0] != "endless":
                    self.assertTrue(data.startswith(seen.read_bytes()))
                limit = int(options[0]) if options and options[0].isdigit() else len(data)
                self.assertLessEqual(seen.stat().st_size, limit)

    def test_a_write_that_runs_out_of_room_fails(self):
        limit = 50000
        url = self.serve("large.cab", os.urandom(4 * limit))

        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # fail the write, not the process
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        result, local, errors = self.fetch(url, preexec_fn=limit_file_size)
        self.assertEqual(result, 0)
        self.assertIn("WriteFile", errors)
        # Part of the body had reached the disk; none of it may stay.
        self.assertEqual(list(self.out.iterdir()), [])

if __name__ == "__main__":
    unittest.main()
