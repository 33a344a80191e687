"""Real frozen launchers, made with PyInstaller (one-file executables) and,
when it is installed, cx_Freeze.

`frozen_launchers` (session) freezes two builds of a launcher: the old one,
which imports updater and runs an update, and the new one, which only says it
started; the old one a second time with cx_Freeze. Freezing takes several
seconds per build, so the builds are made once and kept under build/frozen/,
keyed by a hash of everything that goes into them: this file, the updater
extension under test (each bundle carries a copy), the hook, the freezers and
the interpreter. The builds are frozen side by side.

Both builds append one JSON line per start to starts.jsonl beside their own
executable: version, pid, sys.frozen, sys.executable and the bundle's unpack
directory; the old build adds get_exe_dir() and TK_AVAILABLE as the running
module sees them.
"""
import hashlib
import importlib.metadata
import json
import os
import runpy
import shutil
import subprocess
import sys
import tempfile

import pytest

import updater

__all__ = ["frozen_launchers", "FrozenLaunchers", "read_starts", "hook_path"]

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(REPO, "build", "frozen")
KEEP = 4  # cached sets kept, most recently used first
STARTS = "starts.jsonl"

RECORD = '''
import json, os, sys

def record(version, **extra):
    entry = {"version": version, "pid": os.getpid(), "frozen": getattr(sys, "frozen", None),
             "executable": sys.executable, "meipass": getattr(sys, "_MEIPASS", None), **extra}
    with open(os.path.join(os.path.dirname(sys.executable), "starts.jsonl"), "a") as f:
        f.write(json.dumps(entry) + "\\n")
'''

# launcher-old URL [--console] [--patches]: one update from URL, on the console and
# through a patch when asked.
OLD = RECORD + '''
import updater

record("old", exe_dir=updater.get_exe_dir(), tk=updater.TK_AVAILABLE)
updater.UPDATE_URL = sys.argv[1]
if "--console" in sys.argv[2:]:
    updater.TK_AVAILABLE = False
if "--patches" in sys.argv[2:]:
    updater.UPDATE_PATCHES = True
updater.UpdaterGUI()
'''

NEW = RECORD + '''
record("new")
'''


def read_starts(directory):
    """The entries starts.jsonl holds in `directory`, oldest first."""
    try:
        with open(os.path.join(directory, STARTS)) as f:
            return [json.loads(line) for line in f.read().splitlines()]
    except FileNotFoundError:
        return []


def _digest(*parts):
    h = hashlib.sha256()
    for part in parts:
        h.update(part if isinstance(part, bytes) else str(part).encode())
        h.update(b"\0")
    return h.hexdigest()[:16]


def hook_path():
    """hook-updater.py, found as PyInstaller finds it: through the entry point
    the installed package registers."""
    entry_points = importlib.metadata.distribution("updater").entry_points
    (entry,) = entry_points.select(group="pyinstaller40", name="hook-dirs")
    (hook_dir,) = entry.load()()
    return os.path.join(hook_dir, "hook-updater.py")


class FrozenLaunchers:
    """`old` and `new`: the two one-file builds frozen with PyInstaller;
    `cx_freeze`: a directory holding the old build frozen with cx_Freeze as
    QuelbaLauncher.exe beside its lib/ (None without cx_Freeze)."""

    def __init__(self, entry, cx_freeze):
        self.old = os.path.join(entry, "launcher-old")
        self.new = os.path.join(entry, "launcher-new")
        self.cx_freeze = os.path.join(entry, "cx_freeze") if cx_freeze else None

    def bytes(self, which):
        with open(getattr(self, which), "rb") as f:
            return f.read()


def _version(distribution):
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return None


def _pyinstaller(name, script, work, module_dir):
    return [sys.executable, "-m", "PyInstaller", "--onefile", "--strip", "--noconfirm",
            "--log-level", "WARN", "--name", name, "--paths", module_dir,
            "--distpath", os.path.join(work, "dist"),
            "--workpath", os.path.join(work, "build", name),
            "--specpath", os.path.join(work, "build", name), script]


def _cx_freeze(script, work):
    """cx_Freeze has no hooks from other packages: it is given the modules the
    README lists for it, which are those of the hook."""
    imports = runpy.run_path(hook_path())["hiddenimports"]
    includes = [m for m in imports if not m.startswith("tkinter")]
    command = [sys.executable, "-m", "cx_Freeze", "build_exe", "--script", script,
               "--target-name", "QuelbaLauncher.exe", "--includes", ",".join(includes),
               "--build-exe", os.path.join(work, "dist", "cx_freeze"), "--silent"]
    if "tkinter" in imports:
        command += ["--packages", "tkinter"]
    return command


def _freeze(with_cx_freeze):
    """Freezes the builds side by side into a new cache entry; returns its path."""
    os.makedirs(CACHE, exist_ok=True)
    work = tempfile.mkdtemp(prefix="freezing-", dir=CACHE)
    module_dir = os.path.dirname(os.path.abspath(updater.__file__))
    scripts = {}
    for name, source in {"launcher-old": OLD, "launcher-new": NEW}.items():
        scripts[name] = os.path.join(work, name + ".py")
        with open(scripts[name], "w") as f:
            f.write(source)
    commands = {name: _pyinstaller(name, script, work, module_dir)
                for name, script in scripts.items()}
    if with_cx_freeze:
        commands["cx_freeze"] = _cx_freeze(scripts["launcher-old"], work)
    # The freezers only read the extension; under the sanitizers they need not run
    # with their runtimes preloaded, which makes them several times slower.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    env["PYTHONPATH"] = module_dir
    procs = []
    for name, command in commands.items():
        log = open(os.path.join(work, name + ".log"), "w+")
        procs.append((name, log, subprocess.Popen(command, cwd=work, env=env, stdout=log,
                                                  stderr=subprocess.STDOUT)))
    failed = []
    for name, log, proc in procs:
        status = proc.wait(timeout=600)
        log.seek(0)
        if status != 0:
            failed.append(f"{commands[name][2]} exit {status} making {name}:\n{log.read()}")
        log.close()
    if failed:
        shutil.rmtree(work, ignore_errors=True)
        raise RuntimeError("\n".join(failed))
    return work


def _prune():
    entries = [os.path.join(CACHE, e) for e in os.listdir(CACHE) if not e.startswith("freezing-")]
    entries.sort(key=os.path.getmtime, reverse=True)
    for stale in entries[KEEP:]:
        shutil.rmtree(stale, ignore_errors=True)


@pytest.fixture(scope="session")
def frozen_launchers():
    with open(updater.__file__, "rb") as f:
        extension = f.read()
    with open(hook_path(), "rb") as f:
        hook = f.read()
    cx_freeze = _version("cx_Freeze")
    with open(__file__, "rb") as f:
        recipe = f.read()  # the builds' sources and the freezers' options
    key = _digest(recipe, extension, hook, _version("pyinstaller"), cx_freeze, sys.version,
                  os.path.realpath(sys.executable))
    entry = os.path.join(CACHE, key)
    if not os.path.isdir(entry):
        work = _freeze(cx_freeze is not None)
        try:
            os.rename(os.path.join(work, "dist"), entry)
        except OSError:
            if not os.path.isdir(entry):  # not a peer session that got there first
                raise
        shutil.rmtree(work, ignore_errors=True)
    os.utime(entry)
    _prune()
    return FrozenLaunchers(entry, cx_freeze is not None)
