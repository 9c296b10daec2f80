"""TovralPack from the command line, as the bank runs it: key pairs, encryption
in every encoding, decryption back to the same text, signatures, and clear
failures."""

import hashlib
import re
import shutil
import tempfile
import unittest
from pathlib import Path

from tests.e2e.harness import BUILD_DIR, SOURCE_DIR, to_windows, wine

PACKER = BUILD_DIR / "TovralPack.exe"
KEYS = SOURCE_DIR / "tests" / "fixtures" / "keys"
TEXT = '<?xml version="1.0"?>\n<Root name="网上银行">\n  <Item id="1001" text="控件 ünï"/>\n</Root>\n'
GBK_TEXT = '<Root name="网上银行">控件</Root>\n'


class PackerTestCase(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="tovral-packer-"))
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def pack(self, *args):
        converted = [a if str(a).startswith("--") else to_windows(a) if isinstance(a, Path) else a
                     for a in args]
        return wine([PACKER, *converted])

    def assertExit(self, result, code):
        self.assertEqual(result.returncode, code,
                         f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}")

    def write(self, name, text=None, data=None):
        path = self.dir / name
        if data is None:
            data = text.encode("utf-8")
        path.write_bytes(data)
        return path


class KeygenTest(PackerTestCase):
    def test_keygen_writes_a_pair_and_never_overwrites(self):
        private, public = self.dir / "bank.key", self.dir / "bank.pub"
        self.assertExit(self.pack("keygen", private, public), 0)
        modulus = re.search(r"^modulus=([0-9A-F]+)$", public.read_text(), re.M).group(1)
        self.assertEqual(len(modulus), 256)
        self.assertIn("exponent=10001", public.read_text())
        self.assertIn(f"modulus={modulus}", private.read_text())
        self.assertIn("privateExponent=", private.read_text())

        before = private.read_bytes(), public.read_bytes()
        again = self.pack("keygen", private, self.dir / "other.pub")
        self.assertExit(again, 1)
        self.assertIn("already exists", again.stderr)
        self.assertEqual((private.read_bytes(), public.read_bytes()), before)
        self.assertFalse((self.dir / "other.pub").exists())

        # The fresh pair works end to end.
        source = self.write("in.xml", TEXT)
        self.assertExit(self.pack("encrypt", "--key", private, source, self.dir / "out.cfg"), 0)
        self.assertExit(self.pack("decrypt", "--pub", public, self.dir / "out.cfg",
                                  self.dir / "back.xml"), 0)
        self.assertEqual((self.dir / "back.xml").read_text(encoding="utf-8"), TEXT)


class RoundTripTest(PackerTestCase):
    def round_trip(self, text, *options):
        source = self.write("in.xml", text)
        encrypted, back = self.dir / "out.cfg", self.dir / "back.xml"
        self.assertExit(self.pack("encrypt", "--key", KEYS / "test.key", *options, source,
                                  encrypted), 0)
        result = self.pack("decrypt", "--pub", KEYS / "test.pub", "--codepage", "936",
                           encrypted, back)
        self.assertExit(result, 0)
        return encrypted.read_bytes(), back.read_text(encoding="utf-8"), result

    def test_every_encoding_comes_back(self):
        for options, text in [((), TEXT), (("--encoding", "utf8"), TEXT),
                              (("--encoding", "utf16"), TEXT),
                              (("--encoding", "ansi"), GBK_TEXT),
                              (("--encoding", "ansi", "--codepage", "936"), GBK_TEXT)]:
            with self.subTest(options=options):
                encrypted, back, _ = self.round_trip(text, *options)
                self.assertEqual(back, text)
                length = int.from_bytes(encrypted[:4], "little")
                self.assertRegex(encrypted[4:4 + length].decode("ascii"), r"^[0-9A-F]+$")

    def test_unsupported_marker_reads_as_empty_text(self):
        _, back, result = self.round_trip(TEXT, "--encoding", "utf32marker")
        self.assertEqual(back, "")
        self.assertIn("00 00 FF FE", result.stderr)

    def test_input_byte_order_mark_is_not_part_of_the_text(self):
        source = self.write("in.xml", data=b"\xef\xbb\xbf<a/>")
        self.assertExit(self.pack("encrypt", "--key", KEYS / "test.key", source,
                                  self.dir / "out.cfg"), 0)
        self.assertExit(self.pack("decrypt", "--pub", KEYS / "test.pub", self.dir / "out.cfg",
                                  self.dir / "back.xml"), 0)
        self.assertEqual((self.dir / "back.xml").read_bytes(), b"<a/>")


