"""The distribution packages of ./tovral package (build/package/): their
Authenticode signatures, the cabinet installed by the control's own cabinet
installer, and the per-user MSI installed and removed by msiexec. Facts come
from build/distribution/package.json."""

import configparser
import json
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from tests.e2e.harness import (BUILD_DIR, CLSID, reg_query, reg_query_keys, register_control,
                               to_unix, to_windows, unregister_control, wine)
from tests.e2e.test_registration import APPID, LIBID, class_keys, expected_keys

FACTS = json.loads((BUILD_DIR / "distribution" / "package.json").read_text(encoding="utf-8"))
PACKAGES = {name: Path(path) for name, path in FACTS["files"].items()}
PROBE = BUILD_DIR / "tests" / "e2e" / "probes" / "package_probe.exe"
SAMPLE_PROBE = BUILD_DIR / "tests" / "e2e" / "probes" / "sample_probe.exe"
IID_IDOWNLOAD = "{9531985D-5D9D-49F8-9818-E811892F902B}"
CLASS_NOT_REGISTERED = "0x80040154"
MACHINE = "HKEY_LOCAL_MACHINE\\Software\\Classes"
USER = "HKEY_CURRENT_USER\\Software\\Classes"


def verify(path):
    """osslsigncode verify against the test CA (or, for a bank's own
    certificate, the system's CA list); the CompletedProcess."""
    args = ["osslsigncode", "verify"]
    if FACTS["signing"] == "test":
        args += ["-CAfile", FACTS["signing_ca"]]
    return subprocess.run(args + ["-in", str(path)], capture_output=True, text=True, timeout=120)


def probe(*args):
    """Runs the package probe; its key=value lines as a dict."""
    result = wine([PROBE, *args])
    lines = [line.split("=", 1) for line in result.stdout.splitlines() if "=" in line]
    return dict(lines) | {"_output": result.stdout + result.stderr}


def temporary_folder(test):
    folder = Path(tempfile.mkdtemp(prefix="tovral-package-"))
    test.addCleanup(shutil.rmtree, folder, True)
    return folder


def registered_keys(root):
    """Everything registration writes for the control under a classes root:
    the class keys, the type library and its interface, with key names
    relative to the root and lower-cased (Wine keeps whichever case a key was
    first created with)."""
    found = class_keys(root, TYPELIB_KEYS)
    return {key[len(root):].lower(): values for key, values in found.items()}


TYPELIB_KEYS = (f"TypeLib\\{LIBID}", f"Interface\\{IID_IDOWNLOAD}")


def typelib_keys(root):
    return reg_query_keys([f"{root}\\{key}" for key in TYPELIB_KEYS])


