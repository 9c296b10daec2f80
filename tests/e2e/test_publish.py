"""The bank's kit end to end: the sample bank published into a tree that
nginx serves, checked by verify, and used by the control that requires
signatures; verify naming each kind of fault in a tree; publish refusing each
kind of bad source and leaving OUT as it was.

One fixture for the module: the sample bank's SOURCE and its tree OUT, which
nginx serves over HTTP. Tests that break a tree or a source break a copy."""

import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zlib
from pathlib import Path

from tests.e2e.harness import (BUILD_DIR, CHINESE_ANSI, SIGNED_DLL, SOURCE_DIR, ClientFolder,
                               PageTestCase, data_folder, fresh_prefix, isolated,
                               reset_data_folder, trace_texts, write_user_settings)
from tests.e2e.pages import CALLBACKS, CONTROL_PAGE, SELF_UPDATE, installed, update_check
from tests.e2e.sample_bank import CERT_STORE, FACTS, reg, remove_installed_samples
from tests.e2e.test_signatures import crc_collision
from tools.bankserver.nginx import Nginx
from tools.bankserver.server_tree import write_sample_source
from tools.publish.tree import (KEYS_DIR, SETTINGS_DIR, Packer, files_element, parse_xml)

PUBLISH = SOURCE_DIR / "tools" / "publish" / "publish.py"
VERIFY = SOURCE_DIR / "tools" / "publish" / "verify.py"
KEYS = ["--key", str(KEYS_DIR / "test.key"), "--sign", str(KEYS_DIR / "test-signing.key")]
PUBLIC_KEYS = ["--pub", str(KEYS_DIR / "test.pub"),
               "--signing-pub", str(KEYS_DIR / "test-signing.pub")]
CONFIG_NAMES = ["UtilityChs.cfg", "UtilityEn.cfg", "Update.cfg", "Resource.cfg", "EnvPatch.cfg"]
PACKAGES = [1001, 1002, 1003, 4001, 4002]  # DLL, OCX, cabinet, EXE setup, MSI

fixture = {}


def setUpModule():
    work = Path(tempfile.mkdtemp(prefix="tovral-kit-"))
    fixture["work"] = work
    fixture["out"] = work / "out"
    fixture["nginx"] = Nginx(fixture["out"]).start()
    fixture["source"] = write_sample_source(work / "source", fixture["nginx"].url, BUILD_DIR)
    result = publish(fixture["source"], fixture["out"])
    if result.returncode != 0:
        raise RuntimeError(f"publish failed:\n{result.stdout}\n{result.stderr}")


def tearDownModule():
    fixture["nginx"].stop()
    shutil.rmtree(fixture["work"], ignore_errors=True)


def run_tool(script, *args):
    return subprocess.run([sys.executable, str(script), *map(str, args)], capture_output=True,
                          text=True, timeout=600)


def publish(source, out, keys=KEYS):
    return run_tool(PUBLISH, source, out, *keys)


def verify(*args):
    return run_tool(VERIFY, *args, *PUBLIC_KEYS)


def decrypted(path):
    with tempfile.TemporaryDirectory() as work:
        text = Path(work) / "plain.xml"
        if not Packer(BUILD_DIR).decrypt(KEYS_DIR / "test.pub", path, text):
            raise AssertionError(f"{path} does not decrypt")
        return text.read_text(encoding="utf-8")


def version_list(out):
    """(serial, {Name: Version}) of a tree's version list."""
    root = parse_xml(decrypted(out / SETTINGS_DIR / "Version.cfg"), "Version.cfg")
    return root.attrs.get("serial"), {e.attrs["Name"]: e.attrs["Version"]
                                      for e in files_element(root)}


def snapshot(folder):
    return {p.relative_to(folder): p.read_bytes() for p in sorted(folder.rglob("*"))
            if p.is_file()}


def edit(path, old, new):
    text = path.read_text(encoding="utf-8")
    if old not in text:
        raise ValueError(f"{old!r} is not in {path}")
    path.write_text(text.replace(old, new, 1), encoding="utf-8")


