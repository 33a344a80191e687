"""Whole updates that end badly: the process killed at each system call that
touches the install directory, and a power cut at moments after the swap.

Each update runs in a child interpreter hosted as a frozen launcher hosts the
module (sys.frozen, sys.executable in the install directory, no tkinter, so the
console front end), against the HTTPS server of https_fixtures. Whatever happens,
the launcher's name must hold a complete executable launcher: the old build or
the new one, byte for byte, with its permission bits.
"""
import collections
import contextlib
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import time
import urllib.parse

import pytest

import updater
from conftest import child_env
from https_fixtures import InstallDir

pytestmark = [
    pytest.mark.filterwarnings("ignore:subprocess .* is still running:ResourceWarning"),
    pytest.mark.skipif(sys.platform == "win32", reason="POSIX only: the crashes are placed by strace "
                       "on system calls, the power cut by an ext4 loop device"),
]

HOST = """
import os, sys
sys.modules["tkinter"] = None
sys.frozen = True
sys.executable = {launcher!r}
{extra}import updater
updater.UPDATE_URL = {url!r}
updater.UPDATE_PUBLIC_KEY = {key!r}
print(os.getpid(), flush=True)
updater.UpdaterGUI()
"""

PYTHON = sys.executable  # before a test makes this process a launcher's host
SBIN = os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/sbin"])


def tool(name):
    return shutil.which(name, path=SBIN)


def build(install, tag, size):
    """A launcher script recording its starts, padded with a comment to `size` bytes
    of text that differs from block to block."""
    script = install.launcher_script(tag)
    filler = os.urandom(size).hex().encode()[: size - len(script) - 2]
    return script + b"#" + filler + b"\n"


def host(server, install, url, *wrapper, key=None, meipass=None):
    """Runs one console update in a frozen-launcher host, under `wrapper` if given,
    with UPDATE_PUBLIC_KEY `key`; a folder launcher's when `meipass` names its folder."""
    extra = f"sys._MEIPASS = {meipass!r}\n" if meipass else ""
    code = HOST.format(launcher=install.launcher, url=url, key=key, extra=extra)
    return subprocess.run([*wrapper, PYTHON, "-c", code], capture_output=True, text=True,
                          timeout=60, env=child_env(**server.env()),
                          cwd=os.path.dirname(install.record))


def launcher_state(install, builds):
    """'old' or 'new' for a complete launcher with mode 0o755, else what is wrong."""
    try:
        info = os.lstat(install.launcher)
    except FileNotFoundError:
        return "no launcher"
    if not stat.S_ISREG(info.st_mode):
        return "not a regular file"
    with open(install.launcher, "rb") as f:
        data = f.read()
    return verdict(data, info.st_mode, builds)


def verdict(data, mode, builds):
    for tag, body in builds.items():
        if data == body:
            return tag if mode & 0o777 == 0o755 else f"{tag} with mode {mode & 0o777:o}"
    return f"{len(data)} bytes of neither build" if data else "an empty file"


# ---------------------------------------------------------------------------
# Crash at every step
#
# strace -P matches a call by the paths it names, and a call on a descriptor by
# the path that /proc/PID/fd gives for it (write, fsync, fchmod, close on a file
# or on the directory itself): the three file names and the directory cover every
# call on the install directory. Only matching calls count towards when=N, each
# system call name on its own counter and each process on its own: so the
# positions come from one traced run, as (name, N) for the host's Nth matching
# call of that name, and each is replayed with only that call injected. The kill
# lands on entry: the call itself does not happen.


def strace_problem():
    if tool("strace") is None:
        return "strace is not installed (tools/setup-system installs it when run as root)"
    probe = subprocess.run([tool("strace"), "-qq", "-o", os.devnull, "true"], capture_output=True,
                           text=True)
    if probe.returncode != 0:
        return "strace cannot trace here: " + probe.stderr.strip()
    return None


def traced(server, install, url, *options, key=None):
    paths = [install.path, install.launcher, install.download, install.backup,
             install.launcher + ".minisig", install.download + ".minisig", install.launcher + ".minisig.old"]
    return host(server, install, url, tool("strace"), "-f", "-qq", "-e", "signal=none", *options,
                *(arg for path in paths for arg in ("-P", path)), key=key)


CALL = re.compile(r"(\d+) +(\w+)\(")


