"""The page host TovralHost.exe on its own: output, exit codes, script errors,
the message loop, page arguments, dialog dismissal, and its browser side
exercised by the test-only probe control (TovralHostProbe.dll), which uses the
host the way the bank's control does."""

import tempfile
import time
import unittest
from pathlib import Path

from tests.e2e.harness import BUILD_DIR, ClientFolder, to_windows, wine

E_INVALIDARG = -2147024809
HOST_WINDOW_CLASS = "TovralHostWindow"


class HostTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.client = ClientFolder()

    @classmethod
    def tearDownClass(cls):
        cls.client.close()

    def run_page(self, text, *args, **kwargs):
        return self.client.run_page(text, list(args), **kwargs)

    def assertRanOk(self, result):
        self.assertEqual(result.returncode, 0,
                         f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}")

    def lines(self, result):
        return result.stdout.splitlines()


class OutputAndExitTest(HostTestCase):
    def test_echo_writes_utf8_lines_in_order(self):
        result = self.run_page('host.echo("plain"); host.echo("中文 Überweisung ✓");\n'
                               'host.echo(""); host.echo(42); host.echo(true); host.echo();\n'
                               'host.echo(0.5); host.echo(-7);')
        self.assertRanOk(result)
        self.assertEqual(self.lines(result),
                         ["plain", "中文 Überweisung ✓", "", "42", "true", "", "0.5", "-7"])

    def test_page_file_with_byte_order_mark(self):
        page = self.client.path / "bom.js"
        page.write_bytes(b"\xef\xbb\xbf" + 'host.echo("ünï");'.encode("utf-8"))
        result = self.client.run_page(page)
        self.assertRanOk(result)
        self.assertEqual(self.lines(result), ["ünï"])

    def test_exit_ends_at_once_with_the_code_and_keeps_earlier_output(self):
        result = self.run_page('host.echo("before"); host.exit(3); host.echo("after");')
        self.assertEqual(result.returncode, 3)
        self.assertEqual(self.lines(result), ["before"])

    def test_script_errors_end_the_page_with_text_and_line(self):
        cases = [
            ('host.echo("a");\n\nvar x = ;\n', "script error: Syntax error (line 3)", []),
            ('host.echo("a");\nnoSuchObject.call();\nhost.echo("b");\n',
             "script error: 'noSuchObject' is undefined (line 2)", ["a"]),
            ('host.echo("a");\n\n\nthrow new Error("boom");\n', "script error: boom (line 4)", ["a"]),
            ('host.noSuchMethod();', "(line 1)", []),
        ]
        for page, message, stdout in cases:
            with self.subTest(message=message):
                result = self.run_page(page)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertTrue(result.stderr.startswith("script error: "), result.stderr)
                self.assertEqual(self.lines(result), stdout)

    def test_usage_errors(self):
        host = self.client.path / "TovralHost.exe"
        page = self.client.path / "page.js"
        page.write_text('host.echo("ran");', encoding="utf-8")
        cases = [
            [],
            [to_windows(page), "--unknown"],
            [to_windows(page), "--app-minor-version"],
            [to_windows(page), "--document-url"],
            [to_windows(page), to_windows(page)],
        ]
        for args in cases:
            with self.subTest(args=args):
                result = wine([host, *args])
                self.assertEqual(result.returncode, 64)
                self.assertIn("usage: TovralHost.exe", result.stderr)
                self.assertNotIn("ran", result.stdout)
        missing = wine([host, to_windows(self.client.path / "missing.js")])
        self.assertEqual(missing.returncode, 66)
        self.assertIn("missing.js", missing.stderr)

    def test_page_arguments_follow_the_double_dash(self):
        page = ('for (var i = 0; i < host.argCount; i++) host.echo("[" + host.arg(i) + "]");\n'
                'host.echo(typeof host.arg(host.argCount));')
        result = self.run_page(page, "--no-browser", "--", "one", "two words", "--no-browser", "ß")
        self.assertRanOk(result)
        self.assertEqual(self.lines(result),
                         ["[one]", "[two words]", "[--no-browser]", "[ß]", "undefined"])
        none = self.run_page('host.echo(host.argCount);')
        self.assertEqual(self.lines(none), ["0"])


