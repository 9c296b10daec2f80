#!/usr/bin/env python3
"""./tovral demo: the control on a bank page, end to end.

Starts the local bank server on a tree that the packer builds from the plain
sample configuration, installs a client application folder with the page
host, runs the demo page (QueryUpdate against the server, UpdateCancel, the
settings methods) and prints what the page saw, the files the update check
put in place and the trace lines it wrote."""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR))

from tools.bankserver.bankserver import BankServer  # noqa: E402
from tools.bankserver.server_tree import (SAMPLE_DIR, Packer, ServerTree,  # noqa: E402
                                          windows_path)

BUILD_DIR = Path(os.environ.get("TOVRAL_BUILD_DIR", SOURCE_DIR / "build"))


def wine(args, **kwargs):
    env = dict(os.environ, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"),
               LC_ALL="zh_CN.UTF-8")  # a Chinese PC: the trace log in code page 936
    return subprocess.run(["wine", *map(str, args)], env=env, capture_output=True,
                          encoding="utf-8", errors="replace", **kwargs)


def data_folder():
    appdata = wine(["cmd.exe", "/c", "echo", "%APPDATA%"]).stdout.strip()
    unix = subprocess.run(["winepath", "-u", appdata], capture_output=True, text=True,
                          check=True).stdout.strip()
    return Path(unix) / "Zelmor"


def make_client_folder(root, server_url):
    client = root / "client"
    client.mkdir()
    shutil.copy2(BUILD_DIR / "TovralHost.exe", client)
    shutil.copy2(BUILD_DIR / "samples" / "BankClient.exe", client)  # the installed application
    (client / "Quellmark.exe.config").write_text(
        f'<?xml version="1.0" encoding="utf-8"?>\n<configuration>\n'
        f'  <RootUrl Value="{server_url}"/>\n</configuration>\n', encoding="utf-8")
    return client


def print_section(title, lines):
    print(f"\n== {title}")
    for line in lines:
        print(f"  {line}")


def main():
    data = data_folder()
    shutil.rmtree(data, ignore_errors=True)  # a PC that never ran the control
    (data / "VeyrantSetting").mkdir(parents=True)
    (data / "VeyrantSetting" / "Default.cfg").write_text("<User>\n<Debug/>\n</User>",
                                                         encoding="utf-8")
    with tempfile.TemporaryDirectory(prefix="tovral-demo-") as work:
        work = Path(work)
        bank = work / "bank"
        bank.mkdir()
        with BankServer(bank) as server:
            print(f"bank server: {server.url} (tree built by the packer from {SAMPLE_DIR})")
            ServerTree(bank, server.url, Packer(BUILD_DIR)).build()
            client = make_client_folder(work, server.url)
            page_script = windows_path(SOURCE_DIR / "tools" / "demo" / "demo_page.js")
            page = wine([client / "TovralHost.exe", page_script], timeout=300)
            print_section("the page", page.stdout.splitlines())
            if page.returncode != 0:
                print(page.stderr, file=sys.stderr)
                return page.returncode
            print_section("requests the bank server answered",
                          [f"{r.method} /{r.key}" for r in server.requests])
    settings = sorted(p.name for p in (data / "VeyrantSetting").iterdir())
    print_section("settings folder after the update check", settings)
    trace = (data / "VeyrantLog" / "VeyrantTrace.log").read_bytes().decode("gbk", "replace")
    print_section("trace log (VeyrantTrace.log)", trace.splitlines())
    return 0


if __name__ == "__main__":
    sys.exit(main())
