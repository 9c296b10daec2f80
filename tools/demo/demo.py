#!/usr/bin/env python3
"""./tovral demo: the control on a bank page, end to end.

Publishes the sample bank (./tovral publish: every configuration file
encrypted and signed, the version list written), verifies the tree as the
control would (./tovral verify), serves it with nginx on 127.0.0.1, makes a
client application folder with the page host,
runs the demo page (the update check, the settings methods, the list of the
sample components, one download batch that installs them, statuses before
and after, the diagnosis, the patch check and the bank's links) and prints
what the page saw, the requests the server answered, what the batch put on
the PC, the files the update check put in place and the trace log. Then the
bank publishes a new client release (publish again: only the update list's
Version rises) and a second page visit hands it to the updater, which
records what it was given.

It runs in the project's Wine prefix (WINEPREFIX, set by ./tovral) and reuses
the end-to-end tests' plumbing for Wine, the data folder and the client
folder. What the sample components installed in an earlier run is removed
first, so every run starts from a PC without them."""

import shutil
import sys
import tempfile
import time
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR))

from tests.e2e.harness import (BUILD_DIR, CHINESE_ANSI,  # noqa: E402
                               ClientFolder, data_folder, to_unix)
from tests.e2e.sample_bank import (APP_KEYS, CERT_KEY, CERT_STORE, CLSID,  # noqa: E402
                                   reg, reg_values, remove_installed_samples)
from tools.bankserver.nginx import Nginx  # noqa: E402
from tools.bankserver.server_tree import write_sample_source  # noqa: E402
from tools.publish import publish, verify  # noqa: E402
from tools.publish.tree import KEYS_DIR  # noqa: E402

PAGE = SOURCE_DIR / "tools" / "demo" / "demo_page.js"
SELF_UPDATE_PAGE = SOURCE_DIR / "tools" / "demo" / "self_update_page.js"

# What the bank adds to its update list for the new release: the updater
# that replaces the client's files once the browser has ended. The client
# itself is unchanged (its checksum matches), so only the updater is queued.
NEW_RELEASE = (
    ('<assembly filename="Obsolete.dll"',
     '<assembly filename="UpdateFiles.exe" local="local" updatehandle="replace" Version="2" '
     'mac="${mac:update/UpdateFiles.exe}" sha256="${sha256:update/UpdateFiles.exe}" '
     'regsvr="false" url="update/UpdateFiles.exe"/>\n  <assembly filename="Obsolete.dll"'),
)


def print_section(title, lines):
    print(f"\n== {title}")
    for line in lines:
        print(f"  {line}")


def prepare_pc():
    """A PC that never ran the control: no data folder, no sample component;
    tracing on, and the user's root certificate store that a real PC has."""
    remove_installed_samples()
    reg("add", CERT_STORE, "/f")
    data = data_folder()
    shutil.rmtree(data, ignore_errors=True)
    (data / "VeyrantSetting").mkdir(parents=True)
    (data / "VeyrantSetting" / "Default.cfg").write_text("<User>\n<Debug/>\n</User>",
                                                         encoding="utf-8")


def make_client_folder(server_url):
    """The client application's folder: the page host beside its configuration,
    the installed application and the availability library the catalogue names."""
    return ClientFolder(root_url=server_url).add_sample_client()


def installed_on_the_pc():
    """What the batch put on the PC: files, registrations, registry values."""
    lines = []
    for path in [r"C:\windows\system32\SampleCtl.dll",
                 r"C:\Program Files\Zelmor\Controls\SampleCtl.ocx",
                 r"C:\windows\system32\SampleCab.dll", r"C:\windows\SampleCabData.dat"]:
        lines.append(f"{path}: {'present' if to_unix(path).exists() else 'missing'}")
    for name, clsid in CLSID.items():
        server = reg_values(f"HKCR\\CLSID\\{clsid}\\InprocServer32")
        lines.append(f"{clsid} ({name}) registered to "
                     f"{server['(Default)'][1] if server else 'nothing'}")
    for key in APP_KEYS[:2]:
        values = reg_values(key)
        lines.append(f"{key}: Version {values['Version'][1] if values else 'missing'}")
    blob = (reg_values(CERT_KEY) or {}).get("Blob")
    lines.append(f"{CERT_KEY}: " + (f"Blob of {len(blob[1]) // 2} bytes" if blob else "missing"))
    downloads = data_folder() / "AppsDownload"
    lines += [f"AppsDownload\\{p.relative_to(downloads)}".replace("/", "\\")
              for p in sorted(downloads.rglob("*"))] if downloads.exists() else []
    return lines