class MessageLoopTest(HostTestCase):
    def test_pump_runs_until_the_time_limit(self):
        result = self.run_page('var t = new Date().getTime(); var r = host.pump(400);\n'
                               'host.echo(r); host.echo(new Date().getTime() - t);')
        self.assertRanOk(result)
        returned, elapsed = self.lines(result)
        self.assertEqual(returned, "false")
        self.assertGreaterEqual(int(elapsed), 350)
        self.assertLess(int(elapsed), 5000)

    def test_clock_counts_milliseconds_against_the_date(self):
        # Benchmark pages print times from host.clock(): its unit must be the millisecond.
        result = self.run_page('var c = host.clock(), d = new Date().getTime(); host.sleep(300);\n'
                               'host.echo(host.clock() - c); host.echo(new Date().getTime() - d);')
        self.assertRanOk(result)
        clock, date = self.lines(result)
        self.assertAlmostEqual(float(clock), float(date), delta=60)
        self.assertGreaterEqual(float(clock), 250)

    def test_stop_before_a_pump_ends_the_next_pump_at_once(self):
        result = self.run_page('host.stop(); var t = new Date().getTime();\n'
                               'host.echo(host.pump(30000)); host.echo(new Date().getTime() - t < 5000);\n'
                               'host.echo(host.pump(10));')
        self.assertRanOk(result)
        self.assertEqual(self.lines(result), ["true", "true", "false"])

    def test_posted_numbers_arrive_as_signed_32_bit_values(self):
        result = self.run_page(
            'host.echo(host.post(0x401, 5, -1)); host.post(0x8001, 0xFFFFFFFF, 2147483647);\n'
            'host.post(0x402, -2147483648, 4294967294); host.post(0, 1, 2);\n'
            'host.echo(host.received() === ""); host.pump(200); host.echo(host.received());')
        self.assertRanOk(result)
        self.assertEqual(self.lines(result), [
            "true", "true", "1025,5,-1", "32769,-1,2147483647", "1026,-2147483648,-2"])

    def test_destroyed_window_takes_no_posts(self):
        result = self.run_page('host.echo(host.destroyWindow()); host.echo(host.post(0x401, 0, 0));'
                               'host.echo(host.destroyWindow());')
        self.assertRanOk(result)
        self.assertEqual(self.lines(result), ["true", "false", "false"])


class DialogDismissalTest(HostTestCase):
    def test_dialog_is_reported_and_its_default_button_pressed(self):
        page = ('var shell = new ActiveXObject("WScript.Shell");\n'
                'shell.Popup("Erste Zeile\\r\\n第二行", 60, "Hinweis ✓", 0);\n'
                'host.echo("after dialog");')
        started = time.monotonic()
        result = self.run_page(page, "--dismiss-dialogs", timeout=60)
        self.assertRanOk(result)
        self.assertLess(time.monotonic() - started, 30)
        self.assertEqual(self.lines(result), [
            "dialog: Hinweis ✓", "dialog-text: Erste Zeile", "dialog-text: 第二行", "after dialog"])


def register_probe():
    return wine(["regsvr32", "/s", to_windows(BUILD_DIR / "TovralHostProbe.dll")]).returncode


PROBE = 'var probe = new ActiveXObject("TovralHost.Probe");\n'


