"""The module inside a real frozen launcher.

The hook that tells PyInstaller what the extension imports, then whole updates
run by a one-file launcher frozen with it, and by one frozen with cx_Freeze
(frozen_fixtures): the running launcher replaces its own executable with a
newer frozen build and starts it, with the whole build, through a patch and
to a signed build. On Windows (a Windows CPython under Wine, tools/windows)
the same tests run a windowed build too, whose sys.stdout and sys.stderr are
None, and the swap leaves the old executable beside the new one as .old: a
running program cannot be deleted there."""
import json
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
from frozen_fixtures import WINDOWS, Publisher, hook_path, make_patch, read_starts

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
    # (json reads a folder launcher's manifest)
    imported |= {"urllib.request", "hashlib", "json", "backports.zstd"}
    assert TOOLKIT <= imported
    listed = hook_imports()
    assert sorted(listed) == sorted(imported - {"urllib"})

    # Without Tk in the Python that freezes, the toolkit is left out.
    monkeypatch.setitem(sys.modules, "_tkinter", None)
    assert sorted(hook_imports()) == sorted(imported - {"urllib"} - TOOLKIT)


def install(tmp_path, frozen_launchers, build="old"):
    """An install directory whose launcher is the frozen old build (`build`: "old",
    "windowed" or "cx_Freeze"); returns the directory and the launcher's path."""
    path = str(tmp_path / "install")
    if build == "cx_Freeze":
        if frozen_launchers.cx_freeze is None:
            pytest.skip("cx_Freeze is not installed in this Python" + (
                " (the Windows test Python carries PyInstaller only)" if WINDOWS
                else " (the Makefile installs it)"))
        shutil.copytree(frozen_launchers.cx_freeze, path, symlinks=True)
    else:
        if build == "windowed" and frozen_launchers.windowed is None:
            pytest.skip("--noconsole makes a program of its own on Windows only")
        os.mkdir(path)
        shutil.copy(getattr(frozen_launchers, build), os.path.join(path, "QuelbaLauncher.exe"))
    return path, os.path.join(path, "QuelbaLauncher.exe")


def run_frozen(launcher, url, *args, env=None, windowed=False, dismiss=None):
    """Runs the frozen launcher from its directory; returns its exit status and a
    function reading what it and the builds it started have printed so far. A
    windowed build is started as a desktop starts it, with no standard streams
    (it prints nothing); `dismiss` names the title of a message box to press OK
    on when it shows (Windows only)."""
    out = os.path.join(os.path.dirname(os.path.dirname(launcher)), "output.txt")
    clean = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "_PYI"))}
    with open(out, "w") as f:
        streams = {"stdout": f, "stderr": subprocess.STDOUT}
        if windowed:  # no standard handles at all, as a desktop starts a windowed program
            streams = {"startupinfo": subprocess.STARTUPINFO(dwFlags=subprocess.STARTF_USESTDHANDLES)}
        proc = subprocess.Popen([launcher, url, *args], cwd=os.path.dirname(launcher),
                                env={**clean, **(env or {})}, **streams)
        deadline = time.monotonic() + 90
        while proc.poll() is None and time.monotonic() < deadline:
            if dismiss and WINDOWS:
                windows_boxes(press=dismiss)
            time.sleep(0.1)
        if proc.poll() is None:
            shown = windows_boxes() if WINDOWS else []
            proc.kill()
            proc.wait()
            pytest.fail(f"the frozen launcher did not end; windows shown: {shown}")

    def output():
        with open(out) as f:
            return f.read()

    return proc.returncode, output


def windows_boxes(press=None):
    """The titles of the visible top-level windows; presses OK on those titled
    `press` (message boxes are real windows under Windows Tk)."""
    import ctypes
    from ctypes import wintypes

    user32 = ctypes.WinDLL("user32")
    titles = []

    @ctypes.WINFUNCTYPE(wintypes.BOOL, wintypes.HWND, wintypes.LPARAM)
    def visit(hwnd, _):
        if user32.IsWindowVisible(hwnd):
            title = ctypes.create_unicode_buffer(256)
            user32.GetWindowTextW(hwnd, title, 256)
            titles.append(title.value)
            if press is not None and title.value == press:
                user32.PostMessageW(hwnd, 0x0111, 1, 0)  # WM_COMMAND, IDOK
        return True

    user32.EnumWindows(visit, 0)
    return titles


def wait_starts(path, count, timeout=20):
    deadline = time.monotonic() + timeout
    while len(read_starts(path)) < count and time.monotonic() < deadline:
        time.sleep(0.05)
    return read_starts(path)


def check_replaced(path, launcher, frozen_launchers, shipped, old_build="old"):
    """The launcher is the new build, and beside it only what was shipped, the
    starts and, on Windows, the old build as .old: it was still running when
    the swap tried to remove it. The old build imported nothing once the swap
    had begun."""
    with open(os.path.join(os.path.dirname(path), "swapped.json")) as f:
        assert json.load(f) == []
    left = {"starts.jsonl"} | ({"QuelbaLauncher.exe.old"} if WINDOWS else set())
    assert set(os.listdir(path)) == shipped | left
    with open(launcher, "rb") as f:
        assert f.read() == frozen_launchers.bytes("new")
    if WINDOWS:
        with open(launcher + ".old", "rb") as f:
            assert f.read() == frozen_launchers.bytes(old_build)
    else:
        assert os.stat(launcher).st_mode & 0o777 == 0o755


