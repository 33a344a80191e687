"""What the syncs add to a swap: replace_and_run of a 64 MiB launcher, as the
module does it, and with `updater.os` rebound to a stand-in whose fsync and
fdatasync do nothing (the download file's and the directory's alike).

Each round prepares the same state for both: the launcher in place, a new
64 MiB download written, flushed and synced, as the download leaves it, and the
directory synced so that no variant pays for what the one before left pending.
Only the replace_and_run call is timed. The two variants take turns, the order rotating
between rounds, after a warm-up round; the added cost is the median of the
per-round differences. The launcher started is a shell script that exits at
once, padded with a comment to its size. The time the download's own fsync of
the 64 MiB takes is printed too.

    .venv/bin/python bench/bench_swap.py [--path BUILD_DIR] [--runs N] [--dir DIR]
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

from bench_download import file_system

MIB = 1 << 20


class NoSync:
    """The os module, with fsync and fdatasync doing nothing."""

    def __init__(self, module):
        self._module = module

    def __getattr__(self, name):
        return getattr(self._module, name)

    @staticmethod
    def fsync(fd):
        pass

    @staticmethod
    def fdatasync(fd):
        pass


def launcher(size):
    script = b"#!/bin/sh\nexit 0\n#"
    return script + b"x" * (size - len(script) - 1) + b"\n"


def write_synced(path, data, mode=None):
    """Writes `data` to a new file at `path` and syncs it; returns the seconds the
    flush and fsync took."""
    with open(path, "xb") as f:
        f.write(data)
        start = time.perf_counter()
        f.flush()
        os.fsync(f.fileno())
        seconds = time.perf_counter() - start
    if mode is not None:
        os.chmod(path, mode)
    return seconds


def sync_dir(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", help="a build directory whose module is measured")
    parser.add_argument("--runs", type=int, default=31)
    parser.add_argument("--size", type=int, default=64, help="launcher size in MiB")
    parser.add_argument("--dir", default=tempfile.gettempdir(),
                        help="where the install directory is made (a disk, not tmpfs)")
    args = parser.parse_args()
    if args.path:
        sys.path.insert(0, os.path.abspath(args.path))
    import updater

    root = tempfile.mkdtemp(prefix="bench-swap-", dir=args.dir)
    install = os.path.join(root, "install")
    os.mkdir(install)
    main_exe = os.path.join(install, "QuelbaLauncher.exe")
    new_exe = os.path.join(install, "QuelbaLauncher_new.exe")
    updater.__file__ = os.path.join(install, "updater.so")
    body = launcher(args.size * MIB)
    real_os = updater.os
    variants = {"synced": real_os, "no-op fsync": NoSync(real_os)}
    names = list(variants)
    rounds = []
    download_fsync = []
    try:
        write_synced(main_exe, body, 0o755)
        for round_ in range(args.runs + 1):
            sample = {}
            for name in names[round_ % 2:] + names[: round_ % 2]:
                download_fsync.append(write_synced(new_exe, body))
                sync_dir(install)  # nothing left over from the round before
                updater.os = variants[name]
                start = time.perf_counter()
                updater.replace_and_run(new_exe)
                sample[name] = time.perf_counter() - start
                updater.os = real_os
                assert os.path.getsize(main_exe) == len(body) and not os.path.exists(new_exe)
            if round_:
                rounds.append(sample)
    finally:
        updater.os = real_os
        shutil.rmtree(root, ignore_errors=True)

    print(f"module: {updater.__spec__.origin}")
    print(f"python: {sys.version.split()[0]}, {os.cpu_count()} CPUs; install directory on {file_system(args.dir)}")
    print(f"\nreplace_and_run of a {args.size} MiB launcher, median of {args.runs} rounds:")
    for name in names:
        print(f"  {name:18} {statistics.median(r[name] for r in rounds) * 1e3:8.2f} ms")
    added = sorted(r["synced"] - r["no-op fsync"] for r in rounds)
    low, middle, high = statistics.quantiles(added, n=4)
    print(f"  added by the syncs {middle * 1e3:8.2f} ms   (median of per-round differences; "
          f"quartiles {low * 1e3:.2f} and {high * 1e3:.2f} ms)")
    print(f"\nthe download's flush and fsync of {args.size} MiB before its file closes: "
          f"{statistics.median(download_fsync[2:]) * 1e3:.1f} ms (median)")


if __name__ == "__main__":
    main()
