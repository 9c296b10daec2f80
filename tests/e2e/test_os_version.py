"""The Windows and browser version texts read from the real system, with Wine
set to report different Windows releases (per program, through
HKCU\\Software\\Wine\\AppDefaults\\<exe>\\Version)."""

import os
import shutil
import tempfile
import unittest
from pathlib import Path

from tests.e2e.harness import BUILD_DIR, to_windows, wine

PROBE = BUILD_DIR / "tests" / "e2e" / "probes" / "os_version_probe.exe"
LOW_VERSION_LINE = "失败事件：系统或IE版本过低 IE版本：6 系统版本：4"

# Wine's version setting -> (system text, "too old, OS major, OS minor, IE major").
# Wine's mshtml.dll is version 6.0.2800.1106: the browser major is 6.
RELEASES = {
    None: ("Windows 7 Professional,SP1", "0 6 1 6"),  # the prefix's default
    "winxp": ("Microsoft Windows XP Professional,SP3", "0 5 1 6"),
    "win2003": ("Microsoft Windows Server 2003 Standard Edition,SP2", "0 5 2 6"),
    "win2008": ("Windows Server Longhorn Standard Edition,SP2", "0 6 0 6"),
    "win2k": ("Microsoft Windows 2000 Professional,SP4", "0 5 0 6"),
    "nt40": ("Microsoft Windows NT Workstation 4.0,SP6a", "1 4 0 6"),
    "win98": ("Microsoft Windows 98 ,SE", "1 4 10 6"),
    "win10": (" Professional,", "0 6 2 6"),  # 6.2 without a manifest: not named
}

# A 64-bit program sees an x64 processor, where workstation editions go unnamed
# and server editions are the x64 ones (the test run's 64-bit build).
X64 = os.environ.get("WINEARCH") == "win64"
WORKSTATION_EDITIONS = (" Professional,", " Workstation 4.0,")


def on_this_processor(text):
    if not X64:
        return text
    for edition in WORKSTATION_EDITIONS:
        text = text.replace(edition, " ,")
    return text.replace(" Standard Edition,", " Standard x64 Edition,")


class OsVersionTest(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="tovral-osver-"))
        self.addCleanup(shutil.rmtree, self.work, True)

    def app_defaults_key(self, exe_name):
        return f"HKCU\\Software\\Wine\\AppDefaults\\{exe_name}"

    def run_probe(self, version):
        """Runs a copy of the probe that Wine shows `version`; returns (fields, data folder)."""
        name = f"os_version_probe_{version or 'default'}.exe"
        exe = self.work / name
        shutil.copy2(PROBE, exe)
        if version:
            key = self.app_defaults_key(name)
            wine(["reg", "add", key, "/v", "Version", "/d", version, "/f"], check=True)
            self.addCleanup(wine, ["reg", "delete", key, "/f"])
        data = self.work / f"data-{version or 'default'}"
        (data / "VeyrantSetting").mkdir(parents=True)
        (data / "VeyrantSetting" / "Default.cfg").write_text("<User><Debug/></User>")
        # Code page 936 so that the trace log keeps its Chinese text.
        result = wine([exe, to_windows(data) + "\\"], env={"LC_ALL": "zh_CN.UTF-8"})
        self.assertEqual(result.returncode, 0, result.stderr)
        fields = dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)
        return fields, data

    def test_releases(self):
        for version, (system_text, low) in RELEASES.items():
            with self.subTest(version=version):
                fields, data = self.run_probe(version)
                self.assertEqual(fields.get("query"), "1", fields)
                self.assertEqual(fields.get("system"), on_this_processor(system_text), fields)
                self.assertEqual(fields.get("ie"), "6", fields)
                self.assertEqual(fields.get("low"), low, fields)
                log = data / "VeyrantLog" / "VeyrantTrace.log"
                self.assertEqual(log.exists(), low.startswith("1"))

    def test_too_old_system_is_logged_once(self):
        fields, data = self.run_probe("nt40")
        self.assertEqual(fields.get("name"), "Microsoft Windows NT")
        self.assertEqual(fields.get("edition"), "" if X64 else "Workstation 4.0")
        self.assertEqual(fields.get("servicepack"), "Service Pack 6a")
        lines = (data / "VeyrantLog" / "VeyrantTrace.log").read_bytes().decode("gbk").splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].endswith(LOW_VERSION_LINE), lines)


if __name__ == "__main__":
    unittest.main()
