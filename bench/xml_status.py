"""The status list part of the xml benchmark: GetStatuByXML from a page over
a status list of 5,000 application items, on the page's thread, with a
Default.cfg of normal size and with one of about 2 MB, each steady and right
after the page saved its language. Tracing is off, as on a customer's PC, so
what a trace line costs is the look at Default.cfg alone; it must not grow
with what the file holds. Every answer is compared whole with the list tests'
own entries repeated.

Driven by bench/run.py's xml benchmark (run(args, bench) with that module)."""

import statistics

STATUS_ITEMS = 5000
STATUS_TARGET_SECONDS = 2.0
SAME_COST_TARGET = 1.25  # time with the large Default.cfg / with the normal one
LARGE_SETTINGS_BYTES = 2 * 1024 * 1024

# The sample catalogue's applications as this benchmark leaves them on the PC:
# 4001 installed and current, 4002 installed but older than offered.
INSTALLED = [(r"HKCU\Software\Zelmor\BankClient", "3.0.0.0"),
             (r"HKCU\Software\Zelmor\BankClientMsi", "2.0.0.0")]


SETTINGS_HEAD = '<User><Language value="chs"/>\n'
SETTINGS_TAIL = "</User>\n"


def settings(name, filler_bytes):
    """Default.cfg as the page writes it: no Debug element (tracing off) and,
    for the large one, filler elements of about filler_bytes bytes."""
    return {"name": name, "head": SETTINGS_HEAD, "tail": SETTINGS_TAIL,
            "filler": '<Recent text="' + "r" * 100 + '"/>\n', "fillerBytes": filler_bytes}


def status_fixture(rounds):
    """Items of a page's status list and what GetStatuByXML answers for each:
    the current 4001 and the unknown 4999 give nothing, the outdated 4002 its
    entry with the page's own type and flag."""
    from tests.e2e import test_lists as lists
    items = [(4001, "true", "必装", ""), (4002, "true", "推荐", lists.res(4002, "推荐", "true")),
             (4999, "true", "必装", ""), (4002, "false", "必装", lists.res(4002, "必装", "false")),
             (4001, "false", "推荐", "")]
    return {"items": STATUS_ITEMS, "rounds": rounds,
            "pattern": [f"<item id='{i}' falg='{flag}' Type='{type_}'/>"
                        for i, flag, type_, _ in items],
            "answers": [answer for *_, answer in items]}


def run_page(bench, fixture):
    """The samples of the page run, or None when it failed."""
    bench.fresh_data_folder(SETTINGS_HEAD + SETTINGS_TAIL)
    fixture["settingsFile"] = bench.to_windows(
        bench.data_folder() / "VeyrantSetting" / "Default.cfg")
    with bench.SampleBank() as b:
        page = bench.page_with_fixture(b.client.path, "xml_page.js", {"status": fixture})
        result = b.client.run_page(page, [0])
    if result.returncode != 0:
        print(f"  the status page failed ({result.returncode}): "
              f"{(result.stdout + result.stderr).strip()}")
        return None
    return [bench.parse_fields(line) for line in result.stdout.splitlines()
            if line.startswith("status ")]


def run(args, bench):
    """Prints the status list's figures; False when a page failed or answered wrong."""
    if not bench.register_control():
        print("  regsvr32 failed")
        return False
    for key, version in INSTALLED:
        bench.wine(["reg", "add", key, "/v", "Version", "/d", version, "/f"])
    try:
        fixture = status_fixture(max(args.page_repeat, 1))
        fixture["settings"] = [settings("normal", 0), settings("large", LARGE_SETTINGS_BYTES)]
        samples = run_page(bench, fixture)
    finally:
        for key, _ in INSTALLED:
            bench.wine(["reg", "delete", key, "/f"])
    if samples is None:
        return False
    medians = {(large, when): statistics.median(
        float(s["seconds"]) for s in samples
        if s["when"] == when and s["settings"] == ("large" if large else "normal"))
        for large in (False, True) for when in ("steady", "saved")}
    print(f"  GetStatuByXML, {STATUS_ITEMS} application items, every answer equal, whole, to "
          "the expected one (tracing off):")
    print(f"  {'Default.cfg':<22} {'steady':>10} {'after a save':>13}")
    for large in (False, True):
        label = f"about {LARGE_SETTINGS_BYTES // 1024 // 1024} MB" if large else "normal"
        print(f"  {label:<22} {medians[large, 'steady'] * 1000:7.1f} ms "
              f"{medians[large, 'saved'] * 1000:10.1f} ms")
    worst = max(medians[False, "steady"], medians[False, "saved"])
    print(f"  on the page's thread, normal Default.cfg: {worst:.3f} s (target < "
          f"{STATUS_TARGET_SECONDS:.0f} s: {bench.verdict(worst < STATUS_TARGET_SECONDS)})")
    ratio = max(medians[True, when] / medians[False, when] for when in ("steady", "saved"))
    print(f"  large / normal Default.cfg, worst: {ratio:.2f} (target <= {SAME_COST_TARGET}: "
          f"{bench.verdict(ratio <= SAME_COST_TARGET)})")
    return True
