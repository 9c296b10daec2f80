"""The bank server's file tree, built from the plain sample configuration:
every configuration file encrypted with the packer (TovralPack.exe under
Wine) and signed into NAME.sig beside it, and the encrypted (and signed)
version list that names them with their checksums.

The programs and packages the tree serves are the sample components that the
build makes (tools/samples, described by build/samples/samples.json).

Plain files are templates: ${server} is the server's root URL (no trailing
slash), ${mac:PATH} the checksum text of a file of the tree, ${sha256:PATH}
its SHA-256 (lower-case hexadecimal), ${version:NAME}
the version of a configuration file, ${certblob:NAME} and ${certthumb:NAME} the
registry blob and thumbprint of a built certificate, ${clsid:NAME} the class id of a sample
control ("SampleCtl.dll")."""

import hashlib
import json
import re
import shutil
import struct
from pathlib import Path

# The packer and the checksum texts are the bank's own tools (publish).
from tools.publish.tree import (TEST_KEY, TEST_SIGNING_KEY, Packer,  # noqa: F401
                                checksum_text, sha256_text, windows_path)

HERE = Path(__file__).resolve().parent
SAMPLE_DIR = HERE / "sample"
SETTINGS_DIR = "VeyrantSettingV2"

# Files of the tree made by the build: tree path -> path in the build folder.
BUILT_FILES = {
    "controls/SampleCtl.dll": "samples/SampleCtl.dll",
    "controls/SampleCtl.ocx": "samples/SampleCtl.ocx",
    "controls/SampleCab.cab": "samples/SampleCab.cab",
    "apps/BankClientSetup.exe": "samples/BankClientSetup.exe",
    "apps/BankClientSetupCancel.exe": "samples/BankClientSetupCancel.exe",
    "apps/BankClientMsi.msi": "samples/BankClientMsi.msi",
    "client/BankClient.exe": "samples/BankClient.exe",
    "update/UpdateFiles.exe": "samples/UpdateFiles.exe",
}

# Configuration files of the version list, in list order, with their ids:
# 50 is the update list, 54 and 55 the two catalogues.
CONFIG_FILES = [("UtilityChs", 54), ("UtilityEn", 55), ("Update", 50),
                ("Resource", 56), ("EnvPatch", 57)]


def sample_facts(build_dir):
    """The sample components' facts from build/samples/samples.json, by file name:
    {"SampleCtl.dll": {"path": ..., "clsid": ..., "version": ...}, ...}."""
    manifest = Path(build_dir) / "samples" / "samples.json"
    return json.loads(manifest.read_text(encoding="utf-8"))["files"]


def certificate_blob_text(der_path):
    """A certificate as the registry's certificate stores keep it ("Blob": one
    serialized element, the certificate property 32 with encoding 1 and the
    DER bytes), written as the catalogue writes blobs: hexadecimal bytes with
    commas, broken into lines."""
    der = Path(der_path).read_bytes()
    blob = struct.pack("<III", 32, 1, len(der)) + der
    pieces = [format(b, "02X") for b in blob]
    return ",\n".join(",".join(pieces[i:i + 32]) for i in range(0, len(pieces), 32))


def certificate_thumbprint(der_path):
    """The store's key name of a certificate: its SHA-1, upper-case hex."""
    return hashlib.sha1(Path(der_path).read_bytes()).hexdigest().upper()


