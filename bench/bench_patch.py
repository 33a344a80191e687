"""Bytes moved, time to updated and CPU to apply of an update through a patch.

Two pairs of consecutive releases, made once and kept in build/bench-patch/:

- frozen: a pure-Python command-line program from PyPI (sqlparse's `sqlformat`),
  each release installed with `pip --target` into the same directory and frozen
  with `pyinstaller --onefile` (PYTHONHASHSEED=0, a fixed SOURCE_DATE_EPOCH), so
  that the two builds differ only where the releases do;
- native: the executable of a native command-line tool taken from its manylinux
  wheels (ruff).

Each pair gets its patch from updater-release's make_patch, as a publisher's
release makes it. nginx
serves both pairs over HTTPS on loopback (throwaway CA): the new build at
<pair>/QuelbaLauncher.exe and its patch beside it in QuelbaLauncher.exe.patches/,
once at full speed and once throttled with limit_rate. For each pair the run
prints, with UPDATE_PATCHES on against off (the full download, measured in the
same run):

1. bytes moved per update: what the client sent and received over its socket
   (TLS included; a relay on loopback in front of nginx counts it) and the
   requests with nginx's $bytes_sent; and what a launcher with no patch
   published for it moves (a 404, then the full build);
2. time to updated on the throttled link: download_new_exe_with_progress and
   replace_and_run, whose start of the new launcher is a stand-in that records
   the call; the order rotates between rounds, after a warm-up round;
3. CPU to apply: the module's process time for the patched download from the
   full-speed server, against the user + system time of
   `zstd -d --long=31 --patch-from=OLD PATCH -o OUT` on the same patch; with
   hashlib's SHA-256 of the installed launcher and backports.zstd applying the
   patch in memory beside them, to show where the time goes;
4. peak memory: the growth of the resident set's high-water mark (VmHWM) of a
   fresh interpreter over one download, patched against full, beside the sizes
   of the old and the new build (the decoder's window is at most the new build).

    .venv/bin/python bench/bench_patch.py [--path BUILD_DIR] [--runs N] [--rate RATE]
"""
import argparse
import hashlib
import importlib.metadata
import os
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import types
import urllib.request
import zipfile

import updater_release
from bench_download import free_port, no_op

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(ROOT, "build", "bench-patch")
LAUNCHER = "QuelbaLauncher.exe"

FROZEN = ("sqlparse", "0.6.0", "0.6.1")
FROZEN_SCRIPT = "import sys\nfrom sqlparse.cli import main\nsys.exit(main())\n"
NATIVE = ("ruff", "0.17.5", "0.17.6")
NATIVE_PLATFORM = "manylinux_2_17_x86_64"
SOURCE_DATE_EPOCH = "1700000000"

GOAL_BYTES = 0.02   # frozen pair: the patched update moves at most 2% of the full one
GOAL_TIME = 0.05    # frozen pair: the patched update takes at most 5% of the full one's time
GOAL_CPU = 1.5      # the module applies a patch in at most 1.5 times zstd's CPU time
REQUEST_SLACK = 4096


# ---------------------------------------------------------------------------
# The pairs


class Pair:
    def __init__(self, name, label, directory):
        self.name = name
        self.label = label
        self.old = os.path.join(directory, "old")
        self.new = os.path.join(directory, "new")
        with open(self.old, "rb") as f:
            self.old_digest = hashlib.sha256(f.read()).hexdigest()
        with open(self.new, "rb") as f:
            self.new_digest = hashlib.sha256(f.read()).hexdigest()
        self.patch = os.path.join(directory, "new.patches", self.old_digest + ".zst")
        self.old_size = os.path.getsize(self.old)
        self.new_size = os.path.getsize(self.new)
        self.patch_size = os.path.getsize(self.patch)