@pytest.mark.parametrize("build, front_end", [
    ("old", "console"),
    ("old", "window"),
    ("windowed", "window"),  # no standard streams
    ("windowed", "console"),  # the console update with nowhere to print
    ("cx_Freeze", "console"),  # frozen with the module list the README gives
])
def test_frozen_launcher_updates_itself(build, front_end, frozen_launchers, tmp_path,
                                        https_server, request):
    path, launcher = install(tmp_path, frozen_launchers, build)
    shipped = set(os.listdir(path))
    url = https_server.add(frozen_launchers.bytes("new"))
    env = https_server.env()
    if front_end == "window" and not WINDOWS:  # Wine has a display of its own
        env["DISPLAY"] = request.getfixturevalue("display")
    options = ["--console"] if front_end == "console" else []
    status, output = run_frozen(launcher, url, *options, env=env, windowed=build == "windowed")
    assert status == 0, output()
    starts = wait_starts(path, 2)
    assert [entry["version"] for entry in starts] == ["old", "new"], output()

    old, started = starts
    assert old["frozen"] is True and old["tk"] is True  # the toolkit was bundled
    assert old["no_streams"] == [build == "windowed"] * 2
    if front_end == "console" and build != "windowed":
        assert "Update ready! Replacing and restarting..." in output()
    assert old["executable"] == launcher
    assert old["exe_dir"] == path
    # The new build was started from the launcher's place, as a fresh bundle of its own.
    assert started["version"] == "new" and started["frozen"] is True
    assert started["executable"] == launcher
    assert started["meipass"] not in (None, old["meipass"])
    check_replaced(path, launcher, frozen_launchers, shipped, build)


def test_frozen_launcher_updates_itself_through_a_patch(frozen_launchers, tmp_path, https_server):
    path, launcher = install(tmp_path, frozen_launchers)
    url = https_server.add(frozen_launchers.bytes("new"))
    patch = make_patch(frozen_launchers.new, frozen_launchers.old, str(tmp_path / "patches"))
    with open(patch, "rb") as f:
        patch_url = https_server.add(f.read(), path=urllib.parse.urlsplit(url).path + ".patches/"
                                     + os.path.basename(patch))
    status, output = run_frozen(launcher, url, "--console", "--patches", env=https_server.env())
    assert status == 0, output()
    assert [entry["version"] for entry in wait_starts(path, 2)] == ["old", "new"], output()
    assert (len(https_server.requests(patch_url)), len(https_server.requests(url))) == (1, 0)
    check_replaced(path, launcher, frozen_launchers, {"QuelbaLauncher.exe"})


@pytest.mark.parametrize("served", ["signed", "tampered"])
def test_frozen_launcher_installs_only_a_signed_build(served, frozen_launchers, tmp_path,
                                                     https_server):
    path, launcher = install(tmp_path, frozen_launchers)
    publisher = Publisher()
    new = frozen_launchers.bytes("new")
    body = new if served == "signed" else new[:4096] + bytes([new[4096] ^ 1]) + new[4097:]
    url = https_server.add(body)
    signature = publisher.sign(new)
    https_server.add(signature, path=urllib.parse.urlsplit(url).path + ".minisig")
    status, output = run_frozen(launcher, url, "--console", "--public-key", publisher.public_key,
                                env=https_server.env())
    if served == "signed":
        assert status == 0, output()
        assert [entry["version"] for entry in wait_starts(path, 2)] == ["old", "new"], output()
        # the build's signature is kept beside it as its record
        check_replaced(path, launcher, frozen_launchers, {"QuelbaLauncher.exe", "QuelbaLauncher.exe.minisig"})
        with open(launcher + ".minisig", "rb") as f:
            assert f.read() == signature
    else:
        assert status == 1, output()
        assert "Download failed!" in output()
        assert [entry["version"] for entry in read_starts(path)] == ["old"]
        assert sorted(os.listdir(path)) == ["QuelbaLauncher.exe", "starts.jsonl"]
        with open(launcher, "rb") as f:
            assert f.read() == frozen_launchers.bytes("old")


@pytest.mark.parametrize("build, front_end", [
    ("old", "console"),
    ("windowed", "console"),
    ("windowed", "window"),  # the error box, then the exit
])
def test_frozen_launcher_kept_when_the_release_is_missing(build, front_end, frozen_launchers,
                                                         tmp_path, https_server):
    path, launcher = install(tmp_path, frozen_launchers, build)
    url = https_server.add(b"not here", status=404)
    options = ["--console"] if front_end == "console" else []
    status, output = run_frozen(launcher, url, *options, env=https_server.env(),
                                windowed=build == "windowed", dismiss="Update Failed")
    assert status == 1, output()
    if build != "windowed":
        assert "Download failed!" in output()
    assert [entry["version"] for entry in read_starts(path)] == ["old"]
    assert sorted(os.listdir(path)) == ["QuelbaLauncher.exe", "starts.jsonl"]
    with open(launcher, "rb") as f:
        assert f.read() == frozen_launchers.bytes(build)
