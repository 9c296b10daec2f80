"""The download chain end to end: pages hand batches of the sample catalogue's
items to EBankDownLoad (or start one with StartDownLoad) against the local
bank server; the tests check the call-backs in order, the installed files,
the registry, the trace log and what reached the server."""

import json
import os
import shutil
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

from tests.e2e.harness import (BUILD_DIR, CHINESE_ANSI, SAMPLES_DIR, data_folder, reg, to_unix,
                               to_windows, trace_texts, wine)
from tests.e2e.pages import (ALL_DOWNLOADED, ALL_INSTALLED, CALLBACKS, CONTROL_PAGE, downloaded,
                             failed, installed, succeeded, update_check)
from tests.e2e.sample_bank import (CERT_KEY, CLSID, FACTS, SampleBankTestCase, program_files,
                                   reg_values, sample_catalogue, system_folder, windows_folder)
from tools.bankserver.server_tree import checksum_text, sha256_text

BROWSER_ITEMS = [5051, 5052, 5053, 5054, 5055]
UNKNOWN = "{0F0F0F0F-1111-2222-3333-444455556666}"
IGNORED_BATCH = "失败事件：上一下载列表尚未完成，忽略本次下载列表"


def batch(ids):
    """A page body: one EBankDownLoad batch, then its call-backs on one line."""
    return (f"host.echo('EBankDownLoad ' + o.EBankDownLoad(batchList([{','.join(map(str, ids))}])));"
            "host.echo(waitForInstalls());")


def statuses(ids):
    return "".join(f"host.echo('{i}=' + o.GetStatuBySurrId({i}));" for i in ids)


def inproc_server(clsid):
    values = reg_values(f"HKCR\\CLSID\\{clsid}\\InprocServer32")
    return values["(Default)"][1] if values else None


def certificate_blob():
    der = Path(FACTS["ZelmorTestRoot.cer"]["path"]).read_bytes()
    return struct.pack("<III", 32, 1, len(der)) + der


