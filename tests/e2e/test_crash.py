"""A crash anywhere in a host process that holds the control: the record in
the crash log, the dialog with the same facts (dismissed automatically
here) and exit code 1."""

import unittest

from tests.e2e.harness import PageTestCase, data_folder


class CrashTest(PageTestCase):
    def test_access_violation_is_recorded_shown_and_ends_the_process(self):
        result = self.run_page('var o = new ActiveXObject("Tovral.DownLoad");\n'
                               'host.echo("created"); host.crash(); host.echo("after");',
                               ["--dismiss-dialogs"], timeout=60)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        out = result.stdout
        self.assertIn("created", out)
        self.assertNotIn("after", out)
        self.assertIn("dialog: 错误信息", out)
        self.assertIn("dialog-text: 错误信息如下:", out)
        self.assertIn("dialog-text: 错误类型ACCESS_VIOLATION", out)
        self.assertRegex(out, r"dialog-text: 错误地址0x[0-9A-F]+")
        self.assertRegex(out, r"dialog-text: 模块名称.*TovralHost\.exe")

        log = (data_folder() / "VeyrantLog" / "BankVeyrant_Exception.log").read_bytes()
        text = log.decode("latin-1")
        self.assertTrue(text.startswith("-" * 27 + "begin of the log" + "-" * 27 + "\r\n"))
        self.assertRegex(text, r"time:\d{4} \d{1,2} \d{1,2} \d{1,2}:\d{1,2}:\d{1,2}\r\n")
        self.assertRegex(text, r"error location :\r\neip is 0x[0-9A-F]+\r\n")
        self.assertIn("exception type is : ACCESS_VIOLATION\r\n", text)
        self.assertRegex(text, r"module name is : .*TovralHost\.exe\r\n")
        self.assertTrue(text.endswith("-" * 27 + "end of the log" + "-" * 27 + "\r\n"))


if __name__ == "__main__":
    unittest.main()
