"""What publish and verify share: the packer under Wine, key files, checksum
texts, XML read with line numbers, and the rules that keep every path a list
names inside the tree.

The tree is static: SETTINGS_DIR holds the encrypted configuration files and
the version list; the catalogues and the update list point at component files
below the same root URL."""

import hashlib
import os
import re
import subprocess
import tempfile
import zlib
from dataclasses import dataclass, field
from pathlib import Path
from xml.parsers import expat

SOURCE_DIR = Path(__file__).resolve().parents[2]
KEYS_DIR = SOURCE_DIR / "tests" / "fixtures" / "keys"
TEST_KEY = KEYS_DIR / "test.key"
TEST_SIGNING_KEY = KEYS_DIR / "test-signing.key"
SETTINGS_DIR = "VeyrantSettingV2"
VERSION_LIST = "Version.cfg"
# The configuration files the control reads by name: the catalogues and the update list.
CATALOGUES = ("UtilityChs.cfg", "UtilityEn.cfg")
UPDATE_LIST = "Update.cfg"
FORMAT_BITS = 1024
SIGNING_MIN_BITS = 2048


class Problem(Exception):
    """One fault, named by file and (where there is one) line."""

    def __init__(self, where, text, line=None):
        super().__init__(text)
        self.where, self.text, self.line = str(where), text, line

    def __str__(self):
        return f"{self.where}:{self.line}: {self.text}" if self.line else f"{self.where}: {self.text}"


# --- checksums -------------------------------------------------------------------


def checksum_text(path):
    """The control's checksum text: CRC-32, lowercase hex, no leading zeros."""
    crc = 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            crc = zlib.crc32(block, crc)
    return format(crc, "x")


def sha256_text(path):
    """The "sha256" attribute of the lists: SHA-256, lower-case hex."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def checksum_faults(path, element):
    """What is wrong between a file and the mac and sha256 an entry lists for
    it, compared as the control compares them (without regard to case)."""
    faults = []
    mac, actual = element.attrs.get("mac", ""), checksum_text(path)
    if mac.lower() != actual:
        faults.append(f"bad mac: the list says {mac or 'nothing'}, the file has {actual}")
    sha = element.attrs.get("sha256", "")
    if sha and sha.lower() != sha256_text(path):
        faults.append(f"bad sha256: the list says {sha}, the file has {sha256_text(path)}")
    return faults


# --- key files ---------------------------------------------------------------------


def read_key_file(path, option):
    """{"modulus": int, ...} of a key file written by TovralPack keygen; a
    Problem naming the option when it is not one."""
    try:
        text = Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as error:
        raise Problem(path, f"{option}: cannot read the key file ({error})") from None
    fields = {}
    for line in text.splitlines():
        name, sep, value = line.strip().partition("=")
        if sep and not name.startswith("#"):
            try:
                fields[name] = int(value, 16)
            except ValueError:
                raise Problem(path, f"{option}: {name} is not a hexadecimal number") from None
    if "modulus" not in fields or "exponent" not in fields:
        raise Problem(path, f"{option}: not a key file of TovralPack keygen")
    return fields


def require_key(path, option, private, signing):
    """Checks a key file is of the kind the option takes, before anything is written."""
    fields = read_key_file(path, option)
    bits = fields["modulus"].bit_length()
    pair = "the signing pair (keygen --signing)" if signing else "the format's pair (keygen)"
    half = "private" if private else "public"
    if private and "privateExponent" not in fields:
        raise Problem(path, f"{option}: a public key; {option} takes the private key of {pair}")
    if not private and "privateExponent" in fields:
        raise Problem(path, f"{option}: a private key; {option} takes the public key of {pair}")
    if signing and bits < SIGNING_MIN_BITS:
        raise Problem(path, f"{option}: a {bits}-bit key; {option} takes the {half} key of {pair}")
    if not signing and bits != FORMAT_BITS:
        raise Problem(path, f"{option}: a {bits}-bit key; {option} takes the {half} key of {pair}")
    return fields


def write_public_half(key_path, target):
    """The public half of a private key file, in the form keygen writes."""
    fields = read_key_file(key_path, "--key")
    target.write_text("# RSA public key of the configuration files (TovralPack keygen)\n"
                      f"modulus={fields['modulus']:X}\nexponent={fields['exponent']:X}\n",
                      encoding="utf-8")


# --- the packer ---------------------------------------------------------------------


def windows_path(path):
    """Wine's Z: drive maps the Linux root."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def pair_arguments(pairs):
    return [windows_path(path) for pair in pairs for path in pair]


class PackerError(RuntimeError):
    pass