def positions(trace, pid):
    """(name, N) for each matching call of process `pid`, in order."""
    counts = collections.Counter()
    found = []
    for line in trace.splitlines():
        match = CALL.match(line)
        if match and int(match[1]) == pid:
            counts[match[2]] += 1
            found.append((match[2], counts[match[2]]))
    return found


# With -y strace shows each descriptor with its path (3</install/QuelbaLauncher_new.exe>),
# which is all unsynced() reads; a run made only for it may trace just SYNC_CALLS.
SYNC_CALLS = ("trace=open,openat,creat,write,pwrite64,writev,pwritev,pwritev2,sendfile,copy_file_range,"
              "ftruncate,fallocate,fsync,fdatasync,close,rename,renameat,renameat2,link,linkat,"
              "symlink,symlinkat,mkdir,mkdirat")
WRITTEN = {"write": 0, "pwrite64": 0, "writev": 0, "pwritev": 0, "pwritev2": 0, "sendfile": 0,
           "ftruncate": 0, "fallocate": 0, "copy_file_range": 1}  # which of the call's descriptors
NAMING = {"rename", "renameat", "renameat2", "link", "linkat", "symlink", "symlinkat", "mkdir", "mkdirat"}
DESCRIPTOR = re.compile(r"(\d+|AT_FDCWD)<([^>]*)>")
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')


def unsynced(trace, directory):
    """What a `strace -f -y` log leaves to the page cache under `directory`: each file
    written there must be fsynced (or fdatasynced) after its last write and before its
    close, and each directory there that gains a name (a file made, a rename, link or
    mkdir into it) must be synced after the last and before any program starts.
    [] when all is durable."""
    def inside(path):
        return path == directory or path.startswith(directory.rstrip("/") + "/")

    dirty, named, faults = {}, {}, []
    for line in trace.splitlines():
        match = re.match(r"\d+ +(\w+)\((.*)", line)  # a resumed call was counted on its entry
        if not match:
            continue
        name, rest = match.groups()
        if re.search(r"\) += -1 ", rest):
            continue
        descriptors = DESCRIPTOR.findall(QUOTED.sub('""', rest)) + [("", "")] * 2
        if name in WRITTEN and inside(descriptors[WRITTEN[name]][1]):
            dirty[descriptors[WRITTEN[name]]] = True
        elif name in ("fsync", "fdatasync"):
            dirty.pop(descriptors[0], None)
            named.pop(descriptors[0][1], None)
        elif name == "close" and dirty.pop(descriptors[0], None):
            faults.append(f"{descriptors[0][1]} closed without a sync after its last write")
        elif name == "execve":
            faults += [f"{QUOTED.findall(rest)[0]} started before a sync of {folder} after the {last}"
                       for folder, last in named.items()]
            named.clear()
        elif name in NAMING or (name in ("open", "openat", "creat") and "O_CREAT" in rest):
            made = QUOTED.findall(rest)[-1]
            relative_to = DESCRIPTOR.findall(rest[: rest.rindex(f'"{made}"')]) or [("", "")]
            made = os.path.join(relative_to[-1][1], made)
            if inside(os.path.dirname(made)):
                named[os.path.dirname(made)] = f"{name} of {made}"
    faults += [f"{path} written and never synced" for _, path in dirty]
    return faults + [f"{folder} not synced after the {last}" for folder, last in named.items()]


def fresh(install, old, record=None):
    shutil.rmtree(install.path)
    os.mkdir(install.path)
    install.write(install.launcher, old)
    if record is not None:
        install.write(install.launcher + ".minisig", record, 0o644)


