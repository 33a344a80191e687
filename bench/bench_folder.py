"""Updates of a folder launcher: what travels and how long it takes.

The four real one-dir builds of the test suite (tests/onedir_fixtures.py, frozen
once and kept in build/frozen/): b1 -> b2 changes the code only, b2 -> b3 one data
file, b3 -> b4 adds a dependency (sqlite3: an extension module and its library).
Each is released in turn with `updater-release`, signed with a throwaway minisign
key, into one release directory (so that each build gets the patch from the one
before); a copy of public/ is taken after each release, and the demo's release
server (HTTPS on loopback, throwaway CA) serves it, counting the body bytes it
sends per path.

The module is driven in-process as a folder launcher drives it: sys.frozen,
sys.executable (the install's QuelbaLauncher.exe) and sys._MEIPASS (its contents
folder) set, UPDATE_URL, UPDATE_PATCHES and UPDATE_PUBLIC_KEY set, then
download_new_exe_with_progress and replace_and_run, with `updater.subprocess` a
stand-in that records the start. Every update is checked: the new executable in
place and its contents folder holding the build's files.

For each pair, printed:

- the bytes the server sent, by kind, against the new build's folder (executable
  and contents), against the full download of the same program frozen as one file,
  and against the baseline: the same update from an install whose contents folder
  is empty, so that every file of the new folder is downloaded;
- the time to updated (the download and the swap), the update against that
  baseline, one sample of each per round in alternating order after a warm-up
  round, the ratio the median of the per-round ratios; at full speed on loopback
  and at a throttled rate;
- the time of the local copies: from the progress report that the build is in
  until the download call returns (the build checked against the manifest, the
  folder made: its files copied from the old folder, the rest downloaded, all
  synced, one rename; for the code-only pair every file is copied), against a plain shutil.copytree of the old
  folder, and a copytree that then fsyncs every file and folder as the module
  does, measured in the same round.

    make bench-folder                        # or:
    .venv/bin/python bench/bench_folder.py [--runs N] [--rate BYTES_PER_S] [--slow-runs N]
"""
import argparse
import hashlib
import importlib.metadata
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(ROOT, "tests"), os.path.join(ROOT, "demo"), os.path.dirname(os.path.abspath(__file__))]

import updater  # noqa: E402
import onedir_fixtures  # noqa: E402
from bench_patch import StartRecorder  # noqa: E402
from release_server import BUILD_PATH, RELEASE_PATH, ReleaseServer  # noqa: E402

CACHE = os.path.join(ROOT, "build", "bench-folder")
LAUNCHER = "QuelbaLauncher.exe"
PAIRS = (("b1", "b2", "code only"), ("b2", "b3", "one data file"), ("b3", "b4", "a new dependency"))
UNLIMITED = 1 << 40


def run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        raise SystemExit(f"bench: {' '.join(command)} failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    return done.stdout


def size(n):
    for unit, scale in (("MB", 1e6), ("kB", 1e3)):
        if n >= scale:
            return f"{n / scale:.2f} {unit}"
    return f"{n} B"


def tree_size(path):
    total = 0
    for folder, _, names in os.walk(path):
        for name in names:
            full = os.path.join(folder, name)
            if not os.path.islink(full):
                total += os.path.getsize(full)
    return total


def tree_digest(path):
    """{relative path: sha256 or ("link", target)} of a folder."""
    out = {}
    for folder, _, names in os.walk(path):
        for name in names:
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, path)
            if os.path.islink(full):
                out[rel] = ("link", os.readlink(full))
            else:
                with open(full, "rb") as f:
                    out[rel] = hashlib.file_digest(f, "sha256").hexdigest()
    return out


# ---------------------------------------------------------------------------
# The builds


