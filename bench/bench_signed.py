"""What checking a signed build costs.

One run starts nginx on loopback (as bench_download.py does) serving a 256 MiB build
and its .minisig, made with a throwaway key by the minisign tool, and measures in
rotating rounds:

1. the unsigned download (UPDATE_PUBLIC_KEY unset);
2. the signed download (the key set: BLAKE2b-512 over the body as it arrives, the
   signature fetched over a second HTTPS connection, then verified);
3. hashlib's BLAKE2b-512 over the same 256 MiB, the downloaded file held in memory,
   in 64 KiB pieces as the download hands them over.

It prints the medians, in wall-clock and in CPU time (which other load on the
machine disturbs less), and the added time of the signed download against the
goal: at most the BLAKE2b time plus 1 ms.

    .venv/bin/python bench/bench_signed.py [--path BUILD_DIR] [--runs N]
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
import urllib.request

import bench_download
from bench_download import CHUNK, MIB, Nginx, no_op

SIZE = 256 * MIB


def blake2b_seconds(body, clocks):
    """{clock: seconds} of hashing `body` in 64 KiB pieces, as the download hands them over."""
    view = memoryview(body)
    start = {clock: read() for clock, read in clocks.items()}
    digest = hashlib.blake2b()
    for at in range(0, len(body), CHUNK):
        digest.update(view[at:at + CHUNK])
    digest.digest()
    return {clock: read() - start[clock] for clock, read in clocks.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", help="a build directory whose module is measured")
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    if args.path:
        sys.path.insert(0, os.path.abspath(args.path))
    import updater

    minisign = shutil.which("minisign")
    if minisign is None:
        raise SystemExit("the minisign tool is needed (tools/setup-system minisign)")
    root = tempfile.mkdtemp(prefix="bench-signed-")
    os.chmod(root, 0o755)
    install = os.path.join(root, "install")
    os.mkdir(install)
    updater.__file__ = os.path.join(install, "updater.so")
    server = Nginx(os.path.join(root, "nginx"), {"build": SIZE})
    keys = os.path.join(root, "keys")
    os.mkdir(keys)
    subprocess.run([minisign, "-G", "-W", "-p", f"{keys}/k.pub", "-s", f"{keys}/k.key"],
                   check=True, capture_output=True)
    build = os.path.join(server.root, "www", "build")
    subprocess.run([minisign, "-S", "-s", f"{keys}/k.key", "-m", build, "-x", build + ".minisig"],
                   check=True, capture_output=True)
    with open(f"{keys}/k.pub") as f:
        public_key = f.read().splitlines()[1]
    os.environ["SSL_CERT_FILE"] = server.ca_file
    urllib.request.install_opener(None)
    updater.UPDATE_URL = server.url("build")
    new_path = os.path.join(install, "QuelbaLauncher_new.exe")

    def unsigned():
        vars(updater).pop("UPDATE_PUBLIC_KEY", None)
        assert updater.download_new_exe_with_progress(no_op) == new_path

    def signed():
        updater.UPDATE_PUBLIC_KEY = public_key
        assert updater.download_new_exe_with_progress(no_op) == new_path

    takers = {"unsigned": unsigned, "signed": signed, "blake2b": None}
    clocks = {"wall": time.perf_counter, "cpu": time.process_time}
    samples = {(name, clock): [] for name in takers for clock in clocks}
    try:
        print(f"module: {updater.__spec__.origin}")
        print(f"python: {sys.version.split()[0]}, {os.cpu_count()} CPUs")
        for round_ in range(args.runs + 1):  # round 0 warms up
            names = ["unsigned", "signed"][round_ % 2:] + ["unsigned", "signed"][: round_ % 2]
            for name in names:
                start = {clock: read() for clock, read in clocks.items()}
                takers[name]()
                for clock, read in clocks.items():
                    samples[name, clock].append(read() - start[clock])
            with open(new_path, "rb") as f:
                body = f.read()
            for clock, seconds in blake2b_seconds(body, clocks).items():
                samples["blake2b", clock].append(seconds)
            del body
            if round_ == 0:
                for values in samples.values():
                    values.clear()
        print(f"\n256 MiB over HTTPS from nginx into a file, median of {args.runs} rounds, ms:")
        print(f"  {'':34} {'wall':>8} {'CPU':>8}")
        labels = {"unsigned": "unsigned download", "signed": "signed download",
                  "blake2b": "BLAKE2b-512 of the same bytes alone"}
        for name, label in labels.items():
            print(f"  {label:34} " + " ".join(f"{statistics.median(samples[name, c]) * 1e3:8.1f}" for c in clocks))
        ratios = {}
        for clock in clocks:
            added = [s - u for s, u in zip(samples["signed", clock], samples["unsigned", clock])]
            ratios[clock] = statistics.median(added) / (statistics.median(samples["blake2b", clock]) + 1e-3)
            print(f"  added by signing ({clock}, median of per-round differences) "
                  f"{statistics.median(added) * 1e3:8.1f}")
        print("  added / (BLAKE2b + 1 ms): " + ", ".join(f"{c} {r:.3f}" for c, r in ratios.items())
              + "   (goal <= 1)")
    finally:
        server.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
