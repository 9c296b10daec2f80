"""The environment checks end to end: the component statuses, the diagnosis
report and the patch check, run by page scripts after a QueryUpdate against
the local bank server has decrypted a test catalogue. The registry states and
files are real: sample controls registered with regsvr32, the sample client
installer, availability libraries copied into the client folder."""

import shutil
import tempfile
import time
import unittest
from pathlib import Path

from tests.e2e.harness import (BUILD_DIR, CHINESE_ANSI, SAMPLES_DIR, ClientFolder, PageTestCase,
                               clear_trace, data_folder, reg, reg_edit, start_bank_server,
                               to_windows, trace_texts, wine, write_user_settings)
from tests.e2e.pages import DECRYPTED
from tests.e2e.test_os_version import X64
from tools.bankserver.server_tree import Packer, sample_facts

FACTS = sample_facts(BUILD_DIR)
CTL = FACTS["SampleCtl.dll"]["clsid"]
OCX = FACTS["SampleCtl.ocx"]["clsid"]
ABSENT = "{0F0F0F0F-1111-2222-3333-444455556666}"
BHO_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects"
APP_KEY = r"Software\Zelmor\BankClient"
TEST_APP_KEY = r"Software\Zelmor\TovralCheckTest"
BHO_PROGID = "Zelmor.SampleBho.1"



def control(item_id, name, clsid, vernum="1.0.0.1", dll=""):
    return (f'<item id="{item_id}" name="{name}" regrootkey="HKEY_CLASSES_ROOT" '
            f'regsubkey="CLSID\\{clsid}" vernum="{vernum}" checkstatedll="{dll}"/>')


def application(item_id, name, key=APP_KEY, vernum="3.0.0.0", dll="", root="HKEY_CURRENT_USER",
                regkey="Version"):
    return (f'<item id="{item_id}" name="{name}" regrootkey="{root}" regsubkey="{key}" '
            f'regkey="{regkey}" vernum="{vernum}" checkstatedll="{dll}"/>')


def catalogue(controls, applications):
    return ('<?xml version="1.0" encoding="utf-8"?>\n<Utility>\n'
            '  <FileVersion value="1"/>\n'
            f'  <Control>\n    {chr(10).join(controls)}\n  </Control>\n'
            f'  <Application>\n    {chr(10).join(applications)}\n  </Application>\n'
            '</Utility>\n')


CONTROLS = [
    control(1001, "安全输入控件", CTL),
    control(1002, "已删除的控件", OCX),
    control(1003, "版本过低的控件", CTL, vernum="1.0.0.10"),
    control(1004, "未安装的控件", ABSENT),
    control(1005, "自检通过的控件", CTL, dll="checks/CheckOk.dll"),
    control(1006, "自检失败的控件", CTL, dll="CheckFail.dll"),
    control(1007, "自检无入口的控件", CTL, dll="CheckNoExport.dll"),
    control(1008, "越界的控件", CTL, dll="..\\CheckOk.dll"),
    control(1009, "无版本要求的控件", CTL, vernum=""),
]
APPLICATIONS = [
    application(4001, "网银客户端"),
    application(4002, "需升级的客户端", vernum="3.0.0.1"),
    application(4003, "未安装的客户端", key=r"Software\Zelmor\NoSuchClient"),
    application(4004, "未配置的客户端", root=""),
    application(4005, "旧客户端", key=TEST_APP_KEY, vernum="1.0.10"),
    application(4006, "自检通过的客户端", dll="CheckOk.dll"),
    application(4007, "自检失败的客户端", dll="CheckFail.dll"),
    application(4008, "自检无入口的客户端", dll="CheckNoExport.dll"),
    application(4009, "小写根键的客户端", root="hkey_current_user"),
]
STATUSES = {1001: 3, 1002: 5, 1003: 1, 1004: 4, 1005: 3, 1006: 5, 1007: 0, 1008: 0, 1009: 3,
            4001: 3, 4002: 1, 4003: 4, 4004: 0, 4005: 1, 4006: 3, 4007: 5, 4008: 0, 4009: 4,
            999: 0, 2500: 4, 5000: 1}


