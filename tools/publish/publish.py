#!/usr/bin/env python3
"""publish SOURCE OUT [--key FILE] [--sign FILE]: turns the bank's plain files
into the static tree the control fetches.

SOURCE holds the version list as the bank writes it (Version.xml: one <file>
per configuration file with its id, Name and Url), one plain text per entry
(NAME.xml for NAME.cfg) and the component files at the paths the catalogues
and the update list point at. Texts may use ${mac:PATH} and ${sha256:PATH}
(PATH a file of SOURCE) and ${version} (the Version this publish gives the
file). OUT gets every configuration file encrypted and signed, the version
list with each file's Version, mac and sha256 and the next serial, and the
component files. An unchanged file keeps its bytes and its Version, so a PC
does not fetch it again. Nothing is written to OUT unless everything checks:
the new tree is built beside OUT and exchanged for it in one step."""

import argparse
import ctypes
import os
import re
import shutil
import signal
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))

from tools.publish.tree import (CATALOGUES, SETTINGS_DIR, SOURCE_DIR, TEST_KEY,  # noqa: E402
                                TEST_SIGNING_KEY, UPDATE_LIST, VERSION_LIST, Packer, PackerError,
                                Problem, catalogue_files, checksum_faults, checksum_text,
                                escape_attribute, files_element, parse_xml, require_key,
                                safe_file_name_problem, sha256_text, tree_path_problem,
                                update_list_files, version_entry_root, write_public_half)

SOURCE_LIST = "Version.xml"
# The control decrypts these five together; a tree without one of them gives it no lists.
REQUIRED_FILES = ("UtilityChs.cfg", "UtilityEn.cfg", "Update.cfg", "Resource.cfg", "EnvPatch.cfg")
UPDATE_LIST_IDS = ("50", "51")
PLACEHOLDER = re.compile(r"\$\{([^}]*)\}")


class Refused(Exception):
    """The source or OUT cannot be published; every problem found."""

    def __init__(self, problems):
        super().__init__("\n".join(map(str, problems)))
        self.problems = problems


@dataclass
class ConfigFile:
    name: str  # in the settings folder, e.g. "UtilityChs.cfg"
    entry: object  # its Element in Version.xml
    source: Path
    text: str  # as the bank wrote it
    floor: int  # the lowest Version the bank asks for


@dataclass
class OldTree:
    """What the tree being replaced says: its serial, and per file its
    Version and (when it decrypts) its text."""
    serial: int = 0
    entries: dict = None
    folder: Path = None


