#!/usr/bin/env python3
"""Benchmarks of the control, run through ./tovral bench (which sets WINEPREFIX
and TOVRAL_BUILD_DIR and builds first).

    ./tovral bench            every benchmark
    ./tovral bench NAME [...] one benchmark with its own options (--help lists them):
                              dispatch, fetch, crc, xml and those registered below

A benchmark is a function registered with @benchmark; it prints its report and
returns True when it ran correctly (a wrong result is a failure, a missed
target is only reported). Speed targets are ratios measured within one run."""

import argparse
import hashlib
import json
import os
import re
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

sys.path.insert(0, str(SOURCE_DIR))  # the bank server, its tree and the tests' expectations

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
    env.setdefault("WINEARCH", "win32")
    env.setdefault("WINEDEBUG", "-all")
    return env


def wine(args, timeout=600, env=None):
    """Runs a Windows program; returns the CompletedProcess (text output)."""
    return subprocess.run(["wine", *map(str, args)], env={**wine_env(), **(env or {})},
                          capture_output=True, text=True, timeout=timeout)


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

    def run_page(self, page, args=(), timeout=1800, env=None):
        return wine([self.path / "TovralHost.exe", to_windows(page), "--", *args],
                    timeout=timeout, env=env)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def data_folder():
    """The control's data folder in the prefix (%APPDATA%\\Zelmor), as a Unix path."""
    appdata = wine(["cmd.exe", "/c", "echo", "%APPDATA%"]).stdout.strip()
    unix = subprocess.run(["winepath", "-u", appdata], env=wine_env(), capture_output=True,
                          text=True, check=True).stdout.strip()
    return Path(unix) / "Zelmor"


def fresh_data_folder(settings_text):
    """No settings, lists or trace of an earlier run; Default.cfg as given."""
    folder = data_folder()
    shutil.rmtree(folder, ignore_errors=True)
    (folder / "VeyrantSetting").mkdir(parents=True)
    (folder / "VeyrantSetting" / "Default.cfg").write_text(settings_text, encoding="utf-8")


class SampleBank:
    """The local bank server on a tree of the sample configuration (encrypted
    and signed by the packer), and a client folder pointing to it with the
    client application and availability library the sample catalogue names."""

    def __init__(self):
        from tools.bankserver.bankserver import BankServer
        from tools.bankserver.server_tree import Packer, ServerTree
        self.root = Path(tempfile.mkdtemp(prefix="tovral-bench-bank-"))
        self.server = BankServer(self.root).start()
        self.tree = ServerTree(self.root, self.server.url, Packer(BUILD_DIR))
        self.tree.build()
        self.client = ClientFolder(self.server.url)
        shutil.copy2(BUILD_DIR / "samples" / "BankClient.exe", self.client.path)
        (self.client.path / "checks").mkdir()
        shutil.copy2(BUILD_DIR / "samples" / "CheckOk.dll", self.client.path / "checks")

    @property
    def url(self):
        return self.server.url

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.client.__exit__()
        self.server.stop()
        shutil.rmtree(self.root, ignore_errors=True)


# --- crc: the file checksums against Python's zlib.crc32 and hashlib.sha256 ----

CRC_BLOCK = 256 * 1024  # the control's read block
CRC_TARGET = 1.5  # throughput of ours over zlib's, CRC alone


def python_file_sums(path, with_sha256):
    """zlib.crc32 (and hashlib.sha256) over the file in one read, in the
    control's block size: {"crc": text[, "sha256": hex]}."""
    buffer = bytearray(CRC_BLOCK)
    view = memoryview(buffer)
    crc, digest = 0, hashlib.sha256() if with_sha256 else None
    with open(path, "rb", buffering=0) as f:
        while n := f.readinto(buffer):
            crc = zlib.crc32(view[:n], crc)
            if digest:
                digest.update(view[:n])
    sums = {"crc": format(crc, "x")}
    if digest:
        sums["sha256"] = digest.hexdigest()
    return sums


def best_python_run(path, repeat, with_sha256):
    best, sums = None, None
    for _ in range(repeat):
        start = time.perf_counter()
        sums = python_file_sums(path, with_sha256)
        seconds = time.perf_counter() - start
        best = seconds if best is None else min(best, seconds)
    return sums, best


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


