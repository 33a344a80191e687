"""The updater window: its look, the worker's progress relay, completion and
closing.

The relay is first checked in this process against recorders standing in for
the root and the widgets, which lets a test hold posted actions back and run
them later. Every case of the real window runs UpdaterGUI() in a child
interpreter on a virtual display (display_fixtures.WindowHarness)."""
import os
import shutil
import sys
import textwrap
import threading
import traceback

import pytest

import updater
from conftest import child_env, run_child
from display_fixtures import harness_result
from https_fixtures import ONTO_A_DIRECTORY

PROGRESS_LAMBDA = "UpdaterGUI._run_update.<locals>.progress_callback.<locals>.<lambda>"
RUN_LAMBDA = "UpdaterGUI._run_update.<locals>.<lambda>"
STEM = "updater.UpdaterGUI._run_update"


def entries(exc):
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == "updater.py"]


# ---------------------------------------------------------------------------
# The relay, against recorders


class Recorder:
    """Stands in for the root (after) and for a widget (config)."""

    def __init__(self):
        self.posts = []
        self.configs = []

    def after(self, ms, func):
        self.posts.append((ms, func))
        return "after#0"

    def config(self, **kw):
        self.configs.append(kw)


@pytest.fixture
def relay(monkeypatch):
    """An UpdaterGUI without a window whose _run_update replays `reports`."""

    class Relay:
        reports = []
        result = None
        boxes = []
        completed = []

        def __init__(self):
            self.gui = updater.UpdaterGUI.__new__(updater.UpdaterGUI)
            self.gui.root = Recorder()
            self.gui.progress = Recorder()
            self.gui.speed_lbl = Recorder()
            self.gui._complete_update = lambda new_exe: self.completed.append(new_exe)

        def download(self, progress_callback):
            self.callback = progress_callback
            for report in self.reports:
                progress_callback(*report)
            return self.result

        def run(self):
            assert self.gui._run_update() is None
            return self.gui.root.posts

        def texts(self):
            return [kw["text"] for kw in self.gui.speed_lbl.configs]

    r = Relay()
    r.boxes, r.completed = [], []
    monkeypatch.setattr(updater, "download_new_exe_with_progress", r.download)
    monkeypatch.setattr(updater, "messagebox", type("Box", (), {
        "showerror": staticmethod(lambda *args: r.boxes.append(args))}), raising=False)
    return r


def names_of(posts):
    return [(ms, f.__name__) for ms, f in posts]


def test_each_action_shows_its_own_report(relay):
    reports = [
        (0, 12.0, True, 5),
        (42.46, 310.27, True, 1),
        (100, 0, True, 9),
        (0, 1.25, False, 1023),
        (0, 2.0, None, 1024),
        (0, 2.0, 0, 1572864),
    ]
    relay.reports = reports
    relay.result = new_exe = object()
    posts = relay.run()
    assert names_of(posts) == [
        (0, "lambda2"), (0, "lambda3"), (0, "lambda2"), (0, "lambda3"),
        (0, "lambda2"), (0, "lambda3"), (0, "lambda2"), (0, "lambda4"),
        (0, "lambda2"), (0, "lambda4"), (0, "lambda2"), (0, "lambda4"),
        (0, "lambda5"), (500, "lambda6"),
    ]
    # Every action runs only now, after the last report has been made.
    for _, action in posts:
        action()
    assert [kw["value"] for kw in relay.gui.progress.configs] == [r[0] for r in reports]
    assert all(kw["value"] is r[0] for kw, r in zip(relay.gui.progress.configs, reports))
    assert relay.texts() == [
        "0.0% \u2022 12.0 KB/s",
        "42.5% \u2022 310.3 KB/s",
        "100.0% \u2022 0.0 KB/s",
        "0 KB \u2022 1.2 KB/s",
        "1 KB \u2022 2.0 KB/s",
        "1536 KB \u2022 2.0 KB/s",
        "Update ready! Restarting...",
    ]
    assert relay.completed == [new_exe]
    assert relay.completed[0] is new_exe