class Packer:
    """Runs TovralPack.exe under Wine (WINEPREFIX from the environment): the
    control's own code encrypts, signs, decrypts and verifies. Every file it
    encrypts is signed into TARGET.sig, unless signing_key is None."""

    def __init__(self, build_dir, private_key=TEST_KEY, signing_key=TEST_SIGNING_KEY):
        self.build_dir = Path(build_dir)
        self.exe = self.build_dir / "TovralPack.exe"
        self.key = Path(private_key)
        self.signing_key = Path(signing_key) if signing_key else None

    def encrypt(self, source, target, encoding="utf8"):
        self.encrypt_many([(source, target)], encoding)

    def encrypt_many(self, pairs, encoding="utf8"):
        """Encrypts each (source, target) pair in one packer start. A
        PackerError when any fails: the packer names each failed source, and
        writes the other targets and no part of the failed ones."""
        pairs = list(pairs)
        if not pairs:
            return
        signing = ["--sign", windows_path(self.signing_key)] if self.signing_key else []
        self.run(pairs[0][0] if len(pairs) == 1 else f"{len(pairs)} files", "encrypt",
                 "--key", windows_path(self.key), *signing, "--encoding", encoding,
                 *pair_arguments(pairs))

    def sign(self, target):
        """Signs an encrypted file as it is (TARGET.sig)."""
        self.sign_many([target])

    def sign_many(self, targets):
        """Signs each encrypted file in one packer start."""
        targets = list(targets)
        if targets:
            self.run(targets[0] if len(targets) == 1 else f"{len(targets)} files", "sign",
                     "--sign", windows_path(self.signing_key), *map(windows_path, targets))

    def decrypt(self, public_key, source, target):
        """The text of an encrypted file as UTF-8 in `target`; False when the
        packer cannot decrypt it."""
        return not self.decrypt_many(public_key, [(source, target)])

    def decrypt_many(self, public_key, pairs):
        """decrypt for each (source, target) pair, in one packer start; the
        set of sources (as given) that the packer cannot decrypt. Each target
        is removed first, so the ones there afterwards are this run's."""
        pairs = list(pairs)
        if not pairs:
            return set()
        for _, target in pairs:
            Path(target).unlink(missing_ok=True)
        try:
            self.run(f"{len(pairs)} files", "decrypt", "--pub", windows_path(public_key),
                     *pair_arguments(pairs))
        except PackerError:
            return {source for source, target in pairs if not Path(target).is_file()}
        return set()

    def verify(self, signing_pub, files):
        """{file: None when its signature verifies, else the packer's reason}."""
        if not files:
            return {}
        result = self.call("verify", "--pub", windows_path(signing_pub),
                           *map(windows_path, files))
        if result.returncode not in (0, 1):
            raise PackerError(f"packer verify failed: {result.stderr.strip()}")
        reasons = {}
        for line in result.stderr.splitlines():
            name, sep, reason = line.rpartition(": ")
            if sep:
                reasons[name.lower()] = reason
        return {f: reasons.get(windows_path(f).lower()) for f in files}

    def run(self, subject, *args):
        result = self.call(*args)
        if result.returncode != 0:
            raise PackerError(f"packer failed for {subject}: {result.stderr.strip()}")

    def call(self, *args):
        if not self.exe.is_file():
            raise PackerError(f"{self.exe} is missing: run ./tovral build")
        env = dict(os.environ, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))
        # Output goes through files: Wine services that the first program of a
        # session starts inherit its handles and would hold pipes open.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run(["wine", str(self.exe), *args], env=env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            out.seek(0)
            err.seek(0)
            result.stdout = out.read().decode("utf-8", "replace")
            result.stderr = err.read().decode("utf-8", "replace")
        return result


# --- XML with line numbers ------------------------------------------------------------


@dataclass
class Element:
    tag: str
    attrs: dict
    line: int
    children: list = field(default_factory=list)

    def child(self, name):
        """The first child of that name, compared without regard to case, as the control does."""
        return next((c for c in self.children if c.tag.lower() == name.lower()), None)

    def descendants(self, name):
        found = []
        for c in self.children:
            if c.tag.lower() == name.lower():
                found.append(c)
            found += c.descendants(name)
        return found

    def first_descendant(self, name):
        direct = self.child(name)
        if direct:
            return direct
        return next((d for c in self.children if (d := c.first_descendant(name))), None)


