#!/usr/bin/env python3
"""Fetch benchmark: FetchUrlToFile (bench/fetch_bench.exe under Wine) against
curl, both fetching one generated file of at least 256 MiB from the local bank
server in the same run. Checks both copies (size and SHA-256) and prints the
throughput ratio (ours / curl) and the peak memory of each fetching process.

Needs WINEPREFIX (a 32-bit prefix; ./tovral bench sets it) and the build
folder in TOVRAL_BUILD_DIR (default: build/ beside this folder).

    python3 bench/fetch_bench.py [--size-mib N] [--repeat N] [--json]
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
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
    return dict(os.environ, WINEARCH="win32", WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))


def make_source(path, size_mib):
    """Writes incompressible data block by block; returns its SHA-256."""
    digest = hashlib.sha256()
    with open(path, "wb") as f:
        for _ in range(size_mib):
            block = os.urandom(MIB)
            digest.update(block)
            f.write(block)
    return digest.hexdigest()


def file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(4 * MIB):
            digest.update(block)
    return digest.hexdigest()


# Runs a program from a small fresh interpreter and writes "<seconds> <peak RSS KiB>"
# into a file. The peak RSS of a child counts the memory of the process it was
# started from, so the big benchmark process must not start it directly.
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
    f.write(f"{seconds} {usage.ru_maxrss}")
sys.exit(os.waitstatus_to_exitcode(status))
"""


def run_measured(args, env=None):
    """Runs a program; returns (exit status, stdout, stderr, wall seconds, peak RSS bytes)."""
    with tempfile.TemporaryDirectory() as scratch:
        report = Path(scratch) / "usage"
        proc = subprocess.run([sys.executable, "-S", "-I", "-c", LAUNCHER, str(report),
                               *map(str, args)], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, errors="replace")
        seconds, rss_kib = report.read_text().split()
        return proc.returncode, proc.stdout, proc.stderr, float(seconds), int(rss_kib) * 1024


def measurement_floor():
    """Peak RSS the launcher itself gives a program that uses next to nothing."""
    return run_measured(["/bin/true"])[4]


def fetch_with_curl(url, target):
    rc, _, err, wall, rss = run_measured(["curl", "-sS", "--fail", "-o", str(target), url])
    if rc != 0:
        raise RuntimeError(f"curl failed ({rc}): {err.strip()}")
    return {"seconds": wall, "peak_rss_bytes": rss}


def fetch_with_ours(url, target, env):
    program = build_dir() / "bench" / "fetch_bench.exe"
    windows_target = subprocess.run(["winepath", "-w", str(target)], env=env, check=True,
                                     capture_output=True, text=True).stdout.strip()
    rc, out, err, wall, rss = run_measured(["wine", str(program), url, windows_target], env)
    values = dict(line.split("=", 1) for line in out.split() if "=" in line)
    if rc != 0 or values.get("result") != "1":
        raise RuntimeError(f"fetch_bench failed ({rc}): {out.strip()} {err.strip()}")
    return {"seconds": float(values["elapsed_seconds"]), "wall_seconds": wall,
            "peak_working_set_bytes": int(values["peak_working_set_bytes"]),
            "peak_rss_bytes": rss}


def verify(path, size, digest, who):
    actual_size = path.stat().st_size
    if actual_size != size or file_digest(path) != digest:
        raise RuntimeError(f"{who}: the fetched file differs from the source "
                           f"({actual_size} of {size} bytes)")


def run(size_mib=MIN_SIZE_MIB, repeat=1, workdir=None):
    """Runs the benchmark; returns a dict of measurements (best of `repeat` runs each)."""
    env = wine_env()
    # Start the Wine session now, so that the measured run does not pay for it.
    subprocess.run(["wine", "cmd.exe", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    with tempfile.TemporaryDirectory(prefix="tovral-fetch-bench-", dir=workdir) as work:
        work = Path(work)
        served = work / "served"
        served.mkdir()
        size = size_mib * MIB
        digest = make_source(served / "payload.bin", size_mib)
        best = {}
        with BankServer(served) as server:
            url = f"{server.url}/payload.bin"
            for _ in range(repeat):
                for who, fetch in (("curl", lambda t: fetch_with_curl(url, t)),
                                   ("ours", lambda t: fetch_with_ours(url, t, env))):
                    target = work / f"{who}.bin"
                    result = fetch(target)
                    verify(target, size, digest, who)
                    target.unlink()
                    if who not in best or result["seconds"] < best[who]["seconds"]:
                        best[who] = result
    for result in best.values():
        result["mib_per_second"] = size_mib / result["seconds"]
    # Wine alone takes some 15 MiB; far more means the body was held in memory.
    if best["ours"]["peak_working_set_bytes"] >= max(size // 2, 64 * MIB):
        raise RuntimeError("FetchUrlToFile held the body in memory "
                           f"(peak working set {best['ours']['peak_working_set_bytes']} bytes)")
    return {"size_bytes": size, "curl": best["curl"], "ours": best["ours"],
            "rss_floor_bytes": measurement_floor(),
            "throughput_ratio": best["ours"]["mib_per_second"] / best["curl"]["mib_per_second"]}


def report(results):
    curl, ours = results["curl"], results["ours"]
    print(f"fetch benchmark: {results['size_bytes'] // MIB} MiB from the local bank server")
    print(f"  curl:           {curl['seconds']:8.3f} s  {curl['mib_per_second']:8.1f} MiB/s  "
          f"peak RSS {curl['peak_rss_bytes'] / MIB:.1f} MiB")
    print(f"  FetchUrlToFile: {ours['seconds']:8.3f} s  {ours['mib_per_second']:8.1f} MiB/s  "
          f"peak working set {ours['peak_working_set_bytes'] / MIB:.1f} MiB "
          f"(whole Wine process: {ours['wall_seconds']:.3f} s, "
          f"peak RSS {ours['peak_rss_bytes'] / MIB:.1f} MiB)")
    print(f"  throughput ratio (ours / curl): {results['throughput_ratio']:.2f}")
    print(f"  (peak RSS of /bin/true measured the same way: "
          f"{results['rss_floor_bytes'] / MIB:.1f} MiB)")
    print("  both copies match the source (size and SHA-256)")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mib", type=int, default=MIN_SIZE_MIB,
                        help=f"size of the served file in MiB (default {MIN_SIZE_MIB})")
    parser.add_argument("--repeat", type=int, default=1, help="runs of each fetch; best counts")
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