@pytest.mark.parametrize("failure", [-1, -1.0])
def test_failure_report_posts_three_actions(relay, failure):
    relay.reports = [(50.0, 1.0, True, 10), (failure, 0, False, 0)]
    posts = relay.run()
    assert names_of(posts) == [(0, "lambda2"), (0, "lambda3"), (0, "lambda"),
                               (0, "lambda1"), (0, "exit_lambda")]
    for _, action in posts[:-1]:
        action()
    assert relay.texts()[-1] == "Download failed!"
    assert relay.boxes == [("Update Failed", "Could not download update.")]
    with pytest.raises(SystemExit) as info:
        posts[-1][1]()
    assert info.value.code == 1
    assert entries(info.value) == [(STEM + ".progress_callback.exit_lambda", 269)]


@pytest.mark.parametrize("result", [None, "", 0])
def test_false_result_posts_nothing(relay, result):
    relay.result = result
    assert relay.run() == []


def test_names_of_the_nested_functions(relay):
    relay.reports = [(1.0, 1.0, True, 1), (0, 1.0, False, 1), (-1, 0, False, 0)]
    relay.result = "path"
    posts = relay.run()
    cb = relay.callback
    assert (cb.__name__, cb.__qualname__) == (
        "progress_callback", "UpdaterGUI._run_update.<locals>.progress_callback")
    assert cb.__code__.co_varnames == ("percent", "speed_kb", "known_size", "downloaded_bytes")
    assert cb.__module__ == "updater"
    got = {f.__name__: f.__qualname__ for _, f in posts}
    assert got == {
        "lambda2": PROGRESS_LAMBDA, "lambda3": PROGRESS_LAMBDA, "lambda4": PROGRESS_LAMBDA,
        "lambda": PROGRESS_LAMBDA, "lambda1": PROGRESS_LAMBDA,
        "exit_lambda": PROGRESS_LAMBDA, "lambda5": RUN_LAMBDA, "lambda6": RUN_LAMBDA,
    }
    for _, action in posts:
        assert action.__code__.co_varnames == ()
        with pytest.raises(TypeError) as info:
            action(1)
        assert str(info.value) == f"{action.__name__}() takes no arguments (1 given)"
    with pytest.raises(TypeError) as info:
        cb(1, 2, 3, 4, 5)
    assert str(info.value) == "progress_callback() takes exactly 4 positional arguments (5 given)"
    with pytest.raises(TypeError) as info:
        relay.gui._run_update(1)
    assert str(info.value) == "_run_update() takes exactly 1 positional argument (2 given)"


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class BadEq:
    def __eq__(self, other):
        raise ZeroDivisionError("no equality")


def test_failures_are_reported_under_their_own_names(relay):
    # A failing statement of the callback: the download sees it.
    seen = []

    def download(progress_callback):
        relay.callback = progress_callback
        for report in [(1.0, "fast", True, 1), (1.0, 1.0, BadBool(), 1), (BadEq(), 0, 0, 0)]:
            try:
                progress_callback(*report)
            except Exception as e:
                seen.append(entries(e))
        return "path"

    updater.download_new_exe_with_progress = download
    posts = relay.run()
    assert seen == [[(STEM + ".progress_callback", 273)], [(STEM + ".progress_callback", 263)]]

    # A failing action: its own name and line, not the enclosing function's.
    bar, text, bar2, ready, complete = (f for _, f in posts)
    assert (bar.__name__, text.__name__, bar2.__name__) == ("lambda2", "lambda3", "lambda2")
    with pytest.raises(ValueError) as info:
        text()  # format("fast", ".1f")
    assert entries(info.value) == [(STEM + ".progress_callback.lambda3", 275)]

    del relay.gui.progress
    with pytest.raises(AttributeError) as info:
        bar()
    assert entries(info.value) == [(STEM + ".progress_callback.lambda2", 272)]

    del relay.gui.speed_lbl
    with pytest.raises(AttributeError) as info:
        ready()
    assert entries(info.value) == [(STEM + ".lambda5", 283)]

    relay.gui._complete_update = None
    with pytest.raises(TypeError) as info:
        complete()
    assert entries(info.value) == [(STEM + ".lambda6", 285)]

    # A failing statement of _run_update itself.
    relay.result = BadBool()
    updater.download_new_exe_with_progress = relay.download
    relay.reports = []
    with pytest.raises(ZeroDivisionError) as info:
        relay.gui._run_update()
    assert entries(info.value) == [(STEM, 281)]

    relay.gui.root = None
    relay.result = "path"
    with pytest.raises(AttributeError) as info:
        relay.gui._run_update()
    assert entries(info.value) == [(STEM, 282)]


