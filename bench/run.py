#!/usr/bin/env python3
"""Benchmarks of the control, run through ./tovral bench (which sets WINEPREFIX
and TOVRAL_BUILD_DIR and builds first).

    ./tovral bench            every benchmark
    ./tovral bench crc [...]  one benchmark with its own options (--help lists them)

A benchmark is a function registered with @benchmark; it prints its report and
returns True when it ran correctly (a wrong result is a failure, a missed
throughput target is only reported)."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("TOVRAL_SOURCE_DIR", Path(__file__).resolve().parents[1]))
BUILD_DIR = Path(os.environ.get("TOVRAL_BUILD_DIR", SOURCE_DIR / "build"))
MIB = 1024 * 1024

BENCHMARKS = {}


def benchmark(name, help, add_arguments=None):
    """Registers fn(args) -> bool as benchmark `name`; add_arguments(parser) adds its options."""
    def register(fn):
        BENCHMARKS[name] = (fn, help, add_arguments or (lambda parser: None))
        return fn
    return register


# --- helpers shared by the benchmarks ---------------------------------------

def wine_env():
    env = dict(os.environ)
    if "WINEPREFIX" not in env:
        raise SystemExit("WINEPREFIX is not set: run the benchmarks through ./tovral bench")
    env["WINEARCH"] = "win32"
    env.setdefault("WINEDEBUG", "-all")
    return env


def wine(args, timeout=600):
    """Runs a Windows program; returns the CompletedProcess (text output)."""
    return subprocess.run(["wine", *map(str, args)], env=wine_env(), capture_output=True,
                          text=True, timeout=timeout)


def to_windows(path):
    return subprocess.run(["winepath", "-w", str(path)], env=wine_env(), capture_output=True,
                          text=True, check=True).stdout.strip()


def parse_fields(line):
    """"a=1 b=x" -> {"a": "1", "b": "x"}"""
    return dict(field.split("=", 1) for field in line.split() if "=" in field)


def write_random_file(path, size, chunk=16 * MIB):
    with open(path, "wb") as out:
        left = size
        while left > 0:
            n = min(chunk, left)
            out.write(os.urandom(n))
            left -= n


def read_through(path, block):
    """Reads a file once so that every timed run finds it in the page cache."""
    with open(path, "rb", buffering=0) as f:
        while f.read(block):
            pass


def mbps(size, seconds):
    return size / seconds / 1e6


# --- crc: the file checksum text against Python's zlib.crc32 ------------------

CRC_BLOCK = 256 * 1024  # the control's read block


def zlib_file_crc(path):
    """zlib.crc32 over the file, read in the control's block size."""
    buffer = bytearray(CRC_BLOCK)
    view = memoryview(buffer)
    crc = 0
    with open(path, "rb", buffering=0) as f:
        while True:
            n = f.readinto(buffer)
            if not n:
                return crc
            crc = zlib.crc32(view[:n], crc)


def best_zlib_run(path, repeat):
    best, crc = None, None
    for _ in range(repeat):
        start = time.perf_counter()
        crc = zlib_file_crc(path)
        seconds = time.perf_counter() - start
        best = seconds if best is None else min(best, seconds)
    return crc, best


def run_crc_bench(windows_path, method, repeat):
    exe = BUILD_DIR / "bench" / "crc_bench.exe"
    result = wine([exe, windows_path, "--method", method, "--repeat", repeat])
    if result.returncode != 0:
        return None, (result.stderr or result.stdout).strip()
    lines = [line for line in result.stdout.splitlines() if line.startswith("method=")]
    return (parse_fields(lines[-1]) if lines else None), result.stdout.strip()


def add_crc_arguments(parser):
    parser.add_argument("--size-mib", type=int, default=256,
                        help="size of the test file in MiB (at least 256 for the reported figure)")
    parser.add_argument("--repeat", type=int, default=5, help="timed runs; the best counts")
    parser.add_argument("--folder", default=tempfile.gettempdir(),
                        help="where the test file is made (default: the temporary folder)")


@benchmark("crc", "file checksum text (CRC-32) against Python's zlib.crc32", add_crc_arguments)
def bench_crc(args):
    size = args.size_mib * MIB
    work = Path(tempfile.mkdtemp(prefix="tovral-bench-", dir=args.folder))
    try:
        path = work / "random.bin"
        write_random_file(path, size)
        read_through(path, CRC_BLOCK)
        windows_path = to_windows(path)
        print(f"crc: {args.size_mib} MiB of random bytes in {path}, best of {args.repeat} runs")

        ours, output = run_crc_bench(windows_path, "auto", args.repeat)
        if ours is None:
            print(f"  crc_bench failed: {output}")
            return False
        table, _ = run_crc_bench(windows_path, "table", args.repeat)
        zlib_crc, zlib_seconds = best_zlib_run(path, args.repeat)

        zlib_text = format(zlib_crc, "x")
        ours_mbps = float(ours["mbps"])
        zlib_mbps = mbps(size, zlib_seconds)
        print(f"  ours ({ours['method']}, default): {ours_mbps:9.1f} MB/s  crc {ours['crc']}")
        if table and ours["method"] != "table":
            print(f"  ours (table, fall-back):  {float(table['mbps']):9.1f} MB/s  crc {table['crc']}")
        print(f"  Python zlib.crc32:        {zlib_mbps:9.1f} MB/s  crc {zlib_text}")
        agree = ours["crc"] == zlib_text and (table is None or table["crc"] == zlib_text)
        ratio = ours_mbps / zlib_mbps
        print(f"  checksums agree: {'yes' if agree else 'NO'}")
        print(f"  ratio ours/zlib: {ratio:.2f} (target >= 1.0: {'met' if ratio >= 1.0 else 'MISSED'})")
        return agree
    finally:
        shutil.rmtree(work, ignore_errors=True)


def add_fetch_arguments(parser):
    parser.add_argument("--size-mib", type=int, default=256,
                        help="size of the served file in MiB (at least 256 for the reported figure)")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each fetch; the best counts")


@benchmark("fetch", "FetchUrlToFile from the local bank server against curl", add_fetch_arguments)
def bench_fetch(args):
    import fetch_bench  # beside this file

    try:
        results = fetch_bench.run(args.size_mib, max(args.repeat, 1))
    except RuntimeError as error:
        print(f"fetch: {error}")
        return False
    fetch_bench.report(results)
    return True


# --- driver -------------------------------------------------------------------

def main(argv):
    parser = argparse.ArgumentParser(description="Benchmarks of the control (no name: all)")
    names = parser.add_subparsers(dest="name", metavar="NAME")
    for name, (_, help, add_arguments) in BENCHMARKS.items():
        add_arguments(names.add_parser(name, help=help))
    args = parser.parse_args(argv)

    if args.name:
        chosen = [(args.name, args)]
    else:  # every benchmark with its default options
        chosen = [(name, parser.parse_args([name])) for name in BENCHMARKS]
    ok = True
    for name, options in chosen:
        ok = BENCHMARKS[name][0](options) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
