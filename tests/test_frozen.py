"""The module inside a real frozen launcher.

The hook that tells PyInstaller what the extension imports, then whole updates
run by a one-file launcher frozen with it, and by one frozen with cx_Freeze
(frozen_fixtures): the running launcher replaces its own executable with a
newer frozen build and starts it."""
import os
import runpy
import shutil
import subprocess
import sys
import time
import types
import urllib.parse

import pytest

import updater
from frozen_fixtures import REPO, hook_path, read_starts

pytestmark = pytest.mark.no_leakcheck("runs frozen executables")

TOOLKIT = {"tkinter", "tkinter.ttk", "tkinter.messagebox"}


def hook_imports():
    return runpy.run_path(hook_path())["hiddenimports"]


def test_hook_lists_every_run_time_import(monkeypatch):
    imported = set()
    for name, value in vars(updater).items():
        if name.startswith("__"):
            continue
        if isinstance(value, types.ModuleType):
            imported.add(value.__name__)
        elif isinstance(value, type) and value.__module__ != "updater":
            imported.add(value.__module__)
    # the module binds `urllib` for the first; the others are imported when used
    imported |= {"urllib.request", "hashlib", "backports.zstd"}
    assert TOOLKIT <= imported
    listed = hook_imports()
    assert sorted(listed) == sorted(imported - {"urllib"})

    # Without Tk in the Python that freezes, the toolkit is left out.
    monkeypatch.setitem(sys.modules, "_tkinter", None)
    assert sorted(hook_imports()) == sorted(imported - {"urllib"} - TOOLKIT)


def install(tmp_path, frozen_launchers, freezer="PyInstaller"):
    """An install directory whose launcher is the frozen old build; returns the
    directory and the launcher's path."""
    path = str(tmp_path / "install")
    if freezer == "cx_Freeze":
        if frozen_launchers.cx_freeze is None:
            pytest.skip("cx_Freeze is not installed (the Makefile installs it)")
        shutil.copytree(frozen_launchers.cx_freeze, path, symlinks=True)
    else:
        os.mkdir(path)
        shutil.copy(frozen_launchers.old, os.path.join(path, "QuelbaLauncher.exe"))
    return path, os.path.join(path, "QuelbaLauncher.exe")


def run_frozen(launcher, url, *args, env=None):
    """Runs the frozen launcher from its directory; returns its exit status and a
    function reading what it and the builds it started have printed so far."""
    out = os.path.join(os.path.dirname(os.path.dirname(launcher)), "output.txt")
    clean = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "_PYI"))}
    with open(out, "w") as f:
        status = subprocess.run([launcher, url, *args], cwd=os.path.dirname(launcher),
                                env={**clean, **(env or {})}, stdout=f,
                                stderr=subprocess.STDOUT, timeout=120).returncode

    def output():
        with open(out) as f:
            return f.read()

    return status, output


def wait_starts(path, count, timeout=20):
    deadline = time.monotonic() + timeout
    while len(read_starts(path)) < count and time.monotonic() < deadline:
        time.sleep(0.05)
    return read_starts(path)


@pytest.mark.parametrize("freezer, front_end", [
    ("PyInstaller", "console"),
    ("PyInstaller", "window"),
    ("cx_Freeze", "console"),  # frozen with the module list the README gives
])
def test_frozen_launcher_updates_itself(freezer, front_end, frozen_launchers, tmp_path,
                                        https_server, request):
    path, launcher = install(tmp_path, frozen_launchers, freezer)
    shipped = set(os.listdir(path))
    new = frozen_launchers.bytes("new")
    url = https_server.add(new)
    if front_end == "console":
        status, output = run_frozen(launcher, url, "--console", env=https_server.env())
    else:
        display = request.getfixturevalue("display")
        status, output = run_frozen(launcher, url, env={**https_server.env(), "DISPLAY": display})
    assert status == 0, output()
    starts = wait_starts(path, 2)
    assert [entry["version"] for entry in starts] == ["old", "new"], output()

    old, started = starts
    assert old["frozen"] is True and old["tk"] is True  # the toolkit was bundled
    if front_end == "console":
        assert "Update ready! Replacing and restarting..." in output()
    assert old["executable"] == launcher
    assert old["exe_dir"] == path
    # The new build was started from the launcher's place, as a fresh bundle of its own.
    assert started["version"] == "new" and started["frozen"] is True
    assert started["executable"] == launcher
    assert started["meipass"] not in (None, old["meipass"])
    assert set(os.listdir(path)) == shipped | {"starts.jsonl"}
    with open(launcher, "rb") as f:
        assert f.read() == new
    assert os.stat(launcher).st_mode & 0o777 == 0o755


def test_frozen_launcher_updates_itself_through_a_patch(frozen_launchers, tmp_path, https_server):
    path, launcher = install(tmp_path, frozen_launchers)
    new = frozen_launchers.bytes("new")
    url = https_server.add(new)
    patches = str(tmp_path / "patches")
    subprocess.run([os.path.join(REPO, "tools", "make-patches"), "-o", patches, frozen_launchers.new,
                    frozen_launchers.old], check=True, capture_output=True)
    (name,) = os.listdir(patches)
    with open(os.path.join(patches, name), "rb") as f:
        patch_url = https_server.add(f.read(), path=urllib.parse.urlsplit(url).path + ".patches/" + name)
    status, output = run_frozen(launcher, url, "--console", "--patches", env=https_server.env())
    assert status == 0, output()
    assert [entry["version"] for entry in wait_starts(path, 2)] == ["old", "new"], output()
    assert (len(https_server.requests(patch_url)), len(https_server.requests(url))) == (1, 0)
    with open(launcher, "rb") as f:
        assert f.read() == new


def test_frozen_launcher_kept_when_the_release_is_missing(frozen_launchers, tmp_path,
                                                         https_server):
    path, launcher = install(tmp_path, frozen_launchers)
    url = https_server.add(b"not here", status=404)
    status, output = run_frozen(launcher, url, "--console", env=https_server.env())
    assert status == 1, output()
    assert "Download failed!" in output()
    assert [entry["version"] for entry in read_starts(path)] == ["old"]
    assert sorted(os.listdir(path)) == ["QuelbaLauncher.exe", "starts.jsonl"]
    with open(launcher, "rb") as f:
        assert f.read() == frozen_launchers.bytes("old")
