"""Runs one end-to-end test (a module, or some of its classes) the way CTest
does: in a Wine prefix of its own, copied from the run's template, with its
own wineserver and its own Xvfb display, so that tests can run side by side.

    python3 -m tests.e2e.run [--part I/N] MODULE [CLASS_OR_TEST ...]

e.g. `python3 -m tests.e2e.run test_download ChainTest`. --part I/N runs
every Nth test from the Ith on (by name), so that a long file runs as N
CTest tests and every test of it, old or new, lands in one of them. Without
TOVRAL_TEMPLATE_PREFIX (CTest started by hand) it makes a template first.
A run in which no test ran fails: a misspelt name must not pass."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from tests.e2e import harness


def start_display():
    """A private Xvfb; returns (process, DISPLAY). Windows of tests running
    side by side on one screen would take the focus from each other."""
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x1024x24",
                               "-nolisten", "tcp"], pass_fds=(write,),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as answer:
        number = answer.readline().strip()
    if not number:
        server.kill()
        raise RuntimeError("Xvfb did not start")
    return server, f":{number}"


def own_run_folder():
    """A run folder of this process, unless ./tovral test made one."""
    if os.environ.get(harness.TEMPLATE_ENV):
        return None
    own = Path(tempfile.mkdtemp(prefix="tovral-e2e-run-"))
    os.environ[harness.RUN_DIR_ENV] = str(own)
    os.environ[harness.TEMPLATE_ENV] = str(own / "template")
    return own


def flatten(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from flatten(item)
        else:
            yield item


def select_part(suite, part):
    """The tests of part "I/N" in name order; classes stay together."""
    index, count = (int(n) for n in part.split("/"))
    tests = sorted(flatten(suite), key=lambda test: test.id())
    return unittest.TestSuite(tests[index - 1::count])


def needs_wine(test):
    """Whether a test runs Windows programs (a class without Wine says
    uses_wine = False)."""
    return getattr(type(test), "uses_wine", True)


def needs_process_prefix(test):
    """Whether a test uses the process's prefix: tests that each take a
    prefix of their own, or use no Wine, leave it unused, and booting it
    would be the only work done in it."""
    return needs_wine(test) and not getattr(type(test), "prefix_per_test", False)


def main(argv):
    part = None
    if argv[:1] == ["--part"]:
        part, argv = argv[1], argv[2:]
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2
    module = f"tests.e2e.{argv[0]}"
    names = [f"{module}.{name}" for name in argv[1:]] or [module]
    # Wine mirrors menus and file types into the Linux desktop after every
    # installer and prefix boot: work no test looks at.
    overrides = os.environ.get("WINEDLLOVERRIDES")
    os.environ["WINEDLLOVERRIDES"] = ";".join(filter(None, ["winemenubuilder.exe=d", overrides]))
    suite = unittest.defaultTestLoader.loadTestsFromNames(names)
    if part:
        suite = select_part(suite, part)
    tests = list(flatten(suite))
    if not tests:
        print(f"no test ran for {' '.join(names)}", file=sys.stderr)
        return 1
    wine_used = any(needs_wine(test) for test in tests)
    display = own_run = session = None
    try:
        if wine_used:
            display, os.environ["DISPLAY"] = start_display()
            own_run = own_run_folder()
            if own_run is not None:
                harness.make_template(own_run / "template")
        if any(needs_process_prefix(test) for test in tests):
            session = harness.WineSession(os.environ[harness.TEMPLATE_ENV])
        else:  # a Wine program started outside a test's prefix fails rather than lands elsewhere
            os.environ.pop("WINEPREFIX", None)
        result = unittest.TextTestRunner(verbosity=2).run(suite)
        return 0 if result.wasSuccessful() else 1
    finally:
        if session is not None:
            session.close()
        if display is not None:
            display.terminate()
            display.wait()
        if own_run is not None:
            harness.end_session(own_run / "template")
            shutil.rmtree(own_run, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