class Source:
    """SOURCE read and checked; `problems` lists everything wrong with it."""

    def __init__(self, folder):
        self.folder = Path(folder)
        self.problems = []
        self.files = []
        self.copies = {}  # tree path -> file of SOURCE
        self.root_url = None
        self.list_root = None
        self.read_version_list()
        for config in self.files:
            self.check_text(config)

    def problem(self, where, text, line=None):
        self.problems.append(Problem(where, text, line))

    def read_version_list(self):
        path = self.folder / SOURCE_LIST
        if not path.is_file():
            self.problem(path, "missing: the version list as the bank writes it (one <file> "
                         "per configuration file with id, Name and Url)")
            return
        try:
            self.list_root = parse_xml(path.read_text(encoding="utf-8-sig"), path)
        except (Problem, UnicodeDecodeError) as error:
            self.problems.append(error if isinstance(error, Problem) else
                                 Problem(path, f"not UTF-8 text: {error}"))
            return
        names = set()
        for entry in files_element(self.list_root):
            self.read_entry(path, entry, names)
        for name in REQUIRED_FILES:
            if name not in names:
                self.problem(path, f"names no {name}: the control reads "
                             f"{', '.join(REQUIRED_FILES)} together")

    def read_entry(self, path, entry, names):
        name = entry.attrs.get("Name", "")
        if reason := safe_file_name_problem(name):
            self.problem(path, f"Name {name!r} {reason}", entry.line)
            return
        if not name.endswith(".cfg") or name == VERSION_LIST or name.lower() in names:
            self.problem(path, f"Name {name!r}: a configuration file is NAME.cfg, once, and not "
                         f"{VERSION_LIST}", entry.line)
            return
        names.add(name)
        if not re.fullmatch(r"-?\d+", entry.attrs.get("id", "")):
            self.problem(path, f"{name}: id {entry.attrs.get('id')!r} is not a number", entry.line)
        if name == UPDATE_LIST and entry.attrs.get("id") not in UPDATE_LIST_IDS:
            self.problem(path, f"{name}: the update list has id 50 (or 51): the self-update "
                         "finds it by that id", entry.line)
        floor = entry.attrs.get("Version", "0")
        if not re.fullmatch(r"\d{1,18}", floor):
            self.problem(path, f"{name}: Version {floor!r} is not a number", entry.line)
            floor = "0"
        root, reason = version_entry_root(entry)
        if reason:
            self.problem(path, f"{name}: {reason}", entry.line)
        elif self.root_url is None:
            self.root_url = root
        elif root != self.root_url:
            self.problem(path, f"{name}: Url points outside the tree: its root {root} is not "
                         f"{self.root_url}, the root of the entries before it", entry.line)
        source = self.folder / (name[:-4] + ".xml")
        try:
            text = source.read_text(encoding="utf-8-sig")
        except FileNotFoundError:
            self.problem(path, f"{name}: its plain text {source.name} is not in SOURCE", entry.line)
            return
        except UnicodeDecodeError as error:
            self.problem(source, f"not UTF-8 text: {error}")
            return
        self.files.append(ConfigFile(name, entry, source, text, int(floor)))

    def render(self, config, version, problems=None):
        """The text with its placeholders filled in; line numbers stay those of SOURCE."""
        text = config.text

        def value(match):
            kind, sep, arg = match.group(1).partition(":")
            line = text.count("\n", 0, match.start()) + 1
            if kind == "version" and not sep:
                return str(version)
            if kind not in ("mac", "sha256") or not sep:
                reason = "unknown placeholder (publish knows ${mac:PATH}, ${sha256:PATH}, ${version})"
            elif (reason := tree_path_problem(arg)) is None:
                path = self.folder / arg
                if path.is_file():
                    return checksum_text(path) if kind == "mac" else sha256_text(path)
                reason = "names a file that is not in SOURCE"
            if problems is not None:
                problems.append(Problem(config.source, f"{match.group(0)} {reason}", line))
            return ""
        return PLACEHOLDER.sub(value, text)

    def check_text(self, config):
        """Placeholders, XML, and every file the text points at: inside the
        tree, present in SOURCE and matching what the text lists for it."""
        text = self.render(config, 1, self.problems)
        try:
            root = parse_xml(text, config.source)
        except Problem as problem:
            self.problems.append(problem)
            return
        if self.root_url is None:
            return  # without the tree's root no pointer can be placed
        if config.name in CATALOGUES:
            pointed = catalogue_files(root)
        elif config.name == UPDATE_LIST:
            try:
                pointed = update_list_files(root, self.root_url, config.source)
            except Problem as problem:
                self.problems.append(problem)
                return
        else:
            return
        for file in pointed:
            self.check_pointed(config, file)

    def check_pointed(self, config, file):
        line = file.element.line
        if reason := tree_path_problem(file.path):
            self.problem(config.source, f"{file.label}: url {file.path!r} {reason}", line)
            return
        path = self.folder / file.path
        if not path.is_file():
            self.problem(config.source, f"{file.label}: {file.path} is not in SOURCE", line)
            return
        for fault in checksum_faults(path, file.element):
            self.problem(config.source, f"{file.label}: {file.path}: {fault}", line)
        self.copies[file.path] = path


def read_old_tree(out, packer, public_key, work):
    """The tree OUT holds now (an empty OldTree for a new or empty folder)."""
    if not out.exists():
        return OldTree(entries={})
    if not out.is_dir():
        raise Refused([Problem(out, "is not a folder")])
    version_list = out / SETTINGS_DIR / VERSION_LIST
    if not version_list.is_file():
        if any(out.iterdir()):
            raise Refused([Problem(out, "holds files but no published tree "
                                   f"({SETTINGS_DIR}/{VERSION_LIST}); publish replaces OUT "
                                   "whole, so name a new or empty folder")])
        return OldTree(entries={})
    text = decrypt_text(packer, public_key, version_list, work)
    try:
        root = parse_xml(text, version_list) if text is not None else None
    except Problem:
        root = None
    if root is None:
        raise Refused([Problem(version_list, "does not decrypt to a version list with the "
                               "public half of --key; publish into OUT with the key it was "
                               "made with")])
    serial = root.attrs.get("serial", "0")
    if not re.fullmatch(r"\d{1,18}", serial):
        raise Refused([Problem(version_list, f"serial {serial!r} is not a decimal number")])
    entries = {e.attrs.get("Name", ""): e for e in files_element(root)}
    return OldTree(int(serial), entries, out / SETTINGS_DIR)


