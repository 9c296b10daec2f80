"""Who may give the control its files, end to end against the local bank server.

The encrypted format alone proves nothing: anyone can choose a key block c,
compute its file key k = c^e mod n with the public key every control carries,
and encrypt a catalogue of their own under k. Whoever answers the control's
HTTP requests can then hand it that catalogue, whose components carry CRC-32
"mac" values they choose. The tests play that attacker against the control as
configured ("off" unless TOVRAL_SIGNATURE_POLICY says otherwise) and against
build/signed/Tovral.DLL (signatures required), and show that a listed
"sha256" holds where a CRC-32 made to collide passes."""

import hashlib
import re
import shutil
import struct
import unittest
import zlib

from tests.e2e.harness import (BUILD_DIR, CHINESE_ANSI, DEFAULT_SIGNATURE_POLICY, SIGNED_DLL,
                               SOURCE_DIR, clear_trace, data_folder, trace_texts)
from tests.e2e.pages import CALLBACKS, CONTROL_PAGE, failed, succeeded, update_check
from tests.e2e.sample_bank import SampleBankTestCase, sample_catalogue
from tools.bankserver.server_tree import CONFIG_FILES, ServerTree, checksum_text, sha256_text

FORMAT_PUBLIC_KEY = SOURCE_DIR / "tests" / "fixtures" / "keys" / "test.pub"
EVIL_URL = "evil/SampleCtl.dll"
CONFIG_NAMES = [f"{name}.cfg" for name, _ in CONFIG_FILES] + ["Version.cfg"]

# The update check, then one batch of the catalogue's control 1001.
PAGE = CONTROL_PAGE + CALLBACKS + update_check(report=True, settle_ms=300) + r"""
o.EBankDownLoad(batchList([1001]));
host.echo(waitForInstalls());
host.echo("cancel " + o.UpdateCancel());
"""


def rc4(key, data):
    state = list(range(256))
    j = 0
    for i in range(256):
        j = (j + state[i] + key[i % len(key)]) & 0xFF
        state[i], state[j] = state[j], state[i]
    out = bytearray()
    i = j = 0
    for byte in data:
        i = (i + 1) & 0xFF
        j = (j + state[i]) & 0xFF
        state[i], state[j] = state[j], state[i]
        out.append(byte ^ state[(state[i] + state[j]) & 0xFF])
    return bytes(out)


