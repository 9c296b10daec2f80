#!/usr/bin/env python3
"""Drives tovral_fuzz.exe under Wine: every target (or the ones named) for a
share of the time budget, restarting the program after a crash or hang and
going on with the next input. Failing inputs are saved under the findings
folder, one folder per target, each with a note beside it (.txt).

    ./tovral fuzz [SECONDS] [--target NAME]... [--seed N]

Run through ./tovral (which sets WINEPREFIX) or CTest (fuzz.ci). Exits 1 when
anything was found, 2 when the fuzzer itself could not run."""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR))

from tests.e2e.harness import wine_env  # noqa: E402
from tools.bankserver.server_tree import windows_path  # noqa: E402

# The state file the program maps (FuzzState in fuzz_main.cpp).
STATE_FORMAT = "<IIQQIIII128s"
STATE_MAGIC = 0x315A4654
STATE_KINDS = {0: "died", 1: "crash", 2: "hang", 3: "crash"}  # an abort is a crash
EXCEPTION_NAMES = {
    0xC0000005: "access violation", 0xC00000FD: "stack overflow",
    0xC0000094: "integer divide by zero", 0xC0000095: "integer overflow",
    0xC000001D: "illegal instruction", 0xC0000409: "stack buffer overrun",
    0x80000003: "breakpoint", 0xC0000374: "heap corruption",
}


def linux_path(path):
    return Path(path[2:].replace("\\", "/")) if path[:2].upper() == "Z:" else Path(path)


def image_base(exe):
    """The preferred load address from the PE header."""
    data = exe.read_bytes()[:4096]
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<I", data, pe + 24 + 28)[0]


