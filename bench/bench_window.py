"""Responsiveness of the updater window while a fast local download runs.

One run starts a virtual display (Xvfb) and nginx on a free loopback port over
HTTPS (a throwaway CA, trusted by the children through SSL_CERT_FILE), and
measures, each sample in a fresh child interpreter:

1. close-request latency: the child runs UpdaterGUI() against a 1 GiB file;
   once the download file holds --close-at MiB, this process sends the window
   manager's close request (WM_DELETE_WINDOW through the X server) and notes
   the time; the child notes when SystemExit reaches the caller of
   UpdaterGUI(). Both clocks are CLOCK_MONOTONIC. Median and 99th percentile.
2. throughput of the download inside the window path as a ratio of the
   console path's, same server, same file, samples alternating. The download
   call is timed by a thin wrapper around the module global; the swap is a
   no-op stand-in, so nothing is replaced.

    .venv/bin/python bench/bench_window.py [--path BUILD_DIR] [--runs N] [--size MIB]
"""
import argparse
import json
import os
import select
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, os.path.join(ROOT, "tests")]

from bench_download import Nginx  # noqa: E402
from display_fixtures import VirtualDisplay, send_close_request  # noqa: E402

MIB = 1 << 20

# Shared by both children: point the module at the install directory and the
# server, time the download, make the swap a no-op.
COMMON = """
import json, os, sys, time
{block_tk}
import updater
updater.__file__ = os.path.join({install!r}, "updater.so")
updater.UPDATE_URL = {url!r}
real_download = updater.download_new_exe_with_progress
timing = {{}}
def download(progress_callback):
    timing["start"] = time.monotonic()
    try:
        return real_download(progress_callback)
    finally:
        timing["end"] = time.monotonic()
updater.download_new_exe_with_progress = download
updater.replace_and_run = lambda new_exe: None
"""

THROUGHPUT = COMMON + """
updater.UpdaterGUI()
sys.stderr.write("RESULT " + json.dumps(timing) + "\\n")
"""

CLOSE = COMMON + """
import tkinter
class Root(tkinter.Tk):
    def mainloop(self, n=0):
        print("WINDOW", int(self.wm_frame(), 16), flush=True)
        return super().mainloop(n)
tkinter.Tk = Root
try:
    updater.UpdaterGUI()
    result = {{"how": "returned"}}
except SystemExit as e:
    result = {{"how": "SystemExit", "code": e.code, "t": time.monotonic()}}
print("RESULT " + json.dumps(result), flush=True)
"""


def child_env(path, server, display):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([path, os.path.join(ROOT, "tests")])
    env["SSL_CERT_FILE"] = server.ca_file
    env["DISPLAY"] = display
    return env


def new_install(base, n):
    install = os.path.join(base, f"install{n}")
    os.mkdir(install)
    return install


def throughput_sample(path, server, display, install, name, size, window):
    code = THROUGHPUT.format(block_tk="" if window else "sys.modules['tkinter'] = None",
                             install=install, url=server.url(name))
    proc = subprocess.run([sys.executable, "-c", code], env=child_env(path, server, display),
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          timeout=600)
    line = [ln for ln in proc.stderr.splitlines() if ln.startswith("RESULT ")]
    if proc.returncode != 0 or not line:
        raise SystemExit(f"throughput child failed ({proc.returncode}):\n{proc.stderr}")
    timing = json.loads(line[0][7:])
    os.remove(os.path.join(install, "QuelbaLauncher_new.exe"))
    return size / (timing["end"] - timing["start"])


def close_sample(path, server, display, install, name, close_at):
    code = CLOSE.format(block_tk="", install=install, url=server.url(name))
    proc = subprocess.Popen([sys.executable, "-c", code], env=child_env(path, server, display),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    window = int(proc.stdout.readline().split()[1])
    download = os.path.join(install, "QuelbaLauncher_new.exe")
    deadline = time.monotonic() + 60
    while True:
        try:
            if os.path.getsize(download) >= close_at:
                break
        except FileNotFoundError:
            pass
        if time.monotonic() > deadline:
            proc.kill()
            raise SystemExit("the download did not start")
        time.sleep(0.001)
    requested = time.monotonic()
    send_close_request(window, display)
    out, err = proc.communicate(timeout=60)
    line = [ln for ln in out.splitlines() if ln.startswith("RESULT ")]
    if not line:
        raise SystemExit(f"close child failed ({proc.returncode}):\n{err}")
    result = json.loads(line[0][7:])
    if result["how"] != "SystemExit" or result["code"] != 0:
        raise SystemExit(f"the close request did not end the run with status 0: {result}")
    size = os.path.getsize(download)
    os.remove(download)
    return result["t"] - requested, proc.returncode, size


def percentile(values, p):
    ordered = sorted(values)
    k = (len(ordered) - 1) * p / 100
    lo, hi = int(k), min(int(k) + 1, len(ordered) - 1)
    return ordered[lo] + (ordered[hi] - ordered[lo]) * (k - lo)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", default=None, help="build directory of the module")
    parser.add_argument("--runs", type=int, default=40, help="close-request samples")
    parser.add_argument("--throughput-runs", type=int, default=7)
    parser.add_argument("--size", type=int, default=256, help="MiB per throughput sample")
    parser.add_argument("--close-at", type=int, default=32, help="MiB downloaded before the close")
    args = parser.parse_args()
    if args.path is None:
        import updater
        args.path = os.path.dirname(updater.__file__)
    path = os.path.abspath(args.path)

    base = tempfile.mkdtemp(prefix="bench-window-")
    os.chmod(base, 0o755)  # nginx workers read the files as another user
    server = Nginx(os.path.join(base, "nginx"), {"big": 1024 * MIB, "file": args.size * MIB})
    display = VirtualDisplay()
    try:
        print(f"display {display.name}, nginx on 127.0.0.1:{server.port}, module from {path}")

        latencies, statuses = [], []
        for n in range(args.runs):
            install = new_install(base, f"c{n}")
            latency, status, size = close_sample(path, server, display.name, install, "big",
                                                 args.close_at * MIB)
            latencies.append(latency)
            statuses.append(status)
        ms = [x * 1000 for x in latencies]
        print(f"\nclose request -> SystemExit at the caller, {args.runs} runs, "
              f"download running (request at {args.close_at} MiB of 1 GiB):")
        print(f"  median {statistics.median(ms):.2f} ms, p99 {percentile(ms, 99):.2f} ms, "
              f"min {min(ms):.2f} ms, max {max(ms):.2f} ms")
        crashed = [s for s in statuses if s != 0]
        print(f"  process exit status 0 in {len(statuses) - len(crashed)} of {len(statuses)} "
              f"runs" + (f"; others: {sorted(set(crashed))}" if crashed else ""))

        window, console = [], []
        for n in range(args.throughput_runs):
            install = new_install(base, f"t{n}")
            size = args.size * MIB
            window.append(throughput_sample(path, server, display.name, install, "file", size,
                                            True))
            console.append(throughput_sample(path, server, display.name, install, "file", size,
                                             False))
        w, c = statistics.median(window), statistics.median(console)
        print(f"\ndownload throughput, {args.size} MiB, {args.throughput_runs} alternating "
              f"samples each (median):")
        print(f"  window path  {w / MIB:8.1f} MiB/s")
        print(f"  console path {c / MIB:8.1f} MiB/s")
        print(f"  window / console = {w / c:.3f}")
    finally:
        display.stop()
        server.stop()


if __name__ == "__main__":
    main()
