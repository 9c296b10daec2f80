"""The bank links as a page sees them: the update check decrypts the bank's
Resource.cfg, then the page asks for its sites and its help link, switches the
language and asks again."""

import shutil
import unittest

from tests.e2e.harness import (BUILD_DIR, SAMPLES_DIR, ClientFolder, PageTestCase,
                               start_bank_server, write_user_settings)
from tests.e2e.pages import CONTROL_PAGE, update_check
from tools.bankserver.server_tree import SAMPLE_DIR, Packer

# One more Chinese site beside the sample's, with the characters the page's
# list must escape in every attribute.
EXTRA_SITE = """      <site id='w"2' filename='理财 &lt;新&gt; &amp; "基金"' url='${server}/wealth/?x=1&amp;y=2'/>
"""

STORY = CONTROL_PAGE + r"""
same(o.GetQelLinks(), "<Websites>\n</Websites>", "sites before the update check");
same(o.GetDynamicLink(), "", "help link before the update check");
""" + update_check(expect=48) + r"""
host.echo(o.InternetConnAddress());
var languages = ["chs", "eng", "fra"];
for (var i = 0; i < languages.length; i++) {
  o.SetLanguage(languages[i]);
  host.echo(o.GetQelLinks());
  host.echo("help " + o.GetDynamicLink());
}
// Another object of the page shares the language and the decrypted text.
o.SetLanguage("eng");
var other = new ActiveXObject("Tovral.DownLoad");
host.echo("help " + other.GetDynamicLink());
"""


class BankLinksStoryTest(PageTestCase):
    def setUp(self):
        super().setUp()
        _, self.server, tree = start_bank_server(self, Packer(BUILD_DIR))
        sample = (SAMPLE_DIR / "Resource.xml").read_text(encoding="utf-8")
        chinese_sites_end = "    </chs>\n    <eng>"
        self.assertIn(chinese_sites_end, sample)
        tree.texts["Resource"] = sample.replace(chinese_sites_end, EXTRA_SITE + chinese_sites_end)
        tree.build()
        self.use_client(ClientFolder(root_url=self.server.url))
        shutil.copy2(SAMPLES_DIR / "BankClient.exe", self.client.path)
        write_user_settings("<User/>")

    def test_sites_and_help_link_follow_the_language(self):
        result = self.run_page(STORY)
        self.assertPageOk(result)
        root = self.server.url + "/"
        self.assertEqual(result.stdout.splitlines(), [
            root + "VeyrantSettingV2/Version.cfg",
            "<Websites>",
            '<Website id="w1" name="网上银行" url="https://ebank.example.cn/?a=1&amp;b=2"></Website>',
            '<Website id="w&quot;2" name="理财 &lt;新&gt; &amp; &quot;基金&quot;" '
            f'url="{self.server.url}/wealth/?x=1&amp;y=2"></Website>',
            "</Websites>",
            f"help {root}help/chs/index.html",
            "<Websites>",
            '<Website id="w1" name="Online banking" url="https://ebank.example.cn/en/"></Website>',
            "</Websites>",
            f"help {root}help/eng/index.html",
            "<Websites>",  # a language the resource text does not have
            "</Websites>",
            "help ",
            f"help {root}help/eng/index.html",
        ])


if __name__ == "__main__":
    unittest.main()