def run(command, **kwargs):
    """Runs a command quietly; on failure, exits with its output."""
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        raise SystemExit(f"bench: {' '.join(command)} failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    return done.stdout


def cached(directory, make):
    """The pair kept in `directory`, made with make(work) there first when missing:
    make writes `old` and `new` into `work`, and the patch is made here."""
    if not os.path.isfile(os.path.join(directory, "new.patches", "done")):
        os.makedirs(CACHE, exist_ok=True)
        work = tempfile.mkdtemp(prefix="making-", dir=CACHE)
        try:
            make(work)
            # The publisher's own patch: <new>.patches/<sha256 of old>.zst
            with open(os.path.join(work, "old"), "rb") as f:
                old = f.read()
            with open(os.path.join(work, "new"), "rb") as f:
                patch = updater_release.make_patch(old, f.read())
            os.makedirs(os.path.join(work, "new.patches"))
            with open(os.path.join(work, "new.patches", hashlib.sha256(old).hexdigest() + ".zst"), "wb") as f:
                f.write(patch)
            print(f"bench: patch made by updater-release: {len(patch):,} bytes")
            open(os.path.join(work, "new.patches", "done"), "w").close()
            shutil.rmtree(directory, ignore_errors=True)
            os.rename(work, directory)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    return directory


def frozen_pair():
    name, old_version, new_version = FROZEN
    key = hashlib.sha256("\0".join([
        FROZEN_SCRIPT, SOURCE_DATE_EPOCH, importlib.metadata.version("pyinstaller"), sys.version,
        os.path.realpath(sys.executable)]).encode()).hexdigest()[:12]
    directory = os.path.join(CACHE, f"frozen-{name}-{old_version}-{new_version}-{key}")

    def make(work):
        print(f"bench: freezing {name} {old_version} and {new_version} with PyInstaller"
              f" (once: kept in {os.path.relpath(directory, ROOT)})")
        script = os.path.join(work, "sqlformat.py")
        with open(script, "w") as f:
            f.write(FROZEN_SCRIPT)
        env = dict(os.environ, PYTHONHASHSEED="0", SOURCE_DATE_EPOCH=SOURCE_DATE_EPOCH)
        app = os.path.join(work, "app")
        # Both releases go through the same paths, so that nothing in the builds
        # tells them apart but the releases themselves.
        for which, version in (("old", old_version), ("new", new_version)):
            shutil.rmtree(app, ignore_errors=True)
            shutil.rmtree(os.path.join(work, "freeze"), ignore_errors=True)
            run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--no-compile",
                 "--target", app, f"{name}=={version}"])
            run([sys.executable, "-m", "PyInstaller", "--onefile", "--noconfirm", "--log-level", "WARN",
                 "--name", "sqlformat", "--paths", app, "--distpath", os.path.join(work, "freeze", "dist"),
                 "--workpath", os.path.join(work, "freeze", "build"),
                 "--specpath", os.path.join(work, "freeze", "build"), script], cwd=work, env=env)
            os.rename(os.path.join(work, "freeze", "dist", "sqlformat"), os.path.join(work, which))
        shutil.rmtree(app)
        shutil.rmtree(os.path.join(work, "freeze"))

    cached(directory, make)
    return Pair("frozen", f"{name} {old_version} -> {new_version}, frozen by PyInstaller --onefile", directory)


def native_pair():
    name, old_version, new_version = NATIVE
    directory = os.path.join(CACHE, f"native-{name}-{old_version}-{new_version}")

    def make(work):
        print(f"bench: fetching {name} {old_version} and {new_version} ({NATIVE_PLATFORM} wheels)")
        for which, version in (("old", old_version), ("new", new_version)):
            wheels = os.path.join(work, "wheels-" + which)
            run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--only-binary=:all:",
                 "--platform", NATIVE_PLATFORM, "--python-version", "3.12", "-d", wheels,
                 f"{name}=={version}"])
            (wheel,) = os.listdir(wheels)
            with zipfile.ZipFile(os.path.join(wheels, wheel)) as z:
                with open(os.path.join(work, which), "wb") as f:
                    f.write(z.read(f"{name}-{version}.data/scripts/{name}"))
            shutil.rmtree(wheels)

    cached(directory, make)
    return Pair("native", f"{name} {old_version} -> {new_version}, native executable from the wheels",
                directory)


# ---------------------------------------------------------------------------
# nginx, and a relay that counts what crosses the client's socket


