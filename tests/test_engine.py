"""The update engine against a real HTTPS server, real files and real processes:
get_exe_dir, download_new_exe_with_progress and replace_and_run."""
import contextlib
import errno
import gc
import os
import shutil
import subprocess
import sys
import traceback
import types
import urllib.error
import urllib.parse

import pytest

import updater
from conftest import child_env, run_child
from https_fixtures import file_mode

pytestmark = pytest.mark.filterwarnings("ignore:subprocess .* is still running:ResourceWarning")

FAILURE = (-1, 0, False, 0)
BODY = os.urandom(200_000)  # three full chunks and a short one
CHUNKS = [65536, 131072, 196608, 200000]


class Reports(list):
    """A progress callback that keeps every report, and the exception being
    handled at the failure report."""

    error = None

    def __call__(self, *report, **kwargs):
        assert not kwargs
        self.append(report)
        if report == FAILURE:
            self.error = sys.exc_info()[1]


class Proxy:
    """Stands in for a module, with some of its functions replaced."""

    def __init__(self, module, **replaced):
        self.__dict__.update(replaced)
        self._module = module

    def __getattr__(self, name):
        return getattr(self._module, name)


def recording(steps, name, function):
    """`function`, each call recorded in `steps`: name, then the arguments (paths by base name)."""
    def run(*args):
        steps.append((name, *(os.path.basename(a) if isinstance(a, str) else a for a in args)))
        return function(*args)
    return run


def last_entry(exc):
    """The module's innermost traceback entry: (file, line, function)."""
    entry = [e for e in traceback.extract_tb(exc.__traceback__) if e.filename == "updater.py"][-1]
    return entry.filename, entry.lineno, entry.name


def open_fds():
    """The open descriptors, or on Windows the process's handles."""
    if sys.platform == "win32":
        import ctypes

        count = ctypes.c_ulong()
        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        if not kernel32.GetProcessHandleCount(ctypes.c_void_p(-1), ctypes.byref(count)):
            raise ctypes.WinError(ctypes.get_last_error())
        return count.value
    return len(os.listdir("/proc/self/fd"))


def settled_fds(server):
    """The open descriptor count once the connection threads of `server` have
    ended: the server runs in this process, so a connection whose thread still
    runs, an earlier test's among them, holds a descriptor (on Windows a socket
    and a thread handle) that is no part of what is counted."""
    server.settle()
    return open_fds()


# ---------------------------------------------------------------------------
# get_exe_dir

MISSING = object()


@pytest.mark.parametrize("frozen", [True, "yes", False, 0, "", None, MISSING])
@pytest.mark.parametrize("module_file", ["lib/updater.so", "updater.so"])
def test_get_exe_dir(monkeypatch, tmp_path, frozen, module_file):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "executable", "/opt/quelba/QuelbaLauncher.exe")
    monkeypatch.setattr(updater, "__file__", module_file)
    if frozen is MISSING:
        monkeypatch.delattr(sys, "frozen", raising=False)
    else:
        monkeypatch.setattr(sys, "frozen", frozen, raising=False)
    expected = "/opt/quelba" if frozen is not MISSING and frozen else os.path.abspath(
        os.path.dirname(module_file)
    )
    assert updater.get_exe_dir() == expected


def test_path_steps_raise_before_anything_happens(monkeypatch, install_dir):
    monkeypatch.delattr(updater, "__file__")
    with pytest.raises(NameError, match=r"^name '__file__' is not defined$") as info:
        updater.get_exe_dir()
    assert last_entry(info.value) == ("updater.py", 33, "updater.get_exe_dir")

    install_dir.point()
    monkeypatch.delattr(updater, "TEMP_EXE_NAME")
    reports = Reports()
    with pytest.raises(NameError, match="TEMP_EXE_NAME") as info:
        updater.download_new_exe_with_progress(reports)
    assert last_entry(info.value) == ("updater.py", 38, "updater.download_new_exe_with_progress")
    assert reports == []

    monkeypatch.delattr(updater, "MAIN_EXE_NAME")
    with pytest.raises(NameError, match="MAIN_EXE_NAME") as info:
        updater.replace_and_run(install_dir.download)
    assert last_entry(info.value) == ("updater.py", 157, "updater.replace_and_run")
    assert sorted(os.listdir(install_dir.path)) == ["QuelbaLauncher.exe"]


