"""The control in the page host: creation from script with the browser's
site, the scripting methods that answer without configuration, start-up
settings, and the nine page call-backs through the host's window."""

import unittest

from tests.e2e.harness import ClientFolder, PageTestCase, data_folder
from tests.e2e.pages import CONTROL_PAGE
from tests.e2e.test_os_version import on_this_processor


class SimpleMethodsTest(PageTestCase):
    def test_methods_without_configuration(self):
        result = self.run_page(CONTROL_PAGE + r"""
            same(o.GetClientType(), "", "GetClientType writes nothing");
            same(o.SaveIDList("<list/>"), false, "SaveIDList writes nothing");
            same(o.UpdateBankVeyr(), true, "UpdateBankVeyr is always true");
            same(o.GetPatchFile(3), "", "GetPatchFile(3)");
            same(o.GetPatchFile(-1), "", "GetPatchFile(-1)");
            same(o.GetPatchFile(2), "", "GetPatchFile(2) before any check");
            same(o.GetPatchResult(), "", "GetPatchResult");
            same(o.GetStatuBySurrId(2500), 4, "trusted site status");
            same(o.GetStatuBySurrId(5000), 1, "pop-up status");
            same(o.GetStatuBySurrId(7000), 1, "optimisation status");
            same(o.GetStatuBySurrId(500), 0, "no item");
            same(o.GetDownLoadList(), "", "download list before any list");
            o.SetDownLoadList("<list><item id='1001' falg='true'/></list>");
            same(o.GetDownLoadList(), "<Update></Update>", "a list without a catalogue");
            o.SetDownLoadList("<list>");
            same(o.GetDownLoadList(), "", "a list that does not parse");
            same(o.GetQelLinks(), "<Websites>\n</Websites>", "links without resource text");
            same(o.GetDynamicLink(), "", "dynamic link");
            same(o.GetSystemInfo(), "", "system info");
            same(o.GetUserType(), "0,1,0", "user type defaults");
            same(o.DetectFile(1001), undefined, "DetectFile returns nothing");
            host.echo("ok");
            """)
        self.assertPageOk(result)
        self.assertEqual(result.stdout.splitlines(), ["ok"])

    def test_empty_and_missing_texts_do_not_harm(self):
        result = self.run_page(CONTROL_PAGE + r"""
            o.SetDownLoadList(""); o.SetDownLoadList(undefined); o.EBankDownLoad("");
            o.SetLanguage(""); same(o.GetLanguage(), "", "empty language");
            o.SetLanguage(undefined); same(o.GetLanguage(), "", "undefined language");
            o.SetLanguage("eng"); same(o.GetLanguage(), "eng", "language");
            var threw = false;
            try { o.SetLanguage(); } catch (e) { threw = true; }
            check(threw, "a missing argument is the engine's error, not a crash");
            same(o.SaveUserType(-1, 2147483647, 0), true, "SaveUserType stored");
            same(o.GetUserType(), "-1,2147483647,0", "user type round trip");
            host.echo("ok");
            """)
        self.assertPageOk(result)

    def test_a_language_xml_cannot_carry_is_refused_and_nothing_is_lost(self):
        result = self.run_page(CONTROL_PAGE + r"""
            same(o.SaveUserType(2, 3, 4), true, "user type stored");
            same(o.SetLanguage("chs"), true, "language stored");
            same(o.SetLanguage("eng\x01"), false, "control character");
            same(o.SetLanguage("\uFFFE"), false, "non-character");
            var huge = "e"; while (huge.length < (1 << 24)) huge += huge;
            same(o.SetLanguage(huge), false, "16 MiB text");
            same(o.GetLanguage(), "chs", "the language is unchanged");
            same(o.SaveUserType(5, 6, 7), true, "the file still loads");
            host.echo("ok");
            """)
        self.assertPageOk(result)
        settings = (data_folder() / "VeyrantSetting" / "Default.cfg").read_text(encoding="utf-8")
        self.assertIn('value="chs"', settings)
        self.assertIn('user="5"', settings)

    def test_a_list_of_forty_thousand_items(self):
        result = self.run_page(CONTROL_PAGE + r"""
            var items = [];
            for (var i = 0; i < 40000; ++i) items.push("<item id='" + (1000 + i % 999) + "' falg='true'/>");
            same(o.SetDownLoadList("<list>" + items.join("") + "</list>"), true, "stored");
            same(o.GetDownLoadList(), "<Update></Update>", "answered without a catalogue");
            host.echo("ok");
            """)
        self.assertPageOk(result)

    def test_update_symbol_is_cleared_for_the_process_by_query_update(self):
        result = self.run_page(CONTROL_PAGE + r"""
            same(o.UpdateSymbol(), true, "before QueryUpdate");
            o.QueryUpdate();
            same(o.UpdateSymbol(), false, "after QueryUpdate");
            var second = new ActiveXObject("Tovral.DownLoad");
            same(second.UpdateSymbol(), false, "in a new object");
            """)
        self.assertPageOk(result)

    def test_system_and_browser_texts(self):
        result = self.run_page(CONTROL_PAGE + r"""
            host.echo(o.GetSystemVersion()); host.echo(o.GetIEVersion());
            host.echo(o.GetLowVersionSymbol());
            """)
        self.assertPageOk(result)
        self.assertEqual(result.stdout.splitlines(),
                         [on_this_processor("Windows 7 Professional,SP1"), "6 SP2", "false"])


