"""What the installed build's record adds to a signed update.

A signed download against a 12 MB launcher, over HTTPS on loopback (the test
suite's release server), with the launcher's record beside it and without, in
alternating rounds; with the record the download reads it and hashes the
launcher (BLAKE2b-512) to check that the record is the launcher's. Prints the
medians in wall-clock and CPU time, their difference, and hashlib's BLAKE2b-512
of the launcher alone.

    .venv/bin/python bench/bench_record.py [--path BUILD_DIR] [--runs N] [--size MB]
"""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))


def sign(minisign, secret, path, seconds):
    subprocess.run([minisign, "-S", "-s", secret, "-m", path, "-t", f"timestamp:{seconds}\tfile:x"],
                   check=True, capture_output=True)
    with open(path + ".minisig", "rb") as f:
        return f.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", help="a build directory whose module is measured")
    parser.add_argument("--runs", type=int, default=21)
    parser.add_argument("--size", type=int, default=12, help="the launcher's size in MB")
    args = parser.parse_args()
    if args.path:
        sys.path.insert(0, os.path.abspath(args.path))
    import updater
    from https_fixtures import ReleaseServer

    minisign = shutil.which("minisign")
    if minisign is None:
        raise SystemExit("the minisign tool is needed (tools/setup-system minisign)")
    root = tempfile.mkdtemp(prefix="bench-record-")
    try:
        secret, public = os.path.join(root, "key"), os.path.join(root, "key.pub")
        subprocess.run([minisign, "-G", "-W", "-p", public, "-s", secret], check=True, capture_output=True)
        install = os.path.join(root, "install")
        os.mkdir(install)
        launcher = os.path.join(install, "QuelbaLauncher.exe")
        with open(launcher, "wb") as f:
            f.write(os.urandom(args.size * 1_000_000))
        record = sign(minisign, secret, launcher, 1700000000)  # leaves it beside the launcher
        new = os.path.join(root, "QuelbaLauncher.exe")
        with open(new, "wb") as f:
            f.write(os.urandom(args.size * 1_000_000))
        server = ReleaseServer(root)
        os.environ["SSL_CERT_FILE"] = server.ca_file
        with open(new, "rb") as f:
            url = server.add(f.read(), log=False)
        server.add(sign(minisign, secret, new, 1700000001),
                   path=urllib.parse.urlsplit(url).path + ".minisig", log=False)
        with open(public) as f:
            updater.UPDATE_PUBLIC_KEY = f.read().splitlines()[1]
        updater.UPDATE_URL = url
        updater.__file__ = os.path.join(install, "updater.so")

        times = {True: [], False: []}
        for round_ in range(args.runs + 1):
            for with_record in (round_ % 2 == 0, round_ % 2 == 1):
                if with_record:
                    with open(launcher + ".minisig", "wb") as f:
                        f.write(record)
                elif os.path.exists(launcher + ".minisig"):
                    os.remove(launcher + ".minisig")
                wall, cpu = time.perf_counter(), time.process_time()
                assert updater.download_new_exe_with_progress(lambda *report: None)
                if round_:  # the first round warms up
                    times[with_record].append((time.perf_counter() - wall, time.process_time() - cpu))
        with open(launcher, "rb") as f:
            start = time.perf_counter()
            hashlib.file_digest(f, "blake2b")
            hashed = time.perf_counter() - start
        server.close()
    finally:
        shutil.rmtree(root)

    def median(with_record, clock):
        return statistics.median(sample[clock] for sample in times[with_record]) * 1000

    print(f"signed download of {args.size} MB against a {args.size} MB launcher, median of {args.runs}:")
    for clock, name in enumerate(("wall", "CPU")):
        with_ms, without_ms = median(True, clock), median(False, clock)
        print(f"  {name:4}: {without_ms:7.1f} ms without a record, {with_ms:7.1f} ms with one,"
              f" added {with_ms - without_ms:5.1f} ms")
    print(f"  BLAKE2b-512 of the launcher alone (hashlib.file_digest): {hashed * 1000:.1f} ms")


if __name__ == "__main__":
    main()