# ---------------------------------------------------------------------------
# download_new_exe_with_progress: success


SUCCESSES = {
    "with length": lambda s: s.add(BODY),
    "chunked, size unknown": lambda s: s.add(BODY, length=None, chunked=True),
    "slow body": lambda s: s.add(BODY, chunk=16384, delay=0.02),
    "https redirect": lambda s: s.add(redirect=s.add(BODY)),
}


@pytest.mark.parametrize("route", SUCCESSES)
def test_download_reports_every_chunk(https_server, install_dir, route):
    url = SUCCESSES[route](https_server)
    install_dir.point(url)
    install_dir.write(install_dir.download, b"older attempt", 0o644)
    reports = Reports()

    result = updater.download_new_exe_with_progress(reports)

    assert type(result) is str and result == install_dir.download
    with open(result, "rb") as f:
        assert f.read() == BODY
    assert [report[3] for report in reports] == CHUNKS
    known = route != "chunked, size unknown"
    for percent, speed_kb, known_size, downloaded_bytes in reports:
        assert type(known_size) is bool and known_size is known
        assert type(downloaded_bytes) is int
        assert type(speed_kb) is float or (type(speed_kb) is int and speed_kb == 0)
        if known:
            assert type(percent) is float and percent == downloaded_bytes / len(BODY) * 100
        else:
            assert type(percent) is int and percent == 0
    if known:
        assert reports[-1][0] == 100.0
    assert https_server.requests(url)[-1].headers["Cache-Control"] == "no-cache"


def test_speed_is_the_average_since_the_headers(monkeypatch, https_server, install_dir):
    readings = iter([50.0, 50.0, 50.5, 51.0, 52.0])
    monkeypatch.setattr(updater, "time", types.SimpleNamespace(time=lambda: next(readings)))
    install_dir.point(https_server.add(BODY))
    reports = Reports()

    assert updater.download_new_exe_with_progress(reports) == install_dir.download

    speeds = [report[1] for report in reports]
    assert type(speeds[0]) is int and speeds[0] == 0
    assert speeds[1:] == [131072 / 1024 / 0.5, 196608 / 1024 / 1.0, 200000 / 1024 / 2.0]


# ---------------------------------------------------------------------------
# download_new_exe_with_progress: failures


def plain_http(server):
    return server.add(redirect=server.http_url(urllib.parse.urlsplit(server.add(BODY)).path))


def http_hop(server):
    """https -> http -> https: the last hop is https again."""
    back_to_https = urllib.parse.urlsplit(server.add(redirect=server.add(BODY))).path
    return server.add(redirect=server.http_url(back_to_https))


def untrusted(server):
    return server.untrusted_url(urllib.parse.urlsplit(server.add(BODY)).path)


# route, progress reports before the failure report, whether an older download
# file stays (refused before the file is made) or none is left (made, then removed)
FAILURES = {
    "404": (lambda s: s.add(b"gone", status=404), [], "older"),
    "500": (lambda s: s.add(b"oops", status=500), [], "older"),
    "non-numeric length": (lambda s: s.add(BODY, length="lots"), [], "older"),
    "negative length": (lambda s: s.add(BODY, length="-1"), [], "older"),
    "redirect to http": (plain_http, [], "older"),
    "https, http, https": (http_hop, [], "older"),
    "untrusted certificate": (untrusted, [], "older"),
    "no length, not chunked": (lambda s: s.add(BODY, length=None), [], "older"),
    "length 0": (lambda s: s.add(BODY, length="0"), [], None),
    "empty body": (lambda s: s.add(b""), [], None),
    "cut short": (lambda s: s.add(BODY, send=100_000), [65536, 100_000], None),
    "chunked, cut short": (lambda s: s.add(BODY, length=None, chunked=True, send=100_000),
                           [65536], None),
}


