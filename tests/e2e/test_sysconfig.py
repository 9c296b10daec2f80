"""Browser settings, root certificates and access rights under Wine: the probe
runs one operation as the installer would, against a catalogue text from a
file; the registry, the trace log (code page 936), what was posted to the page
and the printed messages are read back from outside."""

import shutil
import tempfile
import unittest
from pathlib import Path

from tests.e2e.harness import (BUILD_DIR, CHINESE_ANSI, data_folder, reg_values,
                               reset_data_folder, to_windows, trace_texts, wine,
                               write_user_settings)

PROBE = BUILD_DIR / "tests" / "e2e" / "probes" / "sysconfig_probe.exe"

IE = r"HKCU\Software\Microsoft\Internet Explorer"
NEW_WINDOWS = IE + r"\New Windows"
ALLOW = NEW_WINDOWS + r"\Allow"
SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
ZONE2 = SETTINGS + r"\Zones\2"
CERT_STORE = r"Software\Zelmor\E2ECertStore"

TRUSTED_SITE = " 成功事件：信任站点修改成功"
POPUP_SITE = " 成功事件：弹出窗口修改成功"
BLOCKER = " 成功事件：弹出窗口阻止程序安全级别设置为“中“"
REFRESH = " 成功事件：将IE浏览器的“检查所存网页的较新版本”设置为“每次访问此页时检查”"
PROTECTED_FAILED = " 失败事件：保护模式已关闭失败"
ACTIVEX = " 成功事件：ActiveX控件和插件设置修改成功"


def set_dword(key, name, value):
    wine(["reg", "add", key, "/v", name, "/t", "REG_DWORD", "/d", str(value), "/f"], check=True)


def delete_value(key, name):
    wine(["reg", "delete", key, "/v", name, "/f"])


def delete_key(key):
    wine(["reg", "delete", key, "/f"])


class SysconfigTest(unittest.TestCase):
    def setUp(self):
        reset_data_folder()
        write_user_settings("<User><Debug/></User>")
        self.work = Path(tempfile.mkdtemp(prefix="tovral-sysconfig-"))
        self.addCleanup(shutil.rmtree, self.work, True)

    def probe(self, catalogue, *args):
        """Runs one operation; (result, posted messages, other output lines)."""
        path = self.work / "catalogue.xml"
        path.write_text(catalogue, encoding="utf-8")
        run = wine([PROBE, to_windows(path), *args], env=CHINESE_ANSI)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        lines = run.stdout.splitlines()
        self.assertTrue(lines and lines[-1].startswith("result="), lines)
        posted = [line[5:] for line in lines if line.startswith("post=")]
        other = [line for line in lines[:-1] if not line.startswith("post=")]
        return int(lines[-1][7:]), posted, other


class BrowserSettingsTest(SysconfigTest):
    def test_popup_allow_list_adds_and_removes_named_values(self):
        delete_key(ALLOW)
        set_dword(ALLOW, "old.example", 1)
        catalogue = """<Utility><OpenWindowSite>
            <Site id="5001" info="一" url="bank.example" action="add"/>
            <Site id="5002" info="二" url="pay.bank.example" action="add"/>
            <Site id="5003" info="三" url="old.example" action="del"/>
            <Site id="5004" info="四" url="never.example" action="del"/>
            <Site id="5005" info="五" url="pay.bank.example" action="Add"/>
            <Site id="5006" info="六" url="" action="add"/>
          </OpenWindowSite></Utility>"""
        self.assertEqual(self.probe(catalogue, "popups"), (1, [], []))
        self.assertEqual(reg_values(ALLOW), {"bank.example": ("REG_BINARY", "")})
        # "Add" is not "add": the site is removed; the empty name is no site.
        self.assertEqual(trace_texts(), [POPUP_SITE] * 5)

    def test_popup_allow_list_without_list_changes_nothing(self):
        delete_key(ALLOW)
        self.assertEqual(self.probe("<Utility><TrustList/></Utility>", "popups"), (0, [], []))
        self.assertEqual(self.probe("not xml", "popups"), (0, [], []))
        self.assertIsNone(reg_values(ALLOW))
        self.assertEqual(trace_texts(), [])

    def test_blocker_level_and_refresh_mode(self):
        delete_key(NEW_WINDOWS)
        set_dword(SETTINGS, "SyncMode5", 0)
        self.assertEqual(self.probe("", "blocker")[0], 1)
        self.assertEqual(self.probe("", "refresh")[0], 1)
        written = reg_values(NEW_WINDOWS)
        for name, data in [("BlockControls", "0x0"), ("BlockUserInit", "0x0"),
                           ("UseHooks", "0x1"), ("AllowHTTPS", "0x0"),
                           ("UseTimerMethod", "0x0")]:
            self.assertEqual(written.get(name), ("REG_DWORD", data), name)
        self.assertEqual(reg_values(SETTINGS)["SyncMode5"], ("REG_DWORD", "0x3"))
        self.assertEqual(trace_texts(), [BLOCKER, REFRESH])

    def test_trust_list_restores_the_zone_flags(self):
        catalogue = """<Utility><TrustList>
            <Site id="2001" info="网银" url="http://*.bank.example" action="add"/>
            <Site id="2002" info="旧" url="http://old.example" action="del"/>
          </TrustList></Utility>"""
        set_dword(ZONE2, "Flags", 0x47)
        self.addCleanup(set_dword, ZONE2, "Flags", 0x43)
        # Wine has no zone mapping: the sites stay unmapped, the lines are written.
        self.assertEqual(self.probe(catalogue, "trustlist"), (1, [], []))
        self.assertEqual(reg_values(ZONE2)["Flags"], ("REG_DWORD", "0x47"))
        delete_value(ZONE2, "Flags")
        self.assertEqual(self.probe(catalogue, "site", "http://x.example", "add")[0], 0)
        self.assertNotIn("Flags", reg_values(ZONE2))
        self.assertEqual(trace_texts(), [TRUSTED_SITE] * 3)

    def test_trusted_zone_policies(self):
        set_dword(ZONE2, "CurrentLevel", 0x12000)
        recommended = reg_values(ZONE2)["RecommendedLevel"]
        # Wine reports Windows 7 with browser 6: no protected mode.
        self.assertEqual(self.probe("", "zones"), (1, [], []))
        self.assertEqual(reg_values(ZONE2)["CurrentLevel"], recommended)
        self.assertEqual(trace_texts(), [ACTIVEX])
        # With browser 7 it is switched off, which Wine does not implement.
        self.assertEqual(self.probe("", "zones", "6", "7"), (1, [], []))
        self.assertEqual(trace_texts(), [ACTIVEX, PROTECTED_FAILED, ACTIVEX])


