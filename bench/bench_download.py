"""Throughput, CPU per chunk and memory of download_new_exe_with_progress.

One run starts nginx on a free loopback port with a temporary configuration and a
certificate from a throwaway CA (trustme), serving a 256 MiB and a 1 GiB file over
HTTPS, and prints:

1. throughput of the module with a no-op callback, of the same loop written in
   plain Python with urllib (same request, chunk size, callback and file), and of
   curl into the same file and into /dev/null (the network and TLS alone), as
   ratios; the order rotates between rounds, and each ratio is the median of the
   per-round ratios;
2. CPU time per chunk with the network taken out: `updater.urllib` (and the
   Python loop's `urllib`) rebound to a stand-in whose response hands out ready
   chunks from memory, the download file on tmpfs: 64 KiB chunks, whose copy
   into the file both loops share, and 64-byte chunks, which leave the loops'
   own work per chunk nearly alone;
3. peak resident memory growth of a fresh interpreter over a 256 MiB and a 1 GiB
   download into a file on tmpfs (VmHWM after, minus VmRSS before, with the peak
   reset in between).

    .venv/bin/python bench/bench_download.py [--path BUILD_DIR] [--runs N]
"""
import argparse
import functools
import itertools
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import types
import urllib.request

CHUNK = 65536
MIB = 1 << 20


def python_download(progress_callback, url, new_path):
    """The baseline: the module's download written in Python, the same steps on
    the way to success (a lone backup put back, every hop https, a body whose end
    can be told, a fresh exclusive file, synced before it closes)."""
    main_exe = os.path.join(os.path.dirname(new_path), "QuelbaLauncher.exe")
    old_exe = main_exe + ".old"
    if not os.path.lexists(main_exe) and os.path.isfile(old_exe) and not os.path.islink(old_exe):
        os.replace(old_exe, main_exe)
    req = urllib.request.Request(url, headers={"Cache-Control": "no-cache"})
    with urllib.request.urlopen(req, timeout=60) as resp:
        if req.full_url.lower().startswith("https:"):
            hops = [*getattr(req, "redirect_dict", {}), resp.geturl()]
            if not all(hop.lower().startswith("https:") for hop in hops):
                raise OSError("redirected to a non-https URL")
        total_size = int(resp.headers.get("Content-Length", 0))
        if total_size < 0 or (resp.headers.get("Content-Length") is None
                              and not getattr(resp, "chunked", False)):
            raise OSError("no way to tell the end of the body")
        downloaded = 0
        chunk_size = 65536
        start_time = time.time()
        try:
            os.remove(new_path)
        except FileNotFoundError:
            pass
        with open(new_path, "xb") as f:
            while True:
                chunk = resp.read(chunk_size)
                if not chunk:
                    break
                f.write(chunk)
                downloaded += len(chunk)
                percent = downloaded / total_size * 100 if total_size > 0 else 0
                elapsed = time.time() - start_time
                speed = downloaded / 1024 / elapsed if elapsed > 0 else 0
                progress_callback(percent, speed, total_size > 0, downloaded)
            if downloaded == 0 or (total_size > 0 and downloaded != total_size):
                raise OSError("incomplete download")
            f.flush()
            os.fsync(f.fileno())
    return new_path


def no_op(percent, speed_kb, known_size, downloaded_bytes):
    pass


# ---------------------------------------------------------------------------
# nginx


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


NGINX_CONF = """
daemon off;
worker_processes 1;
pid {root}/nginx.pid;
error_log {root}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {root}/tmp;
    proxy_temp_path {root}/tmp;
    fastcgi_temp_path {root}/tmp;
    uwsgi_temp_path {root}/tmp;
    scgi_temp_path {root}/tmp;
    sendfile on;
    server {{
        listen 127.0.0.1:{port} ssl;
        ssl_certificate {root}/server.pem;
        ssl_certificate_key {root}/server.key;
        root {root}/www;
    }}
}}
"""


class Nginx:
    def __init__(self, root, sizes):
        import trustme

        self.root = root
        os.mkdir(root)
        os.makedirs(os.path.join(root, "www"))
        os.makedirs(os.path.join(root, "tmp"))
        ca = trustme.CA()
        self.ca_file = os.path.join(root, "ca.pem")
        ca.cert_pem.write_to_path(self.ca_file)
        cert = ca.issue_cert("127.0.0.1")
        cert.private_key_pem.write_to_path(os.path.join(root, "server.key"))
        cert.cert_chain_pems[0].write_to_path(os.path.join(root, "server.pem"))
        for name, size in sizes.items():
            with open(os.path.join(root, "www", name), "wb") as f:
                f.truncate(size)  # sparse: the disk is not what is measured
        self.port = free_port()
        conf = os.path.join(root, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(root=root, port=self.port))
        binary = shutil.which("nginx") or "/usr/sbin/nginx"
        self.proc = subprocess.Popen([binary, "-p", root, "-e", os.path.join(root, "error.log"), "-c", conf])
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise SystemExit("nginx did not start: " + open(os.path.join(root, "error.log")).read())
                time.sleep(0.05)

    def url(self, name):
        return f"https://127.0.0.1:{self.port}/{name}"

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