def signature_verifies(path, public_key_file):
    """Apart from the packer's and the control's code: the signature beside
    `path`, raised to e mod n, is the PKCS#1 v1.5 block of the file's SHA-256."""
    text = public_key_file.read_text()
    n = int(re.search(r"^modulus=(\w+)$", text, re.M).group(1), 16)
    e = int(re.search(r"^exponent=(\w+)$", text, re.M).group(1), 16)
    signature = Path(f"{path}.sig").read_bytes()
    length = (n.bit_length() + 7) // 8
    if len(signature) != length:
        return False
    block = pow(int.from_bytes(signature, "big"), e, n).to_bytes(length, "big")
    digest = (bytes.fromhex("3031300d060960864801650304020105000420")
              + hashlib.sha256(Path(path).read_bytes()).digest())
    return block == b"\x00\x01" + b"\xff" * (length - len(digest) - 3) + b"\x00" + digest


class SigningTest(PackerTestCase):
    def test_a_fresh_signing_pair_signs_what_encrypt_writes(self):
        signing_key, signing_pub = self.dir / "sign.key", self.dir / "sign.pub"
        self.assertExit(self.pack("keygen", "--signing", signing_key, signing_pub), 0)
        modulus = re.search(r"^modulus=([0-9A-F]+)$", signing_pub.read_text(), re.M).group(1)
        self.assertEqual(len(modulus), 512)  # 2048 bits
        self.assertIn("signing key", signing_key.read_text())
        source, out = self.write("in.xml", TEXT), self.dir / "out.cfg"
        self.assertExit(self.pack("encrypt", "--key", KEYS / "test.key", "--sign", signing_key,
                                  source, out), 0)
        self.assertTrue(signature_verifies(out, signing_pub))
        self.assertFalse(signature_verifies(out, KEYS / "test-signing.pub"))
        # The control's own verification, as the bank can run it.
        result = self.pack("verify", "--pub", signing_pub, out)
        self.assertExit(result, 0)
        self.assertIn("signature verified", result.stdout)
        out.write_bytes(out.read_bytes() + b"x")
        result = self.pack("verify", "--pub", signing_pub, out)
        self.assertExit(result, 1)
        self.assertIn("does not verify", result.stderr)

    def test_stored_files_are_signed_as_they_are(self):
        source, out = self.write("in.xml", TEXT), self.dir / "out.cfg"
        self.assertExit(self.pack("encrypt", "--key", KEYS / "test.key", source, out), 0)
        self.assertFalse(Path(f"{out}.sig").exists())
        stored = out.read_bytes()
        self.assertExit(self.pack("sign", "--sign", KEYS / "test-signing.key", out), 0)
        self.assertEqual(out.read_bytes(), stored)
        self.assertTrue(signature_verifies(out, KEYS / "test-signing.pub"))
        # Encrypted again without a signing key: the old signature goes.
        result = self.pack("encrypt", "--key", KEYS / "test.key", source, out)
        self.assertExit(result, 0)
        self.assertIn("removed", result.stderr)
        result = self.pack("verify", "--pub", KEYS / "test-signing.pub", out)
        self.assertExit(result, 1)
        self.assertIn("no signature file", result.stderr)

    def test_the_two_pairs_are_not_mixed_up(self):
        source, out = self.write("in.xml", TEXT), self.dir / "out.cfg"
        cases = [
            (("encrypt", "--key", KEYS / "test-signing.key", source, out), "1024-bit"),
            (("encrypt", "--key", KEYS / "test.key", "--sign", KEYS / "test.key", source, out),
             "not a signing key"),
            (("sign", "--sign", KEYS / "test.key", source), "not a signing key"),
            (("verify", "--pub", KEYS / "test.pub", source), "not a signing key"),
        ]
        for args, reason in cases:
            with self.subTest(reason=reason, args=args[:3]):
                result = self.pack(*args)
                self.assertExit(result, 1)
                self.assertIn(reason, result.stderr)
                self.assertFalse(out.exists())
                self.assertFalse(Path(f"{source}.sig").exists())


