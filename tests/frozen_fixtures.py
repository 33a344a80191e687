"""Real frozen launchers, made with PyInstaller (one-file executables) and,
when it is installed, cx_Freeze.

`frozen_launchers` (session) freezes two builds of a launcher: the old one,
which imports updater and runs an update, and the new one, which only says it
started; the old one a second time with cx_Freeze, and on Windows a third time
as a windowed program (--noconsole, where sys.stdout and sys.stderr are None).
Freezing takes several seconds per build (a minute under Wine), so the builds
are made once and kept under build/frozen/<platform>-<version>/, keyed by a
hash of everything that goes into them: this file, the updater extension under
test (each bundle carries a copy), the hook, the freezers, the platform and the
interpreter. The builds are frozen side by side.

Both builds append one JSON line per start to starts.jsonl beside their own
executable: version, pid, sys.frozen, sys.executable, the bundle's unpack
directory and whether the standard streams are missing; the old build adds
get_exe_dir() and TK_AVAILABLE as the running module sees them. Once it has
swapped, the old build writes the modules it loaded after the swap began to
swapped.json beside its install directory.

`make_patch` and `Publisher` make what a publisher serves beside a build: a
patch from an older build, as updater-release makes it, and a signature, made
in Python so that it is made inside Wine too.
"""
import base64
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
import updater_release

__all__ = ["frozen_launchers", "FrozenLaunchers", "read_starts", "hook_path", "make_patch",
           "Publisher"]

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# One directory per platform and version, so that each prunes only its own sets.
CACHE = os.path.join(REPO, "build", "frozen", f"{sys.platform}-{sys.version_info[0]}.{sys.version_info[1]}")
KEEP = 4  # cached sets kept, most recently used first
STARTS = "starts.jsonl"
WINDOWS = sys.platform == "win32"
EXE = ".exe" if WINDOWS else ""  # what PyInstaller appends to a build's name

RECORD = '''
import json, os, sys

def record(version, **extra):
    entry = {"version": version, "pid": os.getpid(), "frozen": getattr(sys, "frozen", None),
             "executable": sys.executable, "meipass": getattr(sys, "_MEIPASS", None),
             "no_streams": [sys.stdout is None, sys.stderr is None], **extra}
    with open(os.path.join(os.path.dirname(sys.executable), "starts.jsonl"), "a") as f:
        f.write(json.dumps(entry) + "\\n")
'''