def certificates(*entries):
    parts = ["<Utility><RootCert>"]
    for cert_id, root, key, sub_key, data in entries:
        parts.append(f"<Cert><Id>{cert_id}</Id><Root>{root}</Root><Key>{key}</Key>"
                     f"<SubKey>{sub_key}</SubKey><Data>{data}</Data></Cert>")
    parts.append("</RootCert></Utility>")
    return "".join(parts)


class RootCertificateTest(SysconfigTest):
    def setUp(self):
        super().setUp()
        for root in ("HKCU", "HKLM"):
            delete_key(f"{root}\\{CERT_STORE}")
            wine(["reg", "add", f"{root}\\{CERT_STORE}", "/f"], check=True)
            self.addCleanup(delete_key, f"{root}\\{CERT_STORE}")

    def test_installs_the_decoded_blob_and_reports_it(self):
        catalogue = certificates(
            (3001, "HKEY_CURRENT_USER", CERT_STORE, "A1B2", "30,82,\n 01,, 1FF,\r\n"),
            (3002, "HKEY_LOCAL_MACHINE", CERT_STORE, "C3D4", "0d,0A"))
        self.assertEqual(self.probe(catalogue, "cert", "3001"), (1, ["1359,3001,-1"], []))
        self.assertEqual(self.probe(catalogue, "cert", "3002"), (1, ["1359,3002,-1"], []))
        self.assertEqual(reg_values(f"HKCU\\{CERT_STORE}\\A1B2")["Blob"], ("REG_BINARY", "308201FF"))
        self.assertEqual(reg_values(f"HKLM\\{CERT_STORE}\\C3D4")["Blob"], ("REG_BINARY", "0D0A"))
        self.assertEqual(trace_texts(), ["文件号：3001 成功事件：证书写入成功",
                                         "文件号：3001检测事件：证书已成功写入",
                                         "文件号：3002 成功事件：证书写入成功",
                                         "文件号：3002检测事件：证书已成功写入"])

    def test_entries_that_cannot_be_installed(self):
        catalogue = certificates(
            (3001, "hkey_local_machine", CERT_STORE, "A1B2", "30"),
            (3003, "HKEY_CURRENT_USER", CERT_STORE + r"\Missing", "A1B2", "30"))
        for cert_id in ("3001", "3003", "3004"):
            self.assertEqual(self.probe(catalogue, "cert", cert_id),
                             (1, [f"1359,{cert_id},0"], []))
        self.assertEqual(reg_values(f"HKLM\\{CERT_STORE}"), {"(Default)": ("REG_SZ", "")})
        self.assertIsNone(reg_values(f"HKCU\\{CERT_STORE}\\Missing"))
        self.assertEqual(trace_texts(), [f"文件号：{i}检测事件：证书写入失败"
                                         for i in (3001, 3003, 3004)])


class AccessRightsTest(SysconfigTest):
    def test_missing_path_prints_both_messages(self):
        missing = to_windows(self.work) + "\\missing.dll"
        self.assertEqual(self.probe("", "access", missing),
                         (0, [], ["GetFileSecurity() failed. Error 2",
                                  "AddAccessRights() failed."]))

    def test_existing_paths_are_granted_silently(self):
        (self.work / "Tovral.ocx").write_bytes(b"MZ")
        self.assertEqual(self.probe("", "access", to_windows(self.work / "Tovral.ocx")),
                         (1, [], []))
        self.assertEqual(self.probe("", "access", to_windows(self.work)), (1, [], []))

    def test_unknown_account_fails_at_the_lookup(self):
        self.assertEqual(self.probe("", "grant", to_windows(self.work), "NoSuchGroup"),
                         (0, [], ["LookupAccountName() failed. Error 1332"]))


if __name__ == "__main__":
    unittest.main()
