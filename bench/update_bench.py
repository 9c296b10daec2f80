"""Update benchmark: the update check (bench/update_bench.exe runs the
product's UpdateChecker with the real WinINet fetch) against a bare 16 KiB
WinINet loop fetching the same files in the same process, in alternating order
round by round, from the local bank server on 127.0.0.1.

- fetch: an empty settings folder, so the check fetches the version list and
  the five configuration files (each padded to --size-mib) with their
  signatures; the reference fetches the same twelve URLs.
- current: every file already in place (--current-size-mib each), so the check
  fetches only the version list and its signature; the reference fetches those two.
  One checker runs every round, as the control's engine runs every QueryUpdate
  of a process: the first round reads, hashes and decrypts every file, the
  later ones find them as the round before left them. The median judges; the
  first round is printed beside it.

Both with the signature policy off and required. Every round's code must be
48, the settings folder must hold the served files and signatures byte for
byte, the decrypted texts must be the plain texts the tree was made from and
the bare copies the served files: anything else fails the benchmark."""

import base64
import hashlib
import os
import shutil
import statistics
import tempfile
from pathlib import Path

MIB = 1024 * 1024
# The check over the bare fetch of the same files (policy off, required) and,
# with nothing to fetch, over the bare fetch of the version list and its signature.
FETCH_TARGETS = {"off": 1.15, "required": 1.3}
CURRENT_TARGET = 2.0
# What the format adds to a text: the 4-byte header and the key block.
ENCRYPTION_OVERHEAD = 4 + 256


def add_arguments(parser):
    parser.add_argument("--size-mib", type=int, default=16,
                        help="size of each configuration file the check fetches (default 16)")
    parser.add_argument("--current-size-mib", type=int, default=1,
                        help="size of each file when everything is current (default 1)")
    parser.add_argument("--rounds", type=int, default=5,
                        help="rounds with files to fetch; the median counts")
    parser.add_argument("--current-rounds", type=int, default=15,
                        help="rounds with nothing to fetch; the median counts")
    parser.add_argument("--program", type=Path,
                        help="another build's update_bench.exe (e.g. of the code before a "
                             "change), timed and judged the same way")


PAD_LINE = 64 * 1024  # MSXML takes no single comment of 10 MB or more


def padded(text, size):
    """`text` grown to `size` UTF-8 bytes by comment lines before its last closing tag."""
    room = size - len(text.encode("utf-8"))
    if room <= 0:
        return text
    filler = base64.b64encode(os.urandom(room)).decode("ascii")[:room]
    filler = filler.replace("+", "p").replace("/", "s")
    frame = len("<!---->\n")
    lines, used = [], 0
    while room > frame:
        take = min(PAD_LINE - frame, room - frame)
        lines.append("<!--" + filler[used:used + take] + "-->\n")
        used, room = used + take, room - take - frame
    lines.append(" " * room)
    at = text.rindex("</")
    return text[:at] + "".join(lines) + text[at:]


class Tree:
    """A bank server tree of the sample configuration, each text padded so
    that its encrypted file is `size` bytes, served on 127.0.0.1."""

    def __init__(self, build_dir, size):
        from tools.bankserver.bankserver import BankServer
        from tools.bankserver.server_tree import CONFIG_FILES, Packer, ServerTree
        self.root = Path(tempfile.mkdtemp(prefix="tovral-bench-update-"))
        self.server = BankServer(self.root).start()
        tree = ServerTree(self.root, self.server.url, Packer(build_dir))
        tree.settings_dir.mkdir(parents=True)
        tree.copy_files()
        self.names = [name for name, _ in CONFIG_FILES]
        self.plain = {}
        for name in self.names:
            self.plain[name] = padded(tree.render(tree.plain_text(name)),
                                      size - ENCRYPTION_OVERHEAD)
            tree.texts[name] = self.plain[name]
            tree.encrypt_config(name)
        tree.write_version_list()
        self.settings_dir = tree.settings_dir

    def url(self, file_name):
        return f"{self.server.url}/VeyrantSettingV2/{file_name}"

    def file_names(self, everything):
        """The files the check fetches, in its order: the version list, then each
        configuration file, every one followed by its signature."""
        names = ["Version.cfg"] + ([f"{name}.cfg" for name in self.names] if everything else [])
        return [n for name in names for n in (name, name + ".sig")]

    def sizes(self):
        return [(self.settings_dir / f"{name}.cfg").stat().st_size for name in self.names]

    def close(self):
        self.server.stop()
        shutil.rmtree(self.root, ignore_errors=True)


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


class Machine:
    """The PC's folders for one run of update_bench.exe: data folder, client
    application folder (with the BankClient.exe the update list verifies) and
    the bare loop's scratch folder."""

    def __init__(self, build_dir):
        self.base = Path(tempfile.mkdtemp(prefix="tovral-bench-update-pc-"))
        for folder in ("data", "client", "scratch"):
            (self.base / folder).mkdir()
        shutil.copy2(Path(build_dir) / "samples" / "BankClient.exe", self.base / "client")

    @property
    def settings(self):
        return self.base / "data" / "VeyrantSetting"

    def close(self):
        shutil.rmtree(self.base, ignore_errors=True)