@pytest.mark.parametrize("suppressed", [False, True], ids=["raised", "suppressed"])
@pytest.mark.parametrize("kind", FAILURES)
def test_failed_download_reports_once(https_server, install_dir, kind, suppressed, request):
    """Suppressed: a response whose __exit__ swallows the error goes on after
    its block, where a file whose own checks did not run is no build."""
    if suppressed:
        request.getfixturevalue("suppressing")
    route, progress, left = FAILURES[kind]
    install_dir.point(route(https_server))
    install_dir.write(install_dir.download, b"older attempt", 0o644)
    reports = Reports()

    assert updater.download_new_exe_with_progress(reports) is None

    assert [report[3] for report in reports[:-1]] == progress
    assert reports[-1] == FAILURE
    assert [type(value) for value in reports[-1]] == [int, int, bool, int]
    assert install_dir.files().get("QuelbaLauncher_new.exe") == (left and (b"older attempt", 0o644))
    assert install_dir.files()["QuelbaLauncher.exe"] == (install_dir.launcher_script("old"), 0o755)
    if suppressed and not isinstance(reports.error, urllib.error.URLError):  # raised inside the block
        assert str(reports.error) == "the download did not complete"


def test_callback_errors(https_server, install_dir):
    install_dir.point(https_server.add(BODY))
    reports = Reports()

    def fails_once(*report):
        reports(*report)
        if len(reports) == 1:
            raise ValueError("bad report")

    assert updater.download_new_exe_with_progress(fails_once) is None
    assert [report[3] for report in reports] == [65536, 0] and reports[-1] == FAILURE
    assert not os.path.lexists(install_dir.download)  # the partial file is gone

    # An exception raised on the failure report leaves, with the cause as context.
    install_dir.point(https_server.add(status=404))

    def refuses(*report):
        raise LookupError("no failures please")

    with pytest.raises(LookupError) as info:
        updater.download_new_exe_with_progress(refuses)
    assert isinstance(info.value.__context__, urllib.error.HTTPError)
    assert last_entry(info.value) == ("updater.py", 145, "updater.download_new_exe_with_progress")


def test_interrupt_is_not_a_failure(https_server, install_dir):
    install_dir.point(https_server.add(BODY))
    reports = Reports()

    def interrupts(*report):
        reports(*report)
        raise KeyboardInterrupt

    before = settled_fds(https_server)
    with pytest.raises(KeyboardInterrupt) as info:
        updater.download_new_exe_with_progress(interrupts)
    assert len(reports) == 1 and reports[0][3] == 65536
    assert last_entry(info.value) == ("updater.py", 106, "updater.download_new_exe_with_progress")
    assert settled_fds(https_server) == before  # file and response closed
    assert sorted(os.listdir(install_dir.path)) == ["QuelbaLauncher.exe"]  # and no partial file


@contextlib.contextmanager
def small_disk(path, size):
    """A tmpfs of `size` mounted on `path` (root only)."""
    if sys.platform == "win32":
        pytest.skip("a small file system is a tmpfs mount, which Windows lacks")
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    mount = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", path], capture_output=True)
    if mount.returncode != 0:
        pytest.skip("cannot mount a tmpfs: " + mount.stderr.decode().strip())
    try:
        yield
    finally:
        subprocess.run(["umount", path], check=True)


def test_download_to_a_full_disk(https_server, install_dir):
    install_dir.point(https_server.add(BODY))
    with small_disk(install_dir.path, "128k"):
        install_dir.write(install_dir.launcher, install_dir.launcher_script("old"))
        free = os.statvfs(install_dir.path).f_bfree
        reports = Reports()
        before = settled_fds(https_server)
        assert updater.download_new_exe_with_progress(reports) is None
        assert reports[-1] == FAILURE and FAILURE not in reports[:-1]
        assert settled_fds(https_server) == before  # nothing left open
        # the partial file is gone, and the space with it
        assert os.listdir(install_dir.path) == ["QuelbaLauncher.exe"]
        assert os.statvfs(install_dir.path).f_bfree == free


