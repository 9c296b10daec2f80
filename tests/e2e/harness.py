"""Shared plumbing of the end-to-end tests: Wine prefixes, the built
programs, client application folders for the page host, the control's
per-user data folder and the local bank server.

How a run is laid out (./tovral test sets it up, see run.py for the rest):
- ./tovral test makes one template prefix per run with the control
  registered (TOVRAL_TEMPLATE_PREFIX) and a run folder (TOVRAL_RUN_DIR).
- CTest runs each end-to-end test through `python3 -m tests.e2e.run MODULE
  [TEST...]`, which gives the test its own copy of the template, its own
  wineserver and its own Xvfb display, so tests run side by side.
- A test class may ask for a fresh copy per test method (fresh_prefix(),
  as SampleBankTestCase does): whatever a test installs dies with its prefix.
- start_bank_server() builds a tree for a given set of inputs once per run
  (TOVRAL_RUN_DIR/bank-trees) and hands each test its own copy.

A new test file needs one line in tests/e2e/CMakeLists.txt:
    tovral_e2e_test(NAME MODULE SECONDS S)           # the whole file, about S seconds
    tovral_e2e_test(NAME MODULE SECONDS S1 .. SN)    # shared out in N parts, each under 90 s
Nothing in the file itself changes: it imports what it needs from here."""