def run_program(host, program, tree, machine, policy, scenario, rounds):
    """update_bench.exe's rounds: [{"check": s, "bare": s}], or an error text."""
    to_windows = host.to_windows
    files = tree.file_names(scenario == "fetch")
    result = host.wine([program,
                  "--data", to_windows(machine.base / "data"),
                  "--client", to_windows(machine.base / "client"),
                  "--root", tree.server.url + "/", "--scratch", to_windows(machine.base / "scratch"),
                  "--policy", policy, "--scenario", scenario, "--rounds", rounds,
                  *[tree.url(name) for name in files]])
    if result.returncode != 0:
        return None, f"update_bench failed ({result.returncode}): " \
                     f"{(result.stdout + result.stderr).strip()[-4000:]}"
    lines = [dict(f.split("=", 1) for f in line.split() if "=" in f)
             for line in result.stdout.splitlines()]
    samples = [line for line in lines if "round" in line]
    texts = {int(line["which"]): line["sha256"] for line in lines if "which" in line}
    problem = answer_problem(tree, machine, files, samples, texts, rounds)
    if problem:
        return None, problem
    return [{"check": float(s["check_seconds"]), "bare": float(s["bare_seconds"])}
            for s in samples], None


def answer_problem(tree, machine, files, samples, texts, rounds):
    """What is wrong with a run's answer, or None: every code 48, the served
    files and signatures in place, the texts decrypted, the bare copies whole."""
    if len(samples) != rounds or any(s["code"] != "48" for s in samples):
        return f"codes {[s.get('code') for s in samples]}, expected {rounds} times 48"
    for name in ["Version.cfg"] + [f"{n}.cfg" for n in tree.names]:
        for file_name in (name, name + ".sig"):
            placed = machine.settings / file_name
            if not placed.is_file() or digest(placed) != digest(tree.settings_dir / file_name):
                return f"{file_name} in the settings folder is not the served file"
    if (machine.base / "data" / "AssemblyUpdate" / "Version.cfg").exists():
        return "the fetched version list was left in the self-update folder"
    for which, name in enumerate(tree.names):
        expected = hashlib.sha256(tree.plain[name].encode("utf-8")).hexdigest()
        if texts.get(which) != expected:
            return f"the decrypted text of {name}.cfg is not its plain text"
    for index, name in enumerate(files):
        if digest(machine.base / "scratch" / f"bare{index}") != digest(tree.settings_dir / name):
            return f"the bare loop's copy of {name} differs from the served file"
    return None


def summary(samples):
    """Medians of both, and the median of the ratios paired within each round."""
    check = statistics.median(s["check"] for s in samples)
    bare = statistics.median(s["bare"] for s in samples)
    paired = statistics.median(s["check"] / s["bare"] for s in samples)
    return check, bare, paired


def run(args, host):
    """The benchmark; True when every answer was right. `host` is the driver
    (bench/run.py): its wine(), to_windows(), verdict() and BUILD_DIR."""
    build_dir, verdict = host.BUILD_DIR, host.verdict
    program = args.program or build_dir / "bench" / "update_bench.exe"
    plans = [("fetch", args.size_mib, args.rounds), ("current", args.current_size_mib,
                                                    args.current_rounds)]
    print(f"update: the update check (UpdateChecker, WinINet fetch, trace lines kept in memory) "
          f"against a bare 16 KiB WinINet loop over the same files, same process, alternating "
          f"order; median of the rounds; {program}")
    ok = True
    for scenario, size_mib, rounds in plans:
        tree = Tree(build_dir, size_mib * MIB)
        try:
            sizes = ", ".join(f"{s / MIB:.2f}" for s in tree.sizes())
            what = ("an empty settings folder: the version list and five files fetched"
                    if scenario == "fetch" else
                    "everything current: only the version list and its signature fetched")
            print(f"  {what} (files of {sizes} MiB), {rounds} rounds")
            for policy in ("off", "required"):
                machine = Machine(build_dir)
                try:
                    samples, problem = run_program(host, program, tree, machine, policy, scenario,
                                                   rounds)
                finally:
                    machine.close()
                if problem:
                    print(f"    policy {policy}: WRONG: {problem}")
                    ok = False
                    continue
                check, bare, paired = summary(samples)
                target = FETCH_TARGETS[policy] if scenario == "fetch" else CURRENT_TARGET
                ratio = check / bare
                print(f"    policy {policy:<8} check {check * 1000:9.1f} ms  bare fetch "
                      f"{bare * 1000:9.1f} ms  ratio {ratio:5.2f} (paired {paired:5.2f}; "
                      f"target <= {target}: {verdict(ratio <= target)})")
                if scenario == "current":
                    first = samples[0]
                    print(f"      first round, every file read: check {first['check'] * 1000:.1f} "
                          f"ms, ratio {first['check'] / first['bare']:.2f}")
        finally:
            tree.close()
    if ok:
        print("  every check answered 48, left the served files and signatures in place and "
              "decrypted the plain texts; every bare copy matches")
    return ok
