"""The nine private messages reach the page as its call-backs through the
host window that the control subclassed; every other message reaches the
host's own window procedure unchanged."""

import unittest

from tests.e2e.harness import PAGE_PRELUDE, PageTestCase

CALLBACKS = r"""
var calls = [];
function record(name, args) {
  var parts = [];
  for (var i = 0; i < args.length; i++) parts.push(args[i]);
  calls.push(name + "(" + parts.join(",") + ")");
}
function OnDownloadCompleted() { record("OnDownloadCompleted", arguments); }
function OnAllDownloadCompleted() { record("OnAllDownloadCompleted", arguments); }
function OnInstalledCompleted() { record("OnInstalledCompleted", arguments); }
function OnAllInstalledCompleted() { record("OnAllInstalledCompleted", arguments); }
function OnNetError() { record("OnNetError", arguments); }
function OnUpdate() { record("OnUpdate", arguments); }
function OnPatchCheckComplete() { record("OnPatchCheckComplete", arguments); }
function OnVeyrUpdateError() { record("OnVeyrUpdateError", arguments); }
function onCheckLog(text) { calls.push("onCheckLog('" + text + "')"); }
"""

POST_ALL = r"""
host.post(0x54D, 7, -1); host.post(0x54E, 0, 0); host.post(0x54F, 1001, 0);
host.post(0x550, 0, 0); host.post(0x551, 0, 0); host.post(0x552, 48, 0);
host.post(0x553, 0, 0); host.post(0x554, 1, 5); host.post(0x555, 0, 0);
host.post(0x54C, 1, 2); host.post(0x556, 3, 4); host.post(0x400, -5, 6);
host.pump(300);
"""

EXPECTED_CALLS = [
    "OnDownloadCompleted(7,-1)", "OnAllDownloadCompleted()", "OnInstalledCompleted(1001,0)",
    "OnAllInstalledCompleted()", "OnNetError()", "OnUpdate(48)", "OnPatchCheckComplete()",
    "OnVeyrUpdateError(1)", "onCheckLog('')",
]
OTHER_MESSAGES = ["1356,1,2", "1366,3,4", "1024,-5,6"]


class CallbackTest(PageTestCase):
    def run_lines(self, script, *options):
        result = self.run_page(PAGE_PRELUDE + script, list(options))
        self.assertPageOk(result)
        return result.stdout.splitlines()

    def test_each_message_calls_its_function_and_others_pass_through(self):
        lines = self.run_lines(CALLBACKS + 'var o = new ActiveXObject("Tovral.DownLoad");'
                               + POST_ALL + 'host.echo(calls.join("\\n"));'
                               'host.echo(host.received());')
        self.assertEqual(lines[:9], EXPECTED_CALLS)
        self.assertEqual(lines[9:], OTHER_MESSAGES)

    def test_a_page_without_the_functions_or_with_throwing_ones_is_unharmed(self):
        lines = self.run_lines('function OnUpdate(c) { throw new Error("page bug " + c); }\n'
                               'var o = new ActiveXObject("Tovral.DownLoad");'
                               + POST_ALL + 'host.echo("alive " + o.GetLanguage().length);')
        self.assertEqual(lines, ["alive 3"])

    def test_the_newest_control_receives_and_a_released_one_is_never_called(self):
        lines = self.run_lines(CALLBACKS + r"""
            var first = new ActiveXObject("Tovral.DownLoad");
            var second = new ActiveXObject("Tovral.DownLoad");
            second = null; CollectGarbage();
            host.post(0x552, 45, 0); host.pump(200);
            host.echo("after release: " + calls.join(";"));
            var third = new ActiveXObject("Tovral.DownLoad");
            host.post(0x552, 46, 0); host.pump(200);
            host.echo("after new: " + calls.join(";"));
            """)
        self.assertEqual(lines, ["after release: ", "after new: OnUpdate(46)"])

    def test_without_an_active_window_nothing_is_subclassed(self):
        lines = self.run_lines(CALLBACKS + 'var o = new ActiveXObject("Tovral.DownLoad");'
                               'host.post(0x54D, 7, -1); host.pump(200);'
                               'host.echo(calls.length); host.echo(host.received());',
                               "--no-active-window")
        self.assertEqual(lines, ["0", "1357,7,-1"])

    def test_without_a_page_window_call_backs_are_consumed(self):
        lines = self.run_lines(CALLBACKS + 'var o = new ActiveXObject("Tovral.DownLoad");'
                               'host.post(0x54D, 7, -1); host.pump(200);'
                               'host.echo(calls.length); host.echo(host.received());',
                               "--no-browser")
        self.assertEqual(lines, ["0", ""])

    def test_quit_request_ends_the_host_message_loop(self):
        lines = self.run_lines('var o = new ActiveXObject("Tovral.DownLoad");'
                               'o.QuitBankVeyr(); host.echo(host.pump(5000));'
                               'host.echo(host.quitReceived);')
        self.assertEqual(lines, ["true", "true"])

    def test_destroyed_host_window_gets_its_procedure_back(self):
        lines = self.run_lines(CALLBACKS + 'var o = new ActiveXObject("Tovral.DownLoad");'
                               'host.destroyWindow();'
                               'host.echo(host.post(0x54D, 7, -1)); host.pump(100);'
                               'host.echo(calls.length);')
        self.assertEqual(lines, ["false", "0"])


if __name__ == "__main__":
    unittest.main()