def crc_agrees(label, ours, python):
    """Ours computed what Python did; prints the disagreement."""
    own = {key: ours.get(key) for key in python}
    if own != python:
        print(f"  {label}: ours {own}, Python {python}: DISAGREE")
        return False
    return True


@benchmark("crc", "the file checksums (CRC-32, and with SHA-256) against Python's zlib and "
           "hashlib", add_crc_arguments)
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
        together, together_output = run_crc_bench(windows_path, "together", args.repeat)
        if ours is None or together is None:
            print(f"  crc_bench failed: {output if ours is None else together_output}")
            return False
        table, _ = run_crc_bench(windows_path, "table", args.repeat)
        zlib_sums, zlib_seconds = best_python_run(path, args.repeat, False)
        both_sums, both_seconds = best_python_run(path, args.repeat, True)

        print(f"  ours CRC ({ours['method']}, default): {float(ours['mbps']):9.1f} MB/s  "
              f"crc {ours['crc']}")
        if table and ours["method"] != "table":
            print(f"  ours CRC (table, fall-back):  {float(table['mbps']):9.1f} MB/s  "
                  f"crc {table['crc']}")
        print(f"  Python zlib.crc32:            {mbps(size, zlib_seconds):9.1f} MB/s  "
              f"crc {zlib_sums['crc']}")
        sha256_method = together.get("sha256_method", "?")
        print(f"  ours CRC and SHA-256 ({sha256_method}), one read: "
              f"{float(together['mbps']):7.1f} MB/s  sha256 {together['sha256']}")
        print(f"  zlib.crc32 + hashlib.sha256:  {mbps(size, both_seconds):9.1f} MB/s  "
              f"sha256 {both_sums['sha256']}")
        agree = (crc_agrees("CRC", ours, zlib_sums)
                 and (table is None or crc_agrees("CRC (table)", table, zlib_sums))
                 and crc_agrees("CRC and SHA-256", together, both_sums))
        print(f"  checksums agree: {'yes' if agree else 'NO'}")
        ratio = float(ours["mbps"]) / mbps(size, zlib_seconds)
        print(f"  ratio ours/zlib, CRC: {ratio:.2f} (target >= {CRC_TARGET}: "
              f"{verdict(ratio >= CRC_TARGET)})")
        both_ratio = float(together["mbps"]) / mbps(size, both_seconds)
        source = ("the processor's SHA instructions" if sha256_method == "processor"
                  else "the system's CryptoAPI")
        print(f"  ratio ours/(zlib + hashlib), CRC and SHA-256: {both_ratio:.2f} (reported: our "
              f"SHA-256 is {source}, hashlib's is OpenSSL's)")
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