def test_actions_release_what_they_hold(relay):
    percent, speed, size = 33.25, 75.5, 1 << 42
    relay.reports = [(percent, speed, True, size), (percent, speed, False, size)] * 50
    relay.result = new_exe = "new-exe-" + "x" * 20
    gui = relay.gui
    before = [sys.getrefcount(o) for o in (percent, speed, size, new_exe, gui)]
    for _ in range(3):
        posts = relay.run()
        for _, action in posts:
            action()
        del posts, action
        gui.root.posts.clear()
    relay.completed.clear()
    del relay.callback
    gui.progress.configs.clear()
    gui.speed_lbl.configs.clear()
    assert [sys.getrefcount(o) for o in (percent, speed, size, new_exe, gui)] == before


def test_init_binding_fails_before_any_window(monkeypatch):
    class NoToolkit:
        def __getattr__(self, name):
            raise AssertionError("a window was made")

    monkeypatch.setattr(updater, "tk", NoToolkit(), raising=False)
    with pytest.raises(TypeError) as info:
        updater.UpdaterGUI(1)
    assert str(info.value) == "__init__() takes exactly 1 positional argument (2 given)"
    assert entries(info.value) == [("updater.UpdaterGUI.__init__", 234)]


def test_console_path_makes_no_window(monkeypatch, capsys):
    class NoToolkit:
        def __getattr__(self, name):
            raise AssertionError("a window was made")

    monkeypatch.setattr(updater, "TK_AVAILABLE", False)
    monkeypatch.setattr(updater, "tk", NoToolkit(), raising=False)
    monkeypatch.setattr(updater, "threading", NoToolkit())
    monkeypatch.setattr(updater, "download_new_exe_with_progress", lambda cb: None)
    gui = updater.UpdaterGUI()
    assert vars(gui) == {}
    assert capsys.readouterr().out == "Tkinter not available, running console update...\n"


# ---------------------------------------------------------------------------
# The real window, in child interpreters


def run_window(display, setup, close_when=None, timeout=60, env=None):
    """Runs UpdaterGUI() under the harness in a child on `display`; `setup`
    runs first (stand-ins are bound there). Returns (process, log)."""
    code = "import sys, time, threading, updater\n" + textwrap.dedent(setup) + textwrap.dedent(f"""
        from display_fixtures import WindowHarness
        harness = WindowHarness(close_when={close_when!r})
        harness.run()
    """)
    proc = run_child(code, timeout=timeout, env=child_env(DISPLAY=display, **(env or {})))
    return proc, harness_result(proc)


SLOW_REPORTS = """
def download(progress_callback):
    for i in range(1, 201):
        progress_callback(i / 2, 100.0, True, i * 512)
        time.sleep(0.02)
    return None
updater.download_new_exe_with_progress = download
"""


@pytest.mark.parametrize("screen, position", [
    ("1920x1080", "+760+440"),
    ("1366x768", "+483+284"),
    ("1365x768", "+482+284"),
    ("299x768", "+-51+284"),
])
def test_geometry(virtual_display, screen, position):
    proc, log = run_window(virtual_display(screen), SLOW_REPORTS, close_when="started")
    assert log["geometry"] == ["400x200", position]
    assert log["snapshot"]["wm_geometry"] == "400x200" + position
    assert proc.returncode == 0


