#!/usr/bin/env python3
"""Benchmarks of the control, run through ./tovral bench (which sets WINEPREFIX
and TOVRAL_BUILD_DIR and builds first).

    ./tovral bench            every benchmark
    ./tovral bench NAME [...] one benchmark with its own options (--help lists them):
                              dispatch, fetch, crc, xml, size

A benchmark is a function registered with @benchmark; it prints its report and
returns True when it ran correctly (a wrong result is a failure, a missed
target is only reported). Speed targets are ratios measured within one run."""

import argparse
import os
import statistics
import shutil
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path
from urllib.parse import unquote

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


def verdict(met):
    return "met" if met else "MISSED"


def register_control():
    """Registers the freshly built control in the prefix; False when regsvr32 fails."""
    return wine(["regsvr32", "/s", to_windows(BUILD_DIR / "Tovral.DLL")]).returncode == 0


class ClientFolder:
    """A temporary client application folder: the page host beside a
    Quellmark.exe.config, so that the control finds a bank root URL."""

    def __init__(self, root_url="http://127.0.0.1:9/bank/"):
        self.path = Path(tempfile.mkdtemp(prefix="tovral-bench-client-"))
        shutil.copy2(BUILD_DIR / "TovralHost.exe", self.path / "TovralHost.exe")
        (self.path / "Quellmark.exe.config").write_text(
            '<?xml version="1.0" encoding="utf-8"?>\n<configuration>\n'
            f'  <RootUrl Value="{root_url}"/>\n</configuration>\n', encoding="utf-8")

    def run_page(self, page, args=(), timeout=1800):
        return wine([self.path / "TovralHost.exe", to_windows(page), "--", *args],
                    timeout=timeout)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


# --- crc: the file checksum text against Python's zlib.crc32 ------------------

CRC_BLOCK = 256 * 1024  # the control's read block
CRC_TARGET = 1.5  # throughput of ours over zlib's


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
        print(f"  ratio ours/zlib: {ratio:.2f} (target >= {CRC_TARGET}: {verdict(ratio >= CRC_TARGET)})")
        return agree
    finally:
        shutil.rmtree(work, ignore_errors=True)


def add_fetch_arguments(parser):
    parser.add_argument("--size-mib", type=int, default=256,
                        help="size of the served file in MiB (at least 256 for the reported figure)")
    parser.add_argument("--repeat", type=int, default=12,
                        help="rounds; each fetcher runs once a round, the median counts")
    parser.add_argument("--memory-size-mib", type=int, default=64,
                        help="the smaller file whose peak working set is compared")


@benchmark("fetch", "FetchUrlToFile against a bare 16 KiB WinINet loop and curl",
           add_fetch_arguments)
def bench_fetch(args):
    import fetch_bench  # beside this file

    try:
        results = fetch_bench.run(args.size_mib, max(args.repeat, 1),
                                  memory_size_mib=args.memory_size_mib)
    except RuntimeError as error:
        print(f"fetch: {error}")
        return False
    fetch_bench.report(results)
    return True


# --- dispatch: each IDownLoad method as the page calls it, against host.noop() --

DISPATCH_TARGET = 2.0


def add_dispatch_arguments(parser):
    parser.add_argument("--iterations", type=int, default=20000, help="calls per timed loop")
    parser.add_argument("--rounds", type=int, default=7, help="rounds; the median counts")


def dispatch_rows(output):
    """The page's samples and subjects -> one row per DISPID with medians; each
    ratio is the median of the ratios paired within a round, so that a shared
    machine's drift cancels."""
    samples, how = {}, {}
    for line in output.splitlines():
        fields = parse_fields(line)
        if line.startswith("sample "):
            samples.setdefault(int(fields["dispid"]), []).append(fields)
        elif line.startswith("subject "):
            how[int(fields["dispid"])] = unquote(fields["how"])
    rows = []
    for dispid in sorted(samples):
        taken = samples[dispid]
        row = {"dispid": dispid, "name": taken[0]["name"], "kind": taken[0]["kind"],
               "how": how.get(dispid, "?")}
        for what in ("lookup", "call"):
            if f"{what}_us" not in taken[0]:
                continue
            own = [float(s[f"{what}_us"]) for s in taken]
            ref = [float(s[f"ref_{what}_us"]) for s in taken]
            row[what] = {"us": statistics.median(own), "ref_us": statistics.median(ref),
                         "ratio": statistics.median(o / r for o, r in zip(own, ref))}
        # what the target judges: the call where there is one, else the look-up
        row["judged"] = row.get("call", row["lookup"])["ratio"]
        rows.append(row)
    return rows


