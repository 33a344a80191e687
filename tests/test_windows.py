"""What only Windows has: a running executable that can be renamed but not
deleted, files held open without sharing, command lines that CreateProcess
reads, and launchers with no console. Run by the Windows CPython (under Wine
here); the rest of the suite covers what Windows shares with other systems."""
import contextlib
import ctypes
import os
import shutil
import stat
import subprocess
import sys
import textwrap
import threading
import time
import urllib.parse

import pytest

import updater
from conftest import child_env, run_child
from frozen_fixtures import Publisher
from test_engine import Reports
from test_frozen import run_frozen, wait_starts
from updater_release import folder

pytestmark = [
    pytest.mark.skipif(sys.platform != "win32", reason="Windows behaviour, run by the Windows CPython"),
    pytest.mark.no_leakcheck("starts processes and holds files; the engine's calls are checked elsewhere"),
]


def update(install):
    """A whole update in this process: the download, then the swap."""
    path = updater.download_new_exe_with_progress(Reports())
    assert path == install.download
    return updater.replace_and_run(path)


NO_SHARING, SHARE_READ = 0, 1


@contextlib.contextmanager
def held(path, sharing=NO_SHARING):
    """`path` open for reading as a scanner holds a new executable: sharing
    nothing, or sharing read but not delete (so that it can be read, and
    neither renamed nor removed)."""
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.CreateFileW.restype = ctypes.c_void_p
    kernel32.CreateFileW.argtypes = [ctypes.c_wchar_p, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_void_p,
                                     ctypes.c_uint32, ctypes.c_uint32, ctypes.c_void_p]
    kernel32.CloseHandle.argtypes = [ctypes.c_void_p]
    generic_read, open_existing = 0x80000000, 3
    handle = kernel32.CreateFileW(path, generic_read, sharing, None, open_existing, 0, None)
    if handle in (None, ctypes.c_void_p(-1).value):
        raise ctypes.WinError(ctypes.get_last_error())
    try:
        yield
    finally:
        kernel32.CloseHandle(handle)


WATCHED, WRITES = set(), []  # paths, and (path, event) each time one is opened for writing or copied onto


def _audit(event, args):
    if event == "open" or event == "shutil.copyfile":
        path, writing = (args[0], args[2] & (os.O_WRONLY | os.O_RDWR)) if event == "open" else (args[1], True)
        if writing and isinstance(path, str) and os.path.normcase(path) in WATCHED:
            WRITES.append((path, event))


sys.addaudithook(_audit)


def content(path):
    with open(path, "rb") as f:
        return f.read()


def tags(install, count=1):
    return [run["tag"] for run in install.wait_runs(count)]


# ---------------------------------------------------------------------------
# The command line of the relaunch, and paths Windows spells differently


@pytest.mark.parametrize("folder", ["Program Files", "Quelba \u00e9t\u00e9 \u30af"])
def test_launcher_starts_at_its_path_whatever_its_prefixes_name(install_dir, tmp_path, folder):
    """Unquoted, "...\\sp\\Program Files\\Quelba\\QuelbaLauncher.exe" runs "...\\sp\\Program.exe"."""
    root = tmp_path / "sp"
    install = root / folder / "Quelba"
    install.mkdir(parents=True)
    for name in os.listdir(install_dir.path):
        shutil.move(os.path.join(install_dir.path, name), install)
    install_dir.write(str(root / (folder.split(" ")[0] + ".exe")), install_dir.launcher_script("planted"))
    install_dir.path = str(install)
    install_dir.launcher = str(install / "QuelbaLauncher.exe")
    install_dir.download = str(install / "QuelbaLauncher_new.exe")
    install_dir.point()

    assert update(install_dir) is None

    [run] = install_dir.wait_runs(1)
    assert (run["tag"], run["argv0"], run["argc"]) == ("new", install_dir.launcher, "0")
    assert os.listdir(install) == ["QuelbaLauncher.exe"]


# ---------------------------------------------------------------------------
# A running launcher replaces its own executable

SELF_UPDATE = """
    import sys
    sys.frozen = True              # the launcher is this process's own executable
    import updater
    updater.UPDATE_URL = sys.argv[1]
    path = updater.download_new_exe_with_progress(lambda *report: None)
    updater.replace_and_run(path)
    print("swapped", flush=True)
    sys.stdin.readline()           # the old launcher runs on, from its backup
"""