@pytest.mark.parametrize("planted", ["link to a file", "dangling link", "directory"])
def test_what_stands_at_the_download_name(install_dir, tmp_path, planted):
    """A link is replaced, never written through; a directory is a failure."""
    outside = tmp_path / "outside"
    if planted == "link to a file":
        outside.write_bytes(b"not yours")
    if planted == "directory":
        os.mkdir(install_dir.download)
    else:
        os.symlink(outside, install_dir.download)
    reports = Reports()

    result = updater.download_new_exe_with_progress(reports)

    if planted == "directory":
        assert result is None and reports == [FAILURE]
        assert os.path.isdir(install_dir.download)
    else:
        assert result == install_dir.download and reports[-1][0] == 100.0
        assert not os.path.islink(install_dir.download)
        assert install_dir.files()["QuelbaLauncher_new.exe"][0] == install_dir.launcher_script("new")
    if planted == "link to a file":
        assert outside.read_bytes() == b"not yours"
    elif planted == "dangling link":
        assert not os.path.lexists(outside)


def test_read_only_install_dir(https_server, install_dir, tmp_path):
    new_exe = install_dir.write(str(tmp_path / "elsewhere.exe"), install_dir.launcher_script("new"))
    before = install_dir.files()
    reports = Reports()
    with install_dir.read_only():
        assert updater.download_new_exe_with_progress(reports) is None
        with pytest.raises(RuntimeError) as info:
            updater.replace_and_run(new_exe)
    assert reports == [FAILURE]
    cause = info.value.__context__
    assert isinstance(cause, OSError) and cause.errno in (errno.EROFS, errno.EACCES)
    assert str(info.value) == "Failed to replace and run: " + str(cause)
    assert install_dir.files() == before
    assert os.path.exists(new_exe)


@pytest.mark.no_leakcheck("checks its own 1200 downloads for leaks")
def test_failed_downloads_leak_nothing(https_server, install_dir):
    urls = [
        https_server.add(status=404, log=False),
        https_server.add(BODY, send=70_000, log=False),
        https_server.add(BODY, length="many", log=False),
        https_server.add(b"", log=False),
    ]

    def callback(percent, speed_kb, known_size, downloaded_bytes):
        pass

    def fail_downloads(count):
        for i in range(count):
            updater.UPDATE_URL = urls[i % len(urls)]
            assert updater.download_new_exe_with_progress(callback) is None

    def settle():
        # What a server thread still running holds is no leak of the module's,
        # and neither are the attribute names that the type cache holds: which
        # of them it keeps depends on how the server's threads and this one
        # happened to interleave, and so on the load of the machine.
        https_server.settle()
        sys._clear_type_cache()
        gc.collect()

    fail_downloads(200)  # lets the caches of ssl, threading and urllib settle
    settle()
    fds = open_fds()
    refs = [sys.getrefcount(x) for x in [callback, *urls]]
    growth = []
    for _ in range(2):  # a leak grows in both rounds; noise settles in one
        blocks = sys.getallocatedblocks()
        fail_downloads(500)
        settle()
        growth.append(sys.getallocatedblocks() - blocks)
    # Settled so, a round grows by nothing; one block leaked by one kind of
    # failure alone would add 125.
    assert min(growth) < 100, growth
    assert open_fds() == fds
    assert [sys.getrefcount(x) for x in [callback, *urls]] == refs


# ---------------------------------------------------------------------------
# replace_and_run


def test_update_replaces_and_starts_the_launcher(install_dir, tmp_path, monkeypatch):
    os.chmod(install_dir.launcher, 0o750)
    workdir = tmp_path / "caller"
    workdir.mkdir()
    monkeypatch.chdir(workdir)

    new_exe = updater.download_new_exe_with_progress(Reports())
    assert updater.replace_and_run(new_exe) is None

    assert install_dir.wait_runs() == [
        {"tag": "new", "argv0": install_dir.launcher, "argc": "0", "cwd": str(workdir.resolve()), "args": ""}
    ]
    assert install_dir.files() == {"QuelbaLauncher.exe": (install_dir.launcher_script("new"), 0o750)}