def forge(body):
    """An encrypted file made without the bank's private key: any key block
    c, its file key c^e mod n from the public key, the body under that key."""
    modulus = int(re.search(r"^modulus=([0-9A-Fa-f]+)$", FORMAT_PUBLIC_KEY.read_text(),
                            re.M).group(1), 16)
    c = int.from_bytes(hashlib.sha512(b"any number will do").digest(), "big") % modulus
    while True:
        k = pow(c, 0x10001, modulus)
        # The control keys RC4 with k's bytes up to the first zero byte.
        key = k.to_bytes((k.bit_length() + 7) // 8, "big").split(b"\0")[0]
        if key:
            break
        c += 1
    block = format(c, "X").encode("ascii")
    return struct.pack("<I", len(block)) + block + rc4(key, body)


def crc_collision(data, crc):
    """`data` followed by four bytes that give the whole the CRC-32 `crc`. The
    CRC of data + x is affine in the 32 bits of x: solve for x over GF(2)."""
    prefix = zlib.crc32(data)
    base = zlib.crc32(bytes(4), prefix)
    basis = [None] * 32  # basis[b]: (a reachable change whose top bit is b, the x giving it)
    for bit in range(32):
        change, x = zlib.crc32((1 << bit).to_bytes(4, "little"), prefix) ^ base, 1 << bit
        for top in reversed(range(32)):
            if change >> top & 1:
                if basis[top] is None:
                    basis[top] = (change, x)
                    break
                change, x = change ^ basis[top][0], x ^ basis[top][1]
    wanted, x = crc ^ base, 0
    for top in reversed(range(32)):
        if wanted >> top & 1:
            wanted, x = wanted ^ basis[top][0], x ^ basis[top][1]
    collided = data + x.to_bytes(4, "little")
    assert zlib.crc32(collided) == crc
    return collided


class ForgingPacker:
    """Stands in for the bank's packer where its private key is not at hand:
    every file forged, none signed."""

    def __init__(self, build_dir):
        self.build_dir = build_dir

    def encrypt(self, source, target, encoding="utf8"):
        text = source.read_text(encoding="utf-8")
        target.write_bytes(forge(b"\xef\xbb\xbf" + text.encode("utf-8")))
        target.with_name(target.name + ".sig").unlink(missing_ok=True)

    def encrypt_many(self, pairs, encoding="utf8"):
        for source, target in pairs:
            self.encrypt(source, target, encoding)


class AttackerTestCase(SampleBankTestCase):
    """The sample bank, and what an attacker answering its requests can serve."""

    def run_story(self):
        """Runs PAGE on the tree as it is: (update code, call-backs, cancel code)."""
        clear_trace()
        self.server.clear_log()
        result = self.run_page(PAGE, ["--dismiss-dialogs"], env=CHINESE_ANSI, timeout=400)
        self.assertPageOk(result)
        update, calls, cancel = result.stdout.splitlines()
        return int(update.split()[1]), calls.split(";"), int(cancel.split()[1])

    def evil_catalogue(self):
        """The sample catalogue whose control 1001 is the attacker's file."""
        (self.root / "evil").mkdir(exist_ok=True)
        shutil.copy2(BUILD_DIR / "samples" / "SampleCtl.dll", self.root / EVIL_URL)
        return sample_catalogue([("controls/SampleCtl.dll", EVIL_URL)])

    def serve_forged_set(self):
        """Every configuration file and the version list forged, none signed."""
        self.tree = ServerTree(self.root, self.server.url, ForgingPacker(BUILD_DIR))
        self.tree.texts["UtilityChs"] = self.evil_catalogue()
        self.tree.build()

    def serve_colliding_catalogue(self):
        """The bank's signed tree, but with a version list of the kind banks
        wrote before "sha256" (mac only), and the catalogue swapped for a
        forged one whose four last bytes give it the bank's catalogue's CRC.
        The bank's signature stays beside it."""
        self.tree.build()
        self.tree.write_version_list([{k: v for k, v in entry.items() if k != "sha256"}
                                      for entry in self.tree.version_entries()])
        genuine = self.tree.config_path("UtilityChs")
        # Without its declaration, which names another encoding.
        text = re.sub(r"^<\?xml[^>]*\?>\s*", "", self.tree.render(self.evil_catalogue()))
        # UTF-16 text ends at its first zero character: the appended bytes are never read.
        body = b"\xff\xfe" + text.encode("utf-16-le") + b"\0\0"
        genuine.write_bytes(crc_collision(forge(body), zlib.crc32(genuine.read_bytes())))

    def assertAttackerServed(self, served):
        requests = self.component_requests()
        self.assertEqual(EVIL_URL in requests, served, requests)


@unittest.skipUnless(DEFAULT_SIGNATURE_POLICY == "off", "the default control requires signatures")
class SignaturesOffTest(AttackerTestCase):
    """The format alone, as the bank's existing files have it: the attack works."""

    def test_a_set_forged_with_the_public_key_is_accepted(self):
        self.serve_forged_set()
        update, calls, _ = self.run_story()
        self.assertEqual(update, 48)
        self.assertEqual(calls, succeeded(1001, last=True))
        self.assertAttackerServed(True)

    def test_a_forged_catalogue_matching_the_listed_checksum_is_accepted(self):
        self.serve_colliding_catalogue()
        update, calls, _ = self.run_story()
        self.assertEqual(update, 48)
        self.assertEqual(calls, succeeded(1001, last=True))
        self.assertAttackerServed(True)


class SignaturesRequiredTest(AttackerTestCase):
    """build/signed/Tovral.DLL: a file is used only when the bank signed it."""

    control_dll = SIGNED_DLL

    def test_the_banks_signed_files_are_used_and_kept_with_their_signatures(self):
        self.tree.build()
        update, calls, cancel = self.run_story()
        self.assertEqual(update, 48)
        self.assertEqual(calls, succeeded(1001, last=True))
        self.assertEqual(cancel, 3)  # offline, the kept signatures verify again
        settings = data_folder() / "VeyrantSetting"
        for name in CONFIG_NAMES:
            self.assertEqual((settings / f"{name}.sig").read_bytes(),
                             (self.tree.settings_dir / f"{name}.sig").read_bytes(), name)
        self.assertIn("成功事件：配置文件解密成功", trace_texts())

    def test_a_set_forged_with_the_public_key_is_refused(self):
        self.serve_forged_set()
        update, calls, cancel = self.run_story()
        self.assertEqual(update, 46)
        self.assertEqual(calls, failed(1001, last=True))
        self.assertEqual(cancel, 0)
        self.assertAttackerServed(False)
        texts = trace_texts()
        # The server's 404 page came back as the signature.
        self.assertIn("失败事件：Version.cfg签名验证失败", texts)
        self.assertIn("文件号：1001 错误原因：组件列表不可用", texts)
        self.assertFalse((data_folder() / "VeyrantSetting" / "UtilityChs.cfg").exists())

    def test_a_forged_catalogue_beside_the_banks_signature_is_refused(self):
        self.serve_colliding_catalogue()
        _, calls, cancel = self.run_story()
        self.assertEqual(calls, failed(1001, last=True))
        self.assertEqual(cancel, 0)  # the refused file was never moved into place
        self.assertAttackerServed(False)
        self.assertIn("失败事件：UtilityChs.cfg签名验证失败", trace_texts())
        self.assertFalse((data_folder() / "VeyrantSetting" / "UtilityChs.cfg").exists())

    def test_tampered_and_missing_signatures_are_refused_with_their_reason(self):
        self.tree.build()
        signature = self.tree.settings_dir / "Resource.cfg.sig"
        tampered = bytearray(signature.read_bytes())
        tampered[10] ^= 1
        # A damaged signature, and the bank's valid signature of another file: the
        # listed checksums match, yet the file is refused as one that fails them.
        for bad in [bytes(tampered), (self.tree.settings_dir / "EnvPatch.cfg.sig").read_bytes()]:
            signature.write_bytes(bad)
            update, _, cancel = self.run_story()
            self.assertEqual((update, cancel), (46, 0))
            self.assertIn("失败事件：Resource.cfg签名验证失败", trace_texts())
            self.assertFalse((data_folder() / "VeyrantSetting" / "Resource.cfg").exists())

        # A server that answers nothing for the version list's signature.
        self.server.set_rule("VeyrantSettingV2/Version.cfg.sig", "empty")
        update, _, _ = self.run_story()
        self.assertEqual(update, 46)
        self.assertIn("失败事件：Version.cfg签名文件不存在", trace_texts())

        # Offline, a local copy whose signature is gone.
        self.server.clear_rules()
        self.tree.build()
        self.assertEqual(self.run_story()[2], 3)
        (data_folder() / "VeyrantSetting" / "EnvPatch.cfg.sig").unlink()
        self.server.stop()
        _, _, cancel = self.run_story()
        self.assertEqual(cancel, 0)  # a companion file that fails the policy
        self.assertIn("失败事件：EnvPatch.cfg签名文件不存在", trace_texts())


class ListedSha256Test(AttackerTestCase):
    """Files made to share a listed CRC-32: the listed SHA-256 refuses them."""

    def collide(self, path, payload):
        """Replaces a served file by another carrying `payload` with its CRC-32."""
        genuine = path.read_bytes()
        collided = crc_collision(genuine + payload, zlib.crc32(genuine))
        self.assertEqual(checksum_text(path), format(zlib.crc32(collided), "x"))
        path.write_bytes(collided)
        self.assertNotEqual(sha256_text(path), hashlib.sha256(genuine).hexdigest())
        return genuine, collided

    def test_a_component_sharing_the_listed_checksum_is_refused(self):
        self.tree.build()
        served = self.root / "controls" / "SampleCtl.dll"
        genuine, collided = self.collide(served, b"the attacker's code")
        update, calls, _ = self.run_story()
        self.assertEqual(update, 48)
        self.assertEqual(calls, failed(1001, last=True))
        self.assertIn("文件号：1001 错误原因：完整性校验失败", trace_texts())
        present = self.downloads / "controls" / "SampleCtl.dll"
        self.assertFalse(present.exists())

        # Already in the download folder, it is fetched again rather than used.
        present.parent.mkdir(parents=True, exist_ok=True)
        present.write_bytes(collided)
        served.write_bytes(genuine)
        _, calls, _ = self.run_story()
        self.assertEqual(calls, succeeded(1001, last=True))
        self.assertIn("成功事件：文件号：1001 文件存在但校验失败或文件不存在，下载该文件",
                      trace_texts())
        self.assertEqual(self.component_requests(), ["controls/SampleCtl.dll"])

    def test_a_configuration_file_sharing_the_listed_checksum_is_refused(self):
        self.tree.build()
        self.collide(self.tree.config_path("Resource"), b"<Resource/>")
        update, _, _ = self.run_story()
        self.assertEqual(update, 46)
        self.assertIn("失败事件：Resource.cfg文件验证失败", trace_texts())
        self.assertFalse((data_folder() / "VeyrantSetting" / "Resource.cfg").exists())


if __name__ == "__main__":
    unittest.main()
