"""HTTPS end to end: a bank whose root URL is https:// works through WinINet's
own certificate checks once the bank's root certificate is installed by the
control's own root-certificate item; a server certificate from a root nobody
installed makes every fetch fail; plain HTTP is unaffected (the other tests)."""

import shutil
import tempfile
import unittest
from pathlib import Path

from tests.e2e.harness import (CHINESE_ANSI, SAMPLES_DIR, ClientFolder, clear_trace, data_folder,
                               trace_texts)
from tests.e2e.pages import CALLBACKS, CONTROL_PAGE, installed, update_check
from tests.e2e.sample_bank import CERT_KEY, FACTS, SampleBankTestCase, reg
from tools.bankserver.bankserver import BankServer
from tools.bankserver.server_tree import ServerTree

# The catalogue decrypted from the settings folder alone (no network), then
# the root certificate item applied.
INSTALL_ROOT = CONTROL_PAGE + CALLBACKS + r"""
same(o.UpdateCancel(), 3, "local files verified and decrypted");
o.EBankDownLoad(batchList([3001]));
host.echo(waitForInstalls(60000));
"""

QUERY_AND_FETCH = CONTROL_PAGE + CALLBACKS + update_check(report=True) + r"""
if (updateCode == 48) {
  o.EBankDownLoad(batchList([1001]));
  host.echo(waitForInstalls(120000));
}
"""


class HttpsTest(SampleBankTestCase):
    def https_bank(self, certificate):
        """A second bank server on the same kind of tree, over HTTPS with the
        given sample server certificate; the client folder points to it."""
        facts = FACTS[certificate]
        root = Path(tempfile.mkdtemp(prefix="tovral-tls-"))
        self.addCleanup(shutil.rmtree, root, True)
        server = BankServer(root, tls=(facts["path"], facts["key"]))
        server.start()
        self.addCleanup(server.stop)
        ServerTree(root, server.url, self.packer).build()
        self.use_client(ClientFolder(root_url=server.url))
        shutil.copy2(SAMPLES_DIR / "BankClient.exe", self.client.path)
        return server

    def install_root_certificate(self):
        """Puts the plain-HTTP bank's files in the settings folder and lets the
        control install the catalogue's root certificate, as a page would."""
        self.tree.build()
        settings = data_folder() / "VeyrantSetting"
        settings.mkdir(parents=True, exist_ok=True)
        for path in self.tree.settings_dir.glob("*.cfg"):
            shutil.copy2(path, settings / path.name)
        clear_trace()
        result = self.run_page(INSTALL_ROOT, env=CHINESE_ANSI)
        self.assertPageOk(result)
        self.assertIn(installed(3001), result.stdout)
        self.assertEqual(reg("query", CERT_KEY).returncode, 0)

    def test_a_trusted_bank_certificate_passes(self):
        self.install_root_certificate()
        server = self.https_bank("ZelmorTestServer.pem")
        result = self.run_page(QUERY_AND_FETCH, ["--dismiss-dialogs"], env=CHINESE_ANSI,
                               timeout=300)
        self.assertPageOk(result)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "update 48", "\n".join(trace_texts()))
        self.assertIn(installed(1001), lines[1])
        keys = [r.key for r in server.requests]
        self.assertIn("VeyrantSettingV2/Version.cfg", keys)
        self.assertIn("controls/SampleCtl.dll", keys)

    def test_an_untrusted_bank_certificate_fails_every_fetch(self):
        self.install_root_certificate()  # the bank's root, but not this server's issuer
        (data_folder() / "VeyrantSetting" / "Version.cfg").unlink()  # no local fall-back
        server = self.https_bank("UntrustedServer.pem")
        clear_trace()
        result = self.run_page(QUERY_AND_FETCH, env=CHINESE_ANSI)
        self.assertPageOk(result)
        self.assertEqual(result.stdout.splitlines()[0], "update 45")
        texts = trace_texts()
        self.assertTrue(any(t.startswith("失败事件：InternetOpenUrlW 错误值：") for t in texts), texts)
        self.assertEqual(server.requests, [])  # nothing was asked over that connection

    def test_without_the_root_certificate_the_bank_is_not_trusted(self):
        self.https_bank("ZelmorTestServer.pem")
        result = self.run_page(QUERY_AND_FETCH, env=CHINESE_ANSI)
        self.assertPageOk(result)
        self.assertEqual(result.stdout.splitlines()[0], "update 45")


if __name__ == "__main__":
    unittest.main()