def onefile_builds(builds):
    """The same programs frozen as one file (b2, b3, b4), made once and kept in
    build/bench-folder/<key>/: {tag: path}."""
    key = hashlib.sha256("\0".join([os.path.basename(builds.root), importlib.metadata.version("pyinstaller"),
                                    "--onefile --add-data motd.txt:data"]).encode()).hexdigest()[:16]
    entry = os.path.join(CACHE, key)
    tags = [new for _, new, _ in PAIRS]
    if not os.path.isdir(entry):
        print("bench: freezing the one-file builds for comparison (once)", flush=True)
        os.makedirs(CACHE, exist_ok=True)
        work = tempfile.mkdtemp(prefix="freezing-", dir=CACHE)
        module_dir = os.path.dirname(os.path.abspath(updater.__file__))
        procs = []
        for tag in tags:
            os.makedirs(os.path.join(work, tag))
            with open(os.path.join(work, tag, "launcher.py"), "w") as f:
                f.write(onedir_fixtures.script(tag))
            with open(os.path.join(work, tag, "motd.txt"), "w") as f:
                f.write(onedir_fixtures.MOTD[tag])
            command = [sys.executable, "-m", "PyInstaller", "--onefile", "--noconfirm", "--log-level", "WARN",
                       "--name", tag, "--paths", module_dir,
                       "--add-data", f"{os.path.join(work, tag, 'motd.txt')}:data",
                       "--distpath", os.path.join(work, "dist"), "--workpath", os.path.join(work, "build", tag),
                       "--specpath", os.path.join(work, tag), os.path.join(work, tag, "launcher.py")]
            env = dict(os.environ, PYINSTALLER_CONFIG_DIR=os.path.join(work, "config-" + tag))
            procs.append(subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE))
        for proc in procs:
            _, err = proc.communicate()
            if proc.returncode:
                raise SystemExit(f"bench: PyInstaller failed:\n{err.decode()}")
        os.rename(os.path.join(work, "dist"), entry)
        shutil.rmtree(work, ignore_errors=True)
    return {tag: os.path.join(entry, tag) for tag in tags}


def release_all(builds, root):
    """Releases b1..b4 in turn, signed; returns ({tag: copy of public/}, public key)."""
    keys = os.path.join(root, "keys")
    os.makedirs(keys)
    run(["minisign", "-G", "-W", "-p", f"{keys}/k.pub", "-s", f"{keys}/k.key"])
    with open(f"{keys}/k.pub") as f:
        public_key = f.read().splitlines()[1]
    release = os.path.join(root, "release")
    published = {}
    for tag in onedir_fixtures.TAGS:
        run([sys.executable, "-m", "updater_release", builds.path(tag), release,
             "--secret-key", f"{keys}/k.key", "--public-key", f"{keys}/k.pub"])
        published[tag] = os.path.join(root, "public-" + tag)
        shutil.copytree(os.path.join(release, "public"), published[tag], symlinks=True)
    return published, public_key


# ---------------------------------------------------------------------------
# Updates


class Install:
    """An install directory holding build `tag`, made afresh for each update, and
    the host made its folder launcher. With `empty`, its contents folder is an
    empty folder of the same name: nothing can be copied, every file travels."""

    def __init__(self, builds, path, public_key):
        self.builds, self.path = builds, path
        self.launcher = os.path.join(path, LAUNCHER)
        self.recorder = StartRecorder()
        updater.subprocess = self.recorder
        updater.UPDATE_PATCHES = True
        updater.UPDATE_PUBLIC_KEY = public_key
        sys.frozen = True
        sys.executable = self.launcher
        self.reports = []

    def reset(self, tag, empty=False):
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(self.path)
        contents = os.path.join(self.path, self.builds.contents(tag))
        if empty:
            os.mkdir(contents)
        else:
            shutil.copytree(os.path.join(self.builds.path(tag), self.builds.contents(tag)), contents, symlinks=True)
        shutil.copy2(self.builds.exe(tag), self.launcher)
        sys._MEIPASS = contents
        os.sync()  # neither variant pays for the copy's writeback

    def progress(self, percent, speed, known, downloaded):
        self.reports.append((time.perf_counter(), downloaded))

    def update(self, url, build_size):
        """Seconds (the whole update, from the report that the build of
        `build_size` bytes is in to the download's return: the folder made)."""
        updater.UPDATE_URL = url
        self.reports.clear()
        start = time.perf_counter()
        path = updater.download_new_exe_with_progress(self.progress)
        downloaded = time.perf_counter()
        if path is None:
            raise SystemExit(f"bench: the update from {url} failed")
        updater.replace_and_run(path)
        built = next(t for t, n in self.reports if n >= build_size)
        return time.perf_counter() - start, downloaded - built

    def check(self, tag, expected):
        with open(self.launcher, "rb") as f, open(self.builds.exe(tag), "rb") as g:
            if f.read() != g.read():
                raise SystemExit(f"bench: the update did not install {tag}'s executable")
        if tree_digest(os.path.join(self.path, self.builds.contents(tag))) != expected:
            raise SystemExit(f"bench: the update did not make {tag}'s contents folder")