class SignatureTest(unittest.TestCase):
    def test_every_package_verifies(self):
        for name, path in PACKAGES.items():
            with self.subTest(package=name):
                result = verify(path)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertIn("Signature verification: ok", result.stdout)
                if FACTS["signing"] == "test":
                    self.assertIn("CN=Zelmor Test Code Signing", result.stdout)

    def test_a_changed_byte_breaks_the_signature(self):
        work = temporary_folder(self)
        for name, path in PACKAGES.items():
            with self.subTest(package=name):
                data = bytearray(path.read_bytes())
                # Inside the signed content: the signature sits at the end of
                # the DLL and the cabinet, and the MSI is mostly its cabinet.
                for offset in (len(data) // 4, len(data) // 2):
                    data[offset] ^= 0x01
                copy = work / path.name
                copy.write_bytes(data)
                result = verify(copy)
                self.assertNotEqual(result.returncode, 0, result.stdout)
                self.assertNotIn("Signature verification: ok", result.stdout)

    def test_the_packages_carry_the_signed_dll(self):
        signed = PACKAGES["dll"].read_bytes()
        work = temporary_folder(self)
        subprocess.run(["gcab", "-x", "-C", str(work / "cab"), str(PACKAGES["cab"])], check=True)
        subprocess.run(["msiextract", "-C", str(work / "msi"), str(PACKAGES["msi"])], check=True,
                       capture_output=True)
        from_msi = list((work / "msi").rglob("Tovral.DLL"))
        self.assertEqual(len(from_msi), 1, list((work / "msi").rglob("*")))
        self.assertEqual((work / "cab" / "Tovral.DLL").read_bytes(), signed)
        self.assertEqual(from_msi[0].read_bytes(), signed)
        # Shipped without the build's debugging information.
        self.assertLess(len(signed), (BUILD_DIR / "Tovral.DLL").stat().st_size)


class CabinetTest(unittest.TestCase):
    """Tovral.cab as a page's codebase delivers it, installed by the control's
    own cabinet installer."""

    @classmethod
    def tearDownClass(cls):
        register_control()  # the other tests need the build's class registered

    def test_inf_matches_the_dll(self):
        work = temporary_folder(self)
        listed = subprocess.run(["gcab", "-t", str(PACKAGES["cab"])], capture_output=True,
                                text=True, check=True).stdout.split()
        self.assertEqual(sorted(listed), ["Tovral.DLL", "Tovral.inf"])
        subprocess.run(["gcab", "-x", "-C", str(work), str(PACKAGES["cab"])], check=True)
        raw = (work / "Tovral.inf").read_bytes()
        self.assertIn(b"\r\n", raw)  # GetPrivateProfileSectionW and setupapi read CRLF lines
        inf = configparser.ConfigParser(interpolation=None, delimiters=("=",),
                                        comment_prefixes=(";",))
        inf.optionxform = str
        inf.read_string(raw.decode("ascii"))
        self.assertEqual(dict(inf["Add.Code"]), {"Tovral.DLL": "Tovral.DLL"})
        section = inf["Tovral.DLL"]
        self.assertEqual(section["RegisterServer"], "yes")
        self.assertNotIn("destdir", section)  # the system folder
        self.assertEqual(section["clsid"], CLSID)
        self.assertEqual(section["FileVersion"], FACTS["codebase_version"])
        # The page's "#version=" is the DLL's own file version.
        result = wine([SAMPLE_PROBE, "version", to_windows(PACKAGES["dll"])])
        self.assertIn(f"version={FACTS['version']}", result.stdout.splitlines())
        self.assertEqual(FACTS["codebase_version"], FACTS["version"].replace(".", ","))

    def test_installs_into_the_system_folder_registers_and_uninstalls(self):
        system_dll = "C:\\windows\\system32\\Tovral.DLL"
        installed = to_unix(system_dll)
        self.addCleanup(lambda: installed.unlink(missing_ok=True))
        self.addCleanup(wine, ["regsvr32", "/s", "/u", system_dll])
        unregister_control()  # the build's DLL, if a test before registered it
        work = temporary_folder(self)
        cabinet = work / "Tovral.cab"
        shutil.copy2(PACKAGES["cab"], cabinet)

        out = probe("cab", to_windows(cabinet))
        self.assertEqual(out.get("result"), "1", out["_output"])
        self.assertEqual(installed.read_bytes(), PACKAGES["dll"].read_bytes())
        self.assertFalse((work / "Tovral").exists(), "the extraction folder stays")
        self.assertTrue(cabinet.exists())
        self.assertEqual(class_keys("HKEY_CLASSES_ROOT"),
                         expected_keys("HKEY_CLASSES_ROOT", system_dll))
        typelib = reg_query(f"HKEY_CLASSES_ROOT\\TypeLib\\{LIBID}\\1.0\\409\\win32")
        self.assertEqual(list(typelib.values()), [{"(Default)": system_dll}])
        out = probe("create", "Tovral.DownLoad")
        self.assertEqual(out.get("hr"), "0x00000000", out["_output"])
        self.assertEqual(out["server"].lower(), system_dll.lower())

        self.assertEqual(wine(["regsvr32", "/s", "/u", system_dll]).returncode, 0)
        installed.unlink()
        self.assertEqual(class_keys("HKEY_CLASSES_ROOT"), {})
        self.assertEqual(reg_query(f"HKEY_CLASSES_ROOT\\TypeLib\\{LIBID}"), {})
        self.assertEqual(probe("create", CLSID).get("hr"), CLASS_NOT_REGISTERED)


class MsiTest(unittest.TestCase):
    """Tovral.msi installs for the user alone, without elevation."""

    def setUp(self):
        # No registration of the build's DLL in the way: the keys seen below
        # are the package's alone.
        unregister_control(per_user=True)
        unregister_control()
        self.addCleanup(register_control)
        self.msi = to_windows(PACKAGES["msi"])
        self.addCleanup(wine, ["msiexec", "/x", FACTS["msi_product_code"], "/qn"])
        local = wine(["cmd.exe", "/c", "echo", "%LOCALAPPDATA%"], check=True).stdout.strip()
        self.module = f"{local}\\Zelmor\\Tovral\\Tovral.DLL"
        self.installed = to_unix(self.module)
        self.set_aside_other_bank_files()

    def set_aside_other_bank_files(self):
        """Other tests share the prefix and may have left the bank's other
        programs in the Zelmor folder; these tests see only what the package
        does to it."""
        bank_folder = self.installed.parent.parent
        if not bank_folder.exists():
            return
        aside = bank_folder.with_name("Zelmor.set-aside")
        bank_folder.rename(aside)
        self.addCleanup(aside.rename, bank_folder)
        self.addCleanup(shutil.rmtree, bank_folder, True)

    def assertNothingRegistered(self):
        self.assertEqual(registered_keys(USER), {})
        self.assertEqual(registered_keys(MACHINE), {})

    def test_installs_per_user_and_uninstalls_cleanly(self):
        self.assertEqual(wine(["msiexec", "/i", self.msi, "/qn"]).returncode, 0)
        self.assertEqual(self.installed.read_bytes(), PACKAGES["dll"].read_bytes())
        self.assertEqual(class_keys(USER), expected_keys(USER, self.module))
        typelib = f"{USER}\\TypeLib\\{LIBID}\\1.0".lower()
        typelib_values = {k.lower(): v for k, v in typelib_keys(USER).items()}
        self.assertEqual(typelib_values[f"{typelib}\\409\\win32"], {"(Default)": self.module})
        self.assertEqual(typelib_values[f"{typelib}\\helpdir"],
                         {"(Default)": self.module.rsplit("\\", 1)[0]})
        self.assertEqual(registered_keys(MACHINE), {})  # nothing machine-wide
        # The class is served by the installed file. Wine 8 looks only
        # machine-wide, so the probe also does COM's per-user look-up by hand.
        out = probe("create", CLSID)
        if out.get("hr") != CLASS_NOT_REGISTERED:
            self.assertEqual(out.get("hr"), "0x00000000", out["_output"])
            self.assertEqual(out["server"].lower(), self.module.lower())
        out = probe("user", CLSID)
        self.assertEqual(out.get("hr"), "0x00000000", out["_output"])
        self.assertEqual(out["server"].lower(), self.module.lower())
        installed_keys = registered_keys(USER)

        self.assertEqual(wine(["msiexec", "/x", self.msi, "/qn"]).returncode, 0)
        self.assertNothingRegistered()
        self.assertFalse(self.installed.parent.exists())
        self.assertFalse(self.installed.parent.parent.exists(), "an empty Zelmor folder stays")

        # The package writes what per-user registration of the same file
        # writes. (Wine registers the type library machine-wide even then.)
        self.installed.parent.mkdir(parents=True)
        self.addCleanup(shutil.rmtree, self.installed.parent.parent, True)
        shutil.copy2(PACKAGES["dll"], self.installed)
        user_args = ["regsvr32", "/s", "/n", "/i:user", self.module]
        self.assertEqual(wine(user_args).returncode, 0)
        self.addCleanup(wine, user_args[:2] + ["/u"] + user_args[2:])
        by_registration = registered_keys(USER)
        by_registration.update(registered_keys(MACHINE))
        self.assertEqual(installed_keys, by_registration)

    def test_the_zelmor_folder_stays_while_it_holds_other_files(self):
        other = self.installed.parent.parent / "BankClient" / "keep.txt"
        other.parent.mkdir(parents=True, exist_ok=True)
        self.addCleanup(shutil.rmtree, other.parent, True)
        other.write_text("another program of the bank")
        self.assertEqual(wine(["msiexec", "/i", self.msi, "/qn"]).returncode, 0)
        self.assertEqual(wine(["msiexec", "/x", self.msi, "/qn"]).returncode, 0)
        self.assertFalse(self.installed.parent.exists())
        self.assertTrue(other.exists())
        self.assertNothingRegistered()


if __name__ == "__main__":
    unittest.main()
