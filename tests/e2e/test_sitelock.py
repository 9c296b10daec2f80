"""The site lock end to end: the control built locked to the test origins
(build/sitelock/Tovral.DLL, "https://ebank.example.cn;https://*.example.cn:8443",
set in CMakeLists.txt) is registered in place of the default one, and pages
presented by the page host from listed and other addresses use it against the
local bank server. The default control is registered again afterwards."""

import unittest

from tests.e2e.harness import (BUILD_DIR, CHINESE_ANSI, PAGE_PRELUDE, PageTestCase, clear_trace,
                               data_folder, register_control, to_windows, trace_texts, wine)
from tests.e2e.pages import CONTROL_PAGE
from tests.e2e.test_update_check import UpdateCheckTestCase

LOCKED_DLL = BUILD_DIR / "sitelock" / "Tovral.DLL"
BANK_PAGE = "https://ebank.example.cn/ebank/login.htm"
OTHER_PAGE = "https://ebank.example.cn.evil.test/?https://ebank.example.cn"
REFUSAL = "页面不在站点锁定的来源中："


# Any call-back that arrives is recorded.
RECORD_CALLBACKS = "".join(
    f'function {name}(a, b) {{ calls.push("{name}"); }}\n'
    for name in ["OnDownloadCompleted", "OnAllDownloadCompleted", "OnInstalledCompleted",
                 "OnAllInstalledCompleted", "OnNetError", "OnUpdate", "OnPatchCheckComplete",
                 "OnVeyrUpdateError", "onCheckLog"])

# Every method of the interface, called as a page would, with what a page
# that the control does not serve must get back.
REFUSED_CALLS = r"""
var calls = [];
""" + RECORD_CALLBACKS + r"""
same(o.StartDownLoad(1001), undefined, "StartDownLoad");
same(o.DetectFile(1001), undefined, "DetectFile");
same(o.SetLanguage("chs"), false, "SetLanguage");
same(o.GetLanguage(), "", "GetLanguage");
same(o.SaveUserType(1, 2, 3), false, "SaveUserType");
same(o.GetUserType(), "", "GetUserType");
same(o.GetClientType(), "", "GetClientType");
same(o.GetIEVersion(), "", "GetIEVersion");
same(o.GetSystemVersion(), "", "GetSystemVersion");
same(o.GetSysInfoList(), "", "GetSysInfoList");
same(o.SetDownLoadList("<list><item id='1001' falg='true'/></list>"), false, "SetDownLoadList");
same(o.GetDownLoadList(), "", "GetDownLoadList");
same(o.GetStatuBySurrId(2500), 0, "GetStatuBySurrId");
same(o.GetStatuByXML(), "", "GetStatuByXML");
same(o.SaveIDList("<list/>"), false, "SaveIDList");
same(o.EBankDownLoad("<list><item id='1001'/></list>"), false, "EBankDownLoad");
same(o.GetQelLinks(), "", "GetQelLinks");
same(o.GetPatchFile(0), "", "GetPatchFile(0)");
same(o.GetPatchFile(1), "", "GetPatchFile(1)");
same(o.GetPatchFile(2), "", "GetPatchFile(2)");
same(o.GetSystemInfo(), "", "GetSystemInfo");
same(o.GetSysInfoResult(), "", "GetSysInfoResult");
same(o.OpenSysInfoFile(), false, "OpenSysInfoFile");
same(o.QueryUpdate(), 0, "QueryUpdate");
same(o.UpdateSymbol(), false, "UpdateSymbol");
same(o.GetDynamicLink(), "", "GetDynamicLink");
same(o.GetLowVersionSymbol(), false, "GetLowVersionSymbol");
same(o.UpdateBankVeyr(), false, "UpdateBankVeyr");
same(o.GetPatchResult(), "", "GetPatchResult");
same(o.QuitBankVeyr(), undefined, "QuitBankVeyr");
same(o.InternetConnAddress(), "", "InternetConnAddress");
same(o.UpdateCancel(), 0, "UpdateCancel");
host.pump(3000);
same(host.quitReceived, false, "QuitBankVeyr ended the message loop");
same(calls.join(","), "", "call-backs");
host.echo("refused");
"""

METHODS = [
    "StartDownLoad", "DetectFile", "SetLanguage", "GetLanguage", "SaveUserType", "GetUserType",
    "GetClientType", "GetIEVersion", "GetSystemVersion", "GetSysInfoList", "SetDownLoadList",
    "GetDownLoadList", "GetStatuBySurrId", "GetStatuByXML", "SaveIDList", "EBankDownLoad",
    "GetQelLinks", "GetPatchFile", "GetSystemInfo", "GetSysInfoResult", "OpenSysInfoFile",
    "QueryUpdate", "UpdateSymbol", "GetDynamicLink", "GetLowVersionSymbol", "UpdateBankVeyr",
    "GetPatchResult", "QuitBankVeyr", "InternetConnAddress", "UpdateCancel"]

# Answers only a served page changes: the trusted-site status is 4 there, 0 when refused.
STATUS_PAGE = CONTROL_PAGE + 'host.echo(o.GetStatuBySurrId(2500));'


def register_locked_control(test_class):
    """Registers the locked control for the class; the default one afterwards."""
    rc = wine(["regsvr32", "/s", to_windows(LOCKED_DLL)]).returncode
    test_class.addClassCleanup(register_control)
    if rc != 0:
        raise RuntimeError(f"regsvr32 of {LOCKED_DLL} failed with {rc}")