def report_dispatch(rows):
    print(f"  {'us per call':<23} {'call':>7} {'host':>7} {'ratio':>6}   {'look-up':>7} "
          f"{'host':>7} {'ratio':>6}")
    for row in rows:
        call = row.get("call")
        call_text = (f"{call['us']:7.3f} {call['ref_us']:7.3f} {call['ratio']:6.2f}" if call
                     else f"{'-':>7} {'-':>7} {'-':>6}")
        lookup = row["lookup"]
        print(f"  {row['dispid']:>2} {row['name']:<20} {call_text}   {lookup['us']:7.3f} "
              f"{lookup['ref_us']:7.3f} {lookup['ratio']:6.2f}   {row['how']}")
    calls = [row for row in rows if "call" in row]
    print("  (host: host.noop() and 'noop' in host; a called method is judged by its call "
          "ratio, the others by their look-up ratio)")
    print(f"  called: {len(calls)} methods, DISPIDs {', '.join(str(r['dispid']) for r in calls)}; "
          f"look-up only: {len(rows) - len(calls)}")
    invoke = statistics.median(r["call"]["us"] - r["lookup"]["us"] for r in calls)
    host_invoke = statistics.median(r["call"]["ref_us"] - r["lookup"]["ref_us"] for r in calls)
    print(f"  median call minus look-up (Invoke and the method): ours {invoke:.3f} us, "
          f"host {host_invoke:.3f} us")
    worst = max(rows, key=lambda row: row["judged"])
    worst_lookup = max(rows, key=lambda row: row["lookup"]["ratio"])
    print(f"  worst look-up ratio: {worst_lookup['lookup']['ratio']:.2f} ({worst_lookup['name']})")
    print(f"  worst ratio: {worst['judged']:.2f} ({worst['name']}); every method within "
          f"{DISPATCH_TARGET:.1f}x of the host object: "
          f"target <= {DISPATCH_TARGET:.1f}: {verdict(worst['judged'] <= DISPATCH_TARGET)}")


@benchmark("dispatch", "each IDownLoad method called from a page against the host's no-op",
           add_dispatch_arguments)
def bench_dispatch(args):
    if not register_control():
        print("dispatch: regsvr32 failed")
        return False
    print(f"dispatch: {args.iterations} calls per loop, median of {args.rounds} rounds, "
          "times net of an empty loop")
    with ClientFolder() as client:
        result = client.run_page(SOURCE_DIR / "bench" / "dispatch_page.js",
                                 [args.iterations, args.rounds])
    if result.returncode != 0:
        print(f"  the page failed ({result.returncode}): {(result.stdout + result.stderr).strip()}")
        return False
    rows = dispatch_rows(result.stdout)
    if len(rows) != 30:
        print(f"  the page timed {len(rows)} methods of 30")
        return False
    report_dispatch(rows)
    return True


# --- xml: mirroring an element's children through XmlNode is linear ----------

XML_TARGET = 7.5  # time(large) / time(small) for 5x the items: 5 is linear, 25 quadratic


def add_xml_arguments(parser):
    parser.add_argument("--small", type=int, default=40000, help="items of the small list")
    parser.add_argument("--large", type=int, default=200000, help="items of the large list")
    parser.add_argument("--repeat", type=int, default=5, help="rounds; the median counts")
    parser.add_argument("--page-repeat", type=int, default=3,
                        help="rounds of GetDownLoadList from a page (0: none)")


def growth(samples, small, large, key):
    """Median times of both sizes, their ratio, and the median ratio paired by round."""
    times = {size: [s for s in samples if int(s["items"]) == size] for size in (small, large)}
    medians = {size: statistics.median(float(s[key]) for s in runs) for size, runs in times.items()}
    paired = statistics.median(float(b[key]) / float(a[key])
                               for a, b in zip(times[small], times[large]))
    return medians[small], medians[large], medians[large] / medians[small], paired


def report_growth(label, small, large, figures):
    small_s, large_s, ratio, paired = figures
    print(f"  {label:<34} {small_s * 1000:9.1f} ms {large_s * 1000:9.1f} ms  ratio {ratio:5.2f} "
          f"(paired {paired:5.2f}; target <= {XML_TARGET}: {verdict(ratio <= XML_TARGET)})")


def xml_page_samples(args):
    """GetDownLoadList timed from a page; None when the page failed."""
    if not register_control():
        print("  regsvr32 failed")
        return None
    with ClientFolder() as client:
        result = client.run_page(SOURCE_DIR / "bench" / "xml_page.js",
                                 [args.page_repeat, args.small, args.large])
    if result.returncode != 0:
        print(f"  the page failed ({result.returncode}): {(result.stdout + result.stderr).strip()}")
        return None
    return [parse_fields(line) for line in result.stdout.splitlines() if line.startswith("page ")]


@benchmark("xml", "XmlNode over lists of 40,000 and 200,000 items: linear growth",
           add_xml_arguments)
def bench_xml(args):
    small, large = args.small, args.large
    result = wine([BUILD_DIR / "bench" / "xml_bench.exe", small, large, "--repeat", args.repeat])
    if result.returncode != 0:
        print(f"xml: xml_bench failed ({result.returncode}): "
              f"{(result.stdout + result.stderr).strip()}")
        return False
    samples = [parse_fields(line) for line in result.stdout.splitlines()
               if line.startswith("round=")]
    print(f"xml: lists of {small} and {large} items ({large / small:.0f}x), median of "
          f"{args.repeat} rounds; every item mirrored in order")
    print(f"  {'':<34} {f'{small} items':>12} {f'{large} items':>12}")
    report_growth("XmlNode::LoadXml (parse, mirror)", small, large,
                  growth(samples, small, large, "load_seconds"))
    report_growth("mirror alone (sibling walk)", small, large,
                  growth(samples, small, large, "mirror_seconds"))
    if args.page_repeat <= 0:
        return True
    page = xml_page_samples(args)
    if page is None:
        return False
    report_growth("GetDownLoadList from a page", small, large,
                  growth(page, small, large, "seconds"))
    return True


# --- size: the shipped cabinet and DLL against their size targets ------------

@benchmark("size", "the shipped Tovral.cab and Tovral.DLL against their size targets",
           lambda parser: __import__("size_bench").add_arguments(parser))
def bench_size(args):
    import size_bench  # beside this file

    return size_bench.run(BUILD_DIR, args.top)


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