def copy_of(folder, test):
    copy = Path(tempfile.mkdtemp(prefix="tovral-kit-copy-")) / folder.name
    test.addCleanup(shutil.rmtree, copy.parent, True)
    shutil.copytree(folder, copy)
    return copy


UPDATE_AND_BATCH = CONTROL_PAGE + CALLBACKS + update_check(report=True) + r"""
var ids = host.argCount > 0 ? host.arg(0).split(",") : [];
if (updateCode == 48 && ids.length > 0) {
  o.EBankDownLoad(batchList(ids));
  host.echo(waitForInstalls(300000));
}
"""

NEW_UPDATER = (
    '<assembly filename="Obsolete.dll"',
    '<assembly filename="UpdateFiles.exe" local="local" updatehandle="replace" Version="2" '
    'mac="${mac:update/UpdateFiles.exe}" sha256="${sha256:update/UpdateFiles.exe}" '
    'regsvr="false" url="update/UpdateFiles.exe"/>\n  <assembly filename="Obsolete.dll"')


class PublishedBankTest(PageTestCase):
    """The published sample bank behind nginx, and the control that requires signatures."""

    control_dll = SIGNED_DLL

    @classmethod
    def setUpClass(cls):
        if not isolated():  # else each test's own prefix comes with the control registered
            super().setUpClass()

    def setUp(self):
        # A prefix of the test's own, with the user's root store a real PC
        # has: whatever the visits install goes with it.
        if not fresh_prefix(self, self.control_dll, setup=[["reg", "add", CERT_STORE, "/f"]]):
            remove_installed_samples()
            self.addCleanup(remove_installed_samples)
            reg("add", CERT_STORE, "/f")
        super().setUp()
        self.nginx = fixture["nginx"]
        self.use_bank(self.nginx.url)

    def use_bank(self, url):
        self.use_client(ClientFolder(root_url=url)).add_sample_client()
        write_user_settings("<User><Debug/><Language value=\"chs\"/></User>")

    def run_visit(self, page, *args, timeout=500):
        self.nginx.clear_log()
        return self.run_page(page, ["--dismiss-dialogs", *args], env=CHINESE_ANSI,
                             timeout=timeout)

    def test_publish_verify_serve_update_install_and_hand_off(self):
        out, source = fixture["out"], fixture["source"]
        for where in ([out], [out, "--url", self.nginx.url], ["--url", self.nginx.url]):
            result = verify(*where)
            self.assertEqual(result.returncode, 0, f"{where}: {result.stdout}{result.stderr}")
        self.assertEqual(version_list(out), ("1", {name: "1" for name in CONFIG_NAMES}))

        # The first visit: the update check, then every package kind and the root certificate.
        ids = PACKAGES + [3001]
        result = self.run_visit(UPDATE_AND_BATCH, "--", ",".join(map(str, ids)))
        self.assertPageOk(result)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "update 48", "\n".join(trace_texts()))
        calls = [line for line in lines if line.startswith("OnDownloadCompleted")][0].split(";")
        for item in ids:
            self.assertIn(installed(item), calls)
        self.assertEqual(calls[-1], "OnAllInstalledCompleted()")
        served = self.nginx.paths()
        for path in ["controls/SampleCtl.dll", "controls/SampleCtl.ocx", "controls/SampleCab.cab",
                     "apps/BankClientSetup.exe", "apps/BankClientMsi.msi"]:
            self.assertIn(path, served)

        # One changed file: only its Version rises, and it is all the control fetches.
        before = snapshot(out / SETTINGS_DIR)
        edit(source / "Resource.xml", "Online banking", "Online banking (new)")
        self.assertEqual(publish(source, out).returncode, 0)
        serial, versions = version_list(out)
        self.assertEqual((serial, versions), ("2", dict({n: "1" for n in CONFIG_NAMES},
                                                        **{"Resource.cfg": "2"})))
        after = snapshot(out / SETTINGS_DIR)
        self.assertEqual([str(p) for p in after if p.suffix != ".sig" and after[p] != before[p]],
                         ["Resource.cfg", "Version.cfg"])
        result = self.run_visit(UPDATE_AND_BATCH)
        self.assertPageOk(result)
        self.assertEqual(result.stdout.splitlines()[0], "update 48", "\n".join(trace_texts()))
        self.assertEqual(sorted(p for p in self.nginx.paths() if not p.endswith(".sig")),
                         [f"{SETTINGS_DIR}/Resource.cfg", f"{SETTINGS_DIR}/Version.cfg"])
        self.assertEqual((data_folder() / "VeyrantSetting" / "Resource.cfg").read_bytes(),
                         after[Path("Resource.cfg")])

        # A new updater in the update list: the self-update hands it over.
        edit(source / "Update.xml", *NEW_UPDATER)
        self.assertEqual(publish(source, out).returncode, 0)
        self.assertEqual(version_list(out)[1]["Update.cfg"], "2")
        result = self.run_visit(SELF_UPDATE, timeout=300)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        # The installed updater no longer matches the list: 47, and the hand-off repairs it.
        lines = result.stdout.splitlines()
        self.assertEqual((lines[0], lines[2:]), ("update 47", ["started true"]))
        self.assertIn("update/UpdateFiles.exe", self.nginx.paths())
        self.assertIn("成功事件：updateFiles.exe已更新", trace_texts())

    def test_https_with_the_test_ca(self):
        # The bank's root certificate, as the control's own item installs it.
        result = self.run_visit(UPDATE_AND_BATCH, "--", "3001")
        self.assertPageOk(result)
        self.assertIn(installed(3001), result.stdout)
        facts = FACTS["ZelmorTestServer.pem"]
        work = Path(tempfile.mkdtemp(prefix="tovral-kit-tls-"))
        self.addCleanup(shutil.rmtree, work, True)
        with Nginx(work / "out", tls=(facts["path"], facts["key"])) as server:
            source = write_sample_source(work / "source", server.url, BUILD_DIR)
            self.assertEqual(publish(source, work / "out").returncode, 0)
            result = verify(work / "out", "--url", server.url)
            self.assertEqual(result.returncode, 0, result.stdout)
            # Another bank's tree begins its serials anew: a fresh PC takes it.
            reset_data_folder()
            self.use_bank(server.url)
            self.nginx = server
            result = self.run_visit(UPDATE_AND_BATCH, "--", "1001")
            self.assertPageOk(result)
            lines = result.stdout.splitlines()
            self.assertEqual(lines[0], "update 48", "\n".join(trace_texts()))
            self.assertIn(installed(1001), lines[1])
            self.assertIn(f"{SETTINGS_DIR}/Version.cfg", server.paths())


