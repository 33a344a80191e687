"""The console update: its lines, its exits, and its progress callback."""
import builtins
import contextlib
import io
import locale
import os
import re
import sys
import traceback

import pytest

import updater
from conftest import child_env, run_child
from https_fixtures import ONTO_A_DIRECTORY

NOTICE = "Tkinter not available, running console update..."
READY = "Update ready! Replacing and restarting..."


def entries(exc):
    """(name, line) of the traceback entries in updater.py."""
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == "updater.py"]


@pytest.fixture
def engine(monkeypatch):
    """Stand-ins for the two engine calls, rebound as module globals: the
    download replays `reports` through the callback and returns `result`."""

    class Engine:
        reports = []
        result = None
        replace_error = None
        replaced = []
        callbacks = []

        def download(self, progress_callback):
            self.callbacks.append(progress_callback)
            for report in self.reports:
                progress_callback(*report)
            return self.result

        def replace(self, new_exe):
            self.replaced.append(new_exe)
            if self.replace_error is not None:
                raise self.replace_error

    e = Engine()
    e.replaced, e.callbacks = [], []
    monkeypatch.setattr(updater, "download_new_exe_with_progress", e.download)
    monkeypatch.setattr(updater, "replace_and_run", e.replace)
    monkeypatch.setattr(updater, "TK_AVAILABLE", False)
    return e


def lines(capsys):
    out = capsys.readouterr().out
    assert out.endswith("\n") or out == ""
    return out.splitlines()


@pytest.mark.parametrize(
    "report, line",
    [
        ((42.46, 310.27, True, 1), "42.5% \u2022 310.3 KB/s"),
        ((0, 12.0, True, 5), "0.0% \u2022 12.0 KB/s"),
        ((100, 0, True, 1 << 20), "100.0% \u2022 0.0 KB/s"),
        ((0, 250.0, False, 1572864), "1536 KB \u2022 250.0 KB/s"),
        ((0, 1.25, False, 1023), "0 KB \u2022 1.2 KB/s"),
        ((0, 1.0, None, 1024), "1 KB \u2022 1.0 KB/s"),
        ((0, 0, 0, 0), "0 KB \u2022 0.0 KB/s"),
        ((7.0, 3.0, "yes", 9), "7.0% \u2022 3.0 KB/s"),
    ],
)
def test_progress_lines(engine, capsys, report, line):
    engine.reports = [report]
    updater.UpdaterGUI()
    # A false download result ends the run: no ready line, no swap.
    assert lines(capsys) == [NOTICE, line]
    assert engine.replaced == []


def test_one_line_per_report_and_ready_line(engine, capsys):
    engine.reports = [(25.0, 100.0, True, 16384), (50.0, 100.0, True, 32768),
                      (100.0, 99.95, True, 65536)]
    engine.result = new_exe = object()
    gui = updater.UpdaterGUI.__new__(updater.UpdaterGUI)
    assert gui.console_update() is None
    assert lines(capsys) == [NOTICE, "25.0% \u2022 100.0 KB/s", "50.0% \u2022 100.0 KB/s",
                             "100.0% \u2022 100.0 KB/s", READY]
    assert engine.replaced == [new_exe]  # the very object the download returned
    assert vars(gui) == {}


@pytest.mark.parametrize("result", [None, "", 0])
def test_false_result_returns_quietly(engine, capsys, result):
    engine.result = result
    updater.UpdaterGUI()
    assert lines(capsys) == [NOTICE]
    assert engine.replaced == []


@pytest.mark.parametrize("percent", [-1, -1.0])
def test_failure_report_exits_1(engine, capsys, percent):
    engine.reports = [(10.0, 5.0, True, 100), (percent, 0, False, 0), (20.0, 5.0, True, 200)]
    engine.result = "never"
    with pytest.raises(SystemExit) as info:
        updater.UpdaterGUI()
    assert info.value.code == 1
    assert lines(capsys) == [NOTICE, "10.0% \u2022 5.0 KB/s", "Download failed!"]
    assert engine.replaced == []
    assert entries(info.value) == [
        ("updater.UpdaterGUI.__init__", 236),
        ("updater.UpdaterGUI.console_update", 310),
        ("updater.UpdaterGUI.console_update.progress_callback", 304),
    ]