def decrypt_text(packer, public_key, path, work):
    target = work / "decrypted.txt"
    if not packer.decrypt(public_key, path, target):
        return None
    return target.read_text(encoding="utf-8", errors="replace")


def old_version(old, name):
    entry = old.entries.get(name)
    value = entry.attrs.get("Version", "0") if entry is not None else "0"
    return int(value) if re.fullmatch(r"\d{1,18}", value) else 0


def old_texts(source, old, packer, public_key, work):
    """{name: text} of the old tree's files that this publish's files may
    keep, decrypted by one packer start (a file that does not decrypt is left out)."""
    if old.folder is None:
        return {}
    (work / "old").mkdir(exist_ok=True)
    pairs = {config.name: (old.folder / config.name, work / "old" / config.name)
             for config in source.files
             if config.name in old.entries and (old.folder / config.name).is_file()}
    failed = packer.decrypt_many(public_key, pairs.values())
    return {name: text_file.read_text(encoding="utf-8", errors="replace")
            for name, (old_file, text_file) in pairs.items() if old_file not in failed}


def unchanged_bytes(source, config, old, texts):
    """The old encrypted file when it holds exactly the text this publish would
    write under the old Version (and still matches its old list entry);
    `texts` are the old files' texts (old_texts)."""
    entry = old.entries.get(config.name)
    old_file = old.folder / config.name if old.folder else None
    version = old_version(old, config.name)
    if entry is None or not old_file.is_file() or version < config.floor:
        return None
    if checksum_faults(old_file, entry):
        return None
    if texts.get(config.name) != source.render(config, version):
        return None
    return old_file


def version_list_text(source, versions, serial, settings):
    """The version list: the bank's entries with Version, mac and sha256."""
    root = source.list_root
    root_attrs = dict(root.attrs, serial=str(serial))
    lines = ['<?xml version="1.0" encoding="utf-8"?>',
             f"<{root.tag}{attributes(root_attrs)}>", "  <Files>"]
    for config in source.files:
        path = settings / config.name
        attrs = dict(config.entry.attrs, Version=str(versions[config.name]),
                     mac=checksum_text(path), sha256=sha256_text(path))
        lines.append(f"    <file{attributes(attrs)}/>")
    lines += ["  </Files>", f"</{root.tag}>", ""]
    return "\n".join(lines)


def attributes(attrs):
    return "".join(f' {name}="{escape_attribute(value)}"' for name, value in attrs.items())


def build_tree(source, old, packer, public_key, staging, work):
    """Writes the whole tree into `staging`; returns the report lines."""
    for tree_path, path in sorted(source.copies.items()):
        target = staging / tree_path
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(path, target)
    settings = staging / SETTINGS_DIR
    settings.mkdir(parents=True, exist_ok=True)
    versions, report = {}, []
    texts = old_texts(source, old, packer, public_key, work)
    kept, plains = [], []  # one packer start for each kind: each is a Wine program
    for config in source.files:
        target = settings / config.name
        reuse = unchanged_bytes(source, config, old, texts)
        if reuse is not None:
            versions[config.name] = old_version(old, config.name)
            shutil.copy2(reuse, target)
            kept.append(target)
            state = "unchanged"
        else:
            versions[config.name] = max(old_version(old, config.name) + 1, config.floor)
            plain = work / config.name
            plain.write_text(source.render(config, versions[config.name]), encoding="utf-8")
            plains.append((plain, target))
            state = "new" if config.name not in old.entries else "changed"
        report.append(f"  {config.name:<16} Version {versions[config.name]:<4} {state}")
    packer.sign_many(kept)  # the same bytes: the same signature, or one by the new key
    packer.encrypt_many(plains)
    for plain, _ in plains:
        plain.unlink()
    plain = work / "Version.xml"
    plain.write_text(version_list_text(source, versions, old.serial + 1, settings),
                     encoding="utf-8")
    packer.encrypt(plain, settings / VERSION_LIST)
    plain.unlink()
    report.append(f"  {len(source.copies)} component files")
    return report