class PackageKindsTest(SampleBankTestCase):
    def test_every_package_kind_is_installed_and_current_afterwards(self):
        ids = [1001, 1002, 1003, 4001, 4002]
        output = self.run_bank_page(statuses(ids) + batch(ids) + statuses(ids))
        # The cabinet's extraction notes go to the standard output as they come.
        lines = [line for line in output if not line.startswith("Extracted ")]
        self.assertEqual(sorted(set(output) - set(lines)), [
            f"Extracted {name}" for name in ["SampleCab.dll", "SampleCab.inf", "SampleCabData.dat"]])
        self.assertEqual(lines[:5], ["1001=4", "1002=4", "1003=4", "4001=4", "4002=4"])
        self.assertEqual(lines[5], "EBankDownLoad true")
        self.assertEqual(lines[6].split(";"), succeeded(1001) + succeeded(1002) + succeeded(1003)
                         + succeeded(4001) + succeeded(4002, last=True))
        self.assertEqual(lines[7:], [f"{i}=3" for i in ids])
        self.assert_controls_in_place()
        self.assert_applications_installed()
        self.assertEqual(sorted(self.component_requests()), sorted([
            "controls/SampleCtl.dll", "controls/SampleCtl.ocx", "controls/SampleCab.cab",
            "apps/BankClientSetup.exe", "apps/BankClientMsi.msi"]))
        texts = trace_texts()
        for i in ids:
            self.assertIn(f"文件号：{i} 成功事件：下载成功", texts)
            self.assertIn(f"文件号：{i} 成功事件：完整性校验成功", texts)
            self.assertIn(f"文件号：{i} 检测事件：安装成功", texts)
        self.assertIn("文件号：4001 成功事件：EXE文件打开成功", texts)
        self.assertIn("文件号：4002 成功事件：EXE文件打开成功", texts)

    def assert_controls_in_place(self):
        dll = system_folder() / "SampleCtl.dll"
        ocx = program_files() / "Zelmor" / "Controls" / "SampleCtl.ocx"
        cab_dll = system_folder() / "SampleCab.dll"
        for path, sample in [(dll, "SampleCtl.dll"), (ocx, "SampleCtl.ocx"),
                             (cab_dll, "SampleCab.dll")]:
            self.assertEqual(path.read_bytes(), Path(FACTS[sample]["path"]).read_bytes(), path)
            self.assertEqual(inproc_server(CLSID[sample]).lower(), to_windows(path).lower())
        self.assertEqual((windows_folder() / "SampleCabData.dat").read_bytes(),
                         (Path(__file__).parents[2] / "tools" / "samples" /
                          "SampleCabData.dat").read_bytes())
        # Libraries are moved out of the download folder; the cabinet stays,
        # its extraction folder goes.
        controls = self.downloads / "controls"
        self.assertEqual(sorted(p.name for p in controls.iterdir()), ["SampleCab.cab"])

    def assert_applications_installed(self):
        self.assertEqual(reg_values(r"HKCU\Software\Zelmor\BankClient")["Version"],
                         ("REG_SZ", "3.0.0.0"))
        self.assertEqual(reg_values(r"HKCU\Software\Zelmor\BankClientMsi")["Version"],
                         ("REG_SZ", "3.0.0.0"))
        # Installers stay in the download folder.
        apps = self.downloads / "apps"
        self.assertEqual(sorted(p.name for p in apps.iterdir()),
                         ["BankClientMsi.msi", "BankClientSetup.exe"])

    def test_root_certificate_and_browser_items(self):
        ids = [3001, 2001] + BROWSER_ITEMS
        lines = self.run_bank_page(statuses([3001]) + batch(ids) + statuses([3001]))
        self.assertEqual(lines[0], "3001=4")
        # The trusted site posts no installation result.
        self.assertEqual(lines[2].split(";"), succeeded(3001) + [downloaded(2001)] + [
            call for i in BROWSER_ITEMS for call in succeeded(i, last=i == 5055)])
        self.assertEqual(lines[3], "3001=3")
        blob = reg_values(CERT_KEY)["Blob"]
        self.assertEqual(blob, ("REG_BINARY", certificate_blob().hex().upper()))
        self.assertEqual(reg_values(r"HKCU\Software\Microsoft\Windows\CurrentVersion"
                                    r"\Internet Settings")["SyncMode5"], ("REG_DWORD", "0x3"))
        self.assertIn("ebank.example.cn", reg_values(
            r"HKCU\Software\Microsoft\Internet Explorer\New Windows\Allow"))
        self.assertEqual(reg_values(r"HKCU\Software\Microsoft\Internet Explorer\New Windows")
                         ["UseHooks"], ("REG_DWORD", "0x1"))
        texts = trace_texts()
        self.assertIn("文件号：3001 成功事件：证书写入成功", texts)
        self.assertIn("文件号：3001检测事件：证书已成功写入", texts)
        self.assertEqual(self.component_requests(), [], "no item here has a file")