@pytest.mark.parametrize("error, line", [
    (RuntimeError("Failed to replace and run: [Errno 2] No such file"),
     "Error: Failed to replace and run: [Errno 2] No such file"),
    (RuntimeError(""), "Error: "),
    (OSError(13, "Permission denied"), "Error: [Errno 13] Permission denied"),
])
def test_failed_swap_prints_error_and_exits_1(engine, capsys, error, line):
    engine.result = "/install/QuelbaLauncher_new.exe"
    engine.replace_error = error
    with pytest.raises(SystemExit) as info:
        updater.UpdaterGUI()
    assert info.value.code == 1
    assert info.value.__context__ is error
    assert lines(capsys) == [NOTICE, READY, line]
    # The caught exception got its entry at the swap before the handler ran.
    assert ("updater.UpdaterGUI.console_update", 315) in entries(error)
    assert entries(info.value)[-1] == ("updater.UpdaterGUI.console_update", 318)
    assert sys.exc_info() == (None, None, None)


def test_non_exception_from_swap_propagates(engine, capsys):
    engine.result = "x"
    engine.replace_error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as info:
        updater.UpdaterGUI()
    assert lines(capsys) == [NOTICE, READY]
    assert entries(info.value) == [("updater.UpdaterGUI.__init__", 236),
                                   ("updater.UpdaterGUI.console_update", 315)]


def test_download_exception_propagates(engine, capsys):
    def download(progress_callback):
        raise ValueError("broken download")

    updater.download_new_exe_with_progress = download
    with pytest.raises(ValueError, match="broken download"):
        updater.UpdaterGUI()
    assert lines(capsys) == [NOTICE]


def test_print_is_the_builtin_taken_at_import(engine, capsys):
    def broken(*args, **kwargs):
        raise AssertionError("print looked up at run time")

    engine.reports = [(1.0, 1.0, True, 1)]
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(builtins, "print", broken)
        patch.setattr(updater, "print", broken, raising=False)
        updater.UpdaterGUI()
    assert lines(capsys) == [NOTICE, "1.0% \u2022 1.0 KB/s"]


def test_failures_leave_through_their_line(engine):
    class Closed:
        def write(self, text):
            raise OSError("stdout closed")

    engine.reports = [(1.0, 1.0, True, 1)]
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(sys, "stdout", Closed())
        with pytest.raises(OSError) as info:
            updater.UpdaterGUI()
    assert entries(info.value)[-1] == ("updater.UpdaterGUI.console_update", 299)

    engine.reports = [(1.0, "fast", True, 1)]  # a speed that ".1f" rejects
    with pytest.raises(ValueError) as info:
        updater.UpdaterGUI()
    assert entries(info.value)[-1] == (
        "updater.UpdaterGUI.console_update.progress_callback", 306)


@contextlib.contextmanager
def cp936_stdout():
    """sys.stdout a text stream in cp936, the ANSI code page of Simplified Chinese
    Windows, which has no "\u2022"; yields a list that gets the lines written."""
    raw = io.BytesIO()
    stream = io.TextIOWrapper(raw, encoding="cp936")
    out = []
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(sys, "stdout", stream)
        try:
            yield out
        finally:
            stream.flush()
            out[:] = raw.getvalue().decode("cp936").splitlines()


def test_lines_the_stream_cannot_encode_are_printed_replaced(engine):
    engine.reports = [(42.46, 310.27, True, 1), (0, 250.0, False, 1572864)]
    engine.result = new_exe = object()
    with cp936_stdout() as out:
        modules = set(sys.modules)
        updater.UpdaterGUI()
    assert out == [NOTICE, "42.5% ? 310.3 KB/s", "1536 KB ? 250.0 KB/s", READY]
    assert engine.replaced == [new_exe]
    assert set(sys.modules) == modules  # the stream's own codec, already loaded
    assert sys.exc_info() == (None, None, None)


def test_error_line_the_stream_cannot_encode_still_exits_1(engine):
    engine.result = "x"
    engine.replace_error = error = RuntimeError(
        "Failed to replace and run: C:\\\uc0ac\uc6a9\uc790\\\u6587\u6863\\QuelbaLauncher.exe")
    with cp936_stdout() as out, pytest.raises(SystemExit) as info:
        updater.UpdaterGUI()
    assert info.value.code == 1
    assert info.value.__context__ is error
    # Characters the code page has stand as they are; each one it lacks is one "?".
    assert out == [NOTICE, READY,
                   "Error: Failed to replace and run: C:\\???\\\u6587\u6863\\QuelbaLauncher.exe"]


def test_callback_names_and_binding(engine, capsys):
    updater.UpdaterGUI()
    (cb,) = engine.callbacks
    assert cb.__name__ == "progress_callback"
    assert cb.__qualname__ == "UpdaterGUI.console_update.<locals>.progress_callback"
    assert cb.__code__.co_varnames == ("percent", "speed_kb", "known_size",
                                       "downloaded_bytes")
    capsys.readouterr()
    assert cb(downloaded_bytes=2048, known_size=False, speed_kb=1, percent=0) is None
    assert lines(capsys) == ["2 KB \u2022 1.0 KB/s"]
    with pytest.raises(TypeError) as info:
        cb(1, 2, 3)
    assert str(info.value) == "progress_callback() takes exactly 4 positional arguments (3 given)"
    with pytest.raises(TypeError) as info:
        updater.UpdaterGUI.console_update()
    assert str(info.value) == "console_update() takes exactly 1 positional argument (0 given)"
    with pytest.raises(TypeError) as info:
        updater.UpdaterGUI.console_update(None, None)
    assert str(info.value) == "console_update() takes exactly 1 positional argument (2 given)"


