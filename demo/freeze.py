"""Freezes the demo's launcher builds with PyInstaller into one-file
executables (or one-dir builds, each executable beside a contents folder named
for its build), once: they are kept under build/demo-frozen/ (build/demo-frozen-windows/
for the Windows builds, frozen by the Windows CPython under Wine: run as a
script, this prints where the builds are as JSON), keyed by a hash of
everything that goes into them (the scripts, the options below, the updater
extension the bundle carries, its PyInstaller hook, PyInstaller and the
interpreter).

The freeze is reproducible (a fixed hash seed and SOURCE_DATE_EPOCH): the same
inputs give the same bytes, and two builds differ only where their inputs do,
which is what keeps a patch between them small."""
import hashlib
import importlib.metadata
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINDOWS = sys.platform == "win32"
CACHE = os.path.join(ROOT, "build", "demo-frozen-windows" if WINDOWS else "demo-frozen")
EXE = ".exe" if WINDOWS else ""  # what PyInstaller appends to a build's name
TOOL = "PyInstaller"
KEEP = 2  # cached sets kept, most recently used first
REPRODUCIBLE = {"PYTHONHASHSEED": "0", "SOURCE_DATE_EPOCH": "1700000000"}


def tool_version():
    return importlib.metadata.version("pyinstaller")


def _extension(paths):
    """The updater extension file that a build with these extra paths bundles."""
    saved = sys.path[:]
    sys.path[:0] = paths
    try:
        spec = importlib.util.find_spec("updater")
    finally:
        sys.path[:] = saved
    if spec is None or not spec.origin:
        raise RuntimeError("the updater extension is not installed (run `make demo`)")
    return spec.origin


def _hook():
    entry_points = importlib.metadata.distribution("updater").entry_points
    (entry,) = entry_points.select(group="pyinstaller40", name="hook-dirs")
    (hook_dir,) = entry.load()()
    return os.path.join(hook_dir, "hook-updater.py")


def _key(scripts, paths, contents):
    h = hashlib.sha256(json.dumps(contents, sort_keys=True).encode())
    for part in (tool_version(), sys.version, os.path.realpath(sys.executable)):
        h.update(part.encode() + b"\0")
    for path in [__file__, *scripts.values(), _extension(paths), _hook()]:
        with open(path, "rb") as f:
            h.update(f.read() + b"\0")
    return h.hexdigest()[:16]


def freeze(scripts, paths=(), announce=print, contents=None):
    """Freezes {name: script} side by side, saying so through `announce` first;
    returns ({name: executable}, the seconds spent freezing, or None when the
    builds came from the cache). With `contents` ({name: folder name}) each is a
    one-dir build: the executable <name>/<name> beside its contents folder."""
    entry = os.path.join(CACHE, _key(scripts, paths, contents))
    made = {name: os.path.join(entry, *([name] if contents else []), name + EXE) for name in scripts}
    if os.path.isdir(entry):
        os.utime(entry)
        return made, None
    announce(f"freezing {', '.join(scripts)} with {TOOL} {tool_version()}"
             f" (once: the builds are kept in {os.path.relpath(CACHE)})")
    os.makedirs(CACHE, exist_ok=True)
    work = tempfile.mkdtemp(prefix="freezing-", dir=CACHE)
    started = time.monotonic()
    procs = []
    env = dict(os.environ, **REPRODUCIBLE)
    for name, script in scripts.items():
        log = open(os.path.join(work, name + ".log"), "w+")
        layout = ["--onedir", "--contents-directory", contents[name]] if contents else ["--onefile"]
        command = [sys.executable, "-m", "PyInstaller", *layout, "--strip", "--noconfirm",
                   "--log-level", "WARN", "--name", name,
                   "--distpath", os.path.join(work, "dist"),
                   "--workpath", os.path.join(work, "build", name),
                   "--specpath", os.path.join(work, "build", name)]
        for path in paths:
            command += ["--paths", os.path.abspath(path)]
        # Each freezer that runs at once has a cache of its own: PyInstaller's
        # shared one is not safe against another process writing it.
        own = dict(env, PYINSTALLER_CONFIG_DIR=os.path.join(work, "config-" + name))
        procs.append((name, log, subprocess.Popen(command + [script], cwd=work, env=own, stdout=log,
                                                  stderr=subprocess.STDOUT)))
    failed = []
    for name, log, proc in procs:
        status = proc.wait()
        log.seek(0)
        if status != 0:
            failed.append(f"{TOOL} exit {status} freezing {name}:\n{log.read()}")
        log.close()
    if failed:
        shutil.rmtree(work, ignore_errors=True)
        raise RuntimeError("\n".join(failed))
    seconds = time.monotonic() - started
    try:
        os.rename(os.path.join(work, "dist"), entry)
    except OSError:
        if not os.path.isdir(entry):
            raise
    shutil.rmtree(work, ignore_errors=True)
    _prune()
    return made, seconds


def _prune():
    kept = [os.path.join(CACHE, e) for e in os.listdir(CACHE) if not e.startswith("freezing-")]
    kept.sort(key=os.path.getmtime, reverse=True)
    for stale in kept[KEEP:]:
        shutil.rmtree(stale, ignore_errors=True)


if __name__ == "__main__":
    # freeze.py NAME=SCRIPT...: freezes the builds with this interpreter (or finds
    # them); prints {"builds": {name: executable}, "seconds": ..., "version": ...}.
    named = dict(arg.split("=", 1) for arg in sys.argv[1:])
    made, took = freeze(named, announce=lambda line: print("demo: " + line, file=sys.stderr, flush=True))
    print(json.dumps({"builds": made, "seconds": took, "version": tool_version()}))