def parse_xml(text, where):
    """The root Element of an XML text; a Problem with the line when it is not XML."""
    parser = expat.ParserCreate("utf-8")
    stack, roots = [], []

    def start(tag, attrs):
        element = Element(tag, attrs, parser.CurrentLineNumber)
        (stack[-1].children if stack else roots).append(element)
        stack.append(element)

    parser.StartElementHandler = start
    parser.EndElementHandler = lambda tag: stack.pop()
    parser.ordered_attributes = False
    try:
        parser.Parse(text.encode("utf-8"), True)
    except expat.ExpatError as error:
        raise Problem(where, f"not XML: {expat.ErrorString(error.code)}", error.lineno) from None
    return roots[0]


def escape_attribute(value):
    return (value.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;").replace("\r", "&#13;").replace("\n", "&#10;"))


# --- paths inside the tree ---------------------------------------------------------------

_URL_UNSAFE = re.compile(r"[\x00-\x20\x7f?#%\\]")


def tree_path_problem(path):
    """Why a path a list names is not a file inside the tree, or None."""
    if not path:
        return "is empty"
    if _URL_UNSAFE.search(path):
        return "has a character a URL path cannot carry as it stands (space, ?, #, %, \\)"
    if path.startswith("/") or ":" in path.split("/", 1)[0]:
        return "points outside the tree (an absolute path or address)"
    parts = path.split("/")
    if ".." in parts:
        return "points outside the tree (..)"
    if any(part in ("", ".") for part in parts):
        return "has an empty or '.' part"
    return None


def is_root_url(url):
    return re.fullmatch(r"https?://[^/?#\s\\]+/([^?#\s\\]*/)?", url) is not None


def same_root(a, b):
    """Root URLs compared as addresses: scheme and host without regard to case."""
    def split(url):
        scheme, _, rest = url.partition("://")
        host, _, path = rest.partition("/")
        return scheme.lower(), host.lower(), path
    return split(a) == split(b)


def version_entry_root(entry):
    """The root URL an entry of the version list implies (its Url less
    SETTINGS_DIR/Name), or a reason why it implies none."""
    name, url = entry.attrs.get("Name", ""), entry.attrs.get("Url", "")
    suffix = f"{SETTINGS_DIR}/{name}"
    if not url.endswith("/" + suffix):
        return None, f"Url {url!r} is not ROOT/{suffix}: it points outside the tree"
    root = url[:-len(suffix)]
    if not is_root_url(root):
        return None, f"Url {url!r} is not an http or https address"
    return root, None


def safe_file_name_problem(name):
    if not name or re.search(r'[\x00-\x1f<>:"/\\|?*]', name) or name in (".", ".."):
        return "is not a single file name"
    if name.rstrip(". ") != name:
        return "ends in a dot or blank"
    if re.fullmatch(r"(?i)(con|prn|aux|nul|com\d|lpt\d)(\..*)?", name):
        return "is a device name"
    return None


def files_element(root):
    """The version list's file entries, as the control finds them."""
    files = root.child("Files") or root
    return files.children


@dataclass
class PointedFile:
    """A component file a list points at: its tree path and the element
    whose mac and sha256 it must match."""
    path: str
    element: Element
    label: str


def catalogue_files(root):
    """Every downloadable item of a catalogue: the first Control section's
    controls (1000-1999) and the first Application section's applications
    (4000-4999), the first entry of each id, as the download chain finds them."""
    pointed, seen = [], set()
    for section, low, high in (("Control", 1000, 1999), ("Application", 4000, 4999)):
        element = root.child(section)
        for item in element.children if element else []:
            item_id = _leading_int(item.attrs.get("id", ""))
            if low <= item_id <= high and item_id not in seen:
                seen.add(item_id)
                pointed.append(PointedFile(item.attrs.get("url", ""), item, f"item {item_id}"))
    return pointed


def update_list_files(root, tree_root, where):
    """The update list's files (root + url, those not to be deleted); a
    Problem when its root is not a folder of the tree."""
    version = root if root.tag.lower() == "fileversion" else root.first_descendant("FileVersion")
    update_root = version.attrs.get("root", "") if version else ""
    line = version.line if version else root.line
    prefix = update_root[len(tree_root):]
    if not same_root(update_root[:len(tree_root)], tree_root) or (
            prefix and (not prefix.endswith("/") or tree_path_problem(prefix[:-1]))):
        raise Problem(where, f"outside the tree: FileVersion root {update_root!r} is not "
                      f"{tree_root} or a folder below it", line)
    return [PointedFile(prefix + a.attrs.get("url", ""), a, f"assembly {a.attrs.get('filename')}")
            for a in root.descendants("assembly")
            if a.attrs.get("updatehandle", "").lower() != "delete"]


def _leading_int(text):
    match = re.match(r"\s*[+-]?\d+", text)
    return int(match.group()) if match else 0