NGINX_CONF = """
daemon off;
worker_processes 1;
pid {root}/nginx.pid;
error_log {root}/error.log warn;
events {{ worker_connections 64; }}
http {{
    log_format moved '$server_port "$request" $status $bytes_sent $request_length';
    access_log {root}/access.log moved;
    client_body_temp_path {root}/tmp;
    proxy_temp_path {root}/tmp;
    fastcgi_temp_path {root}/tmp;
    uwsgi_temp_path {root}/tmp;
    scgi_temp_path {root}/tmp;
    sendfile on;
    ssl_certificate {root}/server.pem;
    ssl_certificate_key {root}/server.key;
    server {{
        listen 127.0.0.1:{fast} ssl;
        root {root}/www;
    }}
    server {{
        listen 127.0.0.1:{slow} ssl;
        root {root}/www;
        limit_rate {rate};
    }}
}}
"""


class Server:
    """nginx serving each pair's new build and patch, at full speed on `fast` and
    at `rate` bytes per second on `slow`."""

    def __init__(self, root, pairs, rate):
        import trustme

        self.root = root
        os.makedirs(os.path.join(root, "tmp"))
        for pair in pairs:
            patches = os.path.join(root, "www", pair.name, LAUNCHER + ".patches")
            os.makedirs(patches)
            shutil.copyfile(pair.new, os.path.join(root, "www", pair.name, LAUNCHER))
            shutil.copyfile(pair.patch, os.path.join(patches, os.path.basename(pair.patch)))
        ca = trustme.CA()
        self.ca_file = os.path.join(root, "ca.pem")
        ca.cert_pem.write_to_path(self.ca_file)
        cert = ca.issue_cert("127.0.0.1")
        cert.private_key_pem.write_to_path(os.path.join(root, "server.key"))
        cert.cert_chain_pems[0].write_to_path(os.path.join(root, "server.pem"))
        self.fast, self.slow = free_port(), free_port()
        self.log = os.path.join(root, "access.log")
        conf = os.path.join(root, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(root=root, fast=self.fast, slow=self.slow, rate=rate))
        binary = shutil.which("nginx") or "/usr/sbin/nginx"
        self.proc = subprocess.Popen([binary, "-p", root, "-e", os.path.join(root, "error.log"), "-c", conf])
        deadline = time.monotonic() + 10
        for port in (self.fast, self.slow):
            while True:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    if self.proc.poll() is not None or time.monotonic() > deadline:
                        raise SystemExit("nginx did not start: " + open(os.path.join(root, "error.log")).read())
                    time.sleep(0.05)
        self._read = 0

    def requests(self):
        """The requests logged since the last call: (port, request line, status,
        bytes sent, request length)."""
        with open(self.log) as f:
            f.seek(self._read)
            lines = f.readlines()
            self._read = f.tell()
        logged = []
        for line in lines:
            port, rest = line.split(" ", 1)
            request, rest = rest[1:].split('" ')
            status, sent, length = rest.split()
            logged.append((int(port), request, int(status), int(sent), int(length)))
        return logged

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class CountingRelay:
    """A TCP relay on loopback that forwards each connection to `port` and counts
    the bytes each way: what the client's socket sends and receives, TLS records
    and handshakes included."""

    def __init__(self, port):
        self.target = port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.changed = threading.Condition()
        self.up = self.down = self.connections = self.pumping = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", self.target))
            ends = [client, upstream]
            with self.changed:
                self.connections += 1
                self.pumping += 2
            threading.Thread(target=self._pump, args=(client, upstream, "up", ends), daemon=True).start()
            threading.Thread(target=self._pump, args=(upstream, client, "down", ends), daemon=True).start()

    def _pump(self, source, sink, way, ends):
        try:
            while data := source.recv(65536):
                sink.sendall(data)
                with self.changed:
                    setattr(self, way, getattr(self, way) + len(data))
        except OSError:
            pass
        try:
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        with self.changed:
            ends.append(way)
            if len(ends) == 4:  # both ways done
                for end in ends[:2]:
                    end.close()
            self.pumping -= 1
            self.changed.notify_all()

    def take(self):
        """(bytes up, bytes down, connections) since the last call, once every
        connection has closed."""
        with self.changed:
            if not self.changed.wait_for(lambda: self.pumping == 0, timeout=10):
                raise SystemExit("bench: a connection through the relay did not close")
            counts = self.up, self.down, self.connections
            self.up = self.down = self.connections = 0
        return counts

    def close(self):
        self.listener.close()


# ---------------------------------------------------------------------------
# Updates


class StartRecorder:
    """Stands in for `updater.subprocess`: Popen records the launcher it was
    asked to start instead of starting it; everything else is the real module."""

    def __init__(self):
        self.started = []

    def Popen(self, *args, **kwargs):
        self.started.append(args[0])

    def __getattr__(self, name):
        return getattr(subprocess, name)