def test_no_references_kept(engine, capsys):
    percent, speed, size = 12.5, 99.5, 1 << 40
    engine.reports = [(percent, speed, True, size), (0, speed, False, size)] * 200
    before = [sys.getrefcount(o) for o in (percent, speed, size)]
    for _ in range(5):
        updater.UpdaterGUI()
    capsys.readouterr()
    engine.callbacks.clear()
    assert [sys.getrefcount(o) for o in (percent, speed, size)] == before


# ---------------------------------------------------------------------------
# Whole updates on the console: a child whose toolkit cannot be imported, the
# real engine, HTTPS server and install directory

# The bullet as a child's lines show it through a pipe, in the locale's encoding:
# "?" where that has none, as in the ANSI code pages of Chinese, Japanese and
# Korean Windows (Wine in such a locale makes one).
PIPE_ENCODING = locale.getpreferredencoding(False)
BULLET = "\u2022".encode(PIPE_ENCODING, "replace").decode(PIPE_ENCODING)
KNOWN = re.compile(r"^\d+\.\d% \u2022 \d+\.\d KB/s$")


def console_child(https_server, install, encoding=None):
    """A console update in a child; `encoding` its standard streams' when given."""
    code = ("import sys\nsys.modules['tkinter'] = None\nimport updater\n"
            "assert updater.TK_AVAILABLE is False\n" + install.child_code()
            + "gui = updater.UpdaterGUI()\nassert vars(gui) == {}\n")
    extra = {"PYTHONIOENCODING": encoding} if encoding else {}
    return run_child(code, env=child_env(**https_server.env(), **extra))


def padded(install, size):
    return install.launcher_script("new", size)


@pytest.mark.parametrize("encoding", [None, "cp936"])
def test_whole_update_on_the_console(https_server, install_dir, encoding):
    bullet = "?" if encoding else BULLET
    body = padded(install_dir, 3 * 65536 + 10)
    install_dir.point(https_server.add(body))
    proc = console_child(https_server, install_dir, encoding)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.splitlines()
    assert out[0] == NOTICE and out[-1] == READY
    progress = out[1:-1]
    assert len(progress) == 4
    assert all(KNOWN.match(line.replace(bullet, "\u2022")) for line in progress)
    assert [line.split("%")[0] for line in progress] == ["33.3", "66.7", "100.0", "100.0"]
    assert [run["tag"] for run in install_dir.wait_runs(1)] == ["new"]
    assert sorted(install_dir.files()) == ["QuelbaLauncher.exe"]


def test_unknown_size_on_the_console(https_server, install_dir):
    body = padded(install_dir, 3 * 65536 + 10)
    install_dir.point(https_server.add(body, length=None, chunked=True))
    proc = console_child(https_server, install_dir)
    assert proc.returncode == 0, proc.stderr
    progress = proc.stdout.splitlines()[1:-1]
    assert [line.split(f" {BULLET} ")[0] for line in progress] == ["64 KB", "128 KB", "192 KB",
                                                                "192 KB"]
    assert all(re.fullmatch(rf"\d+ KB {re.escape(BULLET)} \d+\.\d KB/s", line) for line in progress)


def test_failed_download_on_the_console(https_server, install_dir):
    old = install_dir.files()
    install_dir.point(https_server.add(b"gone", status=404))
    proc = console_child(https_server, install_dir)
    assert proc.returncode == 1
    assert proc.stdout.splitlines() == [NOTICE, "Download failed!"]
    assert install_dir.files() == old and install_dir.runs() == []


def test_failed_swap_on_the_console(https_server, install_dir):
    old = install_dir.files()["QuelbaLauncher.exe"]
    install_dir.point(https_server.add(padded(install_dir, 1000)))
    os.mkdir(install_dir.backup)
    proc = console_child(https_server, install_dir)
    assert proc.returncode == 1
    out = proc.stdout.splitlines()
    assert out[:3] == [NOTICE, f"100.0% {BULLET} " + out[1].split(f" {BULLET} ")[1], READY]
    assert out[3].startswith("Error: Failed to replace and run: " + ONTO_A_DIRECTORY)
    assert len(out) == 4
    os.rmdir(install_dir.backup)
    assert install_dir.files()["QuelbaLauncher.exe"] == old and install_dir.runs() == []