class VerifyTest(unittest.TestCase):
    def test_each_kind_of_fault_is_named(self):
        tree = copy_of(fixture["out"], self)
        packer = Packer(BUILD_DIR)
        settings = tree / SETTINGS_DIR
        (tree / "controls" / "SampleCab.cab").unlink()
        with open(tree / "controls" / "SampleCtl.ocx", "ab") as f:
            f.write(b"tail")
        setup = tree / "apps" / "BankClientSetup.exe"
        setup.write_bytes(crc_collision(b"not the setup", zlib.crc32(setup.read_bytes())))
        (settings / "Resource.cfg.sig").unlink()
        shutil.copy2(settings / "UtilityChs.cfg.sig", settings / "EnvPatch.cfg.sig")
        # A catalogue entry that leaves the tree, signed and listed as the bank would.
        self.reencrypt(packer, settings / "UtilityEn.cfg",
                       lambda text: text.replace('url="controls/SampleCtl.dll"',
                                                 'url="../SampleCtl.dll"'))
        self.reencrypt(packer, settings / "Version.cfg", self.relisted(settings / "UtilityEn.cfg"))

        result = verify(tree)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        lines = result.stdout.splitlines()
        expected = [
            ("missing file", r"^controls/SampleCab\.cab: missing \(item 1003 of UtilityChs\.cfg"),
            ("bad mac", r"^controls/SampleCtl\.ocx: bad mac: "),
            ("bad sha256", r"^apps/BankClientSetup\.exe: bad sha256: "),
            ("missing signature", r"^VeyrantSettingV2/Resource\.cfg\.sig: missing signature$"),
            ("foreign signature", r"^VeyrantSettingV2/EnvPatch\.cfg\.sig: foreign signature: "),
            ("entry pointing outside", r"^VeyrantSettingV2/UtilityEn\.cfg:\d+: outside the tree: "
                                       r"item 1001: url '\.\./SampleCtl\.dll'"),
        ]
        for fault, pattern in expected:
            with self.subTest(fault):
                self.assertTrue(any(re.search(pattern, line) for line in lines), result.stdout)
        self.assertFalse(any("apps/BankClientSetup.exe: bad mac" in line for line in lines))
        self.assertFalse(any(line.startswith("VeyrantSettingV2/UtilityEn.cfg: bad")
                             for line in lines), result.stdout)
        self.assertEqual(len(lines), 11, result.stdout)  # both catalogues list the three files

    @staticmethod
    def reencrypt(packer, path, change):
        plain = path.with_suffix(".xml")
        plain.write_text(change(decrypted(path)), encoding="utf-8")
        packer.encrypt(plain, path)
        plain.unlink()

    @staticmethod
    def relisted(path):
        from tools.publish.tree import checksum_text, sha256_text
        def change(text):
            entry = re.search(rf'<file [^>]*Name="{path.name}"[^>]*/>', text).group(0)
            fixed = re.sub(r'mac="[^"]*"', f'mac="{checksum_text(path)}"', entry)
            fixed = re.sub(r'sha256="[^"]*"', f'sha256="{sha256_text(path)}"', fixed)
            return text.replace(entry, fixed)
        return change