@pytest.mark.parametrize("situation", ["first installation", "stale backup", "download elsewhere"])
def test_swap_situations(install_dir, tmp_path, situation):
    new_exe = install_dir.download
    mode = 0o755
    if situation == "first installation":
        os.remove(install_dir.launcher)
        mode = 0o750  # execute added wherever read is set
    elif situation == "stale backup":
        install_dir.write(install_dir.backup, b"stale backup", 0o600)
    else:
        new_exe = str(tmp_path / "elsewhere.exe")
    install_dir.write(new_exe, install_dir.launcher_script("new"), 0o640)

    assert updater.replace_and_run(new_exe) is None

    assert [run["tag"] for run in install_dir.wait_runs()] == ["new"]
    assert install_dir.files() == {"QuelbaLauncher.exe": (install_dir.launcher_script("new"), mode)}
    assert not os.path.exists(new_exe)


def refusing_start(exc):
    def popen(path):
        raise exc

    return {"subprocess": Proxy(subprocess, Popen=popen)}


def refusing_links():
    """The file system refuses hard links (the backup is a copy), and the start fails."""
    def link(src, dst):
        raise PermissionError(errno.EPERM, "Operation not permitted", src)

    def popen(path):
        raise OSError(errno.ENOEXEC, "Exec format error", path)

    return {"os": Proxy(os, link=link), "subprocess": Proxy(subprocess, Popen=popen)}


def failing_rollback():
    """The start fails, and so does the os.replace that would put the launcher back."""
    def replace(src, dst):
        if src.endswith(".old"):
            raise PermissionError(errno.EACCES, "Permission denied", src)
        os.replace(src, dst)

    def popen(path):
        raise OSError(errno.ENOEXEC, "Exec format error", path)

    return {"os": Proxy(os, replace=replace), "subprocess": Proxy(subprocess, Popen=popen)}


# what to break, the expected cause, whether the old launcher is back in place
SWAP_FAILURES = {
    "missing download": (None, FileNotFoundError, True),
    "cannot execute": (None, OSError, True),
    "empty text": (lambda: refusing_start(OSError()), OSError, True),
    "links refused": (refusing_links, OSError, True),
    "rollback fails": (failing_rollback, OSError, False),
}


@pytest.mark.parametrize("kind", SWAP_FAILURES)
def test_failed_swap_restores_the_launcher(install_dir, monkeypatch, kind):
    breaks, cause_type, restored = SWAP_FAILURES[kind]
    old_launcher = install_dir.launcher_script("old")
    os.chmod(install_dir.launcher, 0o700)
    if kind != "missing download":
        payload = install_dir.launcher_script("new") if breaks else b"\x00\x01 not a program\n"
        install_dir.write(install_dir.download, payload, 0o644)
    for name, stand_in in (breaks() if breaks else {}).items():
        monkeypatch.setattr(updater, name, stand_in)
    started = []  # launchers that Popen did start
    popen = updater.subprocess.Popen

    def recording_popen(*args, **kwargs):
        process = popen(*args, **kwargs)
        started.append(args)
        return process

    monkeypatch.setattr(updater, "subprocess", Proxy(updater.subprocess, Popen=recording_popen))

    with pytest.raises(RuntimeError) as info:
        updater.replace_and_run(install_dir.download)

    cause = info.value.__context__
    assert type(cause) is cause_type and info.value.__cause__ is None
    assert str(info.value) == "Failed to replace and run: " + str(cause)
    if kind == "empty text":
        assert str(info.value) == "Failed to replace and run: "
    if kind == "cannot execute":
        assert cause.errno == errno.ENOEXEC
    assert last_entry(info.value) == ("updater.py", 229, "updater.replace_and_run")
    files = install_dir.files()
    if restored:
        assert files["QuelbaLauncher.exe"] == (old_launcher, 0o700)
        assert "QuelbaLauncher.exe.old" not in files
    else:  # the previous launcher is still kept, as the backup
        assert files["QuelbaLauncher.exe.old"] == (old_launcher, 0o700)
    assert started == [] and install_dir.runs() == []


