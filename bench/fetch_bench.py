#!/usr/bin/env python3
"""Fetch benchmark: FetchUrlToFile with the verification every fetch of the
control gets (CRC-32 and SHA-256 of the body as it is written; bench/
fetch_bench.exe under Wine) against a bare 16 KiB WinINet read loop in the
same Wine (fetch_bench.exe --bare) followed by an independent hash of the same
bytes (Python's zlib.crc32 and hashlib.sha256 over the copy), and curl, all
fetching one generated file of at least 256 MiB from the local bank server in
the same rounds. Checks every copy (size and SHA-256) and the checksums ours
reports, prints the median and best time of each, the ratio ours / (bare loop
and hash), and the peak working set of ours on a small and the large file (it
must not grow with the size).

Needs WINEPREFIX (a 32-bit prefix; ./tovral bench sets it) and the build
folder in TOVRAL_BUILD_DIR (default: build/ beside this folder).

    python3 bench/fetch_bench.py [--size-mib N] [--repeat N] [--json]
"""

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE_DIR))

from tools.bankserver import BankServer  # noqa: E402

MIB = 1024 * 1024
MIN_SIZE_MIB = 256


def build_dir():
    return Path(os.environ.get("TOVRAL_BUILD_DIR", SOURCE_DIR / "build"))


def wine_env():
    if "WINEPREFIX" not in os.environ:
        sys.exit("fetch_bench: WINEPREFIX must name a 32-bit Wine prefix (or run ./tovral bench)")
    return dict(os.environ, WINEARCH=os.environ.get("WINEARCH", "win32"), WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))


def make_source(path, size_mib):
    """Writes incompressible data block by block; returns its checksums as
    the lists write them: {"crc": CRC-32 text, "sha256": lower-case hex}."""
    digest, crc = hashlib.sha256(), 0
    with open(path, "wb") as f:
        for _ in range(size_mib):
            block = os.urandom(MIB)
            digest.update(block)
            crc = zlib.crc32(block, crc)
            f.write(block)
    return {"crc": format(crc, "x"), "sha256": digest.hexdigest()}


HASH_BLOCK = 256 * 1024


def independent_hash(path):
    """zlib.crc32 and hashlib.sha256 over a file in one read; (checksums, seconds)."""
    started = time.perf_counter()
    digest, crc = hashlib.sha256(), 0
    buffer = bytearray(HASH_BLOCK)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as f:
        while n := f.readinto(buffer):
            crc = zlib.crc32(view[:n], crc)
            digest.update(view[:n])
    return {"crc": format(crc, "x"), "sha256": digest.hexdigest()}, time.perf_counter() - started


def file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(4 * MIB):
            digest.update(block)
    return digest.hexdigest()


# Runs a program from a small fresh interpreter and writes "<seconds> <peak RSS KiB>
# <exit code>" (a negative code: the signal that ended it) into a file. The peak
# RSS of a child counts the memory of the process it was started from, so the
# big benchmark process must not start it directly.
LAUNCHER = """
import os, sys, time
report, args = sys.argv[1], sys.argv[2:]
started = time.perf_counter()
pid = os.fork()
if pid == 0:
    os.execvp(args[0], args)
_, status, usage = os.wait4(pid, 0)
seconds = time.perf_counter() - started
with open(report, "w") as f:
    f.write(f"{seconds} {usage.ru_maxrss} {os.waitstatus_to_exitcode(status)}")
"""


def run_measured(args, env=None):
    """Runs a program; returns (exit code, stdout, stderr, wall seconds, peak RSS bytes).
    The exit code is negative when a signal ended the program."""
    with tempfile.TemporaryDirectory() as scratch:
        report = Path(scratch) / "usage"
        proc = subprocess.run([sys.executable, "-S", "-I", "-c", LAUNCHER, str(report),
                               *map(str, args)], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, errors="replace")
        seconds, rss_kib, code = report.read_text().split()
        return int(code), proc.stdout, proc.stderr, float(seconds), int(rss_kib) * 1024