# Where the sample controls are installed, once for the tests of a process
# (no test changes them).
INSTALLED = None


def setUpModule():
    global INSTALLED
    INSTALLED = Path(tempfile.mkdtemp(prefix="tovral-installed-"))
    for name in ["SampleCtl.dll", "SampleCtl.ocx"]:
        shutil.copy2(SAMPLES_DIR / name, INSTALLED / name)
        if wine(["regsvr32", "/s", to_windows(INSTALLED / name)]).returncode != 0:
            raise RuntimeError(f"regsvr32 {name} failed")
    (INSTALLED / "SampleCtl.ocx").unlink()  # registered, then deleted
    if wine([SAMPLES_DIR / "BankClientSetup.exe"]).returncode != 0:
        raise RuntimeError("the sample client installer failed")
    reg("add", f"HKCU\\{TEST_APP_KEY}", "/v", "Version", "/d", "1.0.9", "/f")


def tearDownModule():
    reg_edit(remove=[f"HKCR\\CLSID\\{clsid}" for clsid in [CTL, OCX]] +
             [f"HKCU\\{key}" for key in [APP_KEY, TEST_APP_KEY]])
    shutil.rmtree(INSTALLED, ignore_errors=True)


class ChecksTestCase(PageTestCase):
    """The sample controls and the client application installed (setUpModule);
    a bank server and a client folder with the availability libraries per test."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.packer = Packer(BUILD_DIR)
        cls.installed = INSTALLED

    def setUp(self):
        super().setUp()
        self.root, self.server, self.tree = start_bank_server(self, self.packer)
        self.tree.texts["UtilityChs"] = catalogue(CONTROLS, APPLICATIONS)
        self.use_client(ClientFolder(root_url=self.server.url)).add_sample_client()
        for name in ["CheckOk.dll", "CheckFail.dll", "CheckNoExport.dll"]:
            shutil.copy2(SAMPLES_DIR / name, self.client.path / name)
        self.language("chs")

    def language(self, language):
        write_user_settings(f'<User><Debug/><Language value="{language}"/></User>')

    def run_decrypted(self, body, *options):
        """Runs a page after the update check; its output lines."""
        self.tree.build()
        clear_trace()
        result = self.run_page(DECRYPTED + body, list(options), env=CHINESE_ANSI)
        self.assertPageOk(result)
        return result.stdout.splitlines()


class ComponentStatusTest(ChecksTestCase):
    def test_each_status_from_the_real_registry_and_files(self):
        ids = ",".join(str(i) for i in STATUSES)
        lines = self.run_decrypted(f"var ids = [{ids}];" r"""
            for (var i = 0; i < ids.length; i++)
                host.echo(ids[i] + "=" + o.GetStatuBySurrId(ids[i]));
            """)
        self.assertEqual(dict(map(int, line.split("=")) for line in lines), STATUSES)
        texts = trace_texts()
        ocx_path = to_windows(self.installed / "SampleCtl.ocx")
        for expected in [
                "文件号：1001 成功事件：安装检查注册表键值存在",
                "文件号：1001 检测失败：可用性检查DLL未配置",
                f"ID=1002,Path={ocx_path},Error=2",
                "文件号：1002 错误原因：文件不存在",
                "文件号：1003 错误原因：版本过低",
                f"文件号：1004 检测事件：注册表项 HKEY_CLASSES_ROOT\\CLSID\\{ABSENT}\\InprocServer32",
                "文件号：1004 错误原因：安装检查注册表项不存在",
                "文件号：1005 成功事件：可用性检测DLL存在",
                "文件号：1005, 结果：检测DLL返回成功,返回值：0, 返回信息： sample component ready",
                "文件号：1006, 结果：检测DLL返回失败,返回值：-3, 返回信息： 示例组件自检失败",
                "文件号：1007 检测失败：调用可用性检测DLL函数失败",
                "文件号：1008 检测失败：可用性检查DLL不存在，检查失败",
                "文件号：4001 成功事件：注册表键值存在",
                "文件号：4002 错误原因：版本过低,New:3.0.0.1 Old:3.0.0.0",
                "文件号：4003 错误原因：注册表项不存在",
                "文件号：4004 检测失败：注册表项未配置",
                "文件号：4005 错误原因：版本过低,New:1.0.10 Old:1.0.9",
                "文件号：4006 成功事件：检测DLL存在",
                "文件号：4007, 结果：检测DLL返回失败,返回值：-3, 返回信息： 示例组件自检失败",
                "文件号：4008 检测失败：调用可用性检测DLL函数失败",
                "文件号：4009 错误原因：注册表项不存在"]:
            self.assertIn(expected, texts)

    def test_a_language_switch_brings_its_own_catalogue(self):
        self.tree.texts["UtilityEn"] = catalogue([control(1001, "Secure input", ABSENT)], [])
        self.language("eng")
        lines = self.run_decrypted(r"""
            host.echo(o.GetStatuBySurrId(1001));
            o.SetLanguage("chs");
            host.echo(o.GetLanguage() + " " + o.GetStatuBySurrId(1001));
            """)
        # The English list says absent; after the switch the Chinese one decides.
        self.assertEqual(lines, ["4", "chs 3"])

    def test_a_check_library_that_dispatches_messages_lets_the_page_ask_again(self):
        """The page's call-back, run inside the bank's check library, asks the
        same list again: no lock of the list is held while the library runs."""
        shutil.copy2(SAMPLES_DIR / "CheckPump.dll", self.client.path / "CheckPump.dll")
        self.tree.texts["UtilityChs"] = catalogue(CONTROLS, APPLICATIONS + [
            application(4010, "自检时处理消息的客户端", dll="CheckPump.dll")])
        lines = self.run_decrypted(r"""
            var inner = "not called back";
            function OnDownloadCompleted(id, ok) { inner = o.GetStatuByXML(); }
            o.SetDownLoadList("<Update><item id='1001' falg='true' Type='t'/>" +
                              "<item id='4010' falg='true' Type='t'/></Update>");
            host.post(0x54D, 7, -1); // dispatched by the library's message loop
            var outer = o.GetStatuByXML();
            same(inner, outer, "the list asked from the call-back");
            host.echo(outer.replace(/\n/g, ""));
            """)
        self.assertEqual(len(lines), 1)
        self.assertIn('<res id="1001" Type="t" falg="true"', lines[0])
        self.assertNotIn('id="4010"', lines[0], "the library answered: installed and usable")


DIAGNOSIS_PAGE = r"""
var logs = [];
function onCheckLog(text) { logs.push(text); if (logs.length == 2) host.stop(); }
host.echo(o.GetSystemInfo());
host.echo(o.GetIEVersion() + "|" + o.GetSystemVersion());
o.GetSysInfoResult();
o.GetSysInfoResult(); // the second run waits for the first
host.pump(120000);
same(logs.length, 2, "check logs");
host.echo(logs[0]);
host.echo(logs[1]);
host.echo(o.OpenSysInfoFile());
"""

CHECK_ITEMS = ["操作系统", "浏览器", "网银控件", "网银客户端", "运行进程"]


class DiagnosisTest(ChecksTestCase):
    def setUp(self):
        super().setUp()
        self.register_helper_objects()
        self.opened = Path(tempfile.mkdtemp(prefix="tovral-opened-")) / "opened.txt"
        self.addCleanup(shutil.rmtree, self.opened.parent, True)
        self.open_text_files_with(f'C:\\windows\\system32\\cmd.exe /c copy "%1" '
                                  f'"{to_windows(self.opened)}"')

    def register_helper_objects(self):
        """Two helper objects: the sample control with a programmatic id, the
        (deleted) OCX build without one."""
        reg_edit({f"{BHO_KEY}\\{CTL}": {}, f"{BHO_KEY}\\{OCX}": {},
                  f"HKCR\\CLSID\\{CTL}\\ProgID": {"": BHO_PROGID},
                  f"HKCR\\{BHO_PROGID}\\CLSID": {"": CTL}})
        self.addCleanup(reg_edit, remove=[f"{BHO_KEY}\\{CTL}", f"{BHO_KEY}\\{OCX}",
                                          f"HKCR\\CLSID\\{CTL}\\ProgID", f"HKCR\\{BHO_PROGID}"])

    def open_text_files_with(self, command):
        """Text files open with `command` (%1: the file) while the test runs."""
        reg_edit({r"HKCR\.txt": {"": "TovralTest.txtfile"},
                  r"HKCR\TovralTest.txtfile\shell\open\command": {"": command}})
        self.addCleanup(reg_edit, remove=[r"HKCR\.txt", r"HKCR\TovralTest.txtfile"])

    def report_lines(self):
        path = data_folder() / "VeyrantLog" / "EnvDiagnoseLog.txt"
        data = path.read_bytes()
        self.assertNotIn(b"\n", data.replace(b"\r\n", b""), "CR LF line ends only")
        return data.decode("gbk").split("\r\n")

    def test_report_of_this_pc(self):
        lines = self.run_decrypted(DIAGNOSIS_PAGE)
        self.assertEqual(lines[0], "".join(f'<item id="{i}" name="{name}" statue="0" />'
                                           for i, name in enumerate(CHECK_ITEMS, 1)))
        result = "".join(f'<item id="{i}" statue="1" />' for i in range(1, 6))
        self.assertEqual(lines[2:], [result, result, "true"], "two runs, then the report opened")
        ie, system = lines[1].split("|")
        report = self.report_lines()
        report_path = to_windows(data_folder() / "VeyrantLog" / "EnvDiagnoseLog.txt")
        self.assertEqual(report[:13], [
            "日志文件保存路径(Log file Path):", report_path, "",
            "请将该文件通过电子邮件发送给与您联系的客服人员",
            "(Please email this log file to Zelmor's customer service)", "", "系统信息：", "",
            "System Version :" + system.replace(",SP", ",Service Pack "), "",
            "IE Version:" + ie.split(" ")[0], "", ""])
        self.assertEqual(report.count("BHO List:"), 1, "one whole report")
        self.assert_components(report)
        self.assert_inventories(report)
        self.assert_opened(report_path)

    def assert_components(self, report):
        ctl_path = to_windows(self.installed / "SampleCtl.dll")
        text = "\n".join(report)
        self.assertIn("\n".join([
            "自检通过的控件", "\t已安装", f"\t注册路径：{ctl_path}", "\t文件存在",
            "\t文件版本:1.0.0.1",
            f"\t可用性检查DLL存在，DLL路径：{to_windows(self.client.path / 'checks' / 'CheckOk.dll')}",
            "\t可用性检测DLL存在",
            "\t检测DLL返回成功,返回值：0, 返回信息： sample component ready"]), text)
        self.assertIn("\n".join(["已删除的控件", "\t已安装",
                                 f"\t注册路径：{to_windows(self.installed / 'SampleCtl.ocx')}",
                                 "\t文件不存在，建议重装", ""]), text)
        self.assertIn("\n".join(["需升级的客户端：", "\t已安装", "\t文件版本为：3.0.0.0",
                                 "\t版本有更新，建议升级，新版本为：3.0.0.1", ""]), text)
        self.assertIn("\n".join(["未配置的客户端：", "\t安装信息未配置", ""]), text)

    def assert_inventories(self, report):
        processes = report[report.index("ProcessSnapshot:") + 1:report.index("BHO List:") - 1]
        host = to_windows(self.client.path / "TovralHost.exe").lower()
        self.assertIn(f"processpath:{host}  processinfo:", [p.lower() for p in processes])
        self.assertTrue(all(p.startswith("ProcessPath:") for p in processes), processes)
        self.assertTrue(any(not p.endswith("ProcessInfo:") for p in processes),
                        "some process describes itself")
        helpers = report[report.index("BHO List:") + 2:]
        ctl_path = to_windows(self.installed / "SampleCtl.dll")
        self.assertIn(f"PROGID: {BHO_PROGID} FilePath: {ctl_path} FileVersion: 1.0.0.1", helpers)
        self.assertFalse(any("SampleCtl.ocx" in line for line in helpers),
                         "a helper object without a programmatic id is not listed")

    def assert_opened(self, report_path):
        for _ in range(100):
            if self.opened.exists():
                break
            time.sleep(0.1)
        self.assertEqual(self.opened.read_bytes(), Path(
            data_folder() / "VeyrantLog" / "EnvDiagnoseLog.txt").read_bytes(),
            f"the shell opened {report_path}")

    def test_check_list_without_the_users_language(self):
        self.tree.texts["Resource"] = ('<Resource><FileVersion value="1"/>'
                                       '<examine><eng><item id="1" name="OS"/></eng></examine>'
                                       '</Resource>')
        lines = self.run_decrypted(r"""
            var log = "none";
            function onCheckLog(text) { log = text; host.stop(); }
            host.echo("[" + o.GetSystemInfo() + "]");
            o.GetSysInfoResult();
            host.pump(60000);
            host.echo("[" + log + "]");
            """)
        self.assertEqual(lines, ["[]", "[]"])
        self.assertIn("BHO List:", self.report_lines())


PATCH_PAGE = r"""
var completed = 0;
function OnPatchCheckComplete() { if (++completed == 2) host.stop(); }
host.echo(o.GetPatchFile(0));
host.echo("[" + o.GetPatchFile(2) + "]");
o.GetPatchFile(1);
o.GetPatchFile(1); // the second run waits for the first
host.pump(60000);
same(completed, 2, "patch checks");
host.echo(o.GetPatchResult());
host.echo(o.GetPatchFile(2));
host.echo("[" + o.GetPatchFile(3) + "]");
"""

SMB_PATCH = ('<files Id="1" Subject="SMB 客户端安全更新" Desc="修复 SMB 客户端的远程执行代码漏洞" '
             'Url="https://updates.example.cn/win7/KB2536276.msu"></files>')
IE6_PATCH = ('<files Id="2" Subject="IE6 累积安全更新" Desc="适用于 IE6 &quot;SP2&quot; 的累积更新" '
             'Url="https://updates.example.cn/ie6/KB2482017.exe"></files>')
IE_FALLBACK = ('<files Id="2" Subject="IE 累积安全更新" Desc="请安装适合您浏览器的最新累积更新" '
               'Url="https://updates.example.cn/ie/cumulative.html"></files>')
XP_PATCH = ('<files Id="1" Subject="服务器服务远程执行代码漏洞" Desc="修复服务器服务中可被远程利用的漏洞" '
            'Url="https://updates.example.cn/xp/KB958644-chs.exe"></files>')


class PatchCheckTest(ChecksTestCase):
    """The sample patch list on Wine's Windows 7 with IE 6: Wine's update
    agent cannot search, so every applicable patch is missing."""

    def check(self, expected, *options):
        lines = self.run_decrypted(PATCH_PAGE, *options)
        text = f"<PathUpdate>{expected}</PathUpdate>"
        self.assertEqual(lines, [text, "[]", text, text, "[]"])
        failures = [t for t in trace_texts() if t.startswith("失败事件：补丁检测错误码：")]
        self.assertEqual(len(failures), 2, trace_texts())
        self.assertTrue(all("错误原因：补丁检测" in t for t in failures), failures)

    def test_patches_of_this_system(self):
        # The sample list's system patches are for 32-bit Windows.
        self.check(("" if X64 else SMB_PATCH) + IE6_PATCH)

    def test_browser_without_its_release_falls_back(self):
        self.check(("" if X64 else SMB_PATCH) + IE_FALLBACK, "--app-minor-version", ";SP1;")

    def test_windows_xp(self):
        key = r"HKCU\Software\Wine\AppDefaults\TovralHost.exe"
        reg("add", key, "/v", "Version", "/d", "winxp", "/f")
        self.addCleanup(reg, "delete", key, "/f")
        self.check(("" if X64 else XP_PATCH) + IE6_PATCH)


if __name__ == "__main__":
    unittest.main()