def synced_copytree(source, target):
    shutil.copytree(source, target, symlinks=True)
    for folder, _, names in os.walk(target, topdown=False):
        for name in names:
            full = os.path.join(folder, name)
            if not os.path.islink(full):
                fd = os.open(full, os.O_RDONLY)
                os.fsync(fd)
                os.close(fd)
        fd = os.open(folder, os.O_RDONLY)
        os.fsync(fd)
        os.close(fd)


def kind(path):
    if ".files/" in path:
        return "files"
    if path.endswith(".contents") or path.endswith(".contents.minisig"):
        return "manifest"
    if ".patches/" in path:
        return "patch"
    if path == BUILD_PATH:
        return "build"
    return "signature"


def serve(server, public, rate):
    """The running server made to serve the tree `public` at `rate` (one server
    for the whole run: the client keeps the CA it first trusted)."""
    files = {}
    for folder, _, names in os.walk(public):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                files[RELEASE_PATH + os.path.relpath(os.path.join(folder, name), public)] = f.read()
    server.files, server.body, server.rate = files, files[BUILD_PATH], rate
    server.sent.clear()
    server.log.clear()


def bytes_moved(install, server, public, old, new, expected):
    """{variant: {kind: bytes}, plus "requests": count} for one update of each."""
    moved = {}
    for variant, empty in (("update", False), ("baseline", True)):
        serve(server, public, UNLIMITED)
        install.reset(old, empty)
        install.update(server.url, os.path.getsize(install.builds.exe(new)))
        install.check(new, expected)
        by_kind = {}
        for path, n in server.sent.items():
            by_kind[kind(path)] = by_kind.get(kind(path), 0) + n
        by_kind["requests"] = sum(1 for line in server.log if '"GET ' in line)
        moved[variant] = by_kind
    return moved