class ServerTree:
    """Builds the tree under `root`. `texts` replaces the plain text of a
    configuration file by name ("Update"...), `versions` sets versions. The
    built files come from `build_dir`, by default the packer's build folder."""

    def __init__(self, root, server_url, packer, sample_dir=SAMPLE_DIR, build_dir=None):
        self.root = Path(root)
        self.server_url = server_url.rstrip("/")
        self.packer = packer
        self.sample_dir = Path(sample_dir)
        self.build_dir = Path(build_dir) if build_dir is not None else packer.build_dir
        self.versions = {name: 1 for name, _ in CONFIG_FILES}
        self.texts = {}
        self.encodings = {}

    @property
    def settings_dir(self):
        return self.root / SETTINGS_DIR

    def config_path(self, name):
        return self.settings_dir / f"{name}.cfg"

    def render(self, text):
        def value(match):
            kind, _, arg = match.group(1).partition(":")
            if kind == "server":
                return self.server_url
            if kind == "mac":
                return checksum_text(self.root / arg)
            if kind == "sha256":
                return sha256_text(self.root / arg)
            if kind == "version":
                return str(self.versions[arg])
            if kind == "clsid":
                return sample_facts(self.build_dir)[arg]["clsid"]
            if kind == "certblob":
                return certificate_blob_text(self.sample_path(arg))
            if kind == "certthumb":
                return certificate_thumbprint(self.sample_path(arg))
            raise KeyError(match.group(0))
        return re.sub(r"\$\{([^}]+)\}", value, text)

    def sample_path(self, name):
        """A built sample file by its name in the manifest."""
        return Path(sample_facts(self.build_dir)[name]["path"])

    def build(self):
        """Writes the whole tree; returns the version list's entries."""
        self.settings_dir.mkdir(parents=True, exist_ok=True)
        self.copy_files()
        self.encrypt_configs([name for name, _ in CONFIG_FILES])
        return self.write_version_list()

    def copy_files(self):
        """The served files: plain sample files and the built ones, before the
        configuration that names them with their checksums."""
        copies = [(plain, plain.relative_to(self.sample_dir))
                  for plain in self.sample_dir.rglob("*")
                  if plain.is_file() and plain.suffix != ".xml"]
        copies += [(self.build_dir / built, tree_path) for tree_path, built in BUILT_FILES.items()]
        for source, tree_path in copies:
            target = self.root / tree_path
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target)

    def plain_text(self, name):
        if name in self.texts:
            return self.texts[name]
        return (self.sample_dir / f"{name}.xml").read_text(encoding="utf-8")

    def encrypt_config(self, name):
        self.encrypt_configs([name])

    def encrypt_configs(self, names):
        """Encrypts the named configuration files with one packer start (a
        Wine program) per encoding rather than per file."""
        by_encoding = {}
        for name in names:
            plain = self.settings_dir / f"{name}.xml"
            plain.write_text(self.render(self.plain_text(name)), encoding="utf-8")
            by_encoding.setdefault(self.encodings.get(name, "utf8"), []).append(
                (plain, self.config_path(name)))
        for encoding, pairs in by_encoding.items():
            self.packer.encrypt_many(pairs, encoding)
            for plain, _ in pairs:
                plain.unlink()

    def version_entries(self):
        entries = []
        for name, file_id in CONFIG_FILES:
            entries.append({"id": file_id, "Name": f"{name}.cfg",
                            "Url": f"{self.server_url}/{SETTINGS_DIR}/{name}.cfg",
                            "Version": self.versions[name],
                            "mac": checksum_text(self.config_path(name)),
                            "sha256": sha256_text(self.config_path(name))})
        return entries

    def write_version_list(self, entries=None):
        entries = self.version_entries() if entries is None else entries
        lines = ['<?xml version="1.0" encoding="utf-8"?>', "<Version>", "  <Files>"]
        for e in entries:
            attrs = " ".join(f'{key}="{value}"' for key, value in e.items())
            lines.append(f"    <file {attrs}/>")
        lines += ["  </Files>", "</Version>", ""]
        plain = self.settings_dir / "Version.xml"
        plain.write_text("\n".join(lines), encoding="utf-8")
        self.packer.encrypt(plain, self.settings_dir / "Version.cfg")
        plain.unlink()
        return entries


def write_sample_source(folder, server_url, build_dir):
    """The sample bank as an operator's publish SOURCE for the bank served at
    `server_url`: the version list and the configuration texts with the
    server, class ids and certificates filled in (checksums and versions stay
    placeholders for publish), and the component files at their tree paths."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    server_url = server_url.rstrip("/")
    facts = sample_facts(build_dir)

    def value(match):
        kind, _, arg = match.group(1).partition(":")
        if kind == "server":
            return server_url
        if kind == "version":
            return "${version}"
        if kind == "clsid":
            return facts[arg]["clsid"]
        if kind in ("certblob", "certthumb"):
            der = Path(facts[arg]["path"])
            return certificate_blob_text(der) if kind == "certblob" else certificate_thumbprint(der)
        return match.group(0)  # ${mac:...} and ${sha256:...} are publish's

    for name in [name for name, _ in CONFIG_FILES] + ["Version"]:
        text = (SAMPLE_DIR / f"{name}.xml").read_text(encoding="utf-8")
        (folder / f"{name}.xml").write_text(re.sub(r"\$\{([^}]+)\}", value, text),
                                            encoding="utf-8")
    copies = [(plain, plain.relative_to(SAMPLE_DIR)) for plain in SAMPLE_DIR.rglob("*")
              if plain.is_file() and plain.suffix != ".xml"]
    copies += [(Path(build_dir) / built, tree_path) for tree_path, built in BUILT_FILES.items()]
    for source, tree_path in copies:
        target = folder / tree_path
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target)
    return folder
