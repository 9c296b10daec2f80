"""The self-update hand-off end to end: after the update check a page starts
UpdateBankVeyr; the control fetches the update list and the changed files,
writes waiter.cfg, starts the sample updater (UpdateFiles.exe) with the host's
process id in the client folder and ends the host with exit code 1. The
sample updater records what it was given."""

import time
import unittest

from tests.e2e.harness import CHINESE_ANSI, SAMPLES_DIR, clear_trace, trace_texts
from tests.e2e.pages import SELF_UPDATE
from tests.e2e.test_samples import write_hand_off_list
from tests.e2e.test_update_check import UpdateCheckTestCase
from tools.bankserver.server_tree import checksum_text

# A new client and a new updater: the installed client is older, and the
# client folder has no updater yet.
UPDATE_LIST = """<?xml version="1.0" encoding="utf-8"?>
<Update>
  <FileVersion root="${server}/" value="2"/>
  <assembly filename="BankClient.exe" local="local" updatehandle="replace" Version="4"
            mac="${mac:client/BankClient.exe}" regsvr="false" url="client/BankClient.exe"/>
  <assembly filename="UpdateFiles.exe" local="local" updatehandle="replace" Version="2"
            mac="${mac:update/UpdateFiles.exe}" regsvr="false" url="update/UpdateFiles.exe"/>
  <assembly filename="Obsolete.dll" local="local" updatehandle="delete" Version="1" mac="0"
            regsvr="false" url="client/Obsolete.dll"/>
</Update>
"""


class SelfUpdateTestCase(UpdateCheckTestCase):
    def setUp(self):
        super().setUp()
        self.tree.texts["Update"] = UPDATE_LIST
        self.tree.build()
        (self.client.path / "BankClient.exe").write_bytes(b"the previous client release")

    def run_self_update(self):
        clear_trace()
        return self.run_page(SELF_UPDATE, env=CHINESE_ANSI, timeout=180)

    def updater_log(self, timeout=60):
        """The sample updater's record; it writes it once the host has ended."""
        log = self.client.path / "UpdateFiles.log"
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if log.exists() and "list=" in log.read_text(encoding="utf-8"):
                time.sleep(0.2)
                return dict(line.split("=", 1) for line in
                            log.read_text(encoding="utf-8").split("\n") if "=" in line), \
                    log.read_text(encoding="utf-8")
            time.sleep(0.2)
        self.fail("the updater wrote no record")


class SelfUpdateTest(SelfUpdateTestCase):
    def test_the_updater_takes_over_and_the_host_ends(self):
        result = self.run_self_update()
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "update 47")  # the installed client is not the listed one
        self.assertEqual(lines[2], "started true")
        self.assertEqual(len(lines), 3, "the host ran on after the hand-off")
        pid = lines[1].split()[1]

        record, text = self.updater_log()
        self.assertEqual(record["pid"], pid)
        self.assertEqual(record["waited"], "ok")
        self.assertEqual(record["cwd"].rstrip("\\").lower(),
                         self.client.windows_path().rstrip("\\").lower())
        self.assertIn('<file filename="BankClient.exe" local="local" updatehandle="replace" '
                      'regsvr="false"></file>', text)
        self.assertIn('<file filename="UpdateFiles.exe" local="local" updatehandle="replace" '
                      'regsvr="false"></file>', text)
        self.assertNotIn("Obsolete.dll", text)

        # The new client waits in the self-update folder; the new updater ran.
        fetched = self.self_update / "BankClient.exe"
        self.assertEqual(checksum_text(fetched), checksum_text(SAMPLES_DIR / "BankClient.exe"))
        self.assertEqual((self.client.path / "UpdateFiles.exe").read_bytes(),
                         (SAMPLES_DIR / "UpdateFiles.exe").read_bytes())
        texts = trace_texts()
        for line in ("成功事件：开始下载Update.cfg", "成功事件：Update.cfg下载成功",
                     "成功事件：BankClient.exe下载成功", "成功事件：updateFiles.exe已更新"):
            self.assertIn(line, texts)

    def test_an_update_list_that_cannot_be_fetched(self):
        self.query_update(47)
        self.server.set_rule("VeyrantSettingV2/Update.cfg", "empty")
        result = self.run_self_update()
        self.assertPageOk(result)
        self.assertIn("error 1", result.stdout)
        self.assertIn("失败事件：Update.cfg下载失败", trace_texts())

    def test_an_update_list_that_fails_its_listed_checksum(self):
        self.query_update(47)
        self.server.set_rule("VeyrantSettingV2/Update.cfg", "not_found")  # an error page
        result = self.run_self_update()
        self.assertPageOk(result)
        self.assertIn("error 1", result.stdout)
        # Checked against the version list before it is ever decrypted.
        self.assertIn("失败事件：Update.cfg校验失败", trace_texts())

    def test_a_file_that_fails_its_checksum(self):
        self.server.set_rule("update/UpdateFiles.exe", "fixed", body="not the updater")
        result = self.run_self_update()
        self.assertPageOk(result)
        self.assertIn("error 1", result.stdout)
        self.assertIn("失败事件：update/UpdateFiles.exe校验失败", trace_texts())
        self.assertFalse((self.client.path / "UpdateFiles.exe").exists())



class EarlierHandOffTest(SelfUpdateTestCase):
    """What a hand-off that failed earlier left in the self-update folder is
    deleted before the next one begins; the updater started is the one in
    place (the list names no newer one) and gets only this hand-off's list."""

    def setUp(self):
        super().setUp()
        self.updater = (SAMPLES_DIR / "UpdateFiles.exe").read_bytes()
        (self.client.path / "UpdateFiles.exe").write_bytes(self.updater)  # as listed

    def hand_off(self):
        result = self.run_self_update()
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        record, text = self.updater_log()
        self.assertEqual(self.server.count("update/UpdateFiles.exe"), 0)
        self.assertEqual((self.client.path / "UpdateFiles.exe").read_bytes(), self.updater)
        self.assertNotIn("成功事件：updateFiles.exe已更新", trace_texts())
        return record, text

    def test_an_updater_that_failed_its_check_is_never_run(self):
        self.self_update.mkdir(parents=True, exist_ok=True)
        (self.self_update / "UpdateFiles.exe").write_bytes(self.updater + b"not as listed")
        _, text = self.hand_off()
        self.assertIn('<file filename="BankClient.exe"', text)
        self.assertFalse((self.self_update / "UpdateFiles.exe").exists())

    def test_nothing_to_replace_hands_over_no_earlier_list(self):
        (self.client.path / "BankClient.exe").write_bytes(
            (SAMPLES_DIR / "BankClient.exe").read_bytes())
        write_hand_off_list('<update>\n<file filename="Stale.dll" local="local" '
                            'updatehandle="replace" regsvr="false"></file>\n</update>')
        record, text = self.hand_off()
        self.assertEqual(record["list"], "<none>")
        self.assertNotIn("Stale.dll", text)
        self.assertEqual(self.server.count("client/BankClient.exe"), 0)


if __name__ == "__main__":
    unittest.main()