import contextlib
import fcntl
import functools
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("TOVRAL_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("TOVRAL_BUILD_DIR", SOURCE_DIR / "build"))
SAMPLES_DIR = BUILD_DIR / "samples"  # the sample components (tools/samples)
CLSID = "{6513270E-269E-4D37-B2A7-4DE452E6B438}"
# The control as configured (TOVRAL_SIGNATURE_POLICY, "off" unless set), and
# the same control with the signatures of the encrypted files required.
DEFAULT_DLL = BUILD_DIR / "Tovral.DLL"
SIGNED_DLL = BUILD_DIR / "signed" / "Tovral.DLL"
DEFAULT_SIGNATURE_POLICY = os.environ.get("TOVRAL_SIGNATURE_POLICY", "off")
# Set by ./tovral test (or by run.py when CTest runs without it).
TEMPLATE_ENV = "TOVRAL_TEMPLATE_PREFIX"
RUN_DIR_ENV = "TOVRAL_RUN_DIR"


# Wine's messages off but its diagnostics of the environment: Wine ends a
# program whose thread cannot reach the display with exit code 1 and says
# why only there ("x11drv: Can't open display"). ./tovral test sets the same.
DEFAULT_WINEDEBUG = "-all,err+winediag"


def wine_env(extra=None):
    env = dict(os.environ)
    if "WINEPREFIX" not in env:
        raise RuntimeError("WINEPREFIX is not set: run through ./tovral (test, bench or fuzz)")
    env.setdefault("WINEARCH", "win32")
    env.setdefault("WINEDEBUG", DEFAULT_WINEDEBUG)
    env.update(extra or {})
    return env


# Wine's own start-up, not the code under test, now and then fails under the
# load of many prefixes at once (a program that cannot reach its wineserver or
# its display). Such a start is tried again, and said so on the test's output.
WINE_START_TRIES = 3


# What Wine's start.exe prints when the loader could not map the program and
# handed its name on to the shell, which failed as well: the program never ran.
_LOADER_FELL_BACK = "Application could not be started, or no application associated"


def _never_started(result):
    """Whether Wine itself failed before the program ran: its loader died of a
    signal (no output, a negative exit status) or fell back to start.exe.
    A program that crashes does not look like that: Wine reports the fault,
    or the control's crash filter ends the process with code 1."""
    if result.returncode < 0 and not result.stdout and not result.stderr:
        return True
    output = result.stdout + result.stderr
    # A program that is not there is not there on the next try either.
    return (result.returncode != 0 and output.startswith(_LOADER_FELL_BACK)
            and "File not found" not in output)


def _program_path(name, prefix):
    """A Wine program given by its name alone ("reg", "cmd.exe") as its path
    in the prefix: Wine's loader hands a bare name to start.exe, which finds
    and starts the program, one more Wine program per start. Any other name
    is returned as it is."""
    name = str(name)
    if "\\" in name or "/" in name or ":" in name:
        return name
    file_name = name if name.lower().endswith(".exe") else name + ".exe"
    for folder in ("system32", ""):
        path = Path(prefix, "drive_c", "windows", folder, file_name.lower())
        if path.is_file():
            return "C:\\windows\\" + (folder + "\\" if folder else "") + file_name
    return name


def wine(args, env=None, timeout=120, check=False, input=None, cwd=None):
    """Runs a Windows program; returns the CompletedProcess (text output).

    Under heavy load Wine's own start now and then fails before the program
    has run at all (_never_started); such a start is tried again, and said so."""
    if args and str(args[0]).lower().startswith("regsvr32"):
        _forget_registration()
    env = wine_env(env)
    command = [_program_path(args[0], env["WINEPREFIX"]), *map(str, args[1:])]
    for attempt in range(1, WINE_START_TRIES + 1):
        result = subprocess.run(["wine", *command], env=env, timeout=timeout,
                                capture_output=True, input=input, cwd=cwd,
                                encoding="utf-8", errors="replace")
        if not _never_started(result):
            break
        print(f"Wine did not start {args[0]} (try {attempt}): {result.returncode} "
              f"{(result.stdout + result.stderr).strip()[:200]}", file=sys.stderr)
    if check:
        result.check_returncode()
    return result


def _winepath(option, path):
    for attempt in range(1, WINE_START_TRIES + 1):
        result = subprocess.run(["winepath", option, str(path)], env=wine_env(),
                                capture_output=True, text=True)
        if result.returncode == 0 and result.stdout.strip():
            return result.stdout.strip()
        print(f"winepath {option} {path} failed (try {attempt}): {result.stderr.strip()}",
              file=sys.stderr)
        time.sleep(attempt)
    raise RuntimeError(f"winepath {option} {path} failed {WINE_START_TRIES} times")


# Paths are mapped the way winepath maps them, without starting a Wine
# program for each (a test maps dozens): a Unix path goes to the deepest of
# its folders that is a drive's root, a Windows path on C: or Z: to the
# folders of the same names, matched without regard to case as Wine does.
# Anything out of the ordinary still asks winepath.
_ODD_NAME = re.compile(r'[\\:*?"<>|\x00-\x1f]|[. ]$')


def _drives():
    """{letter: (link target, (device, inode))} of the prefix's drives."""
    drives = {}
    folder = Path(wine_env()["WINEPREFIX"]) / "dosdevices"
    for link in folder.glob("?:"):
        try:
            facts = link.stat()
            drives[link.name[0].lower()] = (os.readlink(link), (facts.st_dev, facts.st_ino))
        except OSError:
            continue
    return drives


def _quick_windows_path(path):
    trailing = "\\" if str(path).endswith("/") and str(path) != "/" else ""
    path = os.path.abspath(path)
    roots = {root: letter for letter, (_, root) in _drives().items()}
    parts = path.split("/")[1:] if path != "/" else []
    for depth in range(len(parts), -1, -1):
        try:
            facts = os.stat("/" + "/".join(parts[:depth]))
        except OSError:
            continue
        letter = roots.get((facts.st_dev, facts.st_ino))
        if letter is not None:
            rest = parts[depth:]
            if any(not name or _ODD_NAME.search(name) for name in rest):
                return None
            return f"{letter.upper()}:\\" + "\\".join(rest) + (trailing if rest else "")
    return None


def _quick_unix_path(path):
    text = str(path)
    if not re.fullmatch(r"[A-Za-z]:(\\[^\\/]+)*\\?", text):
        return None
    names = [name for name in text[3:].split("\\") if name]
    if any(name in (".", "..") or _ODD_NAME.search(name) for name in names):
        return None
    letter = text[0].lower()
    target = _drives().get(letter, (None,))[0]
    if target == "/":
        unix = Path("/")
    elif letter == "c":
        unix = Path(wine_env()["WINEPREFIX"]) / "dosdevices" / "c:"
    else:
        return None
    for name in names:
        if unix.is_dir() and not (unix / name).exists():
            matches = [entry for entry in os.listdir(unix) if entry.lower() == name.lower()]
            if len(matches) > 1 or not name.isascii():
                return None
            name = matches[0] if matches else name
        unix = unix / name
    return unix


def to_windows(path):
    return _quick_windows_path(path) or _winepath("-w", path)


def to_unix(path):
    return _quick_unix_path(path) or Path(_winepath("-u", path))


_user_folders = {}


def _ask_user_folder(variable):
    return wine(["cmd.exe", "/c", "echo", f"%{variable}%"], check=True).stdout.strip()


def _user_folder_windows_path(variable):
    """Wine is asked once a run (in the run folder, else once a process): every
    prefix is a copy of one template, so the Windows path is the same in all."""
    if variable in _user_folders:
        return _user_folders[variable]
    run = _run_folder()
    if run is None:
        _user_folders[variable] = _ask_user_folder(variable)
        return _user_folders[variable]
    known = run / "user-folders.json"
    with _locked(run / "user-folders.lock"):
        folders = json.loads(known.read_text(encoding="utf-8")) if known.exists() else {}
        if variable not in folders:
            folders[variable] = _ask_user_folder(variable)
            known.write_text(json.dumps(folders), encoding="utf-8")
    _user_folders.update(folders)
    return folders[variable]


def user_folder(variable):
    """Unix path of one of the prefix user's folders by its variable
    ("APPDATA", "LOCALAPPDATA")."""
    windows = _user_folder_windows_path(variable)
    if windows[:3].upper() == "C:\\":
        return Path(wine_env()["WINEPREFIX"], "drive_c", *windows[3:].split("\\"))
    return to_unix(windows)


def appdata_folder():
    return user_folder("APPDATA")


def local_appdata_folder():
    return user_folder("LOCALAPPDATA")


def data_folder():
    """The control's data folder: %APPDATA%\\Zelmor (Unix path)."""
    return appdata_folder() / "Zelmor"


def reset_data_folder():
    shutil.rmtree(data_folder(), ignore_errors=True)


# The build of the control known to be registered machine-wide in the current
# prefix (a fresh copy of a template), until anything runs regsvr32 again.
_registered_dll = None


def _forget_registration():
    global _registered_dll
    _registered_dll = None


def register_control(per_user=False, dll=DEFAULT_DLL):
    args = ["regsvr32", "/s"] + (["/n", "/i:user"] if per_user else [])
    return wine(args + [to_windows(dll)]).returncode


def unregister_control(per_user=False, dll=DEFAULT_DLL):
    args = ["regsvr32", "/s", "/u"] + (["/n", "/i:user"] if per_user else [])
    return wine(args + [to_windows(dll)]).returncode


def ensure_registered(dll=DEFAULT_DLL):
    """Registers `dll` machine-wide unless the prefix came with it registered."""
    global _registered_dll
    if Path(dll) == _registered_dll:
        return 0
    rc = register_control(dll=dll)
    if rc == 0:
        _registered_dll = Path(dll)
    return rc


# --- prefixes and Wine sessions ----------------------------------------------

# Wine's own programs and libraries in a prefix: never written after
# wineboot, so copies share them by hard links. Everything else is copied.
_SHARED_SUFFIXES = {".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl", ".acm", ".tlb", ".ax",
                    ".ds", ".msstyles", ".tsp", ".vxd", ".mui", ".nls", ".fon", ".ttf"}


def copy_prefix(template, target):
    """A private copy of a prefix whose wineserver is not running."""
    template, target = Path(template), Path(target)
    for folder, dirs, files in os.walk(template):
        here = Path(folder)
        there = target / here.relative_to(template)
        there.mkdir(parents=True, exist_ok=True)
        for name in dirs + files:
            source = here / name
            if source.is_symlink():
                os.symlink(os.readlink(source), there / name)
                if name in dirs:
                    dirs.remove(name)  # walked through the link's target otherwise
        for name in files:
            source, copy = here / name, there / name
            if source.is_symlink():
                continue
            if source.suffix.lower() in _SHARED_SUFFIXES and "drive_c" in source.parts:
                try:
                    os.link(source, copy)
                    continue
                except OSError:
                    pass
            shutil.copy2(source, copy)


def _run_folder():
    folder = os.environ.get(RUN_DIR_ENV)
    return Path(folder) if folder else None


@contextlib.contextmanager
def _locked(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def _prefix_env(prefix):
    return dict(os.environ, WINEPREFIX=str(prefix), WINEARCH=os.environ.get("WINEARCH", "win32"),
                WINEDEBUG=os.environ.get("WINEDEBUG", DEFAULT_WINEDEBUG))


def _wine_tool(tool, prefix, *args, check=False):
    return subprocess.run([tool, *args], env=_prefix_env(prefix), capture_output=True,
                          text=True, timeout=600, check=check)


def start_session(prefix, keep_desktop=True):
    """A wineserver for the prefix that stays (program starts are then short),
    and its services started with no pipe of ours: a program's output would
    otherwise stay open until the services, which inherit it, end. A session
    that shows windows keeps its desktop up (_start_desktop_keeper)."""
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
             "stderr": subprocess.DEVNULL, "env": _prefix_env(prefix), "timeout": 600}
    subprocess.run(["wineserver", "-p"], **quiet)
    if keep_desktop and DESKTOP_KEEPER.is_file():
        _start_desktop_keeper(prefix, quiet)
        return
    subprocess.run(["wine", _program_path("cmd.exe", prefix), "/c", "exit"], **quiet)


# The first program of a persistent session holds its desktop open: without
# it Wine closes the desktop a second after each page ends and starts
# explorer.exe again for the next, which doubles what starting a page costs,
# and whatever program started explorer.exe had its output held open by it.
DESKTOP_KEEPER = BUILD_DIR / "tests" / "e2e" / "probes" / "desktop_keeper.exe"
_desktop_keepers = {}


def _start_desktop_keeper(prefix, quiet):
    """Starts the keeper with no handles of ours and waits until the desktop
    (and so explorer.exe) is up; a keeper that Wine did not start is tried
    again, as any program's start is."""
    ready = Path(prefix) / "desktop-keeper.ready"
    options = {key: value for key, value in quiet.items() if key != "timeout"}
    for attempt in range(1, WINE_START_TRIES + 1):
        ready.unlink(missing_ok=True)
        keeper = subprocess.Popen(["wine", str(DESKTOP_KEEPER), _z_drive(ready)], **options)
        deadline = time.monotonic() + quiet["timeout"]
        while not ready.exists() and keeper.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        if ready.exists():
            ready.unlink()
            _desktop_keepers[str(prefix)] = keeper
            return
        keeper.kill()
        print(f"the desktop keeper of {prefix} did not start (try {attempt}): "
              f"{keeper.wait()}", file=sys.stderr)
    raise RuntimeError(f"the desktop of {prefix} did not come up")


def end_session(prefix):
    """Ends whatever still runs in the prefix, and its wineserver."""
    if (Path(prefix) / "system.reg").exists():
        _wine_tool("wineserver", prefix, "-k")
        _wine_tool("wineserver", prefix, "-w")
    keeper = _desktop_keepers.pop(str(prefix), None)
    if keeper is not None:
        try:
            keeper.wait(timeout=10)
        except subprocess.TimeoutExpired:
            keeper.kill()
            keeper.wait()


def _z_drive(path):
    """A Linux path as Wine's Z: drive shows it, without asking Wine."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


TEMPLATE_REG = Path(__file__).with_name("template.reg")


def make_template(prefix, dll=DEFAULT_DLL):
    """A new prefix made ready as a test run's template (finish_template)."""
    prefix = Path(prefix)
    prefix.mkdir(parents=True, exist_ok=True)
    boot = _wine_tool("wineboot", prefix, "-i")
    _wine_tool("wineserver", prefix, "-w")
    if boot.returncode != 0 or not (prefix / "system.reg").exists():
        raise RuntimeError(f"wineboot failed for {prefix}: {boot.stderr.strip()}")
    finish_template(prefix, dll)


def finish_template(prefix, dll=DEFAULT_DLL):
    """Registers `dll` in a booted prefix and applies template.reg, its
    registry then on disk for copies."""
    _run_then_close(prefix, [["regsvr32", "/s", _z_drive(dll)],
                             ["regedit", "/s", _z_drive(TEMPLATE_REG)]])


def _run_then_close(prefix, commands):
    """Runs Windows commands in a prefix, then ends its wineserver, which
    writes the registry to disk as it ends, before anything copies the
    prefix. The server stays up between the commands: one that ends by
    itself after a command could end while the next one connects."""
    try:
        start_session(prefix, keep_desktop=False)
        for command in commands:
            result = _wine_tool("wine", prefix, _program_path(command[0], prefix), *command[1:])
            if result.returncode != 0:
                raise RuntimeError(f"{' '.join(command)} failed with {result.returncode} in "
                                   f"{prefix}: {result.stderr.strip()}")
    finally:
        end_session(prefix)


def template_prefix(dll=DEFAULT_DLL, setup=()):
    """The run's template with `dll` registered machine-wide and the Windows
    commands `setup` (lists of arguments) run; each kind is made once a run."""
    base = Path(os.environ[TEMPLATE_ENV])
    setup = [list(map(str, command)) for command in setup]
    if Path(dll) == DEFAULT_DLL and not setup:
        return base
    run = _run_folder() or base.parent
    name = hashlib.sha256(json.dumps([str(dll), setup]).encode()).hexdigest()[:16]
    target = run / "templates" / name
    with _locked(run / "templates" / ".lock"):
        if not target.exists():
            work = Path(tempfile.mkdtemp(prefix="making-", dir=target.parent))
            try:
                copy_prefix(base, work / "prefix")
                register = [] if Path(dll) == DEFAULT_DLL else [["regsvr32", "/s", _z_drive(dll)]]
                _run_then_close(work / "prefix", register + setup)
                os.rename(work / "prefix", target)
            finally:
                shutil.rmtree(work, ignore_errors=True)
    return target


class WineSession:
    """A prefix of the process's own, copied from a template, with a
    persistent wineserver: WINEPREFIX names it until close(), which ends its
    programs and removes it."""

    def __init__(self, template, dll=DEFAULT_DLL):
        global _registered_dll
        parent = _run_folder()
        if parent is not None:
            (parent / "prefixes").mkdir(parents=True, exist_ok=True)
            parent = parent / "prefixes"
        self.folder = Path(tempfile.mkdtemp(prefix="prefix-", dir=parent))
        self.prefix = self.folder / "prefix"
        copy_prefix(template, self.prefix)
        self.previous = os.environ.get("WINEPREFIX")
        os.environ["WINEPREFIX"] = str(self.prefix)
        self.previous_dll, _registered_dll = _registered_dll, Path(dll)
        try:
            start_session(self.prefix)
        except BaseException:
            self.close()
            raise

    def close(self):
        global _registered_dll
        end_session(self.prefix)
        if self.previous is None:
            os.environ.pop("WINEPREFIX", None)
        else:
            os.environ["WINEPREFIX"] = self.previous
        _registered_dll = self.previous_dll
        shutil.rmtree(self.folder, ignore_errors=True)


def isolated():
    """Whether this run hands out copies of a template prefix."""
    return bool(os.environ.get(TEMPLATE_ENV))


def fresh_prefix(test, dll=DEFAULT_DLL, setup=()):
    """Gives one test a prefix of its own for its duration, copied from the
    run's template (with `dll` registered and `setup` run). Without a
    template (a bare CTest run) the test keeps the process's prefix."""
    if not isolated():
        return False
    session = WineSession(template_prefix(dll, setup), dll)
    test.addCleanup(session.close)
    return True


def start_bank_server(test, packer):
    """A local bank server for one test on a fresh tree folder, stopped and
    removed after the test; returns the folder, the server and its ServerTree.

    In a run with a run folder the server listens on one of the run's ports
    (one test at a time holds each), so that a tree built for that address
    and the same inputs is built once a run and copied for each test."""
    from tools.bankserver.bankserver import BankServer
    root = Path(tempfile.mkdtemp(prefix="tovral-bank-"))
    test.addCleanup(shutil.rmtree, root, True)
    slot = _PortSlot.take()
    server = None
    if slot is not None:
        try:
            server = BankServer(root, port=slot.port).start()
            test.addCleanup(slot.release)
        except OSError:  # someone else's now: this test builds its own tree
            slot.release(forget_port=True)
            slot = None
    if server is None:
        server = BankServer(root).start()
    test.addCleanup(server.stop)
    cache = _run_folder() / "bank-trees" if slot is not None else None
    return root, server, _cached_tree_class()(root, server.url, packer, cache=cache)


class _PortSlot:
    """One of the run's bank server ports, held through a file lock. A process
    keeps the ports it took until it ends and serves its next tests from the
    same one, so a test with the inputs of an earlier one gets its tree (whose
    files name the server's address) from the cache."""

    _held = []  # this process's slots; in_use while a test's server listens on one

    def __init__(self, file, port):
        self.file, self.port, self.in_use = file, port, True

    @classmethod
    def take(cls):
        for slot in cls._held:
            if not slot.in_use:
                slot.in_use = True
                return slot
        slot = cls._take_free()
        if slot is not None:
            cls._held.append(slot)
        return slot

    @classmethod
    def _take_free(cls):
        run = _run_folder()
        if run is None:
            return None
        folder = run / "bank-ports"
        folder.mkdir(parents=True, exist_ok=True)
        for number in range(256):
            file = open(folder / f"{number}.lock", "a+")
            try:
                fcntl.flock(file, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                file.close()
                continue
            file.seek(0)
            text = file.read().strip()
            if not text:
                text = str(_free_port())
                file.write(text + "\n")
                file.flush()
            return cls(file, int(text))
        return None

    def release(self, forget_port=False):
        """Frees the slot for this process's next test; with forget_port (the
        port turned out to be someone else's) gives it up for good."""
        self.in_use = False
        if not forget_port or self.file.closed:
            return
        self.file.truncate(0)
        fcntl.flock(self.file, fcntl.LOCK_UN)
        self.file.close()
        self._held.remove(self)


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


_UNKNOWN = object()


def _tree_inputs(value):
    """Everything a tree's files depend on, as JSON; _UNKNOWN when something
    cannot be written down (then the tree is built, not cached)."""
    if isinstance(value, (str, int, float, bool)) or value is None:
        return value
    if isinstance(value, Path):
        return str(value)
    if isinstance(value, (list, tuple)):
        items = [_tree_inputs(v) for v in value]
        return _UNKNOWN if any(i is _UNKNOWN for i in items) else items
    if isinstance(value, dict):
        items = {str(k): _tree_inputs(v) for k, v in value.items()}
        return _UNKNOWN if any(i is _UNKNOWN for i in items.values()) else items
    if hasattr(value, "__dict__") and not callable(value):
        described = _tree_inputs({k: v for k, v in vars(value).items() if k != "root"})
        if described is _UNKNOWN:
            return _UNKNOWN
        return {"type": f"{type(value).__module__}.{type(value).__qualname__}", **described}
    return _UNKNOWN


@functools.cache
def _cached_tree_class():
    from tools.bankserver.server_tree import Packer, ServerTree

    class CachedServerTree(ServerTree):
        """A ServerTree whose first build comes from the run's cache of
        trees built for the same inputs (address, texts, versions, keys...);
        later builds, and trees with files added before their first build,
        are built as always."""

        def __init__(self, *args, cache=None, **kwargs):
            super().__init__(*args, **kwargs)
            self._cache = cache
            if cache is not None and type(self.packer) is Packer:
                self.packer = _CachingPacker(self.packer, cache.parent / "packer-output")

        def build(self):
            key = self._cache_key()
            if key is None:
                return super().build()
            entry = self._cache / key
            if not entry.exists():
                self._fill(entry)
            shutil.copytree(entry / "tree", self.root, dirs_exist_ok=True)
            return json.loads((entry / "entries.json").read_text(encoding="utf-8"))

        def _cache_key(self):
            if self._cache is None or any(self.root.iterdir()):
                return None
            fields = _tree_inputs({k: v for k, v in vars(self).items()
                                   if k not in ("root", "_cache")})
            if fields is _UNKNOWN:
                return None
            return hashlib.sha256(json.dumps(fields, sort_keys=True).encode()).hexdigest()[:24]

        def _fill(self, entry):
            entry.parent.mkdir(parents=True, exist_ok=True)
            work = Path(tempfile.mkdtemp(prefix="making-", dir=entry.parent))
            try:
                tree = ServerTree.__new__(ServerTree)
                tree.__dict__.update({k: v for k, v in vars(self).items() if k != "_cache"})
                tree.root = work / "tree"
                tree.root.mkdir()
                entries = tree.build()
                (work / "entries.json").write_text(json.dumps(entries), encoding="utf-8")
                os.rename(work, entry)  # another test may have been first: keep its copy
            except OSError:
                if not entry.exists():
                    raise
            finally:
                shutil.rmtree(work, ignore_errors=True)

    return CachedServerTree


class _CachingPacker:
    """A packer whose output for one text, encoding and pair of keys is made
    once a run: most of a test tree's files are the sample texts as they are,
    whatever the server's address, and each encryption is a Wine program.
    Files already encrypted are signed, verified and decrypted as always."""

    def __init__(self, packer, cache):
        self._packer, self._cache = packer, cache

    def __getattr__(self, name):
        if name.startswith("_"):  # not the wrapped packer's (nor before __init__)
            raise AttributeError(name)
        return getattr(self._packer, name)

    def encrypt(self, source, target, encoding="utf8"):
        self.encrypt_many([(source, target)], encoding)

    def encrypt_many(self, pairs, encoding="utf8"):
        """Copies each target from the cache, the missing entries made first
        by one packer start."""
        pairs = [(Path(source), Path(target)) for source, target in pairs]
        entries = [self._cache / self._key(source, encoding) for source, _ in pairs]
        missing = {entry: source for entry, (source, _) in zip(entries, pairs)
                   if not entry.exists()}
        if missing:
            self._fill(missing, encoding)
        for entry, (_, target) in zip(entries, pairs):
            signature = target.with_name(target.name + ".sig")
            shutil.copyfile(entry / "out", target)
            if (entry / "out.sig").exists():
                shutil.copyfile(entry / "out.sig", signature)
            else:  # as the packer does without a signing key: no stale signature
                signature.unlink(missing_ok=True)

    def _key(self, source, encoding):
        packer = self._packer
        facts = packer.exe.stat()
        parts = [hashlib.sha256(source.read_bytes()).hexdigest(), encoding,
                 hashlib.sha256(packer.key.read_bytes()).hexdigest(),
                 (hashlib.sha256(packer.signing_key.read_bytes()).hexdigest()
                  if packer.signing_key else None),
                 str(packer.exe), facts.st_size, facts.st_mtime_ns]
        return hashlib.sha256(json.dumps(parts).encode()).hexdigest()[:24]

    def _fill(self, missing, encoding):
        """Makes each entry of {entry: source} in a folder of its own, renamed into place."""
        self._cache.mkdir(parents=True, exist_ok=True)
        works = {}
        try:
            for entry in missing:
                works[entry] = Path(tempfile.mkdtemp(prefix="making-", dir=self._cache))
            self._packer.encrypt_many([(source, works[entry] / "out")
                                       for entry, source in missing.items()], encoding)
            for entry, work in works.items():
                try:
                    os.rename(work, entry)
                except OSError:  # another test was first: keep its copy
                    if not entry.exists():
                        raise
        finally:
            for work in works.values():
                shutil.rmtree(work, ignore_errors=True)


def _display_failure(result):
    """Why the page host ended before the page printed anything, when the
    display was the cause; else None. The host could not make its window
    (its own exit code 70), or Wine ended it because a thread of it could not
    connect to the display (1, with Wine's diagnostic)."""
    if result.returncode == 70 and "cannot create the host window" in result.stderr:
        return "the page host could not create its window"
    if (result.returncode == 1 and not result.stdout
            and "x11drv: Can't open display" in result.stderr):
        return "Wine could not connect the page host to the display"
    return None


class ClientFolder:
    """A client application folder: a copy of the page host beside its
    Quellmark.exe.config, as the bank's client application is installed."""

    def __init__(self, root_url="http://127.0.0.1:9/bank", config_text=None):
        self.path = Path(tempfile.mkdtemp(prefix="tovral-client-"))
        shutil.copy2(BUILD_DIR / "TovralHost.exe", self.path / "TovralHost.exe")
        if config_text is None and root_url is not None:
            config_text = ('<?xml version="1.0" encoding="utf-8"?>\n<configuration>\n'
                           f'  <RootUrl Value="{root_url}"/>\n</configuration>\n')
        if config_text is not None:
            (self.path / "Quellmark.exe.config").write_text(config_text, encoding="utf-8")

    def add_sample_client(self):
        """The installed client application and the availability library that
        the sample catalogue names (checks\\CheckOk.dll)."""
        shutil.copy2(SAMPLES_DIR / "BankClient.exe", self.path)
        (self.path / "checks").mkdir(exist_ok=True)
        shutil.copy2(SAMPLES_DIR / "CheckOk.dll", self.path / "checks" / "CheckOk.dll")
        return self

    def run_page(self, page, args=(), env=None, timeout=120):
        """Runs a page script (a Path, or the script text itself) in the page host."""
        if isinstance(page, Path):
            script = page
        else:
            script = self.path / "page.js"
            script.write_text(page, encoding="utf-8")
        command = [self.path / "TovralHost.exe", to_windows(script), *args]
        for attempt in range(1, WINE_START_TRIES + 1):
            result = wine(command, env=env, timeout=timeout)
            reason = _display_failure(result)
            if reason is None:
                return result
            print(f"{reason} (try {attempt})", file=sys.stderr)
            time.sleep(attempt)
        return result

    def windows_path(self):
        return to_windows(self.path)

    def close(self):
        shutil.rmtree(self.path, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class PageTestCase(unittest.TestCase):
    """Base of the page-script tests: the control registered, a fresh data
    folder for every test, and a client folder the test can replace. A class
    may register another build of the control (control_dll); the default one
    is registered again after it."""

    control_dll = DEFAULT_DLL

    @classmethod
    def setUpClass(cls):
        if cls.control_dll != DEFAULT_DLL:
            cls.addClassCleanup(ensure_registered)
        rc = ensure_registered(cls.control_dll)
        if rc != 0:
            raise RuntimeError(f"regsvr32 failed with {rc}")

    def setUp(self):
        reset_data_folder()
        self.client = ClientFolder()
        self.addCleanup(lambda: self.client.close())

    def use_client(self, client):
        """Replaces the test's client folder (the one replaced is removed)."""
        self.client.close()
        self.client = client
        return client

    def run_page(self, page, *args, **kwargs):
        return self.client.run_page(page, *args, **kwargs)

    def assertPageOk(self, result, msg=None):
        if result.returncode != 0 and msg is None:
            msg = (f"page failed:\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
                   f"{crash_records()}")
        self.assertEqual(result.returncode, 0, msg)


def crash_records():
    """The control's crash log, if a page crashed: the filter ends the process
    with 1 and prints nothing, so without it such a failure says nothing."""
    path = data_folder() / "VeyrantLog" / "BankVeyrant_Exception.log"
    if not path.exists():
        return "\n(no crash log)"
    return "\ncrash log:\n" + path.read_bytes().decode("gbk", errors="replace")


def reg(*args):
    return wine(["reg", *args])


_ROOT_NAMES = {"HKCR": "HKEY_CLASSES_ROOT", "HKCU": "HKEY_CURRENT_USER",
               "HKLM": "HKEY_LOCAL_MACHINE", "HKU": "HKEY_USERS"}


def _full_key_name(key):
    root, _, rest = key.partition("\\")
    return "\\".join(filter(None, [_ROOT_NAMES.get(root.upper(), root), rest]))


def _reg_file_text(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_edit(set_values=None, remove=()):
    """Several registry changes by one start of regedit: removes the keys
    `remove` (with their subkeys), then creates each key of `set_values`
    ({key: {value name, "" for the default: text}}) with those text values."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    lines += [f"[-{_full_key_name(key)}]" for key in remove]
    for key, values in (set_values or {}).items():
        lines.append(f"[{_full_key_name(key)}]")
        lines += [f"{_reg_file_text(name) if name else '@'}={_reg_file_text(text)}"
                  for name, text in values.items()]
    with tempfile.TemporaryDirectory(prefix="tovral-reg-") as folder:
        changes = Path(folder) / "changes.reg"
        changes.write_text("\r\n".join(lines + [""]), encoding="utf-16")
        result = wine(["regedit", "/s", to_windows(changes)])
    if result.returncode != 0:
        raise AssertionError(f"regedit failed ({result.returncode}): "
                             f"{(result.stdout + result.stderr).strip()}")


def reg_values(key):
    """{name: (type, data)} of one key's values, read with reg.exe; None when
    the key is missing. Columns are four blanks apart, so names may hold one."""
    result = reg("query", key)
    if result.returncode != 0:
        return None
    found = {}
    for line in result.stdout.splitlines():
        if line.startswith("    "):
            parts = line[4:].split("    ")
            found[parts[0]] = (parts[1], parts[2] if len(parts) > 2 else "")
    return found


def _parse_reg_query(lines):
    """{"KEY\\SUB": {"(Default)": "text", "Name": "text"}} from lines laid out
    as "reg query KEY /s" prints them."""
    keys, current = {}, None
    for line in lines:
        if line.startswith("HKEY_"):
            current = keys.setdefault(line.strip(), {})
        elif current is not None and line.startswith("    "):
            parts = line.strip().split(None, 2)
            if len(parts) >= 2:
                current[parts[0]] = parts[2] if len(parts) == 3 else ""
        else:
            current = None
    return keys


def reg_query(key):
    """Every subkey of `key` (itself included) with its values, read with
    Wine's reg.exe: {"KEY\\SUB": {"(Default)": "text", "Name": "text"}}.
    Empty when the key does not exist; any other failure of reg.exe raises,
    so it never passes for a missing key."""
    result = wine(["reg", "query", key, "/s"])
    if result.returncode != 0:
        if result.returncode == 1 and "unable to find" in (result.stdout + result.stderr).lower():
            return {}
        raise AssertionError(f"reg query {key} failed ({result.returncode}): "
                             f"{(result.stdout + result.stderr).strip()}")
    return _parse_reg_query(result.stdout.splitlines())


REGISTRY_PROBE = BUILD_DIR / "tests" / "e2e" / "probes" / "registry_probe.exe"


def reg_query_keys(keys):
    """reg_query() of several keys merged, read by one program start (its
    "## KEY" and "(missing)" lines are no part of reg.exe's layout)."""
    result = wine([REGISTRY_PROBE, *keys])
    if result.returncode != 0:
        raise AssertionError(f"registry_probe failed ({result.returncode}): "
                             f"{(result.stdout + result.stderr).strip()}")
    return _parse_reg_query(result.stdout.splitlines())


# A small assertion kit for page scripts: check() ends the page with exit
# code 1 and the reason, so a failing page shows what went wrong.
PAGE_PRELUDE = r"""
function check(ok, what) { if (!ok) { host.echo("FAIL: " + what); host.exit(1); } }
function same(actual, expected, what) {
  check(actual === expected, what + ": got [" + actual + "] expected [" + expected + "]");
}
"""


# Pages that read trace lines run with the Chinese ANSI code page, so the
# trace log keeps its Chinese text (code page 936).
CHINESE_ANSI = {"LC_ALL": "zh_CN.UTF-8"}


def trace_texts():
    """The trace log's texts without their time prefix, decoded from code page 936."""
    path = data_folder() / "VeyrantLog" / "VeyrantTrace.log"
    if not path.exists():
        return []
    texts = []
    for line in path.read_bytes().decode("gbk", errors="replace").split("\n"):
        if line:
            # "时间：YYYY-MM-DD hh:mm:ss " is 3 + 19 + 1 characters.
            texts.append(line[23:] if line.startswith("时间：") else line)
    return texts


def clear_trace():
    (data_folder() / "VeyrantLog" / "VeyrantTrace.log").unlink(missing_ok=True)


def write_user_settings(text):
    """Writes the data folder's Default.cfg."""
    settings = data_folder() / "VeyrantSetting"
    settings.mkdir(parents=True, exist_ok=True)
    (settings / "Default.cfg").write_text(text, encoding="utf-8")