class Fuzzer:
    def __init__(self, args):
        self.args = args
        self.build = Path(args.build_dir).resolve()
        self.exe = self.build / "tests" / "fuzz" / "tovral_fuzz.exe"
        self.work = self.build / "fuzz"
        # State files and scratch folders of this run only: a CTest pass and a
        # run of ./tovral fuzz may go on at once.
        self.run_dir = self.work / f"run-{os.getpid()}"
        self.findings = Path(args.findings).resolve() if args.findings else self.work / "findings"
        self.seeds = SOURCE_DIR / "tests" / "fuzz" / "seeds"
        self.env = wine_env()
        # Seconds a run of the program costs beyond its own budget (Wine's
        # start, COM, the target's set-up, the exit), taken from the last run
        # so that the whole command keeps to its time.
        self.overhead = 0.5

    def wine(self, args, timeout):
        return subprocess.run(["wine", str(self.exe), *map(str, args)], env=self.env,
                              capture_output=True, timeout=timeout, encoding="utf-8",
                              errors="replace")

    def targets(self):
        out = self.wine(["list"], timeout=120)
        if out.returncode != 0:
            raise SystemExit(f"tovral_fuzz list failed ({out.returncode}): {out.stderr}")
        return [line.split()[0] for line in out.stdout.splitlines() if line.strip()]

    def common(self, target):
        return ["--target", target, "--seeds", windows_path(self.seeds),
                "--findings", windows_path(self.findings / target),
                "--seed", self.args.seed, "--max-len", self.args.max_len]

    def locate(self, base, address, module):
        """Function and line of a crash address inside the fuzzer's own image."""
        if not base or base != image_base(self.exe):
            return (f"address 0x{address:08X} in {module or 'a module'} at 0x{base:08X} "
                    f"(offset 0x{address - base:X})")
        tool = shutil.which("i686-w64-mingw32-addr2line")
        where = f"address 0x{address:08X} in tovral_fuzz.exe"
        if tool:
            out = subprocess.run([tool, "-f", "-C", "-i", "-e", str(self.exe), hex(address)],
                                 capture_output=True, text=True)
            where += "\n" + out.stdout.strip()
        return where

    def note(self, path, target, index, kind, detail):
        Path(str(path)[:-4] + ".txt").write_text(
            f"target: {target}\nseed: {self.args.seed}\ninput index: {index}\nkind: {kind}\n"
            f"{detail}\nreplay: ./tovral fuzz --target {target} --replay {path}\n",
            encoding="utf-8")

    def fuzz_target(self, target, budget, min_inputs=0, limit=0):
        """Runs one target for `budget` seconds, or on until it has run
        `min_inputs` inputs but at most `limit` seconds (a loaded machine
        starts Wine slowly after each crash); returns its figures."""
        scratch = self.run_dir / target
        shutil.rmtree(scratch, ignore_errors=True)
        scratch.mkdir(parents=True)
        state = self.run_dir / f"state-{target}.bin"
        (self.findings / target).mkdir(parents=True, exist_ok=True)
        found = {"crash": [], "hang": [], "failure": []}
        inputs = 0
        first = 0
        errors = []
        start = time.monotonic()
        while True:
            elapsed = time.monotonic() - start
            left = budget - elapsed
            if left < 0.2:
                if inputs >= min_inputs or elapsed >= limit:
                    break
                left = 2.0
            own = max(left - self.overhead, 0.1)
            state.unlink(missing_ok=True)
            args = ["run", *self.common(target), "--state", windows_path(state),
                    "--scratch", windows_path(scratch), "--first", first,
                    "--budget-ms", int(own * 1000), "--hang-cpu-ms", self.args.hang_cpu_ms,
                    "--hang-wall-ms", self.args.hang_wall_ms]
            timeout = left + self.args.hang_wall_ms / 1000 + 60
            began = time.monotonic()
            try:
                out = self.wine(args, timeout=timeout)
                stdout, returncode = out.stdout, out.returncode
            except subprocess.TimeoutExpired as expired:
                stdout = expired.stdout or ""
                if isinstance(stdout, bytes):
                    stdout = stdout.decode("utf-8", "replace")
                returncode = None
            done = None
            for line in stdout.splitlines():
                words = line.split(" ", 5)
                if words[0] == "finding" and len(words) >= 5:
                    kind, index, fresh, path = words[1], int(words[2]), words[3] == "1", words[4]
                    message = words[5] if len(words) > 5 else ""
                    saved = linux_path(path)
                    self.note(saved, target, index, kind, f"message: {message}")
                    found["failure"].append((saved, fresh, f"{kind}: {message}"))
                elif words[0] == "done" and len(words) >= 3:
                    done = int(words[1]), int(words[2])
                    if len(words) >= 4:
                        spent = time.monotonic() - began - int(words[3]) / 1000
                        self.overhead = min(max(spent, 0.0), 5.0)
            if done:
                inputs += done[1]
                break
            # The process ended early: the state file says which input and why.
            raw = state.read_bytes() if state.exists() else b""
            if len(raw) < struct.calcsize(STATE_FORMAT):
                errors.append(f"the fuzzer ended ({returncode}) before it ran an input")
                break
            magic, kind, index, started, running, code, address, base, module = \
                struct.unpack_from(STATE_FORMAT, raw)
            module = module.decode("utf-16-le", "replace").split("\0")[0]
            if magic != STATE_MAGIC or started == 0:
                errors.append(f"the fuzzer ended ({returncode}) before it ran an input")
                break
            inputs += started
            label = "hang" if returncode is None else STATE_KINDS.get(kind, "died")
            label = "crash" if label == "died" else label
            saved, fresh, error = self.emit(target, index, label)
            if error:
                errors.append(f"input {index} could not be made again: {error}")
                break
            if kind == 1:
                name = EXCEPTION_NAMES.get(code, "exception")
                detail = f"exception: 0x{code:08X} ({name})\n{self.locate(base, address, module)}"
            elif kind == 3:
                detail = "abort() (std::terminate or a failed assertion)"
            elif label == "hang":
                detail = (f"no result within {self.args.hang_cpu_ms} ms of CPU time or "
                          f"{self.args.hang_wall_ms} ms in all")
            else:
                detail = f"the process died (exit {returncode}) without a report"
            self.note(saved, target, index, label, detail)
            found[label].append((saved, fresh, detail.splitlines()[0]))
            first = index + 1
        shutil.rmtree(scratch, ignore_errors=True)
        elapsed = time.monotonic() - start
        return {"target": target, "inputs": inputs, "seconds": elapsed, "found": found,
                "errors": errors}

    def emit(self, target, index, label):
        """Has input `index` made again and saved; returns its path, whether
        it is new, and what went wrong. The input is a pure function of its
        index, so a second try can only differ where Wine failed to start the
        program (seen once on a loaded machine, with nothing on stderr)."""
        failures = []
        for _ in range(2):
            out = self.wine(["emit", *self.common(target), "--index", index, "--kind", label],
                            timeout=120)
            words = out.stdout.split(" ", 2)
            if out.returncode == 0 and words[0] == "saved" and len(words) == 3:
                for failure in failures:
                    print(f"  emit of input {index} failed once ({failure}); tried again")
                return linux_path(words[2].strip()), words[1] == "1", None
            failures.append(f"exit {out.returncode}, output {out.stdout.strip()!r}, "
                            f"errors {out.stderr.strip()!r}")
        return None, False, "; ".join(failures)

    def replay(self, target, files):
        scratch = self.run_dir / target
        scratch.mkdir(parents=True, exist_ok=True)
        out = self.wine(["replay", *self.common(target), "--scratch", windows_path(scratch),
                         *[windows_path(f) for f in files]], timeout=600)
        print(out.stdout, end="")
        if out.returncode not in (0, 1):
            print(f"the program ended with exit code {out.returncode} (0xC0: crash, 0xAB: abort)")
        return 0 if out.returncode == 0 else 1


SELF_CHECK_TARGET = "harness_check"
# What the self-check target's seeds do (tests/fuzz/seeds/harness_check/).
SELF_CHECK_EXPECTED = {"crash": 3, "hang": 1, "failure": 2}
# Enough to show the run goes on after every finding.
SELF_CHECK_MIN_INPUTS = 101


