"""What the installed build's record adds to a signed update, and what one read
of the launcher saves a signed, patched one.

1. A signed download against a 12 MB launcher, over HTTPS on loopback (the test
   suite's release server), with the launcher's record beside it and without, in
   alternating rounds; with the record the download reads it and hashes the
   launcher (BLAKE2b-512) to check that the record is the launcher's. Prints the
   medians in wall-clock and CPU time, their difference, and hashlib's BLAKE2b-512
   of the launcher alone.
2. A signed update through a patch against the same launcher, its record beside
   it: the launcher's reads as the download made them before it read the launcher
   once (SHA-256 by hashlib.file_digest, the whole file for the prefix, BLAKE2b-512
   by hashlib.file_digest) and as it makes them now (the whole file, then both
   digests of those bytes), each with the launcher in the page cache and with its
   pages dropped first (posix_fadvise), the first as the baseline of the ratio;
   and the module's whole signed, patched download, beside the same download
   by an earlier build of the module given with --before (each build in child
   interpreters, taking turns).

    .venv/bin/python bench/bench_record.py [--path BUILD_DIR] [--before BUILD_DIR] [--runs N] [--size MB]
"""
import argparse
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

try:
    from compression import zstd
except ImportError:
    from backports import zstd

T = 1700000000

# The module's signed, patched download in a child, for this build or an
# earlier one: argv is the build directory, the key, the URL, the module's __file__ and the runs.
CHILD = """
import json, sys, time
sys.path.insert(0, sys.argv[1])
import updater
updater.UPDATE_PUBLIC_KEY, updater.UPDATE_URL, updater.__file__ = sys.argv[2:5]
updater.UPDATE_PATCHES = True
times = []
for _ in range(int(sys.argv[5])):
    start = time.perf_counter()
    assert updater.download_new_exe_with_progress(lambda *report: None)
    times.append(time.perf_counter() - start)
print(json.dumps(times))
"""