class ChainTest(SampleBankTestCase):
    def test_a_present_file_with_the_listed_checksum_is_not_fetched(self):
        apps = self.downloads / "apps"
        apps.mkdir(parents=True)
        (apps / "BankClientSetup.exe").write_bytes(
            Path(FACTS["BankClientSetup.exe"]["path"]).read_bytes())
        # The listed checksum is compared without regard to case.
        mac = checksum_text(FACTS["BankClientSetup.exe"]["path"]).upper()
        self.tree.texts["UtilityChs"] = sample_catalogue(
            [('mac="${mac:apps/BankClientSetup.exe}"', f'mac="{mac}"')])
        lines = self.run_bank_page(batch([4001]))
        self.assertEqual(lines[1].split(";"), succeeded(4001, last=True))
        self.assertEqual(self.component_requests(), [])
        texts = trace_texts()
        self.assertIn("成功事件：文件号：4001 文件存在且校验成功", texts)
        self.assertIn("文件号：4001 检测事件：安装成功", texts)

    def test_a_wrong_checksum_deletes_the_file_and_the_batch_goes_on(self):
        self.server.set_rule("controls/SampleCtl.dll", "fixed", body=b"MZ not the control")
        lines = self.run_bank_page(batch([1001, 5052]))
        self.assertEqual(lines[1].split(";"), failed(1001) + succeeded(5052, last=True))
        self.assertFalse((self.downloads / "controls" / "SampleCtl.dll").exists())
        self.assertFalse((system_folder() / "SampleCtl.dll").exists())
        texts = trace_texts()
        self.assertIn("文件号：1001 错误原因：完整性校验失败", texts)
        self.assertNotIn("文件号：1001 成功事件：完整性校验成功", texts)

    def test_a_missing_file_on_the_server(self):
        self.server.set_rule("apps/BankClientSetup.exe", "not_found")
        lines = self.run_bank_page(batch([4001, 5052]))
        self.assertEqual(lines[1].split(";"), failed(4001) + succeeded(5052, last=True))
        self.assertFalse((self.downloads / "apps" / "BankClientSetup.exe").exists())
        self.assertIsNone(reg_values(r"HKCU\Software\Zelmor\BankClient"))

    def test_a_batch_of_three_whose_second_fails(self):
        self.server.set_rule("controls/SampleCtl.ocx", "not_found")
        lines = self.run_bank_page(batch([1001, 1002, 4001]))
        self.assertEqual(lines[1].split(";"), [
            downloaded(1001), installed(1001), downloaded(1002, False), installed(1002, False),
            downloaded(4001), ALL_DOWNLOADED, installed(4001), ALL_INSTALLED])

    def test_a_failed_last_item_reports_the_end_once(self):
        self.server.set_rule("controls/SampleCtl.dll", "not_found")
        lines = self.run_bank_page(batch([5052, 1001]))
        self.assertEqual(lines[1].split(";"), succeeded(5052) + failed(1001, last=True))

    def test_start_outside_a_batch_is_the_last_item(self):
        lines = self.run_bank_page(
            "host.echo('file-less ' + o.StartDownLoad(5052)); host.echo(waitForInstalls());"
            "host.echo('fetched ' + o.StartDownLoad(1001)); host.echo(waitForInstalls());"
            "host.echo('ignored ' + o.StartDownLoad(999)); host.pump(1500);"
            "host.echo('after [' + calls.join(';') + ']');")
        self.assertEqual(lines, ["file-less undefined", ";".join(succeeded(5052, last=True)),
                                 "fetched undefined", ";".join(succeeded(1001, last=True)),
                                 "ignored undefined", "after []"])

    def test_an_id_missing_from_the_catalogue_fails_and_the_batch_goes_on(self):
        lines = self.run_bank_page(batch([1999, 4999, 5052]))
        self.assertEqual(lines[1].split(";"), failed(1999) + failed(4999)
                         + succeeded(5052, last=True))
        self.assertEqual(self.component_requests(), [])

    def test_the_cancelled_installer_is_reported_not_installed(self):
        lines = self.run_bank_page(batch([4003]) + statuses([4003]))
        self.assertEqual(lines[1].split(";"), [downloaded(4003), ALL_DOWNLOADED,
                                               installed(4003, False), ALL_INSTALLED])
        self.assertEqual(lines[2], "4003=4")
        texts = trace_texts()
        self.assertIn("文件号：4003 成功事件：EXE文件打开成功", texts)
        self.assertIn("文件号：4003 错误原因：安装失败或用户取消", texts)