class BatchTest(PackerTestCase):
    """Several INPUT OUTPUT pairs in one run, as the bank's tools pass them."""

    def names(self, stem, count):
        return [self.dir / f"{stem}{n}" for n in range(count)]

    def test_each_pair_comes_back_to_its_own_text(self):
        texts = ["<a/>", TEXT, GBK_TEXT * 2000]
        sources = [self.write(f"in{n}.xml", text) for n, text in enumerate(texts)]
        encrypted, back = self.names("out", 3), self.names("back", 3)
        self.assertExit(self.pack("encrypt", "--key", KEYS / "test.key", "--sign",
                                  KEYS / "test-signing.key", *interleave(sources, encrypted)), 0)
        self.assertExit(self.pack("decrypt", "--pub", KEYS / "test.pub", "--codepage", "936",
                                  *interleave(encrypted, back)), 0)
        self.assertEqual([path.read_text(encoding="utf-8") for path in back], texts)
        for path in encrypted:
            self.assertTrue(signature_verifies(path, KEYS / "test-signing.pub"), path)
        # A file key of its own for each file: the key blocks differ.
        self.assertEqual(len({key_block(path) for path in encrypted}), 3)

    def test_a_failed_pair_is_named_and_leaves_no_output(self):
        sources = [self.write("a.xml", TEXT), self.dir / "missing.xml", self.write("c.xml", "<c/>")]
        encrypted, back = self.names("out", 3), self.names("back", 3)
        for command, key, inputs, outputs in [("encrypt", KEYS / "test.key", sources, encrypted),
                                              ("decrypt", KEYS / "test.pub", encrypted, back)]:
            with self.subTest(command=command):
                result = self.pack(command, "--key" if command == "encrypt" else "--pub", key,
                                   *interleave(inputs, outputs))
                self.assertExit(result, 1)
                failures = [line for line in result.stderr.splitlines()
                            if line.startswith("TovralPack:")]
                self.assertEqual(len(failures), 1, result.stderr)
                self.assertIn(inputs[1].name, failures[0])
                self.assertEqual([path.exists() for path in outputs], [True, False, True])
        self.assertEqual(back[0].read_text(encoding="utf-8"), TEXT)
        self.assertEqual(back[2].read_text(encoding="utf-8"), "<c/>")


def interleave(inputs, outputs):
    return [path for pair in zip(inputs, outputs) for path in pair]


def key_block(path):
    data = path.read_bytes()
    return data[4:4 + int.from_bytes(data[:4], "little")]


class FailureTest(PackerTestCase):
    def test_usage_errors_exit_2(self):
        source = self.write("in.xml", TEXT)
        for args in [(), ("frobnicate",), ("keygen", self.dir / "only.key"),
                     ("encrypt", source, self.dir / "out.cfg"),
                     ("encrypt", "--key", KEYS / "test.key", source, self.dir / "out.cfg", source),
                     ("decrypt", "--pub", KEYS / "test.pub", source),
                     ("encrypt", "--key", KEYS / "test.key", "--encoding", "utf7", source,
                      self.dir / "out.cfg"),
                     ("encrypt", "--key", KEYS / "test.key", "--codepage", "x", source,
                      self.dir / "out.cfg"),
                     ("decrypt", "--pub", KEYS / "test.pub", "--bogus", "1", source,
                      self.dir / "out.xml"),
                     ("sign", "--sign", KEYS / "test-signing.key"),
                     ("keygen", "--signing", self.dir / "only.key")]:
            with self.subTest(args=args):
                result = self.pack(*args)
                self.assertExit(result, 2)
                self.assertIn("usage:", result.stderr)
                self.assertEqual([path.name for path in self.dir.iterdir()], ["in.xml"])

    def test_bad_input_exits_1_with_a_reason(self):
        text = self.write("in.xml", TEXT)
        cases = [
            (("encrypt", "--key", self.write("bad.key", "hello\n"), text, self.dir / "o"),
             "not a key file"),
            (("encrypt", "--key", KEYS / "test.pub", text, self.dir / "o"), "privateExponent"),
            (("encrypt", "--key", KEYS / "test.key", self.dir / "missing.xml", self.dir / "o"),
             "cannot read"),
            (("encrypt", "--key", KEYS / "test.key", self.write("bad.xml", data=b"<a>\xff</a>"),
              self.dir / "o"), "not valid UTF-8"),
            (("encrypt", "--key", KEYS / "test.key", "--encoding", "ansi", "--codepage", "1252",
              text, self.dir / "o"), "cannot represent"),
            (("decrypt", "--pub", KEYS / "test.pub", self.write("short.cfg", data=b"\x01\x00"),
              self.dir / "o"), "cannot be decrypted"),
            (("decrypt", "--pub", KEYS / "test.pub",
              self.write("long.cfg", data=b"\xff\x00\x00\x00ABCDEF"), self.dir / "o"),
             "cannot be decrypted"),
        ]
        for args, reason in cases:
            with self.subTest(reason=reason):
                result = self.pack(*args)
                self.assertExit(result, 1)
                self.assertIn(reason, result.stderr)
                self.assertFalse((self.dir / "o").exists())

    def test_wrong_public_key_gives_other_text(self):
        other_key, other_pub = self.dir / "other.key", self.dir / "other.pub"
        self.assertExit(self.pack("keygen", other_key, other_pub), 0)
        source = self.write("in.xml", TEXT)
        self.assertExit(self.pack("encrypt", "--key", KEYS / "test.key", source,
                                  self.dir / "out.cfg"), 0)
        self.assertExit(self.pack("decrypt", "--pub", other_pub, self.dir / "out.cfg",
                                  self.dir / "back.xml"), 0)
        self.assertNotEqual((self.dir / "back.xml").read_bytes(), TEXT.encode("utf-8"))


if __name__ == "__main__":
    unittest.main()