class Install:
    """An install directory, set up afresh with a pair's old build before each
    update."""

    def __init__(self, updater, path):
        self.updater = updater
        self.path = path
        self.launcher = os.path.join(path, LAUNCHER)
        os.makedirs(path)
        updater.__file__ = os.path.join(path, "updater.so")
        self.recorder = StartRecorder()
        updater.subprocess = self.recorder

    def reset(self, old):
        for name in os.listdir(self.path):
            os.remove(os.path.join(self.path, name))
        shutil.copyfile(old, self.launcher)
        os.chmod(self.launcher, 0o755)
        os.sync()  # neither variant pays for the copy's writeback

    def download(self, url, patches):
        self.updater.UPDATE_URL = url
        self.updater.UPDATE_PATCHES = patches
        path = self.updater.download_new_exe_with_progress(no_op)
        if path is None:
            raise SystemExit(f"bench: the download from {url} failed (patches {'on' if patches else 'off'})")
        return path

    def update(self, url, patches):
        self.updater.replace_and_run(self.download(url, patches))

    def check(self, pair):
        with open(self.launcher, "rb") as f:
            if hashlib.sha256(f.read()).hexdigest() != pair.new_digest:
                raise SystemExit(f"bench: the {pair.name} update did not install the new build")


def used_patch(requests):
    return any(".patches/" in request and status == 200 for _, request, status, _, _ in requests)


def url(port, pair):
    return f"https://127.0.0.1:{port}/{pair.name}/{LAUNCHER}"


def bytes_moved(install, server, relay, pair):
    """{variant: (bytes up, bytes down, connections, requests)} through the relay."""
    moved = {}
    unpatched = os.path.join(os.path.dirname(install.path), "unpatched-" + pair.name)
    with open(pair.old, "rb") as f:
        old = f.read()
    with open(unpatched, "wb") as f:
        f.write(old + b"\0")  # a launcher that no patch was made for
    for variant, old_build, patches in (("full", pair.old, False), ("patch", pair.old, True),
                                        ("miss", unpatched, True)):
        install.reset(old_build)
        server.requests()
        install.update(url(relay.port, pair), patches)
        install.check(pair)
        up, down, connections = relay.take()
        moved[variant] = (up, down, connections, server.requests())
    os.remove(unpatched)
    return moved


def time_to_updated(install, server, pair, runs):
    """Seconds per update with patches off and on, from the throttled server; one
    sample of each per round, the order alternating, after a warm-up round.
    Returns (the medians, the median of the per-round ratios patch / full, whether
    every patched update took the patch)."""
    variants = (("full", False), ("patch", True))
    rounds, patched = [], True
    for round_ in range(runs + 1):
        sample = {}
        for name, patches in variants[round_ % 2:] + variants[:round_ % 2]:
            install.reset(pair.old)
            server.requests()
            start = time.perf_counter()
            install.update(url(server.slow, pair), patches)
            sample[name] = time.perf_counter() - start
            install.check(pair)
            if patches:
                patched = patched and used_patch(server.requests())
        if round_:
            rounds.append(sample)
    median = {name: statistics.median(r[name] for r in rounds) for name, _ in variants}
    return median, statistics.median(r["patch"] / r["full"] for r in rounds), patched


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def python_apply(pair, out):
    """CPU seconds of (hashlib's SHA-256 of the old build read from its file,
    backports.zstd applying the patch in 64 KiB pieces into `out`), or None
    without backports.zstd."""
    try:
        from backports.zstd import DecompressionParameter, ZstdDecompressor, ZstdDict
    except ImportError:
        return None
    start = time.process_time()
    with open(pair.old, "rb") as f:
        hashlib.file_digest(f, "sha256")
    hashed = time.process_time()
    with open(pair.old, "rb") as f:
        prefix = ZstdDict(f.read(), is_raw=True).as_prefix
    applier = ZstdDecompressor(zstd_dict=prefix, options={DecompressionParameter.window_log_max: 31})
    with open(pair.patch, "rb") as patch, open(out, "wb") as f:
        while piece := patch.read(65536):
            f.write(applier.decompress(piece))
    applied = time.process_time()
    os.remove(out)
    return hashed - start, applied - hashed