class PageDrivenChainTest(SampleBankTestCase):
    def test_a_batch_before_the_catalogue_is_decrypted_fails_and_ends(self):
        self.tree.build()
        result = self.run_page(CONTROL_PAGE + CALLBACKS + r"""
            host.echo(o.EBankDownLoad(batchList([1001, 5052])));
            host.echo(waitForInstalls(20000));
            """ + update_check(expect=48, settle_ms=300) + batch([5054]), env=CHINESE_ANSI)
        self.assertPageOk(result)
        lines = result.stdout.splitlines()
        # Without a catalogue the browser item is not applied either.
        self.assertEqual(lines[1].split(";"), failed(1001) + [downloaded(5052), ALL_DOWNLOADED,
                                                              ALL_INSTALLED])
        self.assertEqual(lines[3].split(";"), succeeded(5054, last=True),
                         "the next batch is the page's own")
        self.assertEqual(self.component_requests(), [])
        self.assertIn("文件号：1001 错误原因：组件列表不可用", trace_texts())

    def test_ids_below_the_item_ranges_fail_in_a_batch(self):
        # 50 and 51 name the self-update, which a list cannot start.
        lines = self.run_bank_page(batch([0, 50, 5052, 51, 999]) + batch([5054]))
        self.assertEqual(lines[1].split(";"), failed(0) + failed(50) + succeeded(5052) + failed(51)
                         + failed(999, last=True))
        self.assertEqual(lines[3].split(";"), succeeded(5054, last=True))

    def test_work_given_while_a_list_is_in_work_waits_for_its_turn(self):
        self.server.set_rule("controls/SampleCtl.dll", "slow", chunk=32768, delay=0.2)
        lines = self.run_bank_page(
            "host.echo(o.EBankDownLoad(batchList([1001, 5052])));"
            "host.echo(o.EBankDownLoad(batchList([5054])) + ' ' + o.StartDownLoad(5053));"
            "host.echo(waitForInstalls());" + batch([5054]))
        self.assertEqual(lines[:2], ["true", "true undefined"])
        # The list, then the item started during it as a unit of its own, then the
        # page's next list; the second list given during the first was ignored.
        calls = ";".join(line for line in lines[2:] if not line.startswith("EBankDownLoad"))
        self.assertEqual(calls.split(";"), succeeded(1001) + succeeded(5052, last=True)
                         + succeeded(5053, last=True) + succeeded(5054, last=True))
        self.assertEqual(self.component_requests(), ["controls/SampleCtl.dll"])
        self.assertEqual(trace_texts().count(IGNORED_BATCH), 1)

    def test_present_files_and_an_installer_that_never_ends_leave_the_page_free(self):
        """Items whose files are present run on the worker like the others: the
        page's own calls answer while the installer hangs (it installs, then
        waits for the browser to end)."""
        stuck = SAMPLES_DIR / "BankClientSetupStuck.exe"
        self.tree.texts["UtilityChs"] = sample_catalogue([(
            'url="apps/BankClientSetup.exe" mac="${mac:apps/BankClientSetup.exe}" '
            'sha256="${sha256:apps/BankClientSetup.exe}"',
            f'url="apps/Stuck.exe" mac="{checksum_text(stuck)}" sha256="{sha256_text(stuck)}"')])
        for url, source in [("controls/SampleCtl.dll", FACTS["SampleCtl.dll"]["path"]),
                            ("apps/Stuck.exe", stuck)]:
            (self.downloads / url).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, self.downloads / url)
        lines = self.run_bank_page(
            "host.echo('EBankDownLoad ' + o.EBankDownLoad(batchList([1001, 4001])));"
            # Asked until the installer has written its key, call-backs dispatched between.
            "for (var polls = 0; o.GetStatuBySurrId(4001) != 3 && polls < 1200; ++polls)"
            "  host.pump(100);"
            "host.pump(300); host.echo(o.GetStatuBySurrId(4001) + ' ' + calls.join(';'));"
            "host.echo('again ' + o.EBankDownLoad(batchList([5052])));")
        self.assertEqual(lines, ["EBankDownLoad true", "3 " + ";".join(
            succeeded(1001) + [downloaded(4001), ALL_DOWNLOADED]), "again true"])
        self.assertEqual(self.component_requests(), [])
        self.assertEqual(trace_texts().count(IGNORED_BATCH), 1)


