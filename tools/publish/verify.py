#!/usr/bin/env python3
"""verify OUT --pub FORMAT.pub --signing-pub SIGNING.pub [--url ROOT]: checks a
published tree as the control would use it. The version list and every file
it names must be present, match its mac and sha256, carry a signature that
verifies and decrypt to XML; every file a catalogue or the update list points
at must be present inside the tree and match. With --url ROOT alone the tree
is fetched from the server at ROOT; with a folder and --url, the folder is
checked as the tree served at ROOT. One line per problem; exit code 0 when
there is none, 1 when there are, 2 when the command line is wrong."""

import argparse
import os
import sys
import tempfile
import urllib.error
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))

from tools.publish.tree import (CATALOGUES, SETTINGS_DIR, SOURCE_DIR, UPDATE_LIST,  # noqa: E402
                                VERSION_LIST, Packer, PackerError, Problem, catalogue_files,
                                checksum_faults, files_element, is_root_url, parse_xml,
                                require_key, safe_file_name_problem, same_root,
                                tree_path_problem, update_list_files, version_entry_root)

REQUIRED_FILES = ("UtilityChs.cfg", "UtilityEn.cfg", "Update.cfg", "Resource.cfg", "EnvPatch.cfg")
FETCH_TIMEOUT = 60
LARGEST_FILE = 1 << 30


class FolderTree:
    """The tree as files of a folder."""

    def __init__(self, folder):
        self.folder = Path(folder)

    def get(self, path):
        local = self.folder / path
        return local if local.is_file() else None


class ServedTree:
    """The tree as a server answers for it: each file fetched once into a
    private mirror, as the control fetches it (no cache)."""

    def __init__(self, root_url, mirror):
        self.root_url, self.mirror = root_url, Path(mirror)
        self.fetched = {}

    def get(self, path):
        if path not in self.fetched:
            self.fetched[path] = self.fetch(path)
        return self.fetched[path]

    def fetch(self, path):
        request = urllib.request.Request(self.root_url + path, headers={
            "Pragma": "no-cache", "Cache-Control": "no-cache"})
        local = self.mirror / path
        try:
            with urllib.request.urlopen(request, timeout=FETCH_TIMEOUT) as answer:
                body = answer.read(LARGEST_FILE + 1)
        except (urllib.error.URLError, OSError):
            return None
        if len(body) > LARGEST_FILE:
            return None
        local.parent.mkdir(parents=True, exist_ok=True)
        local.write_bytes(body)
        return local


