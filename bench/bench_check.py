"""What check_for_update() costs against the update it asks about.

A launcher of --size MB is installed, and a new build (the same bytes with a change
in the middle) is published by the test suite's HTTPS release server on loopback,
with its .sha256, its .minisig (a throwaway key) and a zstd patch from the installed
build. A relay on loopback in front of the server counts the bytes crossing the
client's socket each way, TLS included. In rotating rounds, after a warm-up round,
it times and counts:

- the check without a key (the .sha256 against the launcher's SHA-256);
- the check with the key (the .minisig against the installed record);
- a full update: download_new_exe_with_progress and replace_and_run, whose start
  of the new launcher is a stand-in that records the call;
- a patched update: the same with UPDATE_PATCHES on.

and prints the medians, the ratios of the checks against both updates, the body
each check read (goal: at most 4 KiB) and how often each opened the launcher
(goal: at most once).

    .venv/bin/python bench/bench_check.py [--path BUILD_DIR] [--runs N] [--size MB]
"""
import argparse
import hashlib
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from bench_patch import CountingRelay, StartRecorder  # noqa: E402

LAUNCHER = "QuelbaLauncher.exe"
T = 1700003600
GOAL_BODY = 4096


def make_patch(old, new):
    """The patch updater-release would make, with a faster level: a zstd frame
    with the old build as its prefix, its size and checksum declared."""
    try:
        from compression import zstd
    except ImportError:
        from backports import zstd
    p = zstd.CompressionParameter
    options = {p.compression_level: 3, p.enable_long_distance_matching: 1, p.window_log: 27,
               p.checksum_flag: 1, p.content_size_flag: 1}
    return zstd.compress(new, options=options, zstd_dict=zstd.ZstdDict(old, is_raw=True).as_prefix)


def sign(secret, directory, body, seconds):
    import signing

    path = os.path.join(directory, LAUNCHER)
    with open(path, "wb") as f:
        f.write(body)
    signing.run("-S", "-s", secret, "-m", path, "-t", f"timestamp:{seconds}\tfile:{LAUNCHER}\thashed")
    with open(path + ".minisig", "rb") as f:
        return f.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", help="a build directory whose module is measured")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--size", type=int, default=20, help="the launcher's size in MB")
    args = parser.parse_args()
    if args.path:
        sys.path.insert(0, os.path.abspath(args.path))
    import signing
    import updater
    from https_fixtures import ReleaseServer

    if not signing.AVAILABLE:
        raise SystemExit("the minisign tool is needed (tools/setup-system minisign)")
    noise = random.Random(7)
    old = noise.randbytes(args.size * 1_000_000)
    middle = len(old) // 2
    new = old[:middle] + b"a change in the middle" + old[middle:]
    root = tempfile.mkdtemp(prefix="bench-check-")
    try:
        secret, public = os.path.join(root, "key"), os.path.join(root, "key.pub")
        signing.run("-G", "-W", "-p", public, "-s", secret)
        with open(public) as f:
            public_key = f.read().splitlines()[1]
        record = sign(secret, root, old, T)
        server = ReleaseServer(root)
        os.environ["SSL_CERT_FILE"] = server.ca_file
        path = urllib.parse.urlsplit(server.add(new, log=False)).path
        beside = {".sha256": f"{hashlib.sha256(new).hexdigest()}  {LAUNCHER}\n".encode(),
                  ".minisig": sign(secret, root, new, T + 1),
                  f".patches/{hashlib.sha256(old).hexdigest()}.zst": make_patch(old, new)}
        for suffix, body in beside.items():
            server.add(body, path=path + suffix, log=False)
        relay = CountingRelay(urllib.parse.urlsplit(server.url("/")).port)
        updater.UPDATE_URL = f"https://127.0.0.1:{relay.port}{path}"
        install = os.path.join(root, "install")
        os.mkdir(install)
        launcher = os.path.join(install, LAUNCHER)
        updater.__file__ = os.path.join(install, "updater.so")
        updater.subprocess = StartRecorder()
        opened = []
        sys.addaudithook(lambda event, a: opened.append(1) if event == "open" and a[0] == launcher else None)

        def reset():
            for name in os.listdir(install):
                os.remove(os.path.join(install, name))
            with open(launcher, "wb") as f:
                f.write(old)
            with open(launcher + ".minisig", "wb") as f:
                f.write(record)

        def check(key):
            def run():
                updater.UPDATE_PUBLIC_KEY = key
                assert updater.check_for_update() is True
            return run

        def update(patches):
            def run():
                updater.UPDATE_PUBLIC_KEY, updater.UPDATE_PATCHES = None, patches
                updater.replace_and_run(updater.download_new_exe_with_progress(lambda *report: None))
                with open(launcher, "rb") as f:
                    assert f.read() == new
            return run

        variants = {"check, no key (.sha256)": check(None), "check, key (.minisig)": check(public_key),
                    "full update": update(False), "patched update": update(True)}
        samples = {name: [] for name in variants}
        names = list(variants)
        for round_ in range(args.runs + 1):
            for name in names[round_ % 4:] + names[: round_ % 4]:
                reset()
                relay.take()
                del opened[:]
                start = time.perf_counter()
                variants[name]()
                seconds = time.perf_counter() - start
                up, down, connections = relay.take()
                if round_:  # the first round warms up
                    samples[name].append((seconds, up + down, connections, len(opened)))
        relay.close()
        server.close()
    finally:
        shutil.rmtree(root)

    median = {name: (statistics.median(s[0] for s in got), statistics.median(s[1] for s in got))
              for name, got in samples.items()}
    print(f"a {args.size} MB launcher, median of {args.runs} rounds (bytes both ways over the socket, TLS included)")
    print(f"  {'':26} {'time':>10} {'bytes':>12} {'connections':>12} {'launcher opened':>16}")
    for name, got in samples.items():
        seconds, moved = median[name]
        print(f"  {name:26} {seconds * 1000:8.2f} ms {moved:12,.0f} {got[0][2]:12} {max(s[3] for s in got):16}")
    for name in names[:2]:
        for update_name in names[2:]:
            print(f"  {name} / {update_name}: time {median[name][0] / median[update_name][0]:.4f},"
                  f" bytes {median[name][1] / median[update_name][1]:.5f}")
    for suffix in (".sha256", ".minisig"):
        size = len(beside[suffix])
        print(f"  body of the {suffix} check: {size} bytes (goal <= {GOAL_BODY}: {'met' if size <= GOAL_BODY else 'MISSED'})")


if __name__ == "__main__":
    main()