class OldControlTest(SampleBankTestCase):
    def test_the_old_control_is_unregistered_and_deleted_first(self):
        # In the client folder, one of the folders the control installs into.
        old = Path(self.client.path) / "SampleCtl.dll"
        old.write_bytes(Path(FACTS["SampleCtl.dll"]["path"]).read_bytes())
        self.assertEqual(wine(["regsvr32", "/s", to_windows(old)]).returncode, 0)
        self.assertEqual(inproc_server(CLSID["SampleCtl.dll"]).lower(), to_windows(old).lower())
        lines = self.run_bank_page(batch([1001]))
        self.assertEqual(lines[1].split(";"), succeeded(1001, last=True))
        self.assertFalse(old.exists(), "the old copy is deleted")
        new = system_folder() / "SampleCtl.dll"
        self.assertEqual(inproc_server(CLSID["SampleCtl.dll"]).lower(), to_windows(new).lower())
        texts = trace_texts()
        removal = texts.index("文件号：1001 卸载控件检查：注册表键值存在")
        self.assertLess(removal, texts.index("SampleCtl.dllUser权限提升成功"))
        self.assertFalse(any("反注册控件失败" in t or "删除控件失败" in t for t in texts), texts)


class RefusedOldControlTest(SampleBankTestCase):
    def test_nothing_that_is_not_a_removable_control_is_removed(self):
        """A refused destination keeps the working control; a plain file registered
        under a class id and the control's own class are never unregistered."""
        old = Path(self.client.path) / "SampleCtl.dll"  # removable, were the item not refused
        old.write_bytes(Path(FACTS["SampleCtl.dll"]["path"]).read_bytes())
        self.assertEqual(wine(["regsvr32", "/s", to_windows(old)]).returncode, 0)
        notes = Path(self.client.path) / "notes.txt"
        notes.write_text("the customer's notes")
        reg("add", f"HKCR\\CLSID\\{UNKNOWN}\\InprocServer32", "/ve", "/d", to_windows(notes), "/f")
        own = json.loads((BUILD_DIR / "distribution" / "package.json").read_text())["clsid"]
        own_server = inproc_server(own)
        self.tree.texts["UtilityChs"] = with_controls(
            control_entry(1011, "controls/SampleCtl.dll", "\\\\127.0.0.1\\share",
                          CLSID["SampleCtl.dll"]),
            control_entry(1012, "controls/SampleCtl.ocx", "system32", UNKNOWN),
            control_entry(1013, "controls/SampleCtl.ocx", "system32", own))
        lines = self.run_bank_page(
            batch([1011, 1012, 1013])
            + "host.echo(new ActiveXObject('Tovral.DownLoad') ? 'created' : 'none');")
        calls = lines[1].split(";")
        self.assertEqual(calls[:2], [downloaded(1011), installed(1011, False)])
        self.assertEqual((calls.count(ALL_DOWNLOADED), calls[-1]), (1, ALL_INSTALLED))
        self.assertEqual(lines[2], "created", "the control is still registered")
        self.assertTrue(old.exists(), "the working control is kept")
        self.assertEqual(inproc_server(CLSID["SampleCtl.dll"]).lower(), to_windows(old).lower())
        self.assertEqual(notes.read_text(), "the customer's notes")
        self.assertEqual(inproc_server(own), own_server)
        self.assertIn("文件号：1011 错误原因：文件路径不合法", trace_texts())


def control_entry(item_id, url, desturl, clsid):
    return (f'<item id="{item_id}" name="控件{item_id}" url="{url}" mac="${{mac:{url}}}" '
            f'regrootkey="HKEY_CLASSES_ROOT" regsubkey="CLSID\\{clsid}" vernum="1.0.0.1" '
            f'desturl="{desturl}"/>')