def running_launcher(install, https_server):
    """Starts a copy of python.exe installed as the launcher, which updates
    itself and then keeps running until its stdin closes."""
    home = os.path.dirname(sys.executable)
    shutil.copy(sys.executable, install.launcher)
    env = child_env(**https_server.env(), PYTHONHOME=home, PATH=home + os.pathsep + os.environ["PATH"])
    proc = subprocess.Popen([install.launcher, "-c", textwrap.dedent(SELF_UPDATE), install.url],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env)
    line = proc.stdout.readline()
    if line != "swapped\n":
        proc.kill()
        _, err = proc.communicate()
        pytest.fail(f"the launcher did not update itself: {line!r} {err}")
    return proc


def test_running_launcher_replaces_itself(https_server, install_dir, monkeypatch):
    old = running_launcher(install_dir, https_server)
    publisher = Publisher()
    record = install_dir.launcher + ".minisig"
    try:
        assert tags(install_dir) == ["new"]
        # Its image cannot be deleted while it runs: kept as the backup, no failure.
        assert sorted(os.listdir(install_dir.path)) == ["QuelbaLauncher.exe", "QuelbaLauncher.exe.old"]
        assert install_dir.files()["QuelbaLauncher.exe"][0] == install_dir.launcher_script("new")

        # Started again and updating, signed, before the old process ends: refused,
        # not bricked, and the launcher keeps its record.
        new_record = publisher.sign(install_dir.launcher_script("new"), comment="timestamp:1700000000")
        install_dir.write(record, new_record)
        newer = install_dir.launcher_script("newer")
        newer_record = publisher.sign(newer, comment="timestamp:1700000001")
        install_dir.point(https_server.add(newer))
        https_server.add(newer_record, path=urllib.parse.urlsplit(install_dir.url).path + ".minisig")
        monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", publisher.public_key, raising=False)
        with pytest.raises(RuntimeError, match="^Failed to replace and run: "):
            update(install_dir)
        assert install_dir.files()["QuelbaLauncher.exe"][0] == install_dir.launcher_script("new")
        assert content(record) == new_record
        assert tags(install_dir) == ["new"]
    finally:
        old.communicate("\n", timeout=60)
    assert old.returncode == 0

    # Once it has ended, the next update succeeds and clears the backups.
    assert update(install_dir) is None
    assert tags(install_dir, 2) == ["new", "newer"]
    assert sorted(os.listdir(install_dir.path)) == ["QuelbaLauncher.exe", "QuelbaLauncher.exe.minisig"]
    assert content(record) == newer_record


def test_read_only_launcher_updates_and_hands_nothing_on(https_server, install_dir):
    """Windows refuses to remove or replace a read-only file; Wine refuses the
    removal only. The new build is not made read-only, and a backup left
    read-only goes."""
    os.chmod(install_dir.launcher, stat.S_IREAD)
    install_dir.write(install_dir.backup, b"left read-only by an earlier update", stat.S_IREAD)
    assert update(install_dir) is None
    assert tags(install_dir) == ["new"]
    assert sorted(os.listdir(install_dir.path)) == ["QuelbaLauncher.exe"]
    assert os.stat(install_dir.launcher).st_mode & stat.S_IWRITE

    install_dir.point(https_server.add(install_dir.launcher_script("newer")))
    assert update(install_dir) is None
    assert tags(install_dir, 2) == ["new", "newer"]
    assert sorted(os.listdir(install_dir.path)) == ["QuelbaLauncher.exe"]


# ---------------------------------------------------------------------------
# A scanner holds a file open without sharing during the swap


@pytest.mark.parametrize("name, sharing", [("QuelbaLauncher_new.exe", NO_SHARING),
                                           ("QuelbaLauncher.exe", NO_SHARING),
                                           ("QuelbaLauncher_new.exe", SHARE_READ)])
def test_file_held_by_a_scanner(install_dir, name, sharing):
    """Shared for reading, the download could be copied: nothing is ever
    written at the launcher's name but by a rename."""
    path = updater.download_new_exe_with_progress(Reports())
    old = install_dir.launcher_script("old")
    WRITES.clear()
    WATCHED.add(os.path.normcase(install_dir.launcher))
    with held(os.path.join(install_dir.path, name), sharing):
        with pytest.raises(RuntimeError, match="^Failed to replace and run: ") as info:
            updater.replace_and_run(path)
        # A sharing violation (WinError 32), or access denied where Wine refuses
        # the download's attributes too.
        assert isinstance(info.value.__context__, PermissionError)
        assert "QuelbaLauncher.exe.old" not in os.listdir(install_dir.path)
    WATCHED.clear()
    assert WRITES == []
    assert content(install_dir.launcher) == old
    assert install_dir.runs() == []
    # The handle gone, the same download goes in.
    assert updater.replace_and_run(path) is None
    assert tags(install_dir) == ["new"]
    assert sorted(os.listdir(install_dir.path)) == ["QuelbaLauncher.exe"]