def measurement_floor():
    """Peak RSS the launcher itself gives a program that uses next to nothing."""
    return run_measured(["/bin/true"])[4]


def fetch_with_curl(url, target, env=None):
    rc, _, err, wall, rss = run_measured(["curl", "-sS", "--fail", "-o", str(target), url])
    if rc != 0:
        raise RuntimeError(f"curl failed ({rc}): {err.strip()}")
    return {"seconds": wall, "peak_rss_bytes": rss}


# Under load a Wine process now and then dies of a signal: before the program
# starts (run again, at most this many times) or after it printed its result
# (kept: the copy is still verified). Both are counted and reported.
START_RETRIES = 2


def fetch_with_program(url, target, env, mode_args):
    program = build_dir() / "bench" / "fetch_bench.exe"
    windows_target = subprocess.run(["winepath", "-w", str(target)], env=env, check=True,
                                     capture_output=True, text=True).stdout.strip()
    for retries in range(START_RETRIES + 1):
        rc, out, err, wall, rss = run_measured(["wine", str(program), *mode_args, url,
                                                windows_target], env)
        if rc >= 0 or out.strip():
            break
    values = dict(line.split("=", 1) for line in out.split() if "=" in line)
    finished = values.get("result") == "1" and "peak_working_set_bytes" in values
    if not finished or rc > 0:
        raise RuntimeError(f"fetch_bench {' '.join(mode_args) or '(ours)'} failed ({rc}): "
                           f"{out.strip()} {err.strip()}")
    result = {"seconds": float(values["elapsed_seconds"]), "wall_seconds": wall,
              "peak_working_set_bytes": int(values["peak_working_set_bytes"]),
              "peak_rss_bytes": rss, "start_retries": retries, "signal_after_result": -rc}
    if "crc" in values:
        result["checksums"] = {"crc": values["crc"], "sha256": values.get("sha256", "")}
        result["sha256_method"] = values.get("sha256_method", "?")
    return result


def fetch_then_hash(url, target, env):
    """The bare loop, then the independent hash of its copy: one time for both."""
    result = fetch_with_program(url, target, env, ["--bare"])
    result["checksums"], result["hash_seconds"] = independent_hash(target)
    result["fetch_seconds"] = result["seconds"]
    result["seconds"] += result["hash_seconds"]
    return result


# Who fetches: FetchUrlToFile verifying the body, the bare 16 KiB WinINet loop in
# the same Wine followed by an independent hash, curl.
FETCHERS = {
    "ours": lambda url, target, env: fetch_with_program(url, target, env, []),
    "bare": fetch_then_hash,
    "curl": fetch_with_curl,
}
LABELS = {"ours": "FetchUrlToFile+verify", "bare": "bare loop + hash", "curl": "curl"}


def verify(path, size, source, who, result):
    """The copy is the source's bytes, and the checksums a fetcher reports are the source's."""
    actual_size = path.stat().st_size
    if actual_size != size or file_digest(path) != source["sha256"]:
        raise RuntimeError(f"{who}: the fetched file differs from the source "
                           f"({actual_size} of {size} bytes)")
    if "checksums" in result and result["checksums"] != source:
        raise RuntimeError(f"{who}: reported checksums {result['checksums']}, the source has "
                           f"{source}")