def with_controls(*entries):
    return sample_catalogue([("</Control>", "\n".join(entries) + "</Control>")])


class DestinationTest(SampleBankTestCase):
    def test_a_folder_of_its_own_and_refused_destinations(self):
        folder = to_unix("C:\\Zelmor Bank\\Controls")
        self.addCleanup(shutil.rmtree, folder.parent, True)
        self.tree.texts["UtilityChs"] = with_controls(
            control_entry(1011, "controls/SampleCtl.dll", "C:\\Zelmor Bank\\Controls",
                          CLSID["SampleCtl.dll"]),
            control_entry(1012, "controls/SampleCtl.ocx", "\\\\127.0.0.1\\share", UNKNOWN),
            control_entry(1013, "controls/SampleCtl.ocx", "..\\..\\up", UNKNOWN),
            control_entry(1014, "controls/SampleCtl.ocx", "\\\\.\\C:\\x", UNKNOWN),
            control_entry(1015, "controls/SampleCtl.ocx", "C:\\x\\..\\up", UNKNOWN))
        lines = self.run_bank_page(batch([1011, 1012, 1013, 1014, 1015]) + statuses([1011]))
        self.assertEqual(lines[1].split(";"), succeeded(1011) + [
            call for i in [1012, 1013, 1014] for call in [downloaded(i), installed(i, False)]]
            + [downloaded(1015), ALL_DOWNLOADED, installed(1015, False), ALL_INSTALLED])
        self.assertEqual(lines[2], "1011=3")
        self.assertEqual(inproc_server(CLSID["SampleCtl.dll"]).lower(),
                         to_windows(folder / "SampleCtl.dll").lower())
        texts = trace_texts()
        for i in [1012, 1013, 1014, 1015]:
            self.assertIn(f"文件号：{i} 错误原因：文件路径不合法", texts)
        # Refused items leave their file where it was fetched.
        self.assertTrue((self.downloads / "controls" / "SampleCtl.ocx").exists())

    def test_a_destination_on_another_volume(self):
        if not Path("/dev/shm").is_dir():
            self.skipTest("no /dev/shm for a second volume")
        volume = Path(tempfile.mkdtemp(prefix="tovral-volume-", dir="/dev/shm"))
        self.addCleanup(shutil.rmtree, volume, True)
        if volume.stat().st_dev == self.downloads.parent.stat().st_dev:
            self.skipTest("no second file system for a second volume")
        drive = Path(os.environ["WINEPREFIX"]) / "dosdevices" / "t:"
        drive.unlink(missing_ok=True)
        drive.symlink_to(volume)
        self.addCleanup(drive.unlink, True)
        self.tree.texts["UtilityChs"] = with_controls(control_entry(
            1011, "controls/SampleCtl.dll", "T:\\Controls", CLSID["SampleCtl.dll"]))
        lines = self.run_bank_page(batch([1011]))
        self.assertEqual(lines[1].split(";"), succeeded(1011, last=True))
        self.assertEqual((volume / "Controls" / "SampleCtl.dll").read_bytes(),
                         Path(FACTS["SampleCtl.dll"]["path"]).read_bytes())
        self.assertFalse((self.downloads / "controls" / "SampleCtl.dll").exists())

    def test_a_file_of_another_kind_is_left_alone(self):
        (self.root / "controls").mkdir(parents=True)
        (self.root / "controls" / "readme.zip").write_bytes(b"PK\x05\x06" + bytes(18))
        self.tree.texts["UtilityChs"] = with_controls(
            control_entry(1016, "controls/readme.zip", "", UNKNOWN))
        lines = self.run_bank_page(batch([1016, 5052]) + batch([1016]))
        # Nothing is installed and no installation result is posted for it.
        self.assertEqual(lines[1].split(";"), [downloaded(1016)] + succeeded(5052, last=True))
        self.assertEqual(lines[3].split(";"), [downloaded(1016), ALL_DOWNLOADED, ALL_INSTALLED])
        self.assertTrue((self.downloads / "controls" / "readme.zip").exists())