class BrowserServicePackTest(PageTestCase):
    PAGE = CONTROL_PAGE + 'host.echo(o.GetIEVersion());'

    def ie_version(self, *options):
        result = self.run_page(self.PAGE, list(options))
        self.assertPageOk(result)
        return result.stdout.strip()

    def test_service_pack_from_the_navigator(self):
        self.assertEqual(self.ie_version(), "6 SP2")
        self.assertEqual(self.ie_version("--app-minor-version", ";sp3;"), "6 SP3")
        self.assertEqual(self.ie_version("--app-minor-version", ";"), "6")
        self.assertEqual(self.ie_version("--app-minor-version", ""), "6")

    def test_without_a_browser_the_text_is_bare(self):
        self.assertEqual(self.ie_version("--no-browser"), "6")

    def test_the_number_is_read_once_per_process(self):
        result = self.run_page(CONTROL_PAGE + r"""
            host.echo(o.GetIEVersion());
            var later = new ActiveXObject("Tovral.DownLoad");
            host.echo(later.GetIEVersion());
            """, ["--app-minor-version", ";SP1;"])
        self.assertPageOk(result)
        self.assertEqual(result.stdout.splitlines(), ["6 SP1", "6 SP1"])


class StartupSettingsTest(PageTestCase):
    PAGE = CONTROL_PAGE + 'host.echo(o.InternetConnAddress()); host.echo(o.GetLanguage());'

    def run_with(self, config_text=None, default_cfg=None):
        client = ClientFolder(root_url=None, config_text=config_text)
        self.addCleanup(client.close)
        if default_cfg is not None:
            settings = data_folder() / "VeyrantSetting"
            settings.mkdir(parents=True, exist_ok=True)
            (settings / "Default.cfg").write_text(default_cfg, encoding="utf-8")
        result = client.run_page(self.PAGE)
        self.assertPageOk(result)
        return result.stdout.splitlines()

    def test_root_url_from_the_client_configuration(self):
        config = '<configuration><RootUrl Value="http://127.0.0.1:9/ebank"/></configuration>'
        self.assertEqual(self.run_with(config)[0],
                         "http://127.0.0.1:9/ebank/VeyrantSettingV2/Version.cfg")

    def test_root_url_missing_or_unusable(self):
        self.assertEqual(self.run_with(None)[0], "VeyrantSettingV2/Version.cfg")
        self.assertEqual(self.run_with("<configuration>")[0], "VeyrantSettingV2/Version.cfg")
        self.assertEqual(self.run_with("<c><RootUrl/></c>")[0], "/VeyrantSettingV2/Version.cfg")

    def test_language_from_default_cfg_or_windows(self):
        # Wine's explorer.exe carries language 1033.
        self.assertEqual(self.run_with(None)[1], "eng")
        self.assertEqual(self.run_with(None, "<User><Language value='chs'/></User>")[1], "chs")
        self.assertEqual(self.run_with(None, "<User><Language/></User>")[1], "")
        self.assertEqual(self.run_with(None, "<User><Debug/></User>")[1], "eng")

    def test_set_language_is_stored_for_the_next_start(self):
        result = self.run_page(CONTROL_PAGE + 'same(o.SetLanguage("chs"), true, "stored");')
        self.assertPageOk(result)
        self.assertEqual(self.run_with(None)[1], "chs")


if __name__ == "__main__":
    unittest.main()
