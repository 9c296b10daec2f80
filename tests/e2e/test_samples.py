"""The sample components (tools/samples) under Wine: the bank's controls, self-test
libraries, installers, cabinet and updater must behave as real ones do before the
control is tested against them. Facts come from build/samples/samples.json."""

import configparser
import shutil
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from tests.e2e.harness import (BUILD_DIR, SAMPLES_DIR, appdata_folder, data_folder,
                               reg_query, reset_data_folder, to_unix, to_windows, wine,
                               wine_env)
from tools.bankserver.server_tree import sample_facts

PROBE = BUILD_DIR / "tests" / "e2e" / "probes" / "sample_probe.exe"
FACTS = sample_facts(BUILD_DIR)
CLASS_NOT_REGISTERED = "0x80040154"


def write_hand_off_list(text):
    """Leaves `text` in the self-update folder's waiter.cfg as the control
    writes it: UTF-16LE, every byte XORed with its length's low byte and 0x6B."""
    data = text.encode("utf-16-le")
    key = (len(data) % 256) ^ 0x6B
    folder = data_folder() / "AssemblyUpdate"
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "waiter.cfg").write_bytes(bytes(b ^ key for b in data))


def probe(*args):
    """Runs the probe; (exit code, its key=value lines as a dict)."""
    result = wine([PROBE, *args])
    lines = [line.split("=", 1) for line in result.stdout.splitlines() if "=" in line]
    return result.returncode, dict(lines)


def probe_files(*args):
    result = wine([PROBE, *args])
    return [line[5:] for line in result.stdout.splitlines() if line.startswith("file=")]


def delete_key(key):
    wine(["reg", "delete", key, "/f"])


class ControlTest(unittest.TestCase):
    CONTROLS = ["SampleCtl.dll", "SampleCtl.ocx"]

    def regsvr32(self, name, *flags):
        return wine(["regsvr32", "/s", *flags, to_windows(SAMPLES_DIR / name)]).returncode

    def test_each_build_registers_and_unregisters_only_its_own_class(self):
        for name in self.CONTROLS:
            fact = FACTS[name]
            class_key = f"HKEY_CLASSES_ROOT\\CLSID\\{fact['clsid']}"
            self.assertEqual(self.regsvr32(name), 0, name)
            self.addCleanup(self.regsvr32, name, "/u")
            keys = reg_query(class_key)
            self.assertEqual(keys[class_key]["(Default)"], fact["description"])
            server = keys[class_key + "\\InprocServer32"]
            self.assertEqual(server["(Default)"].lower(), to_windows(SAMPLES_DIR / name).lower())
            self.assertEqual(server["ThreadingModel"], "Apartment")
            for other in self.CONTROLS:
                expected = "0x00000000" if other == name else CLASS_NOT_REGISTERED
                self.assertEqual(probe("create", FACTS[other]["clsid"])[1]["hr"], expected,
                                 f"{other} while {name} is registered")

            self.assertEqual(self.regsvr32(name, "/u"), 0, name)
            self.assertEqual(reg_query(class_key), {})
            self.assertEqual(probe("create", fact["clsid"])[1]["hr"], CLASS_NOT_REGISTERED)

    def test_version_blocks(self):
        for name in ["SampleCtl.dll", "SampleCtl.ocx", "SampleCab.dll", "BankClient.exe"]:
            rc, out = probe("version", to_windows(SAMPLES_DIR / name))
            self.assertEqual(rc, 0, name)
            self.assertEqual(out["version"], FACTS[name]["version"], name)
            self.assertEqual(out["description"], FACTS[name]["description"], name)
        self.assertEqual(FACTS["SampleCtl.dll"]["version"], "1.0.0.1")


class CheckLibraryTest(unittest.TestCase):
    def test_entry_results(self):
        for name in ["CheckOk.dll", "CheckFail.dll"]:
            rc, out = probe("check", to_windows(SAMPLES_DIR / name))
            self.assertEqual(rc, 0, name)
            self.assertEqual(int(out["code"]), FACTS[name]["code"], name)
            self.assertEqual(out["message"], FACTS[name]["message"], name)
        self.assertEqual(FACTS["CheckFail.dll"]["code"], -3)
        rc, out = probe("check", to_windows(SAMPLES_DIR / "CheckNoExport.dll"))
        self.assertEqual((rc, out), (4, {"entry": "none"}))