def run_demo_page(client):
    """The first visit; returns the page's exit code."""
    # A Chinese PC: the trace log in code page 936. Installer dialogs are
    # dismissed, as no user watches the demo.
    page = client.run_page(PAGE, ["--dismiss-dialogs"], env=CHINESE_ANSI, timeout=600)
    lines = page.stdout.splitlines()
    # The cabinet's notes come from the control's own standard output, which
    # is written out when the page host ends.
    extracted = [line for line in lines if line.startswith("Extracted ")]
    print_section("the page", [line for line in lines if line not in extracted])
    print_section("the cabinet extraction (the control's standard output)", extracted)
    if page.returncode != 0:
        print(page.stderr, file=sys.stderr)
    return page.returncode


def publish_tree(source, out, title):
    """./tovral publish with the test keys; the lines it printed."""
    lines = publish.publish(source, out, KEYS_DIR / "test.key", KEYS_DIR / "test-signing.key",
                            BUILD_DIR)
    print_section(title, lines)


def verify_tree(out, url):
    """./tovral verify of the folder as served at its URL; True when sound."""
    problems, checked = verify.verify(out, url + "/", KEYS_DIR / "test.pub",
                                      KEYS_DIR / "test-signing.pub", BUILD_DIR)
    print_section(f"verify {out} --url {url}",
                  problems or [f"sound: {checked} files checked as the control would use them"])
    return not problems


def publish_new_release(source, out):
    text = (source / "Update.xml").read_text(encoding="utf-8")
    for old, new in NEW_RELEASE:
        text = text.replace(old, new)
    (source / "Update.xml").write_text(text, encoding="utf-8")
    publish_tree(source, out, "the bank publishes a new release: publish SOURCE OUT again")


def updater_record(client, timeout=60):
    """The sample updater's record, written once the browser process has ended."""
    log = client.path / "UpdateFiles.log"
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if log.exists() and "list=" in log.read_text(encoding="utf-8"):
            time.sleep(0.2)
            return log.read_text(encoding="utf-8").splitlines()
        time.sleep(0.2)
    return ["no record: the updater did not run"]


def run_self_update(source, out, client):
    """The second visit after the bank published a new release; returns 0
    when the control ended the browser process for the updater."""
    publish_new_release(source, out)
    page = client.run_page(SELF_UPDATE_PAGE, env=CHINESE_ANSI, timeout=300)
    print_section("the bank publishes a release with a new updater; the page is visited again",
                  page.stdout.splitlines() + [f"browser process ended with exit code "
                                              f"{page.returncode}"])
    print_section("the updater's record (UpdateFiles.log in the client folder)",
                  updater_record(client))
    waiter = data_folder() / "AssemblyUpdate" / "waiter.cfg"
    if waiter.exists():
        print(f"  (the hand-off list {waiter.name}, {waiter.stat().st_size} bytes, is scrambled "
              "for the updater; the record above is what the updater read from it)")
    return 0 if page.returncode == 1 else 1


def main():
    prepare_pc()
    with tempfile.TemporaryDirectory(prefix="tovral-demo-") as work:
        out = Path(work) / "out"
        with Nginx(out) as server:
            source = write_sample_source(Path(work) / "source", server.url, BUILD_DIR)
            print(f"bank server: nginx at {server.url}, serving {out}")
            print(f"the bank's plain files: {source}")
            print("control: build/signed/Tovral.DLL (uses an encrypted file only when its "
                  "signature verifies)")
            publish_tree(source, out, "publish SOURCE OUT")
            if not verify_tree(out, server.url):
                return 1
            with make_client_folder(server.url) as client:
                code = run_demo_page(client)
                if code != 0:
                    return code
                print_section("requests nginx answered", server.requests())
                print_section("on this PC after the batch", installed_on_the_pc())
                settings = sorted(p.name for p in (data_folder() / "VeyrantSetting").iterdir())
                print_section("settings folder after the update check", settings)
                trace = (data_folder() / "VeyrantLog" / "VeyrantTrace.log").read_bytes()
                print_section("trace log (VeyrantTrace.log)",
                              trace.decode("gbk", "replace").splitlines())
                server.clear_log()
                code = run_self_update(source, out, client)
                print_section("requests nginx answered for the second visit", server.requests())
                return code


if __name__ == "__main__":
    sys.exit(main())