def test_backup_that_cannot_be_removed(install_dir, monkeypatch):
    def remove(path):
        raise PermissionError(errno.EBUSY, "Text file busy", path)

    monkeypatch.setattr(updater, "os", Proxy(os, remove=remove))
    install_dir.write(install_dir.download, install_dir.launcher_script("new"), 0o644)

    assert updater.replace_and_run(install_dir.download) is None

    assert [run["tag"] for run in install_dir.wait_runs()] == ["new"]
    assert install_dir.files() == {
        "QuelbaLauncher.exe": (install_dir.launcher_script("new"), 0o755),
        "QuelbaLauncher.exe.old": (install_dir.launcher_script("old"), 0o755),
    }


@pytest.mark.parametrize("when", ["start", "backup removal"])
def test_interrupt_during_swap_is_not_wrapped(install_dir, monkeypatch, when):
    """Before the start the previous launcher goes back; after it, the new one
    runs and stays."""
    def interrupt(path):
        raise KeyboardInterrupt

    if when == "start":
        monkeypatch.setattr(updater, "subprocess", Proxy(subprocess, Popen=interrupt))
    else:
        monkeypatch.setattr(updater, "os", Proxy(os, remove=interrupt))
    install_dir.write(install_dir.download, install_dir.launcher_script("new"), 0o644)
    with pytest.raises(KeyboardInterrupt) as info:
        updater.replace_and_run(install_dir.download)
    if when == "start":
        assert last_entry(info.value) == ("updater.py", 208, "updater.replace_and_run")
        assert install_dir.files() == {"QuelbaLauncher.exe": (install_dir.launcher_script("old"), 0o755)}
    else:
        assert last_entry(info.value) == ("updater.py", 216, "updater.replace_and_run")
        assert [run["tag"] for run in install_dir.wait_runs()] == ["new"]
        assert install_dir.files()["QuelbaLauncher.exe"] == (install_dir.launcher_script("new"), 0o755)


def test_swap_where_a_running_executable_cannot_be_replaced(install_dir, monkeypatch):
    """os.name "nt": the launcher is renamed into the backup, then the download
    renamed in, back to back. Nothing copies onto the launcher's name, and the
    mode, which is the read-only flag alone there, is not handed on; a backup
    left read-only is made writable before it is replaced and removed."""
    steps = []
    monkeypatch.setattr(updater, "os", Proxy(os, name="nt", replace=recording(steps, "replace", os.replace),
                                             remove=recording(steps, "remove", os.remove),
                                             chmod=recording(steps, "chmod", os.chmod)))
    monkeypatch.setattr(updater, "shutil", Proxy(shutil, move=recording(steps, "move", shutil.move),
                                                 copy2=recording(steps, "copy2", shutil.copy2)))
    os.chmod(install_dir.launcher, 0o700)
    install_dir.write(install_dir.download, install_dir.launcher_script("new"), 0o755)
    install_dir.write(install_dir.backup, b"left by an update whose launcher still ran", 0o444)

    assert updater.replace_and_run(install_dir.download) is None

    assert steps == [("chmod", "QuelbaLauncher.exe.old", 0o200),
                     ("replace", "QuelbaLauncher.exe", "QuelbaLauncher.exe.old"),
                     ("replace", "QuelbaLauncher_new.exe", "QuelbaLauncher.exe"),
                     ("chmod", "QuelbaLauncher.exe.old", 0o200),
                     ("remove", "QuelbaLauncher.exe.old")]
    assert [run["tag"] for run in install_dir.wait_runs()] == ["new"]
    assert install_dir.files() == {"QuelbaLauncher.exe": (install_dir.launcher_script("new"), 0o755)}


