"""Registration of the control with regsvr32: the machine-wide and per-user
keys, and what unregistration removes and leaves."""

import unittest

from tests.e2e.harness import (BUILD_DIR, CLSID, reg_query, reg_query_keys, register_control,
                               to_windows, unregister_control, wine)

APPID = "{36F675CC-81E7-4EF5-A8E2-5D940ED90475}"
LIBID = "{D23F0824-128B-4F33-8C5C-7FD0A6A3A450}"


def expected_keys(root, module):
    """The class keys as they must be written under the classes root."""
    clsid = f"{root}\\CLSID\\{CLSID}"
    return {
        f"{root}\\AppID\\{APPID}": {"(Default)": "Tovral"},
        f"{root}\\AppID\\Tovral.DLL": {"AppID": APPID},
        f"{root}\\Tovral.DownLoad.1": {"(Default)": "DownLoad Class"},
        f"{root}\\Tovral.DownLoad.1\\CLSID": {"(Default)": CLSID},
        f"{root}\\Tovral.DownLoad": {"(Default)": "DownLoad Class"},
        f"{root}\\Tovral.DownLoad\\CLSID": {"(Default)": CLSID},
        f"{root}\\Tovral.DownLoad\\CurVer": {"(Default)": "Tovral.DownLoad.1"},
        clsid: {"(Default)": "DownLoad Class"},
        f"{clsid}\\ProgID": {"(Default)": "Tovral.DownLoad.1"},
        f"{clsid}\\VersionIndependentProgID": {"(Default)": "Tovral.DownLoad"},
        f"{clsid}\\Programmable": {},
        f"{clsid}\\InprocServer32": {"(Default)": module, "ThreadingModel": "Apartment"},
        f"{clsid}\\TypeLib": {"(Default)": LIBID},
    }


CLASS_KEYS = (f"AppID\\{APPID}", "AppID\\Tovral.DLL", "Tovral.DownLoad.1", "Tovral.DownLoad",
              f"CLSID\\{CLSID}")


def class_keys(root, more=()):
    """Everything registered for the control under the classes root (and
    under its keys `more`), read in one program start."""
    return reg_query_keys([f"{root}\\{key}" for key in CLASS_KEYS + tuple(more)])


class RegistrationTest(unittest.TestCase):
    MACHINE = "HKEY_CLASSES_ROOT"
    USER = "HKEY_CURRENT_USER\\Software\\Classes"

    @classmethod
    def setUpClass(cls):
        cls.module = to_windows(BUILD_DIR / "Tovral.DLL")

    def tearDown(self):
        unregister_control(per_user=True)
        self.assertEqual(register_control(), 0)  # the other tests need the class

    def test_machine_registration_and_unregistration(self):
        self.assertEqual(unregister_control(), 0)
        self.assertEqual(class_keys(self.MACHINE), {})
        self.assertEqual(register_control(), 0)
        self.assertEqual(class_keys(self.MACHINE), expected_keys(self.MACHINE, self.module))
        self.assertIn(f"{self.MACHINE}\\TypeLib\\{LIBID}\\1.0",
                      reg_query(f"{self.MACHINE}\\TypeLib\\{LIBID}"))

        self.assertEqual(unregister_control(), 0)
        self.assertEqual(class_keys(self.MACHINE), {})
        self.assertEqual(reg_query(f"{self.MACHINE}\\TypeLib\\{LIBID}"), {})
        # The shared roots stay.
        self.assertEqual(wine(["reg", "query", f"{self.MACHINE}\\AppID"]).returncode, 0)
        self.assertEqual(wine(["reg", "query", f"{self.MACHINE}\\CLSID"]).returncode, 0)

    def test_per_user_registration_in_either_case(self):
        for command in ("user", "USER"):
            with self.subTest(command=command):
                args = ["regsvr32", "/s", "/n", f"/i:{command}", self.module]
                self.assertEqual(wine(args).returncode, 0)
                self.assertEqual(class_keys(self.USER), expected_keys(self.USER, self.module))
                self.assertEqual(wine(args[:2] + ["/u"] + args[2:]).returncode, 0)
                self.assertEqual(class_keys(self.USER), {})

    def test_a_module_that_cannot_load_is_reported(self):
        self.assertEqual(wine(["regsvr32", "/s", "C:\\no\\such\\Tovral.DLL"]).returncode, 3)


if __name__ == "__main__":
    unittest.main()