# ---------------------------------------------------------------------------
# A windowed launcher: no console, sys.stdout and sys.stderr are None


def windowed(https_server, install, status):
    pythonw = os.path.join(os.path.dirname(sys.executable), "pythonw.exe")
    code = ("import sys\nsys.stdout = sys.stderr = None\nsys.modules['tkinter'] = None\n"
            "import updater\n" + install.child_code() + "updater.UpdaterGUI()\n")
    proc = run_child(code, env=child_env(**https_server.env()), executable=pythonw)
    assert (proc.returncode, proc.stdout, proc.stderr) == (status, "", "")


def test_windowed_launcher_updates_and_fails_quietly(https_server, install_dir):
    old = install_dir.launcher_script("old")
    install_dir.point(https_server.add(b"gone", status=404))
    windowed(https_server, install_dir, 1)
    assert content(install_dir.launcher) == old

    install_dir.point(https_server.add(install_dir.launcher_script("new")))
    os.mkdir(install_dir.backup)  # the swap fails: a directory at the backup's name
    windowed(https_server, install_dir, 1)
    assert content(install_dir.launcher) == old
    os.rmdir(install_dir.backup)

    windowed(https_server, install_dir, 0)
    assert tags(install_dir) == ["new"]
    assert sorted(os.listdir(install_dir.path)) == ["QuelbaLauncher.exe"]


# ---------------------------------------------------------------------------
# A one-dir launcher: its executable beside the contents folder it runs from


def serve_release(https_server, builds, tag, known):
    """Build `tag` published as updater-release publishes a folder build, with
    the blobs of the files whose SHA-256 is not `known` (b1's: a launcher from
    b1 on has the rest)."""
    contents = os.path.join(builds.path(tag), builds.contents(tag))
    exe, entries = content(builds.exe(tag)), folder.scan(contents)
    https_server.add(folder.make_manifest(exe, builds.contents(tag), entries),
                     path=f"/{tag}/QuelbaLauncher.exe.contents")
    for entry in entries:
        if entry.get("sha256") not in known | {None}:
            https_server.add(folder.compress_blob(content(os.path.join(contents, entry["path"])), level=1),
                             path=f"/{tag}/QuelbaLauncher.exe.files/{entry['sha256']}.zst")
    return https_server.add(exe, path=f"/{tag}/QuelbaLauncher.exe")


def test_onedir_launcher_updates_beside_the_folders_in_use(onedir_builds, https_server, tmp_path):
    """Each build runs from its own folder, made beside the running one. A
    second b1 that runs on (stopped in its manifest's download) keeps its image
    as the backup, which no swap can replace, and its folder: the update fails,
    the launcher stays. Once it has ended, the next update takes the folder."""
    install = str(tmp_path / "install")
    launcher = onedir_builds.install("b1", install)
    known = {e.get("sha256") for e in folder.scan(os.path.join(onedir_builds.path("b1"), "_internal-b1"))}
    urls = {tag: serve_release(https_server, onedir_builds, tag, known) for tag in ("b2", "b3", "b4")}

    def update(tag, status=0):
        before = len(wait_starts(install, 0))
        code, output = run_frozen(launcher, urls[tag], "--console", env=https_server.env())
        assert code == status, output()
        if status == 0:  # the launcher's start, then the new build's, from its own folder
            start = wait_starts(install, before + 2)[-1]
            assert (start["version"], start["meipass"]) == (tag, os.path.join(install, "_internal-" + tag)), output()
        return sorted(n[len("_internal-"):] for n in os.listdir(install) if n.startswith("_internal"))

    gate = threading.Event()
    hold = https_server.add(b"{" * 4096, path="/held/QuelbaLauncher.exe.contents", chunk=1, gate=gate)
    holder = subprocess.Popen([launcher, hold[:-len(".contents")], "--console"], cwd=install,
                              env=child_env(**https_server.env()), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        while not https_server.requests(hold) and holder.poll() is None:
            time.sleep(0.1)
        assert update("b2") == ["b1", "b2"]
        b2 = content(launcher)
        assert update("b3", status=1) == ["b1", "b2", "b3"]
        assert content(launcher) == b2
    finally:
        gate.set()
        holder.wait(60)
    assert update("b3") == ["b2", "b3"]  # the folder made before is used as it stands
    assert update("b4") == ["b3", "b4"]
    assert "sqlite" in wait_starts(install, 0)[-1]