def sign(minisign, secret, path, seconds):
    subprocess.run([minisign, "-S", "-s", secret, "-m", path, "-t", f"timestamp:{seconds}\tfile:x"],
                   check=True, capture_output=True)
    with open(path + ".minisig", "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())  # clean pages, which posix_fadvise can drop


def make_patch(old, new):
    """A patch in the format of updater-release, at a low level to be quick."""
    p = zstd.CompressionParameter
    options = {p.compression_level: 3, p.enable_long_distance_matching: 1, p.checksum_flag: 1,
               p.content_size_flag: 1, p.window_log: max(20, (len(old) + len(new)).bit_length())}
    return zstd.compress(new, options=options, zstd_dict=zstd.ZstdDict(old, is_raw=True).as_prefix)


def drop_cache(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def reads_before(path):
    """The launcher's three reads of a signed, patched update before it was read once."""
    with open(path, "rb") as old:
        hashlib.file_digest(old, "sha256").hexdigest()
    with open(path, "rb") as old:
        old.read()
    with open(path, "rb") as old:
        hashlib.file_digest(old, "blake2b").digest()


def reads_now(path):
    """The launcher's one read, and the two digests of its bytes."""
    with open(path, "rb") as old:
        launcher = old.read()
    hashlib.sha256(launcher).hexdigest()
    hashlib.blake2b(launcher).digest()


def median_ms(samples):
    return statistics.median(samples) * 1000


def record_cost(updater, server, minisign, secret, public_key, root, install, launcher, args, module_dir):
    """Part 1: a signed download with the launcher's record beside it and without."""
    record = sign(minisign, secret, launcher, T)  # leaves it beside the launcher
    new = os.path.join(root, "QuelbaLauncher.exe")
    write(new, os.urandom(args.size * 1_000_000))
    with open(new, "rb") as f:
        url = server.add(f.read(), log=False)
    server.add(sign(minisign, secret, new, T + 1), path=urllib.parse.urlsplit(url).path + ".minisig", log=False)
    updater.UPDATE_PUBLIC_KEY = public_key
    updater.UPDATE_URL = url
    times = {True: [], False: []}
    for round_ in range(args.runs + 1):
        for with_record in (round_ % 2 == 0, round_ % 2 == 1):
            if with_record:
                write(launcher + ".minisig", record)
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

    def median(with_record, clock):
        return median_ms([sample[clock] for sample in times[with_record]])

    print(f"signed download of {args.size} MB against a {args.size} MB launcher, median of {args.runs}:")
    for clock, name in enumerate(("wall", "CPU")):
        with_ms, without_ms = median(True, clock), median(False, clock)
        print(f"  {name:4}: {without_ms:7.1f} ms without a record, {with_ms:7.1f} ms with one,"
              f" added {with_ms - without_ms:5.1f} ms")
    print(f"  BLAKE2b-512 of the launcher alone (hashlib.file_digest): {hashed * 1000:.1f} ms")


def patched_reads(updater, server, minisign, secret, public_key, root, install, launcher, args, module_dir):
    """Part 2: the launcher's reads in a signed, patched update, before and now."""
    with open(launcher, "rb") as f:
        old = f.read()
    write(launcher + ".minisig", sign(minisign, secret, launcher, T))
    new_body = old[: len(old) // 2] + b"a change in the middle" + old[len(old) // 2 :]
    new = os.path.join(root, "QuelbaLauncher.exe")
    write(new, new_body)
    url = server.add(new_body)
    path = urllib.parse.urlsplit(url).path
    server.add(sign(minisign, secret, new, T + 1), path=path + ".minisig", log=False)
    patch_path = path + ".patches/" + hashlib.sha256(old).hexdigest() + ".zst"
    server.add(make_patch(old, new_body), path=patch_path, log=False)
    updater.UPDATE_PUBLIC_KEY, updater.UPDATE_URL, updater.UPDATE_PATCHES = public_key, url, True
    download = os.path.join(install, "QuelbaLauncher_new.exe")
    assert updater.download_new_exe_with_progress(lambda *report: None) == download
    with open(download, "rb") as f:
        assert f.read() == new_body and not server.requests(url)  # made by the patch

    reads = {(way, cold): [] for way in (reads_before, reads_now) for cold in (False, True)}
    for round_ in range(args.runs + 1):
        for way, cold in list(reads)[:: 1 if round_ % 2 else -1]:
            if cold:
                drop_cache(launcher)
            start = time.perf_counter()
            way(launcher)
            if round_:
                reads[way, cold].append(time.perf_counter() - start)

    builds = {"now": module_dir, **({"before": os.path.abspath(args.before)} if args.before else {})}
    module = {name: [] for name in builds}
    blocks = 3
    for _ in range(blocks):  # the builds take turns, each in a child of its own
        for name, build in builds.items():
            done = subprocess.run([sys.executable, "-c", CHILD, build, public_key, url, updater.__file__,
                                   str(args.runs // blocks + 1)], check=True, capture_output=True, text=True)
            module[name].extend(json.loads(done.stdout)[1:])  # the first warms up

    print(f"signed update through a patch against a {args.size} MB launcher with its record, median of {args.runs}:")
    for cold in (False, True):
        before, now = median_ms(reads[reads_before, cold]), median_ms(reads[reads_now, cold])
        print(f"  the launcher's reads, {'pages dropped' if cold else 'page cache  '}: "
              f"{before:6.1f} ms in three reads, {now:6.1f} ms in one, ratio {now / before:.2f},"
              f" saved {before - now:5.1f} ms")
    line = f"  the module's whole download: {median_ms(module['now']):6.1f} ms"
    if "before" in module:
        before, now = median_ms(module["before"]), median_ms(module["now"])
        line += f", {before:6.1f} ms by --before, ratio {now / before:.2f}, saved {before - now:5.1f} ms"
    print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", help="a build directory whose module is measured")
    parser.add_argument("--before", help="a build directory of an earlier module, for part 2")
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
        with open(public) as f:
            public_key = f.read().splitlines()[1]
        install = os.path.join(root, "install")
        os.mkdir(install)
        launcher = os.path.join(install, "QuelbaLauncher.exe")
        write(launcher, os.urandom(args.size * 1_000_000))
        server = ReleaseServer(root)
        os.environ["SSL_CERT_FILE"] = server.ca_file
        module_dir = os.path.dirname(os.path.abspath(updater.__file__))
        updater.__file__ = os.path.join(install, "updater.so")
        try:
            for part in (record_cost, patched_reads):
                part(updater, server, minisign, secret, public_key, root, install, launcher, args, module_dir)
        finally:
            server.close()
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
