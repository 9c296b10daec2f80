"""The update check end to end: a page runs QueryUpdate (or UpdateCancel)
against the local bank server, whose tree the packer made from the sample
configuration, and the test checks the code, the trace and the files."""

import shutil
import tempfile
import unittest
from pathlib import Path

from tests.e2e.harness import (BUILD_DIR, CHINESE_ANSI, SAMPLES_DIR, ClientFolder, PageTestCase,
                               clear_trace, data_folder, start_bank_server, trace_texts,
                               write_user_settings)
from tests.e2e.pages import CREATE_CONTROL, update_check
from tools.bankserver.server_tree import Packer, checksum_text, sha256_text

QUERY_PAGE = CREATE_CONTROL + update_check(settle_ms=500) + r"""
host.echo("started " + updateStarted);
host.echo("update " + updateCode);
"""

CANCEL_PAGE = CREATE_CONTROL + 'host.echo("cancel " + o.UpdateCancel());\n'

CONFIG_NAMES = ["UtilityChs.cfg", "UtilityEn.cfg", "Update.cfg", "Resource.cfg", "EnvPatch.cfg"]


class UpdateCheckTestCase(PageTestCase):
    """A bank server per test, serving a fresh copy of a tree built once."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.packer = Packer(BUILD_DIR)
        cls.template = Path(tempfile.mkdtemp(prefix="tovral-tree-"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.template, ignore_errors=True)
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.root, self.server, self.tree = start_bank_server(self, self.packer)
        self.tree.build()
        self.use_client(ClientFolder(root_url=self.server.url))
        shutil.copy2(SAMPLES_DIR / "BankClient.exe", self.client.path)
        write_user_settings("<User><Debug/></User>")

    @property
    def settings(self):
        return data_folder() / "VeyrantSetting"

    @property
    def self_update(self):
        return data_folder() / "AssemblyUpdate"

    def query_update(self, expected_code):
        """Runs QueryUpdate in a page; the trace lines of this run."""
        clear_trace()
        result = self.run_page(QUERY_PAGE, env=CHINESE_ANSI)
        self.assertPageOk(result)
        self.assertEqual(result.stdout.splitlines(), ["started 1", f"update {expected_code}"],
                         "\n".join(trace_texts()))
        return trace_texts()

    def update_cancel(self, expected_code):
        clear_trace()
        result = self.run_page(CANCEL_PAGE, env=CHINESE_ANSI)
        self.assertPageOk(result)
        self.assertEqual(result.stdout.strip(), f"cancel {expected_code}",
                         "\n".join(trace_texts()))
        return trace_texts()

    def assertTraced(self, texts, *expected):
        for text in expected:
            self.assertIn(text, texts)

    def assertSettingsMatchServer(self):
        """Every file as the server has it, its signature beside it."""
        for name in CONFIG_NAMES + ["Version.cfg"]:
            served = self.tree.config_path(name[:-4])
            self.assertEqual((self.settings / name).read_bytes(), served.read_bytes(), name)
            self.assertEqual((self.settings / f"{name}.sig").read_bytes(),
                             Path(f"{served}.sig").read_bytes(), name)


class QueryUpdateTest(UpdateCheckTestCase):
    def test_clean_server_tree_completes_and_fills_the_settings_folder(self):
        texts = self.query_update(48)
        self.assertSettingsMatchServer()
        self.assertFalse((self.self_update / "Version.cfg").exists())
        self.assertTraced(texts, "成功事件：版本文件下载成功", "失败事件：UtilityChs.cfg文件不存在",
                          "成功事件：UtilityChs.cfg文件下载成功", "成功事件：Update.cfg文件移动成功",
                          "成功事件：Update.cfg本地文件存在且校验成功",
                          "成功事件：Update.cfg解密成功", "成功事件：应用程序文件校验成功",
                          "成功事件：新版本：1 本地版本：1", "成功事件：版本文件移动成功",
                          "成功事件：配置文件解密成功", "成功事件：启动检查完成",
                          "成功事件：完成发送消息48", "成功事件：删除新Version.cfg文件完成")
        # A second check finds everything in place and fetches only the list
        # (with its signature).
        self.server.clear_log()
        texts = self.query_update(48)
        self.assertEqual([r.key for r in self.server.requests],
                         ["VeyrantSettingV2/Version.cfg", "VeyrantSettingV2/Version.cfg.sig"])
        self.assertNotIn("失败事件：UtilityChs.cfg文件不存在", texts)

    def test_server_down_without_local_list(self):
        self.server.stop()
        texts = self.query_update(45)
        self.assertTraced(texts, "失败事件：本地版本文件不存在", "成功事件：完成发送消息45")

    def test_server_down_with_a_verified_local_list(self):
        self.query_update(48)
        self.server.stop()
        texts = self.query_update(48)
        self.assertTraced(texts, "失败事件：版本文件下载失败，开始检查本地其他配置文件",
                          "成功事件：本地配置文件校验成功", "成功事件：应用程序文件校验成功")

    def test_server_down_with_a_damaged_local_file(self):
        self.query_update(48)
        self.server.stop()
        (self.settings / "Resource.cfg").write_bytes(b"damaged")
        texts = self.query_update(45)
        self.assertTraced(texts, "失败事件：Resource.cfg本地文件校验失败",
                          "失败事件：验证本地其他配置文件失败")

    def test_a_file_the_server_cannot_deliver(self):
        self.server.set_rule("VeyrantSettingV2/Resource.cfg", "empty")
        texts = self.query_update(49)
        self.assertTraced(texts, "失败事件：Resource.cfg文件下载失败")
        self.assertFalse((self.settings / "Resource.cfg").exists())
        self.assertFalse((self.settings / "Version.cfg").exists())

    def test_a_file_with_the_wrong_checksum(self):
        # A missing file is answered with the 404 page, which fails its checksum.
        self.tree.config_path("EnvPatch").unlink()
        texts = self.query_update(46)
        self.assertTraced(texts, "失败事件：EnvPatch.cfg文件验证失败")
        self.assertFalse((self.settings / "EnvPatch.cfg").exists())

    def test_an_undecryptable_or_unparsable_version_list(self):
        (self.tree.settings_dir / "Version.cfg").write_bytes(b"\x01\x00")
        self.query_update(46)
        garbage = self.root / "garbage.txt"
        garbage.write_text("this is not XML", encoding="utf-8")
        self.packer.encrypt(garbage, self.tree.settings_dir / "Version.cfg")
        texts = self.query_update(46)
        self.assertTraced(texts, "失败事件：解析版本文件失败！")

    def test_an_application_file_that_fails_its_check(self):
        (self.client.path / "BankClient.exe").write_bytes(b"tampered")
        texts = self.query_update(47)
        self.assertTrue(any(t.startswith("失败事件：") and "BankClient.exe校验失败 服务器：" in t
                            for t in texts), texts)
        # The bank can switch the check off.
        write_user_settings("<User><Debug/><CheckVeyr>False</CheckVeyr></User>")
        texts = self.query_update(48)
        self.assertNotIn("成功事件：Update.cfg解密成功", texts)

    def test_a_file_that_cannot_be_moved_into_place(self):
        self.query_update(48)
        self.tree.versions["Resource"] = 2
        self.tree.build()
        (self.settings / "Resource.cfg").unlink()
        (self.settings / "Resource.cfg").mkdir()  # a folder cannot be replaced by a file
        texts = self.query_update(44)
        self.assertTraced(texts, "失败事件：Resource.cfg校验失败", "失败事件：Resource.cfg文件移动失败")

    def test_newer_catalogue_is_the_result_while_other_files_update_quietly(self):
        self.query_update(48)
        self.tree.versions["UtilityChs"] = 2
        self.tree.build()
        texts = self.query_update(54)
        self.assertTraced(texts, "失败事件：UtilityChs.cfg校验失败", "成功事件：UtilityChs.cfg需要升级",
                          "成功事件：Utility文件有更新")
        self.assertSettingsMatchServer()

    def test_an_updated_entry_of_another_id_ends_with_the_usual_code(self):
        extra = self.tree.settings_dir / "Extra.cfg"

        def publish_extra(version):
            plain = self.root / "extra.xml"
            plain.write_text(f'<Extra><FileVersion value="{version}"/></Extra>', encoding="utf-8")
            self.packer.encrypt(plain, extra)
            entries = self.tree.version_entries() + [{
                "id": 60, "Name": "Extra.cfg", "Url": f"{self.server.url}/VeyrantSettingV2/Extra.cfg",
                "Version": version, "mac": checksum_text(extra)}]
            self.tree.write_version_list(entries)

        publish_extra(1)
        self.query_update(48)
        publish_extra(2)
        texts = self.query_update(48)
        self.assertTraced(texts, "失败事件：Extra.cfg校验失败", "成功事件：启动检查完成")
        self.assertNotIn("成功事件：Extra.cfg需要升级", texts)
        self.assertEqual((self.settings / "Extra.cfg").read_bytes(), extra.read_bytes())


    def test_names_from_the_server_stay_in_their_folder(self):
        victim = data_folder().parent / "victim.txt"
        victim.unlink(missing_ok=True)
        self.addCleanup(victim.unlink, True)
        (self.tree.settings_dir / "evil.cfg").write_bytes(b"written outside")
        entries = self.tree.version_entries() + [{
            "id": 60, "Name": "..\\..\\victim.txt",
            "Url": f"{self.server.url}/VeyrantSettingV2/evil.cfg", "Version": 1,
            "mac": checksum_text(self.tree.settings_dir / "evil.cfg")}]
        self.tree.write_version_list(entries)
        texts = self.query_update(46)
        self.assertTraced(texts, "失败事件：..\\..\\victim.txt文件名不合法")
        self.assertFalse(victim.exists())
        self.assertEqual(self.server.count("VeyrantSettingV2/evil.cfg"), 0)


CANCEL_WHILE_CHECKING_PAGE = CREATE_CONTROL + r"""
var code = "none";
function OnUpdate(c) { code = c; host.stop(); }
o.QueryUpdate();
host.pump(1500); // the worker is now inside its slow fetch
var before = new Date().getTime();
var cancelled = o.UpdateCancel();
host.echo("cancel " + cancelled + " after " + (new Date().getTime() - before) + " ms");
host.pump(120000);
host.echo("code " + code);
"""


class UpdateCancelTest(UpdateCheckTestCase):
    def list_locally(self, name, data):
        """Puts `data` in the settings folder as `name` and lists it in the
        local version list with its checksums."""
        (self.settings / name).write_bytes(data)
        entries = [dict(e, mac=checksum_text(self.settings / e["Name"]),
                        sha256=sha256_text(self.settings / e["Name"]))
                   for e in self.tree.version_entries()]
        self.tree.write_version_list(entries)
        shutil.copy2(self.tree.settings_dir / "Version.cfg", self.settings / "Version.cfg")

    def test_codes(self):
        texts = self.update_cancel(0)
        self.assertTraced(texts, "成功事件：取消自动更新或无更新内容", "失败事件：本地Version.cfg解密失败",
                          "失败事件：本地其他版本文件校验失败")
        self.query_update(48)
        texts = self.update_cancel(3)
        self.assertTraced(texts, "成功事件：配置文件解密成功", "成功事件：应用程序文件校验成功")
        (self.client.path / "BankClient.exe").write_bytes(b"tampered")
        self.update_cancel(47)

    def test_unreadable_configuration_set(self):
        self.query_update(48)
        self.list_locally("EnvPatch.cfg", b"abc")
        texts = self.update_cancel(1)
        self.assertTraced(texts, "失败事件：EnvPatch.cfg解密失败", "失败事件：版本文件加载失败")

    def test_cancel_answers_while_a_check_waits_for_a_slow_server(self):
        self.query_update(48)
        # The version list trickles in over many seconds.
        self.server.set_rule("VeyrantSettingV2/Version.cfg", "slow", chunk=64, delay=0.6)
        result = self.run_page(CANCEL_WHILE_CHECKING_PAGE, env=CHINESE_ANSI, timeout=180)
        self.assertPageOk(result)
        cancel_line, code_line = result.stdout.splitlines()
        self.assertRegex(cancel_line, r"^cancel 3 after \d+ ms$")
        # Waiting for the check would take the whole slow fetch (over ten seconds).
        self.assertLess(int(cancel_line.split()[3]), 5000, cancel_line)
        self.assertEqual(code_line, "code 48")

    def test_a_device_name_in_the_local_list_does_not_hang(self):
        self.query_update(48)
        entries = self.tree.version_entries() + [
            {"id": 60, "Name": "AUX", "Url": "x", "Version": 1, "mac": "0"}]
        self.tree.write_version_list(entries)
        shutil.copy2(self.tree.settings_dir / "Version.cfg", self.settings / "Version.cfg")
        texts = self.update_cancel(0)
        self.assertTraced(texts, "失败事件：AUX本地文件校验失败")

    def test_update_list_that_is_not_xml(self):
        self.query_update(48)
        plain = self.root / "update.txt"
        plain.write_text("no list here", encoding="utf-8")
        self.packer.encrypt(plain, self.root / "Update.cfg")
        self.list_locally("Update.cfg", (self.root / "Update.cfg").read_bytes())
        texts = self.update_cancel(46)
        self.assertTraced(texts, "失败事件：Update.cfg解密失败",
                          "失败事件：Update.cfg文件解密失败或内容不合法")


if __name__ == "__main__":
    unittest.main()