# ---------------------------------------------------------------------------
# Measurements


def throughput(updater, server, install, size, runs):
    """MiB/s of the module, the Python loop and curl. Each round takes one sample of
    each, in rotating order, after a warm-up round; the file is removed before each
    sample. Returns the medians and the medians of the per-round ratios, which other
    load on the machine, drifting between rounds, affects least."""
    url = server.url("file256")
    new_path = os.path.join(install, "QuelbaLauncher_new.exe")
    updater.UPDATE_URL = url

    def module():
        assert updater.download_new_exe_with_progress(no_op) == new_path

    def python():
        python_download(no_op, url, new_path)

    def curl(output):  # curl's own transfer time, so that its start-up is not counted
        out = subprocess.run(["curl", "-sS", "--cacert", server.ca_file, "-H", "Cache-Control: no-cache",
                              "-o", output, "-w", "%{time_total}", url],
                             check=True, capture_output=True, text=True).stdout
        return float(out)

    takers = {
        "module": module,
        "python": python,
        "curl": lambda: curl(new_path),
        "curl_null": lambda: curl(os.devnull),  # network and TLS alone
    }
    names = list(takers)
    rounds = []
    for round_ in range(runs + 1):
        sample = {}
        for name in names[round_ % len(names):] + names[: round_ % len(names)]:
            if os.path.exists(new_path):
                os.remove(new_path)
            start = time.perf_counter()
            seconds = takers[name]() or time.perf_counter() - start
            sample[name] = size / seconds / MIB
        if round_:
            rounds.append(sample)
    os.remove(new_path)
    median = {name: statistics.median(r[name] for r in rounds) for name in names}
    ratio = {other: statistics.median(r["module"] / r[other] for r in rounds) for other in names[1:]}
    return median, ratio


class MemoryResponse:
    """A response whose body is `count` ready chunks in memory."""

    def __init__(self, url, chunk, count):
        self.url = url
        self.headers = {"Content-Length": str(len(chunk) * count)}
        # read(n) is next(chunks, n): the C iterator hands out the chunks, then b"".
        self.read = functools.partial(next, iter([chunk] * count + [b""]))

    def geturl(self):
        return self.url

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None


def memory_urllib(chunk, count):
    request = types.SimpleNamespace(
        Request=lambda url, headers: types.SimpleNamespace(full_url=url, headers=headers),
        urlopen=lambda req, timeout: MemoryResponse(req.full_url, chunk, count),
    )
    return types.SimpleNamespace(request=request)


def file_system(path):
    """The type of the file system holding `path`, from /proc/self/mountinfo."""
    path = os.path.realpath(path)
    best = ("?", "")
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            mount_point, kind = fields[4], fields[fields.index("-") + 1]
            inside = path == mount_point or path.startswith(mount_point.rstrip("/") + "/")
            if inside and len(mount_point) >= len(best[1]):
                best = (kind, mount_point)
    return best[0]


def scratch_dir():
    """A directory for the measures with the network taken out, on tmpfs where
    there is one: each download there is a real file, which both loops write and
    sync alike, and the disk is not what is measured."""
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    return tempfile.mkdtemp(prefix="bench-download-", dir=base)


def cpu_per_chunk(updater, scratch, chunk, count, runs):
    """Microseconds of CPU (user + system) per chunk, best of `runs`, with `count`
    copies of `chunk` handed out from memory into a file in `scratch`."""
    new_path = os.path.join(scratch, "QuelbaLauncher_new.exe")
    saved = updater.urllib, updater.__file__
    updater.__file__ = os.path.join(scratch, "updater.so")
    best = {"module": float("inf"), "python": float("inf")}

    def timed(name, action):
        start = time.process_time()
        action()
        best[name] = min(best[name], time.process_time() - start)
        os.remove(new_path)

    def module():
        assert updater.download_new_exe_with_progress(no_op) == new_path

    try:
        for _ in range(runs):
            updater.urllib = memory_urllib(chunk, count)
            timed("module", module)
            globals()["urllib"] = memory_urllib(chunk, count)
            timed("python", lambda: python_download(no_op, updater.UPDATE_URL, new_path))
            globals()["urllib"] = sys.modules["urllib"]
    finally:
        updater.urllib, updater.__file__ = saved
        globals()["urllib"] = sys.modules["urllib"]
        if os.path.exists(new_path):
            os.remove(new_path)
    return {name: seconds / count * 1e6 for name, seconds in best.items()}