@benchmark("fetch", "FetchUrlToFile with its verification against a bare 16 KiB WinINet loop "
           "plus an independent hash, and curl",
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


# --- dispatch: each IDownLoad method as a bank page calls it -----------------

DISPATCH_TARGET = 2.0
DISPATCH_SETTINGS = '<User><Language value="chs"/></User>'


def add_dispatch_arguments(parser):
    parser.add_argument("--iterations", type=int, default=20000,
                        help="calls per timed loop of a call that does no work (and of look-ups)")
    parser.add_argument("--rounds", type=int, default=7, help="rounds; the median counts")


def dispatch_fixture(bank):
    """What the page hands the control and the answers it must get: the
    lists and expected texts of the list tests, on the same sample catalogue."""
    from tests.e2e import test_lists as lists
    res, optimizer, cert, update = lists.res, lists.optimizer, lists.cert, lists.update
    return {
        "downloadList": lists.DOWNLOAD_LIST,
        "downloadAnswer": update(res(1001), res(1003), res(4001), lists.TRUSTED_2001, cert(),
                                 lists.POPUP_5001, optimizer(5051)),
        "statusList": lists.STATUS_LIST,
        "statusAnswer": update(res(1001, "必装"), res(1002, "A&amp;B &quot;x&quot;", "false"),
                               res(4001, "必装"), res(4002, "推荐"), cert("必装"),
                               lists.TRUSTED_2001, optimizer(5052, "推荐", "false")),
        "sysInfoAnswer": update(res(4001, "必装", ""), res(4002, "推荐", ""),
                                res(1001, "必装", ""), res(1002, "必装", ""),
                                res(1003, "推荐", ""),
                                *[optimizer(i, "推荐", "") for i in sorted(lists.OPTIMIZERS)],
                                cert("必装", "")),
        "versionUrl": f"{bank.url}/VeyrantSettingV2/Version.cfg",
        "linkAddress": "https://ebank.example.cn/",
        "dynamicLink": "help/chs/index.html",
        "checkItem": "操作系统",
    }


def dispatch_rows(output):
    """The page's samples -> one row per subject with medians; each ratio is
    the median of the ratios paired within a round, so that a shared
    machine's drift cancels."""
    samples = {}
    for line in output.splitlines():
        if line.startswith("sample "):
            fields = parse_fields(line)
            samples.setdefault((int(fields["dispid"]), unquote(fields["label"])), []).append(fields)
    rows = []
    for (dispid, label), taken in sorted(samples.items()):
        row = {"dispid": dispid, "name": taken[0]["name"], "label": label,
               "kind": taken[0]["kind"]}
        for what in ("lookup", "call"):
            if f"{what}_us" not in taken[0]:
                continue
            own = [float(s[f"{what}_us"]) for s in taken]
            ref = [float(s[f"ref_{what}_us"]) for s in taken]
            row[what] = {"us": statistics.median(own), "ref_us": statistics.median(ref),
                         "ratio": statistics.median(o / max(r, 1e-4) for o, r in zip(own, ref))}
        if "roundtrip_us" in taken[0]:
            row["roundtrip_us"] = statistics.median(float(s["roundtrip_us"]) for s in taken)
        if "calls" in taken[0]:
            row["calls"] = int(taken[0]["calls"])
        rows.append(row)
    return rows


def report_dispatch(rows, skipped, query_update_ms):
    print(f"  {'subject':<28} {'kind':<8} {'us per call':>12} {'host':>8} {'ratio':>6}   "
          f"{'look-up':>7} {'host':>7} {'ratio':>6}")
    for row in rows:
        lookup = row["lookup"]
        if "call" in row:
            call = row["call"]
            ratio = f"{call['ratio']:6.2f}" if row["kind"] == "dispatch" else f"{'':>6}"
            call_text = f"{call['us']:12.3f} {call['ref_us']:8.3f} {ratio}"
        elif "roundtrip_us" in row:
            call_text = f"{row['roundtrip_us']:12.1f} {'':>8} {'':>6}"
        else:
            call_text = f"{'-':>12} {'-':>8} {'-':>6}"
        print(f"  {row['dispid']:>2} {row['label'][:25]:<25} {row['kind']:<8} {call_text}   "
              f"{lookup['us']:7.3f} {lookup['ref_us']:7.3f} {lookup['ratio']:6.2f}")
    print("  (host: host.noop() and 'noop' in host; work: a call with real input, its time "
          "per call; worker: the call and its call-back, per round trip)")
    print(f"  QueryUpdate once, to decrypt the catalogue: {query_update_ms:.1f} ms")
    for name, why in skipped:
        print(f"  not called: {name}: {why}")
    judged = [(row["lookup"]["ratio"], f"look-up of {row['name']}") for row in rows]
    judged += [(row["call"]["ratio"], row["label"]) for row in rows if row["kind"] == "dispatch"]
    worst, what = max(judged)
    print(f"  worst dispatch ratio: {worst:.2f} ({what}); every look-up and every call that "
          f"does no work within {DISPATCH_TARGET:.1f}x of the host object: "
          f"target <= {DISPATCH_TARGET:.1f}: {verdict(worst <= DISPATCH_TARGET)}")


@benchmark("dispatch", "every IDownLoad method called from a bank page with real input",
           add_dispatch_arguments)
def bench_dispatch(args):
    if not register_control():
        print("dispatch: regsvr32 failed")
        return False
    print(f"dispatch: up to {args.iterations} calls per loop, median of {args.rounds} rounds, "
          "times net of an empty loop, after QueryUpdate against the local bank server")
    fresh_data_folder(DISPATCH_SETTINGS)
    with SampleBank() as bank:
        page = page_with_fixture(bank.client.path, "dispatch_page.js", dispatch_fixture(bank))
        # The check report's texts are the bank's, in the Chinese ANSI code page.
        result = bank.client.run_page(page, [args.iterations, args.rounds],
                                      env={"LC_ALL": "zh_CN.UTF-8"})
    if result.returncode != 0:
        print(f"  the page failed ({result.returncode}): {(result.stdout + result.stderr).strip()}")
        return False
    rows = dispatch_rows(result.stdout)
    skipped = [(parse_fields(line)["name"], unquote(parse_fields(line)["why"]))
               for line in result.stdout.splitlines() if line.startswith("skipped ")]
    query = [parse_fields(line) for line in result.stdout.splitlines()
             if line.startswith("query_update ")]
    methods = {row["name"] for row in rows}
    if len(methods) != 30 or not query:
        print(f"  the page timed {len(methods)} methods of 30")
        return False
    report_dispatch(rows, skipped, float(query[0]["ms"]))
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


def xml_fixture():
    """The items of the list tests' download list, each with what
    GetDownLoadList answers for it on the sample catalogue: the fragment of a
    ticked item the catalogue lists, nothing for the rest."""
    from tests.e2e import test_lists as lists
    fragments = {1001: lists.res(1001), 1002: lists.res(1002), 1003: lists.res(1003),
                 4001: lists.res(4001), 4002: lists.res(4002), 2001: lists.TRUSTED_2001,
                 3001: lists.cert(), 5001: lists.POPUP_5001, 5051: lists.optimizer(5051)}
    pattern = re.findall(r"<item [^>]*/>", lists.DOWNLOAD_LIST)
    answers = []
    for item in pattern:
        ticked = re.search(r"falg='([^']*)'", item)
        item_id = int(re.search(r"id='(\d+)'", item).group(1))
        listed = ticked is not None and ticked.group(1).lower() == "true"
        answers.append(fragments.get(item_id, "") if listed else "")
    return {"pattern": pattern, "answers": answers}


def page_with_fixture(folder, page_name, fixture):
    """A bench page behind a prelude that hands it FIXTURE."""
    page = folder / page_name
    page.write_text("var FIXTURE = " + json.dumps(fixture) + ";\n"
                    + (SOURCE_DIR / "bench" / page_name).read_text(encoding="utf-8"),
                    encoding="utf-8")
    return page


def xml_page_samples(args):
    """GetDownLoadList timed from a page; None when the page failed."""
    if not register_control():
        print("  regsvr32 failed")
        return None
    fixture = xml_fixture()
    fresh_data_folder(DISPATCH_SETTINGS)
    with SampleBank() as bank:
        # The pattern's answers, joined, are the list tests' own expectation.
        if "<Update>" + "".join(fixture["answers"]) + "</Update>" != \
                dispatch_fixture(bank)["downloadAnswer"]:
            print("  the pattern's answers disagree with the list tests' expectation")
            return None
        page = page_with_fixture(bank.client.path, "xml_page.js", fixture)
        result = bank.client.run_page(page, [args.page_repeat, args.small, args.large])
    if result.returncode != 0:
        print(f"  the page failed ({result.returncode}): {(result.stdout + result.stderr).strip()}")
        return None
    return [parse_fields(line) for line in result.stdout.splitlines() if line.startswith("page ")]


@benchmark("xml", "XmlNode and GetDownLoadList over ticked lists of 40,000 and 200,000 items",
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
    ticked = {int(s["items"]): s["ticked"] for s in page}
    print(f"  GetDownLoadList: every answer equal, whole, to the expected one "
          f"({ticked[small]} and {ticked[large]} ticked items described from the catalogue)")
    report_growth("GetDownLoadList from a page", small, large,
                  growth(page, small, large, "seconds"))
    import xml_status  # beside this file: GetStatuByXML of 5,000 application items

    return xml_status.run(args, sys.modules[__name__])


# --- update: the update check against a bare fetch of the same files ---------

@benchmark("update", "the update check against a bare WinINet fetch of the same files",
           lambda parser: __import__("update_bench").add_arguments(parser))
def bench_update(args):
    import update_bench  # beside this file

    return update_bench.run(args, sys.modules[__name__])


# --- size: the shipped cabinet and DLL against their size targets ------------

@benchmark("size", "the shipped Tovral.cab and Tovral.DLL against their size targets",
           lambda parser: __import__("size_bench").add_arguments(parser))
def bench_size(args):
    import size_bench  # beside this file

    return size_bench.run(BUILD_DIR, args.top)


# --- chain: the download chain's own cost per item ---------------------------

@benchmark("chain", "the download chain's own cost per item beyond the fetch and the installer",
           lambda parser: __import__("chain_bench").add_arguments(parser))
def bench_chain(args):
    import chain_bench  # beside this file

    return chain_bench.run(args)


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