class HostileCatalogueTest(SampleBankTestCase):
    def test_a_url_that_leaves_the_download_folder_fails_the_item(self):
        for hostile in ["..\\..\\x.dll", "../../x.dll"]:
            with self.subTest(url=hostile):
                self.tree.texts["UtilityChs"] = sample_catalogue(
                    [('url="controls/SampleCtl.dll"', f'url="{hostile}"')])
                lines = self.run_bank_page(batch([1001, 5052]))
                self.assertEqual(lines[1].split(";"), failed(1001) + succeeded(5052, last=True))
                self.assertEqual(self.component_requests(), [])
                self.assertIn("文件号：1001 错误原因：文件路径不合法", trace_texts())
                appdata = data_folder().parent
                for folder in [appdata, appdata.parent, data_folder()]:
                    self.assertFalse((folder / "x.dll").exists(), folder)

    def test_a_cabinet_whose_inf_names_a_file_outside_is_not_installed(self):
        work = Path(tempfile.mkdtemp(prefix="tovral-cab-"))
        self.addCleanup(shutil.rmtree, work, True)
        (work / "Hostile.inf").write_text(
            "[Add.Code]\r\nSampleCab.dll=SampleCab.dll\r\nevil=..\\evil.dll\r\n"
            "[SampleCab.dll]\r\nRegisterServer=yes\r\n[..\\evil.dll]\r\ndestdir=11\r\n",
            encoding="ascii")
        shutil.copy2(SAMPLES_DIR / "SampleCab.dll", work / "SampleCab.dll")
        (self.root / "controls").mkdir(parents=True)
        subprocess.run(["gcab", "-c", "-z", "-n", str(self.root / "controls" / "Hostile.cab"),
                        str(work / "SampleCab.dll"), str(work / "Hostile.inf")], check=True)
        self.tree.texts["UtilityChs"] = sample_catalogue(
            [("controls/SampleCab.cab", "controls/Hostile.cab")])
        # Were the name followed, this file would be copied beside the system folder.
        planted = self.downloads / "controls" / "evil.dll"
        planted.parent.mkdir(parents=True)
        planted.write_bytes(b"not for the Windows folder")
        lines = self.run_bank_page(batch([1003]))
        self.assertEqual([line for line in lines if not line.startswith("Extracted ")][1],
                         ";".join([downloaded(1003), ALL_DOWNLOADED, installed(1003, False),
                                   ALL_INSTALLED]))
        self.assertFalse((windows_folder() / "evil.dll").exists())
        self.assertFalse((system_folder() / "SampleCab.dll").exists(),
                         "nothing of a hostile cabinet is installed")
        self.assertFalse((self.downloads / "controls" / "Hostile").exists())
        texts = trace_texts()
        self.assertIn("失败事件：..\\evil.dll文件名不合法", texts)
        self.assertIn("文件号：1003 错误原因：文件路径不合法", texts)

    def test_a_file_that_is_no_cabinet_fails_its_item_and_the_batch_goes_on(self):
        """No dialog on the worker: the item fails with its trace line."""
        (self.root / "controls").mkdir(parents=True)
        (self.root / "controls" / "Broken.cab").write_bytes(b"this is no cabinet" * 64)
        self.tree.texts["UtilityChs"] = sample_catalogue(
            [("controls/SampleCab.cab", "controls/Broken.cab")])
        lines = self.run_bank_page(batch([1003, 5052]))
        self.assertEqual(lines[1].split(";"), [downloaded(1003), installed(1003, False)]
                         + succeeded(5052, last=True))
        self.assertTrue(any(t.startswith("失败事件：SetupIterateCabinet() Error")
                            for t in trace_texts()))


if __name__ == "__main__":
    unittest.main()