MEMORY_CHILD = """
import json, os, sys
sys.path[:0] = {paths!r}
import bench_download, updater
updater.__file__ = os.path.join({install!r}, "updater.so")
new_path = os.path.join({install!r}, "QuelbaLauncher_new.exe")

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))

def download(url):
    if {which!r} == "module":
        updater.UPDATE_URL = url
        return updater.download_new_exe_with_progress(bench_download.no_op)
    return bench_download.python_download(bench_download.no_op, url, new_path)

assert download({warm!r}) == new_path  # urllib, ssl and the file machinery warmed up
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets VmHWM to the current RSS
assert download({url!r}) == new_path
print(json.dumps({{"before_kib": before, "peak_kib": status("VmHWM")}}))
"""


def memory_growth(server, scratch, name, which, paths):
    """Peak RSS growth (MiB) of a fresh interpreter downloading `name` into `scratch`."""
    new_path = os.path.join(scratch, "QuelbaLauncher_new.exe")
    try:
        code = MEMORY_CHILD.format(paths=paths, install=scratch, which=which,
                                   warm=server.url("file1m"), url=server.url(name))
        env = dict(os.environ, SSL_CERT_FILE=server.ca_file)
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                             check=True, capture_output=True, text=True).stdout
    finally:
        if os.path.exists(new_path):
            os.remove(new_path)
    figures = json.loads(out)
    return (figures["peak_kib"] - figures["before_kib"]) / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", help="a build directory whose module is measured")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--cpu-chunks", type=int, default=16384,
                        help="64 KiB chunks per CPU sample (four times as many 64-byte ones)")
    args = parser.parse_args()
    paths = [os.path.dirname(os.path.abspath(__file__))]
    if args.path:
        paths.insert(0, os.path.abspath(args.path))
    sys.path[:0] = paths
    import updater

    root = tempfile.mkdtemp(prefix="bench-download-")
    os.chmod(root, 0o755)  # nginx's workers may run as nobody
    install = os.path.join(root, "install")
    os.mkdir(install)
    updater.__file__ = os.path.join(install, "updater.so")
    scratch = scratch_dir()
    sizes = {"file1m": MIB, "file256": 256 * MIB, "file1g": 1024 * MIB}
    server = Nginx(os.path.join(root, "nginx"), sizes)
    os.environ["SSL_CERT_FILE"] = server.ca_file
    urllib.request.install_opener(None)
    try:
        print(f"module: {updater.__spec__.origin}")
        print(f"python: {sys.version.split()[0]}, {os.cpu_count()} CPUs")
        speed, ratio = throughput(updater, server, install, sizes["file256"], args.runs)
        print(f"\nthroughput, 256 MiB over HTTPS from nginx into a file on {file_system(install)} "
              f"(the module and the python loop sync it, curl does not), median of {args.runs} rounds:")
        labels = {"module": "module", "python": "python", "curl": "curl", "curl_null": "curl -o /dev/null"}
        for name, label in labels.items():
            print(f"  {label:17} {speed[name]:8.1f} MiB/s")
        print(f"  module / python            = {ratio['python']:.3f}   (median of per-round ratios; goal >= 0.97)")
        print(f"  module / curl              = {ratio['curl']:.3f}")
        print(f"  module / curl -o /dev/null = {ratio['curl_null']:.3f}")

        where = file_system(scratch)
        for label, chunk, count in (("64 KiB", os.urandom(CHUNK), args.cpu_chunks),
                                    ("64-byte", os.urandom(64), 4 * args.cpu_chunks)):
            cpu = cpu_per_chunk(updater, scratch, chunk, count, args.runs)
            print(f"\nCPU per {label} chunk from memory into a file on {where}, best of {args.runs} x {count}:")
            for name in ("module", "python"):
                print(f"  {name:7} {cpu[name]:8.3f} us")
            goal = "   (goal <= 0.9: the loops alone)" if len(chunk) < CHUNK else ""
            print(f"  module / python = {cpu['module'] / cpu['python']:.3f}{goal}")

        print("\npeak RSS growth of a fresh interpreter during one download:")
        for name in ("file256", "file1g"):
            label = "256 MiB" if name == "file256" else "1 GiB"
            grow = {which: memory_growth(server, scratch, name, which, paths) for which in ("module", "python")}
            print(f"  {label:8} module {grow['module']:6.2f} MiB   python {grow['python']:6.2f} MiB   (goal < 8)")
    finally:
        server.stop()
        shutil.rmtree(root, ignore_errors=True)
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