def cpu_to_apply(install, server, pair, runs):
    """Median CPU seconds of the module's patched and full downloads from the
    full-speed server, of zstd applying the patch, and of the Python parts; and
    the median of the per-round ratios module / zstd."""
    out = os.path.join(os.path.dirname(install.path), "zstd-out")
    zstd = ["zstd", "-d", "-q", "-f", "--long=31", f"--patch-from={pair.old}", pair.patch, "-o", out]
    rounds, patched = [], True
    for round_ in range(runs + 1):
        sample = {}
        for name, patches in (("module", True), ("module_full", False)):
            install.reset(pair.old)
            server.requests()
            start = time.process_time()
            install.download(url(server.fast, pair), patches)
            sample[name] = time.process_time() - start
            if patches:
                patched = patched and used_patch(server.requests())
        start = children_cpu()
        subprocess.run(zstd, check=True)
        sample["zstd"] = children_cpu() - start
        os.remove(out)
        python = python_apply(pair, out)
        if python:
            sample["sha256"], sample["zstd_py"] = python
        if round_:
            rounds.append(sample)
    median = {name: statistics.median(r[name] for r in rounds) for name in rounds[0]}
    return median, statistics.median(r["module"] / r["zstd"] for r in rounds), patched


MEMORY_CHILD = """
import sys
sys.path[:0] = sys.argv[4:]
import updater
from backports import zstd  # loaded before the baseline, as the module loads it

def high_water():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))

updater.__file__, updater.UPDATE_URL, updater.UPDATE_PATCHES = sys.argv[1], sys.argv[2], sys.argv[3] == "on"
base = high_water()
if updater.download_new_exe_with_progress(lambda *report: None) is None:
    sys.exit("the download failed")
print(high_water() - base)
"""


def peak_memory(install, server, pair, paths):
    """KiB the high-water mark of a fresh interpreter grows by over one download,
    {"full": ..., "patch": ...}."""
    grown = {}
    for variant, patches in (("full", "off"), ("patch", "on")):
        install.reset(pair.old)
        server.requests()
        done = subprocess.run([sys.executable, "-c", MEMORY_CHILD, install.updater.__file__,
                               url(server.fast, pair), patches, *paths],
                              capture_output=True, text=True, check=True)
        if patches == "on" and not used_patch(server.requests()):
            raise SystemExit(f"bench: the {pair.name} memory run took no patch")
        grown[variant] = int(done.stdout)
    return grown


# ---------------------------------------------------------------------------
# Report


def size(n):
    for unit, scale in (("MB", 1e6), ("kB", 1e3)):
        if n >= scale:
            return f"{n / scale:.1f} {unit}"
    return f"{n} B"


def verdict(value, goal):
    return "met" if value <= goal else "NOT met"