def test_widgets(display):
    proc, log = run_window(display, SLOW_REPORTS, close_when="started")
    snap = log["snapshot"]
    assert snap["title"] == "Quelba Updater"
    assert snap["resizable"] == [0, 0]
    assert snap["root_bg"] == "#121212"
    assert snap["root_children"] == 1
    assert snap["card_children"] == ["Label", "TProgressbar", "Label"]
    assert snap["card"] == {"bg": "#1e1e1e", "bd": "2", "relief": "flat",
                            "highlightbackground": "#333333", "highlightthickness": "1"}
    assert snap["card_pack"] == {"anchor": "center", "expand": "1", "fill": "both",
                                 "ipadx": "10", "ipady": "10", "padx": "20", "pady": "20",
                                 "side": "top"}
    assert snap["title_lbl"] == {"text": "Downloading Update...", "bg": "#1e1e1e",
                                 "fg": "#ffffff", "font": "Helvetica 14 bold"}
    assert snap["speed_lbl"] == {"text": "Connecting...", "bg": "#1e1e1e", "fg": "#b0b0b0",
                                 "font": "Helvetica 10"}
    assert snap["progress"] == {"mode": "determinate", "length": "300", "value": "0.0",
                                "maximum": "100", "orient": "horizontal", "style": ""}
    for name, pady in [("title_lbl", "10 15"), ("progress", "0 10"), ("speed_lbl", "0 5")]:
        assert snap[name + "_pack"] == {"anchor": "center", "expand": "0", "fill": "none",
                                        "ipadx": "0", "ipady": "0", "padx": "0", "pady": pady,
                                        "side": "top"}
    assert snap["theme"] == "clam"
    assert snap["bar_style"]["background"] == "#4caf50"
    assert snap["bar_style"]["troughcolor"] == "#121212"
    assert snap["close_handler"] is True
    assert snap["daemon_threads"] == [True]
    assert log["end"]["code"] == 0 and proc.returncode == 0


def test_live_progress_through_tk(display):
    proc, log = run_window(display, """
        REPORTS = [(0, 12.0, True, 5), (42.46, 310.27, True, 1), (100, 0, True, 9),
                   (0, 1.25, False, 1023), (0, 2.0, None, 1024), (0, 2.0, 0, 1572864),
                   (5.0, "fast", True, 1)]
        def download(progress_callback):
            for report in REPORTS:
                progress_callback(*report)
            harness.root.after(0, harness.close)
            return None
        updater.download_new_exe_with_progress = download
    """)
    assert [text for _, text in log["texts"]] == [
        "0.0% \u2022 12.0 KB/s", "42.5% \u2022 310.3 KB/s", "100.0% \u2022 0.0 KB/s",
        "0 KB \u2022 1.2 KB/s", "1 KB \u2022 2.0 KB/s", "1536 KB \u2022 2.0 KB/s"]
    assert [value for _, value in log["values"]] == [0, 42.46, 100, 0, 0, 0, 5.0]
    posts = log["posts"]
    assert [p["name"] for p in posts] == ["lambda2", "lambda3"] * 3 + ["lambda2", "lambda4"] * 3 \
        + ["lambda2", "lambda3"]
    assert all(p["ms"] == 0 and not p["on_main"] for p in posts)
    # The failing action is reported by Tk, and the window stays up.
    (error,) = log["callback_errors"]
    assert error["type"] == "ValueError"
    assert [e for e in error["entries"] if e[1] == "updater.py"] == [
        [STEM + ".progress_callback.lambda3", "updater.py", 275]]
    assert log["final"] == {"title_lbl": "Downloading Update...",
                            "speed_lbl": "1536 KB \u2022 2.0 KB/s", "value": 5.0}
    assert log["end"]["how"] == "SystemExit" and log["end"]["code"] == 0
    assert proc.returncode == 0


def test_failed_download_in_the_window(display):
    proc, log = run_window(display, """
        def download(progress_callback):
            progress_callback(10.0, 20.0, True, 100)
            progress_callback(-1.0, 0, False, 0)
            return None
        updater.download_new_exe_with_progress = download
    """)
    assert [p["name"] for p in log["posts"]] == ["lambda2", "lambda3", "lambda", "lambda1",
                                                 "exit_lambda"]
    assert [text for _, text in log["texts"]] == ["10.0% \u2022 20.0 KB/s", "Download failed!"]
    (box,) = log["boxes"]
    assert box["args"] == ["Update Failed", "Could not download update."]
    assert box["kwargs"] == {} and box["status"] == "Download failed!"
    end = log["end"]
    assert (end["how"], end["code"]) == ("SystemExit", 1)
    names = [e[0] for e in end["entries"] if e[1] == "updater.py"]
    assert names == ["updater.UpdaterGUI.__init__", STEM + ".progress_callback.exit_lambda"]
    assert log["final"]["title_lbl"] == "Downloading Update..."
    assert log["swaps"] == [] and log["thread_errors"] == []
    assert proc.returncode == 1