class PublishRefusalTest(unittest.TestCase):
    CASES = [
        ("placeholder naming a missing file", "UtilityChs.xml",
         ("${mac:controls/SampleCtl.dll}", "${mac:controls/Missing.dll}"),
         r"UtilityChs\.xml:5: \$\{mac:controls/Missing\.dll\} names a file that is not in SOURCE"),
        ("a list that is not XML", "Resource.xml", ("</websites>", "</website>"),
         r"Resource\.xml:\d+: not XML: mismatched tag"),
        ("a url outside the tree", "UtilityEn.xml",
         ('url="controls/SampleCtl.ocx"', 'url="../SampleCtl.ocx"'),
         r"UtilityEn\.xml:6: item 1002: url '\.\./SampleCtl\.ocx' points outside the tree"),
        ("a version list entry outside the tree", "Version.xml",
         ("/VeyrantSettingV2/EnvPatch.cfg", "/elsewhere/EnvPatch.cfg"),
         r"Version\.xml:8: EnvPatch\.cfg: Url .* points outside the tree"),
        ("an update root outside the tree", "Update.xml",
         ('root="http://127.0.0.1', 'root="http://other.example'),
         r"Update\.xml:3: outside the tree: FileVersion root"),
        ("a listed mac the file does not have", "UtilityChs.xml",
         ('mac="${mac:controls/SampleCtl.dll}"', 'mac="1234"'),
         r"UtilityChs\.xml:5: item 1001: controls/SampleCtl\.dll: bad mac"),
    ]

    def test_each_bad_source_is_refused_and_out_kept(self):
        out = copy_of(fixture["out"], self)
        kept = snapshot(out)
        for name, file, (old, new), message in self.CASES:
            with self.subTest(name):
                source = copy_of(fixture["source"], self)
                edit(source / file, old, new)
                self.assertRefused(publish(source, out), message)
        with self.subTest("a key of the wrong kind"):
            swapped = ["--key", str(KEYS_DIR / "test-signing.key"),
                       "--sign", str(KEYS_DIR / "test.key")]
            result = publish(fixture["source"], out, swapped)
            self.assertRefused(result, r"test-signing\.key: --key: a 2048-bit key")
            self.assertRegex(result.stderr, r"test\.key: --sign: a 1024-bit key")
        with self.subTest("a folder of other files"):
            other = copy_of(fixture["source"], self)
            self.assertRefused(publish(fixture["source"], other),
                               r"holds files but no published tree")
        self.assertEqual(snapshot(out), kept)
        self.assertEqual([p.name for p in out.parent.iterdir()], [out.name])  # no staging left

    def assertRefused(self, result, message):
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertRegex(result.stderr, message)
        self.assertIn("left as it was", result.stderr)


if __name__ == "__main__":
    unittest.main()