def timed(install, server, public, old, new, expected, rate, runs, copies):
    """Medians of {variant: seconds}, the per-round ratio update / baseline, and
    the folder phase against the copytrees when `copies`."""
    rounds = []
    serve(server, public, rate)
    variants = [("update", False), ("baseline", True)]
    for round_ in range(runs + 1):
        sample = {}
        for name, empty in variants[round_ % 2:] + variants[:round_ % 2]:
            install.reset(old, empty)
            sample[name], phase = install.update(server.url, os.path.getsize(install.builds.exe(new)))
            install.check(new, expected)
            if name == "update":
                sample["folder"] = phase
        if copies:
            source = os.path.join(install.builds.path(old), install.builds.contents(old))
            for name, copy in (("copytree", lambda s, t: shutil.copytree(s, t, symlinks=True)),
                               ("copytree_synced", synced_copytree)):
                target = install.path + "-copy"
                os.sync()
                start = time.perf_counter()
                copy(source, target)
                sample[name] = time.perf_counter() - start
                shutil.rmtree(target)
        if round_:
            rounds.append(sample)
    median = {name: statistics.median(r[name] for r in rounds) for name in rounds[0]}
    ratio = statistics.median(r["update"] / r["baseline"] for r in rounds)
    return median, ratio, rounds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7, help="rounds at full speed (default 7)")
    parser.add_argument("--rate", type=int, default=3 * 2**20, help="the throttled rate, bytes/s (default 3 MiB/s)")
    parser.add_argument("--slow-runs", type=int, default=3, help="rounds at the throttled rate (default 3)")
    args = parser.parse_args()
    if shutil.which("minisign") is None:
        raise SystemExit("bench: the minisign tool is needed (tools/setup-system installs it)")

    print("bench: the one-dir builds (frozen once, kept in build/frozen/)", flush=True)
    builds = onedir_fixtures.onedir_builds.__wrapped__()
    onefile = onefile_builds(builds)
    root = tempfile.mkdtemp(prefix="bench-folder-")
    ca_file = os.path.join(root, "ca.pem")
    os.environ["SSL_CERT_FILE"] = ca_file
    try:
        published, public_key = release_all(builds, root)
        install = Install(builds, os.path.join(root, "install"), public_key)
        server = ReleaseServer(published["b1"], UNLIMITED, ca_file).__enter__()
        print(f"module: {updater.__spec__.origin}")
        print(f"python: {sys.version.split()[0]}, {os.cpu_count()} CPUs; PyInstaller "
              f"{importlib.metadata.version('pyinstaller')}; the install in {root}")
        for old, new, what in PAIRS:
            expected = tree_digest(os.path.join(builds.path(new), builds.contents(new)))
            exe = os.path.getsize(builds.exe(new))
            contents = tree_size(os.path.join(builds.path(new), builds.contents(new)))
            folder = exe + contents
            print(f"\n== {old} -> {new}: {what}; the new build: executable {size(exe)} + "
                  f"{builds.contents(new)}/ {size(contents)} ({len(expected)} entries) = {size(folder)}; "
                  f"as one file {size(os.path.getsize(onefile[new]))}")
            moved = bytes_moved(install, server, published[new], old, new, expected)
            for variant in ("update", "baseline"):
                m = moved[variant]
                total = sum(v for k, v in m.items() if k != "requests")
                parts = ", ".join(f"{k} {v:,}" for k, v in sorted(m.items()) if k != "requests")
                print(f"  bytes sent, {variant:8}: {total:>11,} ({m['requests']} requests: {parts})")
                print(f"      = {100 * total / folder:.3f}% of the folder, "
                      f"{100 * total / os.path.getsize(onefile[new]):.3f}% of the one-file build")
            ratio_bytes = (sum(v for k, v in moved["update"].items() if k != "requests")
                           / sum(v for k, v in moved["baseline"].items() if k != "requests"))
            print(f"  update / baseline bytes: {ratio_bytes:.4f}")
            median, ratio, _ = timed(install, server, published[new], old, new, expected, UNLIMITED,
                                     args.runs, True)
            print(f"  time to updated, full speed, median of {args.runs}: update {1e3 * median['update']:.1f} ms,"
                  f" baseline {1e3 * median['baseline']:.1f} ms, update / baseline {ratio:.3f}")
            print(f"  the folder made (from the build's last report): {1e3 * median['folder']:.1f} ms;"
                  f" copytree {1e3 * median['copytree']:.1f} ms ({median['folder'] / median['copytree']:.2f} x),"
                  f" copytree + fsync {1e3 * median['copytree_synced']:.1f} ms"
                  f" ({median['folder'] / median['copytree_synced']:.2f} x)")
            slow, slow_ratio, _ = timed(install, server, published[new], old, new, expected, args.rate,
                                        args.slow_runs, False)
            print(f"  time to updated at {args.rate / 2**20:.1f} MiB/s, median of {args.slow_runs}:"
                  f" update {1e3 * slow['update']:.1f} ms, baseline {1e3 * slow['baseline']:.1f} ms,"
                  f" update / baseline {slow_ratio:.3f}")
        server.__exit__()
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