STANDIN_DOWNLOAD = """
NEW_EXE = type("NewExe", (), {"__repr__": lambda s: "NEW_EXE"})()
def download(progress_callback):
    for i in range(1, 5):
        progress_callback(i * 25.0, 50.0, True, i * 100)
        time.sleep(0.02)
    return NEW_EXE
updater.download_new_exe_with_progress = download
"""


@pytest.mark.parametrize("error, message", [
    ('RuntimeError("Failed to replace and run: [Errno 13] denied")',
     "Failed to replace and run: [Errno 13] denied"),
    ('RuntimeError("")', ""),
    (None, None),
])
def test_completion_with_standins(display, error, message):
    proc, log = run_window(display, STANDIN_DOWNLOAD + textwrap.dedent(f"""
        def replace_and_run(new_exe):
            assert new_exe is NEW_EXE
            if {error is not None}:
                raise {error or 'None'}
        updater.replace_and_run = replace_and_run
    """))
    posts = {p["name"]: p for p in log["posts"]}
    assert [p["ms"] for p in log["posts"][-2:]] == [0, 500]
    (swap,) = log["swaps"]
    assert swap["status"] == "Update ready! Restarting..."
    assert swap["t"] - posts["lambda6"]["t"] >= 0.5
    ready_shown = [t for t, text in log["texts"] if text == "Update ready! Restarting..."]
    assert ready_shown and ready_shown[0] < swap["t"]
    if error is None:
        assert log["end"]["how"] == "returned" and log["end"]["type"] == "UpdaterGUI"
        assert log["boxes"] == [] and proc.returncode == 0
        return
    (box,) = log["boxes"]
    assert box["args"] == ["Update Error", message]
    assert box["status"] == "Update ready! Restarting..."
    end = log["end"]
    assert (end["how"], end["code"], end["context"]) == ("SystemExit", 1, "RuntimeError")
    assert [e[:] for e in end["entries"] if e[1] == "updater.py"][-2:] == [
        [STEM + ".lambda6", "updater.py", 285],
        ["updater.UpdaterGUI._complete_update", "updater.py", 293]]
    assert proc.returncode == 1


@pytest.mark.parametrize("when", ["started", "downloading", "ready"])
def test_close_request_with_standins(display, when):
    proc, log = run_window(display, STANDIN_DOWNLOAD, close_when=when)
    end = log["end"]
    assert (end["how"], end["code"]) == ("SystemExit", 0)
    assert end["entries"][-1] == ["updater.UpdaterGUI._on_close", "updater.py", 296]
    assert log["swaps"] == []
    assert proc.returncode == 0, proc.stderr


# ---------------------------------------------------------------------------
# Whole updates through the window: the real engine, HTTPS server and install
# directory


def new_build(install, size):
    """The new launcher, padded to `size` bytes."""
    return install.launcher_script("new", size)


def contents(install):
    return {name: data for name, (data, _) in install.files().items()}


def update_window(display, https_server, install, close_when=None):
    return run_window(display, install.child_code(), close_when=close_when,
                      env=https_server.env())


def test_whole_update_in_the_window(display, https_server, install_dir):
    body = new_build(install_dir, 5 * 65536 + 100)
    install_dir.point(https_server.add(body, delay=0.05))
    proc, log = update_window(display, https_server, install_dir)
    assert log["end"]["how"] == "returned", proc.stderr
    assert log["end"]["type"] == "UpdaterGUI"
    assert proc.returncode == 0
    assert [run["tag"] for run in install_dir.wait_runs(1)] == ["new"]
    assert contents(install_dir) == {"QuelbaLauncher.exe": body}

    assert [p["name"] for p in log["posts"]] == ["lambda2", "lambda3"] * 6 + ["lambda5", "lambda6"]
    values = [value for _, value in log["values"]]
    assert values == sorted(values) and len(values) == 6 and values[-1] == 100.0
    texts = [text for _, text in log["texts"]]
    assert texts[5].startswith("100.0% \u2022 ") and texts[5].endswith(" KB/s")
    assert texts[6:] == ["Update ready! Restarting..."]
    (swap,) = log["swaps"]
    assert swap["new_exe"] == install_dir.download
    assert swap["status"] == "Update ready! Restarting..."
    assert log["texts"][6][0] < swap["t"]
    lambda6 = log["posts"][-1]
    assert lambda6["ms"] == 500 and swap["t"] - lambda6["t"] >= 0.5
    assert log["boxes"] == [] and log["callback_errors"] == [] and log["thread_errors"] == []