def exchange(staging, out):
    """Puts the new tree in OUT's place in one step; the old one ends up at
    `staging` (or nowhere, when OUT did not exist)."""
    if not out.exists():
        os.rename(staging, out)
        return False
    libc = ctypes.CDLL(None, use_errno=True)
    rename_exchange, at_fdcwd = 2, -100
    if hasattr(libc, "renameat2") and libc.renameat2(
            at_fdcwd, os.fsencode(staging), at_fdcwd, os.fsencode(out), rename_exchange) == 0:
        return True
    # A file system without the exchange: two renames, the old tree put back on failure.
    aside = staging.with_name(staging.name + ".old")
    os.rename(out, aside)
    try:
        os.rename(staging, out)
    except OSError:
        os.rename(aside, out)
        raise
    os.rename(aside, staging)
    return True


def publish(source_dir, out, key, signing_key, build_dir):
    """Publishes; returns the report lines. Raises Refused with every problem
    found, OUT untouched."""
    out = Path(os.path.abspath(out))
    problems = []
    for path, option, signing in ((key, "--key", False), (signing_key, "--sign", True)):
        try:
            require_key(path, option, private=True, signing=signing)
        except Problem as problem:
            problems.append(problem)
    source = Source(source_dir)
    problems += source.problems
    if problems:
        raise Refused(problems)
    packer = Packer(build_dir, key, signing_key)
    with tempfile.TemporaryDirectory(prefix="tovral-publish-") as work_dir:
        work = Path(work_dir)
        public_key = work / "format.pub"
        write_public_half(key, public_key)
        old = read_old_tree(out, packer, public_key, work)
        out.parent.mkdir(parents=True, exist_ok=True)
        staging = Path(tempfile.mkdtemp(prefix=f".{out.name}.publish-", dir=out.parent))
        try:
            os.chmod(staging, 0o777 & ~current_umask())
            report = build_tree(source, old, packer, public_key, staging, work)
            exchange(staging, out)
        finally:
            shutil.rmtree(staging, ignore_errors=True)
    return [f"published {source.folder} into {out}: root URL {source.root_url}, "
            f"serial {old.serial + 1}"] + report


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="tovral publish", description="Turns the bank's plain files in SOURCE into the "
        "static tree OUT that the control fetches (encrypted, signed, listed).")
    parser.add_argument("source", metavar="SOURCE")
    parser.add_argument("out", metavar="OUT")
    parser.add_argument("--key", help="the format's private key (TovralPack keygen); "
                        "default: the test key")
    parser.add_argument("--sign", help="the signing private key (TovralPack keygen --signing); "
                        "default: the test signing key")
    args = parser.parse_args(argv)
    key = Path(args.key) if args.key else TEST_KEY
    signing_key = Path(args.sign) if args.sign else TEST_SIGNING_KEY
    for given, default, option in ((args.key, TEST_KEY, "--key"),
                                   (args.sign, TEST_SIGNING_KEY, "--sign")):
        if not given:
            print(f"publish: no {option}: using the test key {default.relative_to(SOURCE_DIR)}, "
                  "which only the test builds accept", file=sys.stderr)
    build_dir = Path(os.environ.get("TOVRAL_BUILD_DIR", SOURCE_DIR / "build"))
    # An interrupted publish still removes its half-built tree (OUT is untouched).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        for line in publish(Path(args.source), Path(args.out), key, signing_key, build_dir):
            print(line)
    except Refused as refused:
        for problem in refused.problems:
            print(problem, file=sys.stderr)
        print(f"publish: {len(refused.problems)} problem(s); {args.out} left as it was",
              file=sys.stderr)
        return 1
    except (PackerError, OSError) as error:
        print(f"publish: {error}; {args.out} left as it was", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