class Checker:
    def __init__(self, tree, root_url, packer, format_pub, signing_pub, work):
        self.tree, self.root_url, self.packer = tree, root_url, packer
        self.format_pub, self.signing_pub, self.work = format_pub, signing_pub, Path(work)
        self.problems = []
        self.signed = {}  # local file -> tree path, for one packer verify at the end
        self.checked = 0

    def problem(self, where, text, line=None):
        self.problems.append(str(Problem(where, text, line)))

    def run(self):
        list_path = f"{SETTINGS_DIR}/{VERSION_LIST}"
        root = self.decrypted_xml([self.queue_encrypted(list_path)])[0]
        if root is None:
            self.check_signatures()
            return self.problems
        serial = root.attrs.get("serial")
        if serial is not None and not serial.isdigit():
            self.problem(list_path, f"bad serial: {serial!r} is not a decimal number")
        names, queued = set(), []
        for entry in files_element(root):
            start = len(self.problems)
            local = self.check_entry(list_path, entry, names)
            queued.append((entry.attrs.get("Name", ""), local, self.problems[start:]))
            del self.problems[start:]
        # The files decrypted by one packer start, each one's problems in its entry's place.
        texts = {}
        for (name, local, problems), text_root in zip(
                queued, self.decrypted_xml([local for _, local, _ in queued])):
            self.problems += problems
            if text_root is not None:
                texts[name] = text_root
        for name in REQUIRED_FILES:
            if name.lower() not in names:
                self.problem(list_path, f"missing entry: names no {name}, which the control reads")
        for name, text_root in texts.items():
            self.check_pointers(f"{SETTINGS_DIR}/{name}", name, text_root)
        self.check_signatures()
        return self.problems

    def queue_encrypted(self, path):
        """An encrypted file of the tree: present and its signature queued;
        its local copy to decrypt, or None (the problem recorded)."""
        local = self.tree.get(path)
        if local is None:
            self.problem(path, "missing")
            return None
        self.checked += 1
        self.tree.get(path + ".sig")
        self.signed[local] = path
        return local

    def decrypted_xml(self, locals_):
        """The root Element of each local copy (None for None), decrypted by
        one packer start and parsed; None, the problem recorded, where it fails."""
        texts = {local: self.work / f"decrypted-{n}.txt"
                 for n, local in enumerate(dict.fromkeys(filter(None, locals_)))}
        failed = self.packer.decrypt_many(self.format_pub, texts.items())
        return [self.parse_decrypted(local, texts[local], failed) if local else None
                for local in locals_]

    def parse_decrypted(self, local, text_file, failed):
        path = self.signed[local]
        if local in failed:
            self.problem(path, "does not decrypt (not a file of the format)")
            return None
        try:
            return parse_xml(text_file.read_text(encoding="utf-8", errors="replace"), path)
        except Problem:
            self.problem(path, "does not decrypt to XML with the format key (another key?)")
            return None

    def check_entry(self, list_path, entry, names):
        """An entry's checks; the local copy of its file to decrypt, or None."""
        name, line = entry.attrs.get("Name", ""), entry.line
        if reason := safe_file_name_problem(name):
            self.problem(list_path, f"outside the tree: Name {name!r} {reason}", line)
            return None
        if name.lower() in names:
            self.problem(list_path, f"duplicate entry: {name} is listed twice", line)
        names.add(name.lower())
        root, reason = version_entry_root(entry)
        if reason:
            self.problem(list_path, f"outside the tree: {name}: {reason}", line)
            return None
        if self.root_url is None:
            self.root_url = root
        elif not same_root(root, self.root_url):
            self.problem(list_path, f"outside the tree: {name}: Url {entry.attrs['Url']!r} is "
                         f"not below {self.root_url}", line)
            return None
        path = f"{SETTINGS_DIR}/{name}"
        local = self.tree.get(path)
        if local is not None:
            for fault in checksum_faults(local, entry):
                self.problem(path, fault)
        return self.queue_encrypted(path)

    def check_pointers(self, where, name, root):
        if name in CATALOGUES:
            pointed = catalogue_files(root)
        elif name == UPDATE_LIST:
            try:
                pointed = update_list_files(root, self.root_url, where)
            except Problem as problem:
                self.problems.append(str(problem))
                return
        else:
            return
        for file in pointed:
            line = file.element.line
            if reason := tree_path_problem(file.path):
                self.problem(where, f"outside the tree: {file.label}: url {file.path!r} {reason}",
                             line)
                continue
            local = self.tree.get(file.path)
            if local is None:
                self.problem(file.path, f"missing ({file.label} of {name}, line {line})")
                continue
            self.checked += 1
            for fault in checksum_faults(local, file.element):
                self.problem(file.path, f"{fault} ({file.label} of {name}, line {line})")

    def check_signatures(self):
        verdicts = self.packer.verify(self.signing_pub, list(self.signed))
        for local, reason in verdicts.items():
            path = self.signed[local] + ".sig"
            if reason is None:
                continue
            if not Path(str(local) + ".sig").is_file():
                self.problem(path, "missing signature")
            else:
                self.problem(path, f"foreign signature: does not verify with {self.signing_pub}")


def verify(out, root_url, format_pub, signing_pub, build_dir):
    """The problem lines and the number of files checked."""
    packer = Packer(build_dir)
    with tempfile.TemporaryDirectory(prefix="tovral-verify-") as work:
        tree = FolderTree(out) if out is not None else ServedTree(root_url, Path(work) / "mirror")
        checker = Checker(tree, root_url, packer, format_pub, signing_pub, work)
        return checker.run(), checker.checked


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="tovral verify", description="Checks a published tree (a folder, or the tree a "
        "server serves at ROOT) as the control would use it.")
    parser.add_argument("out", metavar="OUT", nargs="?", help="the tree's folder")
    parser.add_argument("--pub", required=True, help="the format's public key (FORMAT.pub)")
    parser.add_argument("--signing-pub", required=True, help="the signing public key")
    parser.add_argument("--url", metavar="ROOT", help="the root URL the tree is served at "
                        "(alone: fetch the tree from there)")
    args = parser.parse_args(argv)
    if args.out is None and args.url is None:
        parser.error("name the tree: OUT, --url ROOT, or both")
    root_url = args.url
    if root_url is not None:
        root_url = root_url.rstrip("/") + "/"
        if not is_root_url(root_url):
            parser.error(f"--url {args.url!r} is not an http or https address")
    problems = []
    for path, option, signing in ((args.pub, "--pub", False),
                                  (args.signing_pub, "--signing-pub", True)):
        try:
            require_key(path, option, private=False, signing=signing)
        except Problem as problem:
            problems.append(str(problem))
    if args.out is not None and not Path(args.out).is_dir():
        problems.append(f"{args.out}: not a folder")
    if problems:
        print("\n".join(problems), file=sys.stderr)
        return 2
    build_dir = Path(os.environ.get("TOVRAL_BUILD_DIR", SOURCE_DIR / "build"))
    where = args.out if args.out is not None else root_url
    try:
        problems, checked = verify(args.out, root_url, Path(args.pub), Path(args.signing_pub),
                                   build_dir)
    except PackerError as error:
        print(f"verify: {error}", file=sys.stderr)
        return 2
    for line in problems:
        print(line)
    if problems:
        print(f"verify: {len(problems)} problem(s) in {where}", file=sys.stderr)
        return 1
    print(f"verify: {where} is sound ({checked} files checked)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