def record_state(install, signatures):
    """Which build's signature lies beside the launcher, as its record."""
    try:
        with open(install.launcher + ".minisig", "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None
    return next((tag for tag, signature in signatures.items() if data == signature), "a garbled record")


class Signed:
    """Signatures of the builds, in the order they were made; none without minisign."""

    def __init__(self, directory, builds, signed):
        self.key = None
        self.of = {}
        if not signed:
            return
        import signing
        from test_signed import Publisher
        if not signing.AVAILABLE:
            pytest.skip("the minisign tool is not installed")
        publisher = Publisher(directory)
        self.key = publisher.public_key
        for at, (tag, body) in enumerate(builds.items()):
            self.of[tag] = publisher.sign(body, comment=f"timestamp:{1700000000 + at}\tfile:{tag}")

    def serve(self, server, tag, url):
        if self.key is not None:
            server.add(self.of[tag], path=urllib.parse.urlsplit(url).path + ".minisig")
        return url


def wait_start(install, tag, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if any(run["tag"] == tag for run in install.runs()):
            return True
        time.sleep(0.01)
    return False


@pytest.mark.no_leakcheck("its updates run in child processes under strace")
@pytest.mark.parametrize("signed", [False, True], ids=["unsigned", "signed"])
def test_crash_at_every_step(https_server, tmp_path, monkeypatch, capsys, signed):
    """Signed, the record beside the launcher is also checked: the old launcher
    keeps its own, and the new one has its own or the old one's (which does not
    verify against it, so counts as none)."""
    problem = strace_problem()
    if problem:
        pytest.skip(problem)
    install = InstallDir(tmp_path, monkeypatch)
    builds = {"old": install.launcher_script("old"), "new": build(install, "new", 70000)}
    newer = build(install, "newer", 3000)
    signatures = Signed(str(tmp_path), {**builds, "newer": newer}, signed)
    url = signatures.serve(https_server, "new", https_server.add(builds["new"]))
    newer_url = signatures.serve(https_server, "newer", https_server.add(newer))
    missing_url = https_server.add(b"gone", status=404)
    monkeypatch.setattr(updater, "TK_AVAILABLE", False)
    monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", signatures.key, raising=False)

    def mismatch(launcher, crashed=False):
        record = record_state(install, signatures.of)
        allowed = {launcher, "old" if crashed else launcher} if signed else {None}
        return None if record in allowed else f"{launcher} beside the record of {record}"

    fresh(install, builds["old"], signatures.of.get("old"))
    trace = str(tmp_path / "trace")
    reference = traced(https_server, install, url, "-y", "-o", trace, key=signatures.key)
    assert reference.returncode == 0, reference.stderr
    assert launcher_state(install, builds) == "new"
    assert record_state(install, signatures.of) == ("new" if signed else None)
    with open(trace) as f:
        trace = f.read()
    steps = positions(trace, int(reference.stdout.split()[0]))
    assert steps
    assert unsynced(trace, install.path) == []

    broken = {}
    for name, n in steps:
        where = f"{name}#{n}"
        fresh(install, builds["old"], signatures.of.get("old"))
        run = traced(https_server, install, url, "-o", os.devnull, "-e", f"trace={name}",
                     "-e", f"inject={name}:signal=KILL:when={n}", key=signatures.key)
        if run.returncode != -9:
            broken[where] = f"not killed (exit status {run.returncode}): {run.stderr[-300:]}"
            continue
        state = launcher_state(install, builds)
        if state not in builds:
            broken[where] = state
            continue
        if mismatch(state, crashed=True):
            broken[where] = mismatch(state, crashed=True)
            continue
        # The install carries on: an update succeeds, and a failed one keeps it.
        install.point(newer_url)
        try:
            updater.UpdaterGUI()
        except (Exception, SystemExit) as e:
            broken[where] = f"{state}, then the next update failed: {e!r}"
            continue
        if launcher_state(install, {"newer": newer}) != "newer" or not wait_start(install, "newer"):
            broken[where] = f"{state}, then the next update left {launcher_state(install, builds)}"
            continue
        if signed and record_state(install, signatures.of) != "newer":
            broken[where] = f"{state}, then the next update left {mismatch('newer')}"
            continue
        left = sorted(os.listdir(install.path))
        if left != ["QuelbaLauncher.exe"] + ["QuelbaLauncher.exe.minisig"] * signed:
            broken[where] = f"{state}, then the next update left {left}"
            continue
        install.point(missing_url)
        with pytest.raises(SystemExit):
            updater.UpdaterGUI()
        state = launcher_state(install, {"newer": newer})
        if state != "newer" or mismatch("newer"):
            broken[where] = f"after a failed download: {state}, {mismatch('newer')}"
        os.remove(install.record)

    with capsys.disabled():
        print(f"\ncrash positions ({len(steps)}): " + " ".join(f"{name}#{n}" for name, n in steps))
    assert broken == {}


# ---------------------------------------------------------------------------
# A folder launcher's update: the host's sys._MEIPASS names its contents folder
# _internal-1, and the release makes _internal-2 beside it (test_folder's files:
# one copied from the running folder, two downloaded, an empty one and a link).
# Every call that names the install directory, the temporary folder, the new
# folder or a path inside them counts; a sample of them is replayed with a kill.

FOLDER_KILLS = 50  # at most, spread evenly over the traced calls that change something
READ_ONLY = {"read", "pread64", "readlink", "readlinkat", "lseek", "ioctl", "fstat", "newfstatat", "statx",
             "access", "faccessat", "faccessat2", "getdents64", "fcntl"}


def folder_tree(top):
    """{relative path: bytes, or ("link", target)} of the folder at `top`."""
    out = {}
    for directory, _, files in os.walk(top):
        for name in files:
            full = os.path.join(directory, name)
            if os.path.islink(full):
                out[os.path.relpath(full, top)] = ("link", os.readlink(full))
            else:
                with open(full, "rb") as f:
                    out[os.path.relpath(full, top)] = f.read()
    return out


@pytest.mark.no_leakcheck("its updates run in child processes under strace")
def test_folder_update_is_durable_and_survives_a_kill_at_every_step(https_server, tmp_path, monkeypatch, capsys):
    from test_folder import NEW, OLD, Folders, archive
    problem = strace_problem()
    if problem:
        pytest.skip(problem)
    install = InstallDir(tmp_path, monkeypatch)
    folders = Folders(install, https_server, monkeypatch)
    newer = {**NEW, "data/a.txt": b"three"}
    builds = {tag: install.launcher_script(tag) + archive(folder)
              for tag, folder in (("old", "_internal-1"), ("new", "_internal-2"), ("newer", "_internal-3"))}
    contents = {"old": ("_internal-1", OLD), "new": ("_internal-2", NEW)}
    url = folders.publish("_internal-2", NEW, tag="new")
    newer_url = folders.publish("_internal-3", newer, tag="newer")
    temp = os.path.join(install.path, "QuelbaLauncher_new.exe.folder")

    def fresh_folder():
        fresh(install, builds["old"])
        folders.make("_internal-1", OLD)

    def update(target, *wrapper):
        state = launcher_state(install, builds)
        meipass = os.path.join(install.path, contents[state][0]) if state in contents else None
        return host(https_server, install, target, *wrapper, meipass=meipass)

    fresh_folder()
    trace = str(tmp_path / "trace")
    reference = update(url, tool("strace"), "-f", "-qq", "-y", "-e", SYNC_CALLS + ",execve", "-o", trace)
    assert reference.returncode == 0, reference.stderr
    assert launcher_state(install, builds) == "new", reference.stdout + reference.stderr
    assert folder_tree(os.path.join(install.path, "_internal-2")) == NEW
    with open(trace) as f:
        assert unsynced(f.read(), install.path) == []

    inside = [install.path, install.launcher, install.download, install.backup,
              install.launcher + ".folders", install.launcher + ".folders.tmp"]
    for top in (temp, os.path.join(install.path, "_internal-2")):
        inside += [top] + [os.path.join(top, path) for path in NEW]
        inside += [os.path.join(top, d) for d in {os.path.dirname(path) for path in NEW} - {""}]
    watched = [arg for path in inside for arg in ("-P", path)]
    fresh_folder()
    reference = update(url, tool("strace"), "-f", "-qq", "-e", "signal=none", "-o", trace, *watched)
    assert reference.returncode == 0, reference.stderr
    with open(trace) as f:
        steps = positions(f.read(), int(reference.stdout.split()[0]))
    # A kill at a call that only reads lands where one at the change before it does.
    changes = [(name, n) for name, n in steps if name not in READ_ONLY]
    sample = changes[:: -(-len(changes) // FOLDER_KILLS)]

    broken = {}
    for name, n in sample:
        where = f"{name}#{n}"
        fresh_folder()
        os.remove(install.record) if os.path.exists(install.record) else None
        run = update(url, tool("strace"), "-f", "-qq", "-o", os.devnull, "-e", "signal=none", "-e",
                     f"trace={name}", "-e", f"inject={name}:signal=KILL:when={n}", *watched)
        if run.returncode != -9:
            broken[where] = f"not killed (exit status {run.returncode}): {run.stderr[-300:]}"
            continue
        state = launcher_state(install, builds)
        if state not in contents:
            broken[where] = state
            continue
        folder, files = contents[state]
        if folder_tree(os.path.join(install.path, folder)) != files:
            broken[where] = f"{state} beside an incomplete {folder}"
            continue
        # The install carries on: the next update completes.
        run = update(newer_url)
        if run.returncode != 0 or launcher_state(install, builds) != "newer" or not wait_start(install, "newer"):
            broken[where] = f"{state}, then the next update failed: {run.stderr[-300:]}"
        elif folder_tree(os.path.join(install.path, "_internal-3")) != newer or os.path.exists(temp):
            broken[where] = f"{state}, then the next update left {sorted(os.listdir(install.path))}"

    with capsys.disabled():
        print(f"\nfolder crash positions ({len(sample)} of {len(changes)} changes, {len(steps)} calls): "
              + " ".join(f"{name}#{n}" for name, n in sample))
    assert broken == {}


# ---------------------------------------------------------------------------
# Power cut
#
# The install directory lives on ext4 in an image file attached to a loop device.
# The loop driver writes what the file system sends to the device into the image
# file, so the image file read from the page cache is exactly what the "disk"
# holds: not the file system's own dirty pages, which the device has not seen.
# A copy counts as a snapshot only when no write, flush or discard completed
# while it was read and none was in flight before or after, so that it stands
# for one instant. The image is mounted with noauto_da_alloc: ext4 would otherwise
# write out a file renamed over another on its own, and a missing fsync not show.

MIB = 1 << 20
IMAGE_SIZE = 64 * MIB
LAUNCHER_SIZE = 4 * MIB


def loop_problem():
    if os.geteuid() != 0:
        return "making a loop device needs root"
    missing = [name for name in ("mkfs.ext4", "e2fsck", "debugfs", "losetup", "mount", "umount")
               if tool(name) is None]
    if missing:
        return "missing " + ", ".join(missing) + " (e2fsprogs, mount)"
    return None


def run_tool(*args):
    return subprocess.run([tool(args[0]), *args[1:]], capture_output=True, text=True, timeout=60)


@contextlib.contextmanager
def ext4_on_loop(root):
    """Mounts a fresh ext4 image; yields (image, loop device, mount point)."""
    image = os.path.join(root, "disk.img")
    with open(image, "wb") as f:
        f.truncate(IMAGE_SIZE)
    made = run_tool("mkfs.ext4", "-q", "-F", "-b", "4096",
                    "-E", "lazy_itable_init=0,lazy_journal_init=0", image)
    assert made.returncode == 0, made.stderr
    attach = run_tool("losetup", "--find", "--show", image)
    if attach.returncode != 0:
        pytest.skip("cannot attach a loop device: " + attach.stderr.strip())
    device = attach.stdout.strip()
    try:
        if not os.path.exists(f"/sys/block/{os.path.basename(device)}/stat"):
            pytest.skip(f"no I/O counters for {device} in /sys/block")
        mount_point = os.path.join(root, "mnt")
        os.mkdir(mount_point)
        mounted = run_tool("mount", "-t", "ext4", "-o", "noauto_da_alloc", device, mount_point)
        if mounted.returncode != 0:
            pytest.skip("cannot mount the loop device: " + mounted.stderr.strip())
        try:
            yield image, device, mount_point
        finally:
            for _ in range(50):  # a launcher may still be reading its script
                if run_tool("umount", mount_point).returncode == 0:
                    break
                time.sleep(0.1)
            else:
                run_tool("umount", "-l", mount_point)
    finally:
        run_tool("losetup", "-d", device)


def io_counts(device):
    """Writes, in flight, discards and flushes of a block device (/sys/block/*/stat)."""
    with open(f"/sys/block/{os.path.basename(device)}/stat") as f:
        fields = [int(x) for x in f.read().split()]
    return fields[4], fields[8], fields[11:12], fields[15:16]


def snapshot(image, device, copy):
    """Copies the image as the device holds it at one instant; returns the
    time.monotonic() of that instant."""
    for _ in range(1000):
        before = io_counts(device)
        instant = time.monotonic()
        with open(image, "rb") as f:
            data = f.read()
        if before[1] == 0 and io_counts(device) == before:
            with open(copy, "wb") as out:
                for at in range(0, len(data), MIB):
                    block = data[at : at + MIB]
                    if block.count(0) == len(block):
                        out.seek(len(block), os.SEEK_CUR)
                    else:
                        out.write(block)
                out.truncate(len(data))
            return instant
        time.sleep(0.002)
    raise AssertionError("the loop device never stood still for a copy")


def launcher_in(copy, inside, builds, scratch):
    """Replays the copy's journal and reads the launcher out of it: its verdict."""
    fsck = run_tool("e2fsck", "-fy", copy)
    if fsck.returncode not in (0, 1):
        return f"e2fsck exit status {fsck.returncode}: {fsck.stdout[-500:]}"
    out = os.path.join(scratch, "launcher")
    if os.path.exists(out):
        os.remove(out)
    run_tool("debugfs", "-R", f"dump -p {inside} {out}", copy)
    if not os.path.exists(out):
        return "no launcher"
    with open(out, "rb") as f:
        return verdict(f.read(), os.stat(out).st_mode, builds)


def snapshot_times():
    """Seconds after the swap: before and across the first journal commits (every
    5 s), and past the writeback of data older than dirty_expire, which the flusher
    looks for every dirty_writeback."""
    def centisecs(name):
        with open(f"/proc/sys/vm/{name}") as f:
            return int(f.read()) / 100

    last = min(centisecs("dirty_expire_centisecs") + 2 * centisecs("dirty_writeback_centisecs"), 90)
    return [0, 2, 6, 12, last * 0.6, last]


@pytest.mark.no_leakcheck("its update runs in a child process")
def test_power_cut_after_the_swap(https_server, tmp_path, monkeypatch, capsys):
    problem = loop_problem()
    if problem:
        pytest.skip(problem)
    with ext4_on_loop(str(tmp_path)) as (image, device, mount_point):
        install = InstallDir(mount_point, monkeypatch)
        install.record = str(tmp_path / "runs.log")
        builds = {"old": build(install, "old", LAUNCHER_SIZE), "new": build(install, "new", LAUNCHER_SIZE)}
        url = https_server.add(builds["new"])
        install.write(install.launcher, builds["old"])
        for path in (install.launcher, install.path, mount_point):  # the old install is on disk
            fd = os.open(path, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)

        proc = host(https_server, install, url)
        swapped = time.monotonic()
        assert proc.returncode == 0, proc.stderr
        seen = []
        for at in snapshot_times():
            time.sleep(max(0.0, swapped + at - time.monotonic()))
            copy = str(tmp_path / "copy.img")
            taken = snapshot(image, device, copy) - swapped
            seen.append((taken, launcher_in(copy, "/install/QuelbaLauncher.exe", builds, str(tmp_path))))
            os.remove(copy)

        assert wait_start(install, "new")
        assert launcher_state(install, builds) == "new"

    with capsys.disabled():
        print("\npower cut snapshots: " + ", ".join(f"{t:.1f} s {state}" for t, state in seen))
    # The directory was synced before the new launcher started: from then on the
    # new build is what the disk holds.
    assert [state for _, state in seen] == ["new"] * len(seen), seen


def described(tree):
    """`tree` as a manifest gives it: each file's size and SHA-256, each link's target."""
    return {path: content if isinstance(content, tuple) else (len(content), hashlib.sha256(content).hexdigest())
            for path, content in tree.items()}


@pytest.mark.no_leakcheck("its update runs in a child process")
def test_power_cut_as_a_folder_update_returns(https_server, tmp_path, monkeypatch):
    """The disk as it stands the moment the update returns, before any writeback:
    the new executable beside the whole of its new contents folder."""
    from test_folder import NEW, Folders, archive
    problem = loop_problem()
    if problem:
        pytest.skip(problem)
    with ext4_on_loop(str(tmp_path)) as (image, device, mount_point):
        install = InstallDir(mount_point, monkeypatch)
        install.record = str(tmp_path / "runs.log")
        folders = Folders(install, https_server, monkeypatch)
        builds = {tag: install.launcher_script(tag) + archive(folder)
                  for tag, folder in (("old", "_internal-1"), ("new", "_internal-2"))}
        url = folders.publish("_internal-2", NEW, tag="new")
        assert run_tool("sync", "-f", mount_point).returncode == 0  # the old install is on disk

        proc = host(https_server, install, url, meipass=os.path.join(install.path, "_internal-1"))
        copy = str(tmp_path / "copy.img")
        snapshot(image, device, copy)
        assert proc.returncode == 0, proc.stderr
        assert launcher_in(copy, "/install/QuelbaLauncher.exe", builds, str(tmp_path)) == "new"
        dumped = str(tmp_path / "dumped")
        os.mkdir(dumped)
        run_tool("debugfs", "-R", f"rdump /install/_internal-2 {dumped}", copy)
        assert described(folder_tree(os.path.join(dumped, "_internal-2"))) == described(NEW)
        assert wait_start(install, "new")