class InstallerTest(unittest.TestCase):
    """Installers run as the control starts them; exit codes seen from Windows (the
    Linux side keeps only their low byte)."""

    def registry(self, fact):
        key = f"{fact['registry']['root']}\\{fact['registry']['key']}"
        return reg_query(key).get(key, {})

    def start(self, name):
        return int(probe("open", to_windows(SAMPLES_DIR / name))[1]["exit"])

    def assertInstalled(self, fact):
        values = self.registry(fact)
        self.assertEqual(values.get(fact["registry"]["value"]), fact["registry"]["data"], values)
        folder = to_unix(values[fact["install_dir_value"]])
        # Per user: under the user's own local application data.
        self.assertEqual(folder.parent.parent.resolve(), (appdata_folder().parent / "Local").resolve())
        self.assertTrue((folder / fact["installed_file"]).is_file())
        return folder

    def test_setup_and_its_cancelled_variant(self):
        fact = FACTS["BankClientSetup.exe"]
        self.addCleanup(delete_key, f"HKCU\\{fact['registry']['key']}")
        delete_key(f"HKCU\\{fact['registry']['key']}")
        self.assertEqual(self.start("BankClientSetupCancel.exe"), 1602)
        self.assertEqual(self.registry(fact), {})
        self.assertEqual(self.start("BankClientSetup.exe"), 0)
        self.assertEqual(self.assertInstalled(fact).name, "BankClient")

    def test_msi_installs_per_user_and_uninstalls(self):
        fact = FACTS["BankClientMsi.msi"]
        msi = to_windows(SAMPLES_DIR / "BankClientMsi.msi")
        self.addCleanup(wine, ["msiexec", "/x", fact["product_code"], "/qn"])
        self.assertEqual(wine(["msiexec", "/i", msi, "/qn"]).returncode, 0)
        folder = self.assertInstalled(fact)
        self.assertEqual(wine(["msiexec", "/x", msi, "/qn"]).returncode, 0)
        self.assertEqual(self.registry(fact), {})
        self.assertFalse(folder.exists())
        # Opened through the shell, as the control installs a downloaded package.
        self.assertEqual(self.start("BankClientMsi.msi"), 0)
        self.assertInstalled(fact)
        self.assertEqual(wine(["msiexec", "/x", fact["product_code"], "/qn"]).returncode, 0)
        self.assertEqual(self.registry(fact), {})


class CabinetTest(unittest.TestCase):
    def test_contents_and_inf(self):
        fact = FACTS["SampleCab.cab"]
        cab = SAMPLES_DIR / "SampleCab.cab"
        listed = subprocess.run(["gcab", "-t", str(cab)], capture_output=True, text=True,
                                check=True).stdout.split()
        self.assertEqual(sorted(listed), sorted(fact["contents"]))
        self.assertEqual(sorted(probe_files("cab", to_windows(cab))), sorted(fact["contents"]))

        out = Path(tempfile.mkdtemp(prefix="tovral-cab-"))
        self.addCleanup(shutil.rmtree, out, True)
        subprocess.run(["gcab", "-x", "-C", str(out), str(cab)], check=True)
        self.assertEqual((out / "SampleCab.dll").read_bytes(),
                         (SAMPLES_DIR / "SampleCab.dll").read_bytes())
        inf = configparser.ConfigParser(interpolation=None, delimiters=("=",))
        inf.optionxform = str
        inf.read(out / fact["inf"], encoding="ascii")
        self.assertEqual(dict(inf["Add.Code"]), {"SampleCab.dll": "SampleCab.dll",
                                                 "SampleCabData.dat": "SampleCabData.dat"})
        self.assertEqual(inf["SampleCab.dll"]["RegisterServer"], "yes")
        self.assertEqual(inf["SampleCab.dll"]["clsid"], fact["clsid"])
        self.assertNotIn("destdir", inf["SampleCab.dll"])
        self.assertEqual(inf["SampleCabData.dat"]["destdir"], "10")
        self.assertNotIn("RegisterServer", inf["SampleCabData.dat"])


class UpdaterTest(unittest.TestCase):
    LIST = "Tovral.DLL|1.0.0.2\r\n更新文件.dll|3"

    def setUp(self):
        reset_data_folder()
        self.addCleanup(reset_data_folder)
        self.work = Path(tempfile.mkdtemp(prefix="tovral-updater-"))
        self.addCleanup(shutil.rmtree, self.work, True)

    def start_process(self, milliseconds):
        """A Windows process that lives `milliseconds`; (Popen, its Windows pid)."""
        process = subprocess.Popen(["wine", str(PROBE), "pid", str(milliseconds)],
                                   env=wine_env(), stdout=subprocess.PIPE, text=True)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait, 30)
        return process, process.stdout.readline().strip().removeprefix("pid=")

    def run_updater(self, pid):
        started = time.monotonic()
        result = wine([SAMPLES_DIR / "UpdateFiles.exe", pid], cwd=self.work)
        self.assertEqual(result.returncode, 0)
        text = (self.work / "UpdateFiles.log").read_bytes().decode("utf-8")
        head, _, listed = text.partition("\r\nlist=")
        record = dict(line.split("=", 1) for line in head.split("\r\n"))
        self.assertEqual(record["pid"], pid)
        self.assertEqual(record["cwd"].lower(), to_windows(self.work).lower())
        self.assertEqual(record["exe"].lower(), to_windows(SAMPLES_DIR / "UpdateFiles.exe").lower())
        return record["waited"], listed.removesuffix("\r\n"), time.monotonic() - started

    def test_waits_for_the_process_and_decodes_the_list(self):
        write_hand_off_list(self.LIST)
        _, pid = self.start_process(3000)
        waited, listed, seconds = self.run_updater(pid)
        self.assertEqual((waited, listed), ("ok", self.LIST))
        self.assertGreater(seconds, 1.5)

    def test_without_list_or_process(self):
        process, pid = self.start_process(0)
        process.wait(30)
        self.assertEqual(self.run_updater(pid)[:2], ("noprocess", "<none>"))


if __name__ == "__main__":
    unittest.main()
