"""The sample bank for the list and download tests: the local bank server
serving the sample catalogue (tools/bankserver/sample) with the sample
components and a client folder beside it; its pages decrypt the catalogue
and record the download call-backs (pages.py). Each test runs in a prefix of
its own, so whatever the sample components install goes with it."""

import shutil

from tests.e2e.harness import (BUILD_DIR, CHINESE_ANSI, ClientFolder, PageTestCase,
                               clear_trace, data_folder, fresh_prefix, isolated,
                               local_appdata_folder, reg, reg_values, start_bank_server, to_unix,
                               wine, write_user_settings)
from tests.e2e.pages import CALLBACKS, DECRYPTED
from tools.bankserver.server_tree import (SAMPLE_DIR, Packer, certificate_thumbprint,
                                          sample_facts)

FACTS = sample_facts(BUILD_DIR)
CLSID = {name: FACTS[name]["clsid"] for name in ["SampleCtl.dll", "SampleCtl.ocx", "SampleCab.dll"]}
CERT_STORE = r"HKCU\Software\Microsoft\SystemCertificates\Root\Certificates"
CERT_KEY = CERT_STORE + "\\" + certificate_thumbprint(FACTS["ZelmorTestRoot.cer"]["path"])
APP_KEYS = [r"HKCU\Software\Zelmor\BankClient", r"HKCU\Software\Zelmor\BankClientMsi",
            r"HKCU\Software\Zelmor\BankStatements"]
MSI_PRODUCT = FACTS["BankClientMsi.msi"]["product_code"]


def windows_folder():
    return to_unix("C:\\windows")


def system_folder():
    return to_unix("C:\\windows\\system32")


def program_files():
    return to_unix("C:\\Program Files")


def sample_catalogue(replace=()):
    """The sample Chinese catalogue, with (old, new) text replacements."""
    text = (SAMPLE_DIR / "UtilityChs.xml").read_text(encoding="utf-8")
    for old, new in replace:
        if old not in text:
            raise ValueError(f"{old!r} is not in the sample catalogue")
        text = text.replace(old, new)
    return text


def remove_installed_samples():
    """Undoes what the sample components install, for tests that share one
    prefix (a run without a template prefix)."""
    wine(["msiexec", "/x", MSI_PRODUCT, "/qn"])
    for clsid in CLSID.values():
        reg("delete", f"HKCR\\CLSID\\{clsid}", "/f")
    for key in APP_KEYS + [CERT_KEY]:
        reg("delete", key, "/f")
    for path in [system_folder() / "SampleCtl.dll", system_folder() / "SampleCab.dll",
                 windows_folder() / "SampleCabData.dat"]:
        path.unlink(missing_ok=True)
    shutil.rmtree(program_files() / "Zelmor", ignore_errors=True)
    # The sample client's setup writes into the user's local folder as well.
    bank_folder = local_appdata_folder() / "Zelmor"
    shutil.rmtree(bank_folder / "BankClient", ignore_errors=True)
    if bank_folder.is_dir() and not any(bank_folder.iterdir()):
        bank_folder.rmdir()


class SampleBankTestCase(PageTestCase):
    """A bank server per test on a fresh tree of the sample catalogue (texts
    may be replaced before the page runs), a client folder with the client
    application and the availability library the catalogue names, tracing on
    and no sample component installed."""

    # Each test runs in a prefix of its own (fresh_prefix), so a run of these
    # tests alone needs no prefix for its process (tests/e2e/run.py).
    prefix_per_test = True

    @classmethod
    def setUpClass(cls):
        if not isolated():  # else each test's own prefix comes with its control registered
            super().setUpClass()
        cls.packer = Packer(BUILD_DIR)

    def setUp(self):
        # A real PC has the user's root store; a fresh prefix does not.
        if not fresh_prefix(self, self.control_dll, setup=[["reg", "add", CERT_STORE, "/f"]]):
            remove_installed_samples()
            self.addCleanup(remove_installed_samples)
            reg("add", CERT_STORE, "/f")
        super().setUp()
        self.root, self.server, self.tree = start_bank_server(self, self.packer)
        self.use_client(ClientFolder(root_url=self.server.url)).add_sample_client()
        write_user_settings("<User><Debug/><Language value=\"chs\"/></User>")

    @property
    def downloads(self):
        return data_folder() / "AppsDownload"

    def run_bank_page(self, body, *options):
        """Builds the tree, runs a page that decrypts the catalogue first and
        then `body`; its output lines."""
        self.tree.build()
        clear_trace()
        result = self.run_page(DECRYPTED + CALLBACKS + body, ["--dismiss-dialogs", *options],
                               env=CHINESE_ANSI, timeout=400)
        self.assertPageOk(result)
        return result.stdout.splitlines()

    def component_requests(self):
        """The server's requests for anything but the configuration files."""
        return [r.key for r in self.server.requests if not r.key.startswith("VeyrantSettingV2/")]