def round_order(who_list, number):
    """The fetchers of round `number`: rotated, and reversed every other round,
    so that six rounds of three run every order once (a fetcher may leave the
    disk busy for the next one)."""
    shift = (number // 2) % len(who_list)
    order = who_list[shift:] + who_list[:shift]
    return order if number % 2 == 0 else list(reversed(order))


def fetch_rounds(work, server, size_mib, rounds, who_list, env):
    """Fetches one fresh file `rounds` times with each fetcher; within a round
    every fetcher runs once, in an order that changes from round to round.
    Every copy is verified."""
    name = f"payload-{size_mib}.bin"
    source = make_source(work / "served" / name, size_mib)
    url = f"{server.url}/{name}"
    samples = {who: [] for who in who_list}
    for number in range(rounds):
        for who in round_order(who_list, number):
            target = work / f"{who}.bin"
            result = FETCHERS[who](url, target, env)
            if who == "ours" and "checksums" not in result:
                raise RuntimeError("FetchUrlToFile+verify reported no checksums")
            verify(target, size_mib * MIB, source, LABELS[who], result)
            target.unlink()
            samples[who].append(result)
    (work / "served" / name).unlink()
    return samples


def summarize(samples, size_mib):
    """Median and minimum time, throughput and peak memory of each fetcher."""
    summary = {}
    for who, runs in samples.items():
        seconds = [run["seconds"] for run in runs]
        entry = {"runs": runs, "median_seconds": statistics.median(seconds),
                 "min_seconds": min(seconds)}
        if all("hash_seconds" in run for run in runs):
            entry["median_hash_seconds"] = statistics.median(run["hash_seconds"] for run in runs)
        entry["median_mib_per_second"] = size_mib / entry["median_seconds"]
        entry["max_mib_per_second"] = size_mib / entry["min_seconds"]
        memory_key = "peak_rss_bytes" if who == "curl" else "peak_working_set_bytes"
        entry["peak_memory_bytes"] = statistics.median(run[memory_key] for run in runs)
        summary[who] = entry
    return summary


def paired_ratio(samples, who, reference):
    """Median over rounds of reference time / who's time (above 1: who is faster)."""
    return statistics.median(ref["seconds"] / own["seconds"]
                             for own, ref in zip(samples[who], samples[reference]))


def run(size_mib=MIN_SIZE_MIB, repeat=12, workdir=None, memory_size_mib=64, memory_repeat=4):
    """Runs the benchmark; returns a dict of measurements."""
    env = wine_env()
    # Start the Wine session now, so that the measured run does not pay for it.
    subprocess.run(["wine", "cmd.exe", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    with tempfile.TemporaryDirectory(prefix="tovral-fetch-bench-", dir=workdir) as work:
        work = Path(work)
        (work / "served").mkdir()
        with BankServer(work / "served") as server:
            samples = fetch_rounds(work, server, size_mib, repeat, list(FETCHERS), env)
            small = fetch_rounds(work, server, memory_size_mib, memory_repeat,
                                 ["ours", "bare"], env)
    main, lesser = summarize(samples, size_mib), summarize(small, memory_size_mib)
    size = size_mib * MIB
    # Wine alone takes some 15 MiB; far more means the body was held in memory.
    for who in ("ours", "bare"):
        peak = max(run["peak_working_set_bytes"] for run in samples[who])
        if peak >= max(size // 2, 64 * MIB):
            raise RuntimeError(f"{LABELS[who]} held the body in memory "
                               f"(peak working set {peak} bytes)")
    return {
        "size_bytes": size, "rounds": repeat, "fetchers": main,
        "memory_size_bytes": memory_size_mib * MIB, "memory_fetchers": lesser,
        "rss_floor_bytes": measurement_floor(),
        "ours_vs_bare": main["bare"]["median_seconds"] / main["ours"]["median_seconds"],
        "ours_vs_bare_min": main["bare"]["min_seconds"] / main["ours"]["min_seconds"],
        "ours_vs_bare_paired": paired_ratio(samples, "ours", "bare"),
        "ours_vs_curl": main["curl"]["median_seconds"] / main["ours"]["median_seconds"],
        "bare_vs_curl": main["curl"]["median_seconds"] / main["bare"]["median_seconds"],
        "memory_growth_bytes": (main["ours"]["peak_memory_bytes"]
                                - lesser["ours"]["peak_memory_bytes"]),
        "start_retries": count_runs(samples, small, "start_retries"),
        "signals_after_result": count_runs(samples, small, "signal_after_result"),
    }


def count_runs(samples, small, key):
    """Runs of either size that report `key` (a retry or a signal)."""
    return sum(1 for runs in (samples, small) for taken in runs.values() for run in taken
               if run.get(key))


# Throughput target against the bare loop, and how much the peak working set
# may grow from the small file to the large one and still count as flat.
THROUGHPUT_TARGET = 0.95
MEMORY_FLAT_BYTES = 2 * MIB


def verdict(met):
    return "met" if met else "MISSED"


def report(results):
    size_mib = results["size_bytes"] // MIB
    print(f"fetch benchmark: {size_mib} MiB from the local bank server, {results['rounds']} "
          "rounds (each fetcher once a round, the order changing from round to round)")
    for who, entry in results["fetchers"].items():
        memory = "peak RSS" if who == "curl" else "peak working set"
        print(f"  {LABELS[who]:<18} median {entry['median_seconds']:7.3f} s "
              f"{entry['median_mib_per_second']:7.1f} MiB/s   min {entry['min_seconds']:7.3f} s "
              f"{entry['max_mib_per_second']:7.1f} MiB/s   {memory} "
              f"{entry['peak_memory_bytes'] / MIB:.1f} MiB")
    print(f"  (peak RSS of /bin/true measured as curl's: {results['rss_floor_bytes'] / MIB:.1f} MiB)")
    methods = sorted({run.get("sha256_method", "?")
                      for run in results["fetchers"]["ours"]["runs"]})
    print("  every copy matches the source (size and SHA-256), and so do the CRC and SHA-256 "
          f"that ours computed while writing it (SHA-256 method: {', '.join(methods)})")
    bare = results["fetchers"]["bare"]
    print(f"  (bare loop + hash: the fetch {bare['median_seconds'] - bare['median_hash_seconds']:.3f} s "
          f"and zlib.crc32 + hashlib.sha256 {bare['median_hash_seconds']:.3f} s, medians)")
    if results["start_retries"]:
        print(f"  WARNING: runs whose Wine start-up died of a signal and ran again: "
              f"{results['start_retries']}")
    if results["signals_after_result"]:
        print(f"  WARNING: runs whose Wine process died of a signal after printing its result "
              f"(copy verified, time kept): {results['signals_after_result']}")
    ratio = results["ours_vs_bare"]
    print(f"  ours / (bare loop + hash): {ratio:.3f} median, {results['ours_vs_bare_min']:.3f} best, "
          f"{results['ours_vs_bare_paired']:.3f} paired per round "
          f"(target >= {THROUGHPUT_TARGET:.2f}x: {verdict(ratio >= THROUGHPUT_TARGET)})")
    print(f"  ours / curl: {results['ours_vs_curl']:.3f}; bare loop + hash / curl: "
          f"{results['bare_vs_curl']:.3f} (median)")
    small_mib = results["memory_size_bytes"] // MIB
    big = results["fetchers"]["ours"]["peak_memory_bytes"]
    small = results["memory_fetchers"]["ours"]["peak_memory_bytes"]
    bare_small = results["memory_fetchers"]["bare"]["peak_memory_bytes"]
    bare_big = results["fetchers"]["bare"]["peak_memory_bytes"]
    growth = results["memory_growth_bytes"]
    print(f"  peak working set of ours: {small / MIB:.2f} MiB at {small_mib} MiB, "
          f"{big / MIB:.2f} MiB at {size_mib} MiB, difference {growth / MIB:+.2f} MiB "
          f"(bare loop: {bare_small / MIB:.2f} / {bare_big / MIB:.2f} MiB) "
          f"(target flat, within {MEMORY_FLAT_BYTES / MIB:.0f} MiB: "
          f"{verdict(growth <= MEMORY_FLAT_BYTES)})")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mib", type=int, default=MIN_SIZE_MIB,
                        help=f"size of the served file in MiB (default {MIN_SIZE_MIB})")
    parser.add_argument("--repeat", type=int, default=12, help="rounds (each fetcher once a round)")
    parser.add_argument("--workdir", help="folder for the temporary files (default: system temp)")
    parser.add_argument("--json", action="store_true", help="print the results as JSON")
    args = parser.parse_args(argv)
    try:
        results = run(args.size_mib, max(args.repeat, 1), args.workdir)
    except RuntimeError as error:
        print(f"fetch_bench: {error}", file=sys.stderr)
        return 1
    if args.json:
        print(json.dumps(results, indent=2))
    else:
        report(results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