# Once the swap has begun, a frozen launcher's own file may hold another build:
# the old process must import nothing more. An audit hook set as the swap
# begins sees every module loaded after it, through the end of the process.
AUDIT_IMPORTS = """
imports = []
swap = updater.replace_and_run
def replace_and_run(path):
    if "harness" in globals():
        harness.log["extra"]["imports"] = imports
    sys.addaudithook(lambda event, args: imports.append(args[0]) if event == "import" else None)
    return swap(path)
updater.replace_and_run = replace_and_run
"""


@pytest.mark.no_leakcheck("its updates run in child processes")
@pytest.mark.skipif(sys.platform == "win32", reason="slow children under Wine; the frozen Windows "
                    "launchers show the same there (tests/test_frozen.py)")
@pytest.mark.parametrize("front_end", ["console", "window"])
def test_nothing_is_imported_once_the_swap_has_begun(front_end, https_server, install_dir, request):
    """A start that fails, a swap that fails, both rolled back, then a whole update."""
    for served, status in [(b"not a program", 1), (install_dir.launcher_script("held"), 1),
                           (install_dir.launcher_script("new"), 0)]:
        install_dir.point(https_server.add(served))
        if served == install_dir.launcher_script("held"):
            os.makedirs(os.path.join(install_dir.backup, "held"))
        if front_end == "console":
            code = ("import sys\nsys.modules['tkinter'] = None\nimport updater\n" + install_dir.child_code()
                    + AUDIT_IMPORTS + "try:\n    updater.UpdaterGUI()\nfinally:\n    print(imports)\n")
            proc = run_child(code, env=child_env(**https_server.env()))
            imports = proc.stdout.splitlines()[-1]
        else:
            from test_ui import run_window
            proc, log = run_window(request.getfixturevalue("display"), install_dir.child_code()
                                   + AUDIT_IMPORTS, env=https_server.env())
            imports = str(log["extra"]["imports"])
        assert (proc.returncode, imports) == (status, "[]"), proc.stderr
        shutil.rmtree(install_dir.backup, ignore_errors=True)
        assert status == 0 or install_dir.files()["QuelbaLauncher.exe"][0] == install_dir.launcher_script("old")
    assert [run["tag"] for run in install_dir.wait_runs()] == ["new"]


@pytest.mark.parametrize("step", ["download", "swap"])
def test_a_launcher_left_only_as_its_backup_is_put_back(https_server, install_dir, step):
    """What a crash between the two renames leaves is mended at the next start of either step."""
    os.rename(install_dir.launcher, install_dir.backup)
    if step == "download":
        install_dir.point(https_server.add(status=404))
        assert updater.download_new_exe_with_progress(Reports()) is None
        assert install_dir.files() == {"QuelbaLauncher.exe": (install_dir.launcher_script("old"), 0o755)}
    else:
        install_dir.write(install_dir.download, install_dir.launcher_script("new"), 0o644)
        assert updater.replace_and_run(install_dir.download) is None
        assert install_dir.files() == {"QuelbaLauncher.exe": (install_dir.launcher_script("new"), 0o755)}


def test_frozen_successor_starts_with_a_fresh_environment(install_dir, monkeypatch):
    started = []

    def popen(*args, **kwargs):
        started.append((args, kwargs))

    monkeypatch.setattr(updater, "subprocess", Proxy(subprocess, Popen=popen))
    install_dir.write(install_dir.download, install_dir.launcher_script("new"), 0o644)
    monkeypatch.setattr(sys, "_MEIPASS", "/tmp/_MEI-old-bundle", raising=False)
    monkeypatch.setenv("_PYI_APPLICATION_HOME_DIR", "/tmp/_MEI-old-bundle")
    assert updater.replace_and_run(install_dir.download) is None
    monkeypatch.delattr(sys, "_MEIPASS")
    install_dir.write(install_dir.download, install_dir.launcher_script("newer"), 0o644)
    assert updater.replace_and_run(install_dir.download) is None

    [(args, kwargs), plain] = started
    assert args == ([install_dir.launcher],) and plain == (([install_dir.launcher],), {})
    assert kwargs["env"] == {**os.environ, "PYINSTALLER_RESET_ENVIRONMENT": "1"}