def self_check(fuzzer, args):
    """Runs the target whose seeds crash (an access violation, a stack
    overflow, an abort), hang, throw and break a rule: each must be reported
    (mutations may make a seed again: inputs are counted once), and the run
    must go on after each."""
    fuzzer.findings = fuzzer.work / "self-check"
    shutil.rmtree(fuzzer.findings, ignore_errors=True)
    fuzzer.args.hang_cpu_ms = 300
    result = fuzzer.fuzz_target(SELF_CHECK_TARGET, max(args.seconds, 3.0),
                                min_inputs=SELF_CHECK_MIN_INPUTS, limit=180)
    counts = {kind: len({path for path, _, _ in items}) for kind, items in result["found"].items()}
    print(f"self-check: {counts}, {result['inputs']} inputs, errors: {result['errors']}")
    for kind, items in result["found"].items():
        for path, detail in sorted({(path, detail) for path, _, detail in items}):
            print(f"  {kind}: {detail} ({path.name})")
    ok = (counts == SELF_CHECK_EXPECTED and not result["errors"]
          and result["inputs"] >= SELF_CHECK_MIN_INPUTS)
    print("self-check:", "passed" if ok else f"FAILED (expected {SELF_CHECK_EXPECTED})")
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("seconds", nargs="?", type=float, default=60,
                        help="time budget of the whole run, shared by the targets (default 60)")
    parser.add_argument("--seconds", dest="seconds_option", type=float)
    parser.add_argument("--target", action="append", help="only this target (repeatable)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the mutations (default 1)")
    parser.add_argument("--max-len", type=int, default=16384, help="longest input in bytes")
    parser.add_argument("--hang-cpu-ms", type=int, default=2000,
                        help="CPU time one input may take before it counts as a hang")
    parser.add_argument("--hang-wall-ms", type=int, default=20000,
                        help="time in all one input may take before it counts as a hang")
    parser.add_argument("--build-dir", default=os.environ.get("TOVRAL_BUILD_DIR",
                                                              SOURCE_DIR / "build"))
    parser.add_argument("--findings", help="where to save failing inputs "
                        "(default BUILD/fuzz/findings)")
    parser.add_argument("--self-check", action="store_true",
                        help="check that crashes, hangs and failures are caught and reported")
    parser.add_argument("--replay", nargs="+", metavar="FILE",
                        help="run these inputs once through --target instead of fuzzing")
    args = parser.parse_args()
    if args.seconds_option is not None:
        args.seconds = args.seconds_option

    fuzzer = Fuzzer(args)
    if not fuzzer.exe.exists():
        raise SystemExit(f"{fuzzer.exe} is missing: build first (./tovral build)")
    try:
        return run(fuzzer, args)
    finally:
        shutil.rmtree(fuzzer.run_dir, ignore_errors=True)


def run(fuzzer, args):
    if args.replay:
        if not args.target or len(args.target) != 1:
            raise SystemExit("--replay needs exactly one --target")
        return fuzzer.replay(args.target[0], args.replay)

    known = fuzzer.targets()
    if args.self_check:
        return self_check(fuzzer, args)
    chosen = args.target or [name for name in known if name != SELF_CHECK_TARGET]
    unknown = [name for name in chosen if name not in known]
    if unknown:
        raise SystemExit(f"unknown target(s): {', '.join(unknown)}; known: {', '.join(known)}")
    share = max(args.seconds / len(chosen), 1.0)
    print(f"fuzzing {len(chosen)} target(s), {share:.1f} s each, seed {args.seed}; "
          f"findings in {fuzzer.findings}", flush=True)

    results = []
    for target in chosen:
        result = fuzzer.fuzz_target(target, share)
        results.append(result)
        for kind, items in result["found"].items():
            for path, fresh, detail in items:
                print(f"  {target}: {kind}{'' if fresh else ' (seen before)'}: {detail}\n"
                      f"    {path}", flush=True)
        for error in result["errors"]:
            print(f"  {target}: ERROR: {error}", flush=True)

    def count(result, kind):
        items = result["found"][kind]
        return f"{len(items)} ({sum(1 for _, fresh, _ in items if fresh)})"

    print(f"\n{'target':<15}{'inputs':>9}{'crashes (new)':>15}{'hangs (new)':>13}"
          f"{'failures (new)':>16}{'exec/s':>9}")
    for r in results:
        rate = r["inputs"] / r["seconds"] if r["seconds"] > 0 else 0
        print(f"{r['target']:<15}{r['inputs']:>9}{count(r, 'crash'):>15}{count(r, 'hang'):>13}"
              f"{count(r, 'failure'):>16}{rate:>9.0f}")
    total = sum(r["inputs"] for r in results)
    anything = sum(len(items) for r in results for items in r["found"].values())
    print(f"{'all':<15}{total:>9}   findings: {anything}")
    print("(failures: a C++ exception escaped a parser or a result broke a checked rule)")
    if any(r["errors"] for r in results):
        return 2
    return 1 if anything else 0


if __name__ == "__main__":
    sys.exit(main())