# launcher-old URL [--console] [--patches] [--public-key KEY]: one update from URL,
# on the console, through a patch and of builds signed by KEY only when asked.
# Once the swap has begun its own file may hold the new build: it writes the
# modules loaded since then with what it imported up front.
OLD = RECORD + '''
import updater

record("old", exe_dir=updater.get_exe_dir(), tk=updater.TK_AVAILABLE)
updater.UPDATE_URL = sys.argv[1]
options = sys.argv[2:]
if "--console" in options:
    updater.TK_AVAILABLE = False
if "--patches" in options:
    updater.UPDATE_PATCHES = True
if "--public-key" in options:
    updater.UPDATE_PUBLIC_KEY = options[options.index("--public-key") + 1]
swap, before = updater.replace_and_run, []
updater.replace_and_run = lambda path: before.extend(sys.modules) or swap(path)
try:
    updater.UpdaterGUI()
finally:
    if before:
        with open(os.path.join(os.path.dirname(os.path.dirname(sys.executable)), "swapped.json"), "w") as f:
            f.write(json.dumps(sorted(set(sys.modules) - set(before))))
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
    `windowed`: the old build frozen with --noconsole (None but on Windows);
    `cx_freeze`: a directory holding the old build frozen with cx_Freeze as
    QuelbaLauncher.exe beside its lib/ (None without cx_Freeze)."""

    def __init__(self, entry, cx_freeze):
        self.old = os.path.join(entry, "launcher-old" + EXE)
        self.new = os.path.join(entry, "launcher-new" + EXE)
        self.windowed = os.path.join(entry, "launcher-windowed" + EXE) if WINDOWS else None
        self.cx_freeze = os.path.join(entry, "cx_freeze") if cx_freeze else None

    def bytes(self, which):
        with open(getattr(self, which), "rb") as f:
            return f.read()


def _version(distribution):
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return None


def _pyinstaller(name, script, work, module_dir, *options):
    return [sys.executable, "-m", "PyInstaller", "--onefile", "--strip", "--noconfirm", *options,
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
    if WINDOWS:
        commands["launcher-windowed"] = _pyinstaller("launcher-windowed", scripts["launcher-old"],
                                                     work, module_dir, "--noconsole")
    if with_cx_freeze:
        commands["cx_freeze"] = _cx_freeze(scripts["launcher-old"], work)
    # The freezers only read the extension; under the sanitizers they need not run
    # with their runtimes preloaded, which makes them several times slower.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    env["PYTHONPATH"] = module_dir
    procs = []
    for name, command in commands.items():
        log = open(os.path.join(work, name + ".log"), "w+")
        # Freezers that run at once each get a cache of their own: PyInstaller's
        # shared one is not safe against another process writing it.
        own = dict(env, PYINSTALLER_CONFIG_DIR=os.path.join(work, "config-" + name))
        procs.append((name, log, subprocess.Popen(command, cwd=work, env=own, stdout=log,
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


def cached(cache, key, freeze, keep):
    """The entry `key` of the cache directory `cache`, made by `freeze()` (a work
    directory whose dist/ becomes the entry) when missing; the least recently
    used entries beyond `keep` are removed."""
    entry = os.path.join(cache, key)
    if not os.path.isdir(entry):
        work = freeze()
        try:
            os.rename(os.path.join(work, "dist"), entry)
        except OSError:
            if not os.path.isdir(entry):  # not a peer session that got there first
                raise
        shutil.rmtree(work, ignore_errors=True)
    os.utime(entry)
    entries = [os.path.join(cache, e) for e in os.listdir(cache) if not e.startswith("freezing-")]
    entries.sort(key=os.path.getmtime, reverse=True)
    for stale in entries[keep:]:
        shutil.rmtree(stale, ignore_errors=True)
    return entry


@pytest.fixture(scope="session")
def frozen_launchers():
    with open(updater.__file__, "rb") as f:
        extension = f.read()
    with open(hook_path(), "rb") as f:
        hook = f.read()
    cx_freeze = _version("cx_Freeze")
    with open(__file__, "rb") as f:
        recipe = f.read()  # the builds' sources and the freezers' options
    key = _digest(recipe, extension, hook, _version("pyinstaller"), cx_freeze, sys.platform,
                  sys.version, os.path.realpath(sys.executable))
    entry = cached(CACHE, key, lambda: _freeze(cx_freeze is not None), KEEP)
    return FrozenLaunchers(entry, cx_freeze is not None)


def make_patch(new, old, out):
    """Writes the patch that turns the build at `old` into the one at `new` into
    directory `out`, named as a launcher asks for it, as updater-release makes
    it; returns its path."""
    with open(old, "rb") as f:
        prefix = f.read()
    with open(new, "rb") as f:
        frame = updater_release.make_patch(prefix, f.read())
    os.makedirs(out, exist_ok=True)
    path = os.path.join(out, hashlib.sha256(prefix).hexdigest() + ".zst")
    with open(path, "wb") as f:
        f.write(frame)
    return path


class Publisher:
    """A throwaway Ed25519 key, and signature files in minisign's format
    (prehashed: the signature of the file's BLAKE2b-512, then the global
    signature of it and the trusted comment). Made with cryptography, which
    runs where the minisign tool cannot; test_signature_crypto checks the
    module against the tool's own files."""

    def __init__(self):
        from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
        from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

        self._key = Ed25519PrivateKey.generate()
        self._id = os.urandom(8)
        raw = self._key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
        self.public_key = base64.b64encode(b"Ed" + self._id + raw).decode()

    def sign(self, body, comment="timestamp:1700000000\tfile:QuelbaLauncher.exe\thashed"):
        signature = self._key.sign(hashlib.blake2b(body).digest())
        global_signature = self._key.sign(signature + comment.encode())
        return (f"untrusted comment: signature from a throwaway test key\n"
                f"{base64.b64encode(b'ED' + self._id + signature).decode()}\n"
                f"trusted comment: {comment}\n"
                f"{base64.b64encode(global_signature).decode()}\n").encode()
