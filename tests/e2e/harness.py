"""Shared plumbing of the end-to-end tests: the Wine prefix that ./tovral test
made for this run, the built programs, client application folders for the
page host, and the control's per-user data folder."""

import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("TOVRAL_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("TOVRAL_BUILD_DIR", SOURCE_DIR / "build"))
SAMPLES_DIR = BUILD_DIR / "samples"  # the sample components (tools/samples)
CLSID = "{6513270E-269E-4D37-B2A7-4DE452E6B438}"
# The control as configured (TOVRAL_SIGNATURE_POLICY, "off" unless set), and
# the same control with the signatures of the encrypted files required.
DEFAULT_DLL = BUILD_DIR / "Tovral.DLL"
SIGNED_DLL = BUILD_DIR / "signed" / "Tovral.DLL"
DEFAULT_SIGNATURE_POLICY = os.environ.get("TOVRAL_SIGNATURE_POLICY", "off")


def wine_env(extra=None):
    env = dict(os.environ)
    if "WINEPREFIX" not in env:
        raise RuntimeError("WINEPREFIX is not set: run through ./tovral (test, bench or fuzz)")
    env["WINEARCH"] = "win32"
    env.setdefault("WINEDEBUG", "-all")
    env.update(extra or {})
    return env


def wine(args, env=None, timeout=120, check=False, input=None, cwd=None):
    """Runs a Windows program; returns the CompletedProcess (text output).

    Under heavy load Wine's own loader now and then dies of a signal before the
    program has run at all (no output, a negative exit status); such a start is
    retried once. A program that crashes does not look like that: Wine reports
    the fault, or the control's crash filter ends the process with code 1."""
    for attempt in range(2):
        result = subprocess.run(["wine", *map(str, args)], env=wine_env(env), timeout=timeout,
                                capture_output=True, input=input, check=check, cwd=cwd,
                                encoding="utf-8", errors="replace")
        if not (result.returncode < 0 and not result.stdout and not result.stderr):
            break
    return result


def to_windows(path):
    return subprocess.run(["winepath", "-w", str(path)], env=wine_env(), capture_output=True,
                          text=True, check=True).stdout.strip()


def to_unix(path):
    return Path(subprocess.run(["winepath", "-u", str(path)], env=wine_env(),
                               capture_output=True, text=True, check=True).stdout.strip())


_user_folders = {}


def user_folder(variable):
    """Unix path of one of the prefix user's folders by its variable
    ("APPDATA", "LOCALAPPDATA"), asked of Wine once."""
    if variable not in _user_folders:
        out = wine(["cmd.exe", "/c", "echo", f"%{variable}%"], check=True).stdout.strip()
        _user_folders[variable] = to_unix(out)
    return _user_folders[variable]


def appdata_folder():
    return user_folder("APPDATA")


def local_appdata_folder():
    return user_folder("LOCALAPPDATA")


def data_folder():
    """The control's data folder: %APPDATA%\\Zelmor (Unix path)."""
    return appdata_folder() / "Zelmor"


def reset_data_folder():
    shutil.rmtree(data_folder(), ignore_errors=True)


def register_control(per_user=False, dll=DEFAULT_DLL):
    args = ["regsvr32", "/s"] + (["/n", "/i:user"] if per_user else [])
    return wine(args + [to_windows(dll)]).returncode


def unregister_control(per_user=False, dll=DEFAULT_DLL):
    args = ["regsvr32", "/s", "/u"] + (["/n", "/i:user"] if per_user else [])
    return wine(args + [to_windows(dll)]).returncode


def start_bank_server(test, packer):
    """A local bank server for one test on a fresh tree folder, stopped and
    removed after the test; returns the folder, the server and its ServerTree."""
    from tools.bankserver.bankserver import BankServer
    from tools.bankserver.server_tree import ServerTree
    root = Path(tempfile.mkdtemp(prefix="tovral-bank-"))
    test.addCleanup(shutil.rmtree, root, True)
    server = BankServer(root)
    server.start()
    test.addCleanup(server.stop)
    return root, server, ServerTree(root, server.url, packer)


class ClientFolder:
    """A client application folder: a copy of the page host beside its
    Quellmark.exe.config, as the bank's client application is installed."""

    def __init__(self, root_url="http://127.0.0.1:9/bank", config_text=None):
        self.path = Path(tempfile.mkdtemp(prefix="tovral-client-"))
        shutil.copy2(BUILD_DIR / "TovralHost.exe", self.path / "TovralHost.exe")
        if config_text is None and root_url is not None:
            config_text = ('<?xml version="1.0" encoding="utf-8"?>\n<configuration>\n'
                           f'  <RootUrl Value="{root_url}"/>\n</configuration>\n')
        if config_text is not None:
            (self.path / "Quellmark.exe.config").write_text(config_text, encoding="utf-8")

    def add_sample_client(self):
        """The installed client application and the availability library that
        the sample catalogue names (checks\\CheckOk.dll)."""
        shutil.copy2(SAMPLES_DIR / "BankClient.exe", self.path)
        (self.path / "checks").mkdir(exist_ok=True)
        shutil.copy2(SAMPLES_DIR / "CheckOk.dll", self.path / "checks" / "CheckOk.dll")
        return self

    def run_page(self, page, args=(), env=None, timeout=120):
        """Runs a page script (a Path, or the script text itself) in the page host."""
        if isinstance(page, Path):
            script = page
        else:
            script = self.path / "page.js"
            script.write_text(page, encoding="utf-8")
        return wine([self.path / "TovralHost.exe", to_windows(script), *args],
                    env=env, timeout=timeout)

    def windows_path(self):
        return to_windows(self.path)

    def close(self):
        shutil.rmtree(self.path, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class PageTestCase(unittest.TestCase):
    """Base of the page-script tests: the control registered, a fresh data
    folder for every test, and a client folder the test can replace. A class
    may register another build of the control (control_dll); the default one
    is registered again after it."""

    control_dll = DEFAULT_DLL

    @classmethod
    def setUpClass(cls):
        if cls.control_dll != DEFAULT_DLL:
            cls.addClassCleanup(register_control)
        rc = register_control(dll=cls.control_dll)
        if rc != 0:
            raise RuntimeError(f"regsvr32 failed with {rc}")

    def setUp(self):
        reset_data_folder()
        self.client = ClientFolder()
        self.addCleanup(lambda: self.client.close())

    def run_page(self, page, *args, **kwargs):
        return self.client.run_page(page, *args, **kwargs)

    def assertPageOk(self, result, msg=None):
        self.assertEqual(result.returncode, 0,
                         msg or f"page failed:\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}")


def reg(*args):
    return wine(["reg", *args])


def reg_values(key):
    """{name: (type, data)} of one key's values, read with reg.exe; None when
    the key is missing. Columns are four blanks apart, so names may hold one."""
    result = reg("query", key)
    if result.returncode != 0:
        return None
    found = {}
    for line in result.stdout.splitlines():
        if line.startswith("    "):
            parts = line[4:].split("    ")
            found[parts[0]] = (parts[1], parts[2] if len(parts) > 2 else "")
    return found


def reg_query(key):
    """Every subkey of `key` (itself included) with its values, read with
    Wine's reg.exe: {"KEY\\SUB": {"(Default)": "text", "Name": "text"}}.
    Empty when the key does not exist."""
    result = wine(["reg", "query", key, "/s"])
    keys, current = {}, None
    for line in result.stdout.splitlines():
        if line.startswith("HKEY_"):
            current = keys.setdefault(line.strip(), {})
        elif current is not None and line.startswith("    "):
            parts = line.strip().split(None, 2)
            if len(parts) >= 2:
                current[parts[0]] = parts[2] if len(parts) == 3 else ""
    return keys


# A small assertion kit for page scripts: check() ends the page with exit
# code 1 and the reason, so a failing page shows what went wrong.
PAGE_PRELUDE = r"""
function check(ok, what) { if (!ok) { host.echo("FAIL: " + what); host.exit(1); } }
function same(actual, expected, what) {
  check(actual === expected, what + ": got [" + actual + "] expected [" + expected + "]");
}
"""


# Pages that read trace lines run with the Chinese ANSI code page, so the
# trace log keeps its Chinese text (code page 936).
CHINESE_ANSI = {"LC_ALL": "zh_CN.UTF-8"}


def trace_texts():
    """The trace log's texts without their time prefix, decoded from code page 936."""
    path = data_folder() / "VeyrantLog" / "VeyrantTrace.log"
    if not path.exists():
        return []
    texts = []
    for line in path.read_bytes().decode("gbk", errors="replace").split("\n"):
        if line:
            # "时间：YYYY-MM-DD hh:mm:ss " is 3 + 19 + 1 characters.
            texts.append(line[23:] if line.startswith("时间：") else line)
    return texts


def clear_trace():
    (data_folder() / "VeyrantLog" / "VeyrantTrace.log").unlink(missing_ok=True)


def write_user_settings(text):
    """Writes the data folder's Default.cfg."""
    settings = data_folder() / "VeyrantSetting"
    settings.mkdir(parents=True, exist_ok=True)
    (settings / "Default.cfg").write_text(text, encoding="utf-8")