class LockedControlTest(UpdateCheckTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        register_locked_control(cls)

    def run_from(self, url, page, **kwargs):
        args = ["--document-url", url] if url is not None else []
        return self.run_page(page, args, **kwargs)

    def test_a_page_from_a_listed_origin_runs_the_update_check(self):
        result = self.run_from(BANK_PAGE, CONTROL_PAGE + r"""
            var code = "none";
            function OnUpdate(c) { code = c; host.stop(); }
            same(o.GetStatuBySurrId(2500), 4, "trusted site status");
            same(o.QueryUpdate(), 1, "QueryUpdate started");
            host.pump(60000);
            same(code, 48, "OnUpdate");
            """)
        self.assertPageOk(result)
        self.assertIn("VeyrantSettingV2/Version.cfg", [r.key for r in self.server.requests])

    def test_a_page_from_another_origin_gets_failure_values_and_starts_nothing(self):
        settings = (self.settings / "Default.cfg").read_bytes()
        clear_trace()
        result = self.run_from(OTHER_PAGE, CONTROL_PAGE + REFUSED_CALLS, env=CHINESE_ANSI)
        self.assertPageOk(result)
        self.assertEqual(result.stdout.splitlines(), ["refused"])
        self.assertEqual(self.server.requests, [])
        self.assertEqual((self.settings / "Default.cfg").read_bytes(), settings)
        self.assertFalse((data_folder() / "VeyrantLog" / "EnvDiagnoseLog.txt").exists())
        # One trace line per refused call, naming the method and the page.
        refused = [text for text in trace_texts() if REFUSAL + OTHER_PAGE in text]
        self.assertEqual(len(refused), 32, "\n".join(trace_texts()))
        for method in METHODS:
            self.assertTrue(any(text.startswith(f"失败事件：{method} ") for text in refused),
                            method)

    def test_a_refused_page_created_later_takes_no_call_backs(self):
        result = self.run_from(BANK_PAGE, CONTROL_PAGE + r"""
            var calls = [];
            function OnUpdate(c) { calls.push("OnUpdate(" + c + ")"); host.stop(); }
            host.setDocumentUrl("%s");
            var other = new ActiveXObject("Tovral.DownLoad");
            same(other.QueryUpdate(), 0, "the other page's QueryUpdate");
            same(o.QueryUpdate(), 1, "the bank page's QueryUpdate");
            host.pump(60000);
            same(calls.join(","), "OnUpdate(48)", "call-backs");
            """ % OTHER_PAGE)
        self.assertPageOk(result)

    def test_listed_forms_of_addresses(self):
        cases = [
            ("HTTPS://EBANK.EXAMPLE.CN/", "4"),
            ("https://pay.example.cn:8443/", "4"),
            ("https://a.b.example.cn:8443/x", "4"),
            ("https://pay.example.cn/", "0"),  # the wildcard's pattern names port 8443
            ("https://example.cn:8443/", "0"),
            ("http://ebank.example.cn/", "0"),
            ("https://ebank.example.cn@evil.test/", "0"),
            ("https://ebank.example.cn./", "0"),
            ("not a url", "0"),
            ("", "0"),
        ]
        for url, status in cases:
            with self.subTest(url=url):
                result = self.run_from(url, STATUS_PAGE)
                self.assertPageOk(result)
                self.assertEqual(result.stdout.strip(), status)

    def test_an_object_element_is_judged_by_its_own_frame_too(self):
        # embed() places the control as an <object> element: in the page
        # itself, or in a frame with the given address.
        cases = [
            (BANK_PAGE, "", "4"),
            (BANK_PAGE, ', "https://pay.example.cn:8443/frame.htm"', "4"),
            (BANK_PAGE, f', "{OTHER_PAGE}"', "0"),  # the bank's page frames another site
            (OTHER_PAGE, ', "https://ebank.example.cn/frame.htm"', "0"),  # another frames the bank
        ]
        for page, frame, status in cases:
            with self.subTest(page=page, frame=frame):
                clear_trace()
                result = self.run_from(page, PAGE_PRELUDE + f"""
                    var o = host.embed("Tovral.DownLoad"{frame});
                    host.echo(o.GetStatuBySurrId(2500));""", env=CHINESE_ANSI)
                self.assertPageOk(result)
                self.assertEqual(result.stdout.strip(), status)
                if status == "0":
                    self.assertTrue(any(REFUSAL + OTHER_PAGE in text for text in trace_texts()),
                                    "\n".join(trace_texts()))

    def test_a_page_without_an_address_is_refused(self):
        for args in [[], ["--no-browser"]]:
            with self.subTest(args=args):
                result = self.run_page(STATUS_PAGE, args)
                self.assertPageOk(result)
                self.assertEqual(result.stdout.strip(), "0")


class UnlockedControlTest(PageTestCase):
    """The default build has no site lock: the page's address does not matter."""

    def test_an_object_element_in_any_frame_is_served(self):
        result = self.run_page(PAGE_PRELUDE + f"""
            var o = host.embed("Tovral.DownLoad", "{OTHER_PAGE}");
            host.echo(o.GetStatuBySurrId(2500));""", ["--document-url", OTHER_PAGE])
        self.assertPageOk(result)
        self.assertEqual(result.stdout.strip(), "4")

    def test_any_page_or_none_is_served(self):
        for args in [["--document-url", OTHER_PAGE], ["--document-url", "not a url"],
                     ["--no-browser"], []]:
            with self.subTest(args=args):
                result = self.run_page(STATUS_PAGE, args)
                self.assertPageOk(result)
                self.assertEqual(result.stdout.strip(), "4")


if __name__ == "__main__":
    unittest.main()