class BrowserForControlsTest(HostTestCase):
    """What the bank's control relies on, seen from a control."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        rc = register_probe()
        if rc != 0:
            raise RuntimeError(f"regsvr32 of the probe failed with {rc}")

    def test_host_window_is_active_when_the_control_loads(self):
        result = self.run_page(PROBE + 'host.echo(probe.loadWindowClass);')
        self.assertRanOk(result)
        self.assertEqual(self.lines(result), [HOST_WINDOW_CLASS])

    def test_without_an_active_window_messages_reach_the_host_window_itself(self):
        result = self.run_page(PROBE + 'host.echo("[" + probe.loadWindowClass + "]");\n'
                               'host.post(0x054D, 7, -1); host.pump(200); host.echo(host.received());',
                               "--no-active-window")
        self.assertRanOk(result)
        self.assertEqual(self.lines(result), ["[]", "1357,7,-1"])

    def test_site_leads_to_the_page_window_and_navigator(self):
        page = PROBE + 'host.echo(probe.chain);'
        cases = [
            ([], "page window, minor version ;SP2;"),
            (["--app-minor-version", ";SP1;"], "page window, minor version ;SP1;"),
            (["--app-minor-version", ""], "page window, minor version "),
            (["--no-browser"], "no browser"),
        ]
        for args, chain in cases:
            with self.subTest(args=args):
                result = self.run_page(page, *args)
                self.assertRanOk(result)
                self.assertEqual(self.lines(result), [chain])

    def test_document_url_is_the_address_of_document_and_browser(self):
        page = PROBE + 'host.echo(probe.address);'
        cases = [
            ([], "fails fails"),
            (["--document-url", "https://ebank.example.cn/a?b#c"],
             "[https://ebank.example.cn/a?b#c] [https://ebank.example.cn/a?b#c]"),
            (["--document-url", ""], "[] []"),
        ]
        for args, address in cases:
            with self.subTest(args=args):
                result = self.run_page(page, *args)
                self.assertRanOk(result)
                self.assertEqual(self.lines(result), [address])
        # A later navigation of the same browser: objects created afterwards see it.
        result = self.run_page(page + 'host.setDocumentUrl("https://b.test/");\n'
                               'host.echo(probe.address);\n'
                               'host.echo(new ActiveXObject("TovralHost.Probe").address);',
                               "--document-url", "https://a.test/")
        self.assertRanOk(result)
        self.assertEqual(self.lines(result), ["[https://a.test/] [https://a.test/]"] * 2 +
                         ["[https://b.test/] [https://b.test/]"])

    def test_exec_script_runs_in_the_page_engine(self):
        page = PROBE + (
            'host.echo(probe.run("var fromControl = 42;")); host.echo(fromControl);\n'
            'host.echo(probe.run("fromControl = 43", "javascript")); host.echo(fromControl);\n'
            'host.echo(probe.run("fromControl = 44", "JScript")); host.echo(fromControl);\n'
            'host.echo(probe.run("fromControl = 45", "VBScript")); host.echo(fromControl);\n'
            'host.echo(probe.run("var ;;= (") < 0);\n'
            'host.echo(probe.run("throw new Error(\'inner\')") < 0);\n'
            'host.echo("page goes on");')
        result = self.run_page(page)
        self.assertRanOk(result)
        self.assertEqual(self.lines(result), [
            "0", "42", "0", "43", "0", "44", str(E_INVALIDARG), "44", "true", "true",
            "page goes on"])
        self.assertIn("execScript error: inner (line 1)", result.stderr)

    def test_callbacks_from_the_window_procedure_during_a_pump(self):
        page = PROBE + (
            'var calls = [];\n'
            'function OnProbe(a, b) { calls.push(a + "/" + b); if (calls.length == 2) host.stop(); }\n'
            'probe.postFromThread(0x054D, 7, 1); probe.postFromThread(0x054D, 8, -1);\n'
            'host.post(0x401, 3, 4);\n'
            'host.echo(host.pump(10000)); host.echo(calls.sort().join(" "));\n'
            'host.echo(probe.lastCallbackResult); host.pump(100); host.echo(host.received());\n'
            'probe.postFromThread(0x054E, 0, 0); host.pump(300);\n'
            'host.echo(probe.lastCallbackResult < 0); host.echo(calls.length);')
        result = self.run_page(page)
        self.assertRanOk(result)
        self.assertEqual(self.lines(result), ["true", "7/1 8/-1", "0", "1025,3,4", "true", "2"])

    def test_quit_message_ends_the_pump(self):
        page = PROBE + ('host.echo(host.quitReceived); probe.quit();\n'
                        'var t = new Date().getTime(); host.echo(host.pump(30000));\n'
                        'host.echo(new Date().getTime() - t < 5000); host.echo(host.quitReceived);')
        result = self.run_page(page)
        self.assertRanOk(result)
        self.assertEqual(self.lines(result), ["false", "true", "true", "true"])

    def test_control_dll_is_unloaded_when_the_page_ends(self):
        with tempfile.TemporaryDirectory() as folder:
            marker = Path(folder) / "unloaded"
            result = self.run_page(PROBE + 'probe.postFromThread(0x054D, 1, 1); host.pump(200);',
                                   env={"TOVRAL_PROBE_UNLOAD_MARKER": to_windows(marker)})
            self.assertRanOk(result)
            self.assertTrue(marker.exists(), "the probe's DLL was not unloaded")

    def test_crash_on_a_worker_thread_reaches_the_crash_filter_dialog(self):
        page = PROBE + 'probe.installCrashFilter(); host.echo("crashing"); host.crash();\n' \
                       'host.echo("not reached");'
        result = self.run_page(page, "--dismiss-dialogs", timeout=60)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(self.lines(result), [
            "crashing", "dialog: probe crash", "dialog-text: probe crash filter",
            "dialog-text: code 0xC0000005"])


if __name__ == "__main__":
    unittest.main()