def report_bytes(pair, moved):
    full_down = moved["full"][1]
    print(f"\n{pair.name}: {pair.label}")
    print(f"  old build {pair.old_size:,} bytes, new build {pair.new_size:,} bytes, "
          f"patch {pair.patch_size:,} bytes ({100 * pair.patch_size / pair.new_size:.2f}% of the new build)")
    print("  bytes moved per update (client socket, TLS included; requests as nginx logged them):")
    labels = {"full": "patches off", "patch": "patches on", "miss": "patches on, none for this build"}
    for variant, label in labels.items():
        up, down, connections, requests = moved[variant]
        print(f"    {label:32} received {down:>11,}  sent {up:>6,}  ({connections} connection"
              f"{'s' if connections != 1 else ''}, {100 * down / full_down:.2f}% of the full download)")
        for _, request, status, sent, length in requests:
            print(f"      {request}: {status}, $bytes_sent {sent:,}, $request_length {length}")
    if not used_patch(moved["patch"][3]):
        print("    the module asked for no patch: this build of it does not know UPDATE_PATCHES")
        return
    up, down, _, requests = moved["patch"]
    over = up + down - pair.patch_size
    http = sum(sent + length for _, _, _, sent, length in requests) - pair.patch_size
    print(f"    patches on: {up + down:,} bytes both ways = the patch + {over:,}"
          f" (HTTP requests and headers {http:,}, TLS handshake and record framing {over - http:,})")
    print(f"    the patch plus at most {REQUEST_SLACK:,} bytes of HTTP: {verdict(http, REQUEST_SLACK)}")
    if pair.name == "frozen":
        ratio = (up + down) / sum(moved["full"][:2])
        print(f"    patches on / off, both ways = {ratio:.4f}   (goal <= {GOAL_BYTES}: {verdict(ratio, GOAL_BYTES)})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", help="a build directory whose module is measured")
    parser.add_argument("--runs", type=int, default=5, help="rounds of each timed measure")
    parser.add_argument("--rate", default="3m", help="nginx limit_rate of the throttled link (default 3m: 3 MiB/s)")
    args = parser.parse_args()
    if shutil.which("zstd") is None:
        raise SystemExit("bench: the zstd command is needed (tools/setup-system installs it)")
    paths = [os.path.dirname(os.path.abspath(__file__))]
    if args.path:
        paths.insert(0, os.path.abspath(args.path))
    sys.path[:0] = paths
    import updater

    pairs = [frozen_pair(), native_pair()]
    root = tempfile.mkdtemp(prefix="bench-patch-")
    os.chmod(root, 0o755)  # nginx's workers may run as nobody
    server = Server(os.path.join(root, "nginx"), pairs, args.rate)
    relay = CountingRelay(server.fast)
    os.environ["SSL_CERT_FILE"] = server.ca_file
    urllib.request.install_opener(None)
    install = Install(updater, os.path.join(root, "install"))
    try:
        print(f"module: {updater.__spec__.origin}")
        print(f"python: {sys.version.split()[0]}, {os.cpu_count()} CPUs; "
              f"{run(['zstd', '--version']).strip()}")

        print("\n== Bytes moved")
        for pair in pairs:
            report_bytes(pair, bytes_moved(install, server, relay, pair))

        print(f"\n== Time to updated: download_new_exe_with_progress + replace_and_run from nginx "
              f"at limit_rate {args.rate}, median of {args.runs} rounds")
        for pair in pairs:
            median, ratio, patched = time_to_updated(install, server, pair, args.runs)
            goal = f"   (goal <= {GOAL_TIME}: {verdict(ratio, GOAL_TIME)})" if pair.name == "frozen" else ""
            print(f"  {pair.name:7} patches off {median['full']:8.3f} s   patches on {median['patch']:7.3f} s"
                  f"   on / off = {ratio:.4f}" + (goal if patched else "   (no patch was taken)"))

        print(f"\n== CPU to apply: user + system time, full-speed server, median of {args.runs} rounds")
        for pair in pairs:
            median, ratio, patched = cpu_to_apply(install, server, pair, args.runs)
            print(f"  {pair.name}: module, patched download {1e3 * median['module']:7.1f} ms"
                  + ("" if patched else "  (no patch was taken)"))
            goal = f"   (goal <= {GOAL_CPU}: {verdict(ratio, GOAL_CPU)})" if patched else ""
            print(f"  {' ' * len(pair.name)}  zstd -d --patch-from      {1e3 * median['zstd']:7.1f} ms"
                  f"   module / zstd = {ratio:.3f}{goal}")
            print(f"  {' ' * len(pair.name)}  module, full download     {1e3 * median['module_full']:7.1f} ms")
            if "sha256" in median:
                print(f"  {' ' * len(pair.name)}  in Python: SHA-256 of the old build {1e3 * median['sha256']:.1f} ms,"
                      f" backports.zstd applying the patch {1e3 * median['zstd_py']:.1f} ms")
                rest = median["module"] - median["sha256"]
                print(f"  {' ' * len(pair.name)}  module without that SHA-256 {1e3 * rest:.1f} ms"
                      f" = {rest / median['zstd']:.3f} x zstd (zstd is handed the old build: it hashes nothing)")

        print("\n== Peak memory: growth of VmHWM over one download, in a fresh interpreter")
        for pair in pairs:
            grown = peak_memory(install, server, pair, paths)
            print(f"  {pair.name:7} patches off {grown['full'] / 1024:6.1f} MiB   patches on {grown['patch'] / 1024:6.1f} MiB"
                  f"   (old build {pair.old_size / 2**20:.1f} MiB + new build {pair.new_size / 2**20:.1f} MiB"
                  f" = {(pair.old_size + pair.new_size) / 2**20:.1f} MiB)")
    finally:
        relay.close()
        server.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