def test_failed_download_in_the_window_e2e(display, https_server, install_dir):
    old = contents(install_dir)
    install_dir.point(https_server.add(b"gone", status=404))
    proc, log = update_window(display, https_server, install_dir)
    assert [text for _, text in log["texts"]] == ["Download failed!"]
    assert [box["args"] for box in log["boxes"]] == [["Update Failed",
                                                     "Could not download update."]]
    assert (log["end"]["how"], log["end"]["code"]) == ("SystemExit", 1)
    assert proc.returncode == 1
    assert contents(install_dir) == old and install_dir.runs() == []


def test_failed_swap_in_the_window(display, https_server, install_dir):
    old = contents(install_dir)["QuelbaLauncher.exe"]
    body = new_build(install_dir, 70000)
    install_dir.point(https_server.add(body))
    os.mkdir(install_dir.backup)  # the backup's place is taken: the rename fails
    with open(os.path.join(install_dir.backup, "keep"), "wb") as f:
        f.write(b"keep")
    proc, log = update_window(display, https_server, install_dir)
    (box,) = log["boxes"]
    title, message = box["args"]
    assert title == "Update Error"
    assert message.startswith("Failed to replace and run: " + ONTO_A_DIRECTORY)
    assert box["status"] == "Update ready! Restarting..."
    end = log["end"]
    assert (end["how"], end["code"], end["context"]) == ("SystemExit", 1, "RuntimeError")
    assert end["context_message"] == message
    assert proc.returncode == 1
    assert os.listdir(install_dir.backup) == ["keep"]
    shutil.rmtree(install_dir.backup)
    assert contents(install_dir) == {"QuelbaLauncher.exe": old, "QuelbaLauncher_new.exe": body}
    assert install_dir.runs() == []


def test_close_during_the_download(display, https_server, install_dir):
    old = contents(install_dir)["QuelbaLauncher.exe"]
    body = new_build(install_dir, 64 * 16384)
    # The server holds the rest of the body back until the window has gone, so
    # that the close request always comes while the download runs.
    rest = threading.Event()
    install_dir.point(https_server.add(body, chunk=65536, gate=rest))
    try:
        proc, log = update_window(display, https_server, install_dir, close_when="downloading")
    finally:
        rest.set()
    end = log["end"]
    assert (end["how"], end["code"]) == ("SystemExit", 0)
    assert end["entries"][-1] == ["updater.UpdaterGUI._on_close", "updater.py", 296]
    assert proc.returncode == 0, proc.stderr
    files = contents(install_dir)
    assert files["QuelbaLauncher.exe"] == old
    assert len(files.pop("QuelbaLauncher_new.exe")) < len(body)  # left as it stood
    assert files == {"QuelbaLauncher.exe": old}
    assert log["swaps"] == [] and install_dir.runs() == []


def test_close_between_ready_and_completion(display, https_server, install_dir):
    old = contents(install_dir)["QuelbaLauncher.exe"]
    body = new_build(install_dir, 3 * 65536)
    install_dir.point(https_server.add(body))
    proc, log = update_window(display, https_server, install_dir, close_when="ready")
    assert log["texts"][-1][1] == "Update ready! Restarting..."
    assert log["close_requested"] - log["texts"][-1][0] < 0.5
    assert (log["end"]["how"], log["end"]["code"]) == ("SystemExit", 0)
    assert proc.returncode == 0, proc.stderr
    assert contents(install_dir) == {"QuelbaLauncher.exe": old, "QuelbaLauncher_new.exe": body}
    assert log["swaps"] == [] and install_dir.runs() == []
