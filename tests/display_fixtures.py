"""Virtual displays for the window tests, a close request as a window manager
sends it, and the harness a child interpreter uses to run the window and
report what it showed.

The window's exit paths end the process, so every window case runs
`UpdaterGUI()` in a child interpreter under `WindowHarness`, which observes
the window through Tk itself and replaces only the modal message box."""
import ctypes
import ctypes.util
import json
import os
import shutil
import subprocess
import sys
import threading
import time
import traceback

import pytest

DEFAULT_SCREEN = "1920x1080"
XVFB = shutil.which("Xvfb")
WINDOWS = sys.platform == "win32"


# ---------------------------------------------------------------------------
# Xvfb


class VirtualDisplay:
    """One Xvfb server on a display number it picks itself (-displayfd)."""

    def __init__(self, size=DEFAULT_SCREEN):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            [XVFB, "-displayfd", str(write_fd), "-screen", "0", f"{size}x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_fd,),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        os.close(write_fd)
        number = b""
        with os.fdopen(read_fd, "rb") as pipe:
            while not number.endswith(b"\n"):
                piece = pipe.read(1)
                if not piece:
                    break
                number += piece
        if not number.strip():
            self.proc.kill()
            raise RuntimeError(f"Xvfb did not start for screen {size}")
        self.name = f":{int(number)}"
        self.size = size

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture(scope="session")
def virtual_display():
    """virtual_display(size="1920x1080") -> DISPLAY of an Xvfb with that screen,
    one server per size for the whole session. On Windows, Tk draws through Wine
    onto the display that tools/windows gives it, of the default size."""
    if WINDOWS:
        name = os.environ.get("DISPLAY")
        if not name:
            pytest.skip("the window tests on Windows need the display that tools/windows gives Wine")

        def given(size=DEFAULT_SCREEN):
            if size != DEFAULT_SCREEN:
                pytest.skip(f"Wine's display has one screen, {DEFAULT_SCREEN}: no {size} screen on Windows")
            return name

        yield given
        return
    if XVFB is None:
        pytest.skip("Xvfb is not installed (tools/setup-system installs it); "
                    "the window tests need a display")
    servers = {}

    def get(size=DEFAULT_SCREEN):
        if size not in servers:
            servers[size] = VirtualDisplay(size)
        return servers[size].name

    yield get
    for server in servers.values():
        server.stop()


@pytest.fixture(scope="session")
def display(virtual_display):
    """DISPLAY of the default 1920x1080 virtual screen."""
    return virtual_display()


# ---------------------------------------------------------------------------
# The window manager's close request


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p),
        ("window", ctypes.c_ulong),
        ("message_type", ctypes.c_ulong),
        ("format", ctypes.c_int),
        ("data", ctypes.c_long * 5),
    ]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def _xlib():
    lib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    lib.XOpenDisplay.restype = ctypes.c_void_p
    lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    lib.XInternAtom.restype = ctypes.c_ulong
    lib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(_XEvent)]
    lib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return lib


def send_close_request(window_id, display_name=None):
    """Sends WM_DELETE_WINDOW to a toplevel, as a window manager does when the
    user presses the close button. Uses a connection of its own. On Windows,
    `window_id` is the toplevel's frame (wm frame), and it is sent WM_CLOSE."""
    if WINDOWS:
        user32 = ctypes.WinDLL("user32", use_last_error=True)
        user32.PostMessageW.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_void_p, ctypes.c_void_p]
        if not user32.PostMessageW(window_id, 0x0010, None, None):  # WM_CLOSE
            raise ctypes.WinError(ctypes.get_last_error())
        return
    xlib = _xlib()
    name = (display_name or os.environ["DISPLAY"]).encode()
    dpy = xlib.XOpenDisplay(name)
    if not dpy:
        raise RuntimeError(f"cannot open display {name!r}")
    try:
        event = _XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = window_id
        event.xclient.message_type = xlib.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = xlib.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        event.xclient.data[1] = 0  # CurrentTime
        if not xlib.XSendEvent(dpy, window_id, 0, 0, ctypes.byref(event)):
            raise RuntimeError("XSendEvent failed")
        # Returns once the server has passed the event on: it waits for the
        # toplevel's event loop, however busy the machine keeps the X server.
        xlib.XSync(dpy, 0)
    finally:
        xlib.XCloseDisplay(dpy)


# ---------------------------------------------------------------------------
# The harness inside the child interpreter

RESULT_MARK = "WINDOW-HARNESS:"


def _entries(tb):
    """(name, file, line) of every traceback entry."""
    return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(tb)]


class WindowHarness:
    """Runs UpdaterGUI() and records what the window showed.

    It keeps hold of the objects the window makes by handing updater thin
    subclasses of tkinter.Tk, tkinter.Label and ttk.Progressbar, which log and
    then do exactly what the toolkit does, reading options back from Tk. Only
    the modal tkinter.messagebox.showerror is replaced, by a recorder.

    close_when: None, "started" (as soon as the event loop runs),
    "downloading" (the bar shows a value between 0 and 100), or "ready" (the
    status line reads "Update ready! Restarting..."); the harness then sends
    the close request through the X server. close() sends it at any time.
    Child code may add its own findings to log["extra"].
    """

    def __init__(self, close_when=None):
        import tkinter
        import tkinter.messagebox
        from tkinter import ttk

        import updater

        self.updater = updater
        self.close_when = close_when
        self.t0 = time.monotonic()
        self.log = {
            "geometry": [], "posts": [], "texts": [], "values": [], "boxes": [],
            "callback_errors": [], "thread_errors": [], "swaps": [], "snapshot": None,
            "close_requested": None, "end": None, "final": None, "extra": {},
        }
        self.root = None
        self.widgets = {}
        harness = self

        class Root(tkinter.Tk):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                harness.root = self

            def geometry(self, new_geometry=None):
                harness.log["geometry"].append(new_geometry)
                return super().geometry(new_geometry)

            def after(self, ms, func=None, *args):
                if getattr(func, "__module__", None) == "updater":
                    harness.log["posts"].append({
                        "t": harness.now(), "ms": ms, "name": func.__name__,
                        "qualname": func.__qualname__,
                        "on_main": threading.current_thread() is threading.main_thread(),
                    })
                return super().after(ms, func, *args)

            def mainloop(self, n=0):
                harness.snapshot()
                harness.poll()
                return super().mainloop(n)

            def report_callback_exception(self, exc, val, tb):
                harness.log["callback_errors"].append(
                    {"type": exc.__name__, "message": str(val), "entries": _entries(tb)})

        class Label(tkinter.Label):
            def configure(self, cnf=None, **kw):
                result = super().configure(cnf, **kw)
                if "text" in kw and self is harness.widgets.get("speed_lbl"):
                    harness.log["texts"].append((harness.now(), self.cget("text")))
                return result

            config = configure

        class Progressbar(ttk.Progressbar):
            def configure(self, cnf=None, **kw):
                result = super().configure(cnf, **kw)
                if "value" in kw:
                    harness.log["values"].append((harness.now(), float(self.cget("value"))))
                return result

            config = configure

        def showerror(*args, **kwargs):
            label = harness.widgets.get("speed_lbl")
            harness.log["boxes"].append({
                "t": harness.now(), "args": list(args), "kwargs": kwargs,
                "status": label.cget("text") if label is not None else None,
            })
            return "ok"

        def thread_hook(args):
            harness.log["thread_errors"].append({
                "type": args.exc_type.__name__, "message": str(args.exc_value),
                "entries": _entries(args.exc_traceback),
            })

        tkinter.Tk = Root
        tkinter.Label = Label
        ttk.Progressbar = Progressbar
        tkinter.messagebox.showerror = showerror
        threading.excepthook = thread_hook

        real_replace = updater.replace_and_run

        def replace_and_run(new_exe):
            label = harness.widgets.get("speed_lbl")
            harness.log["swaps"].append({
                "t": harness.now(),
                "new_exe": new_exe if isinstance(new_exe, str) else repr(new_exe),
                "status": label.cget("text") if label is not None else None,
            })
            return real_replace(new_exe)

        updater.replace_and_run = replace_and_run

    def now(self):
        return time.monotonic() - self.t0

    def snapshot(self):
        """Options of every widget, read back from Tk as the event loop starts."""
        root = self.root
        children = root.winfo_children()
        card = children[0]
        title_lbl, progress, speed_lbl = card.winfo_children()
        self.widgets.update(card=card, title_lbl=title_lbl, progress=progress,
                            speed_lbl=speed_lbl)
        root.update_idletasks()
        style = self.updater.ttk.Style(root)

        def options(widget, names):
            return {n: str(widget.cget(n)) for n in names}

        def packing(widget):
            info = widget.pack_info()
            info.pop("in", None)
            return {k: " ".join(map(str, v)) if isinstance(v, tuple) else str(v)
                    for k, v in info.items()}

        self.log["snapshot"] = {
            "root_children": len(children),
            "card_children": [w.winfo_class() for w in card.winfo_children()],
            "title": root.title(),
            "wm_geometry": root.wm_geometry(),
            "resizable": list(root.resizable()),
            "root_bg": str(root.cget("bg")),
            "card": options(card, ["bg", "bd", "relief", "highlightbackground",
                                   "highlightthickness"]),
            "card_pack": packing(card),
            "title_lbl": options(title_lbl, ["text", "bg", "fg", "font"]),
            "title_lbl_pack": packing(title_lbl),
            "progress": options(progress, ["mode", "length", "value", "maximum", "orient",
                                           "style"]),
            "progress_pack": packing(progress),
            "speed_lbl": options(speed_lbl, ["text", "bg", "fg", "font"]),
            "speed_lbl_pack": packing(speed_lbl),
            "theme": style.theme_use(),
            "bar_style": {n: str(style.lookup("TProgressbar", n))
                          for n in ["background", "troughcolor", "bordercolor",
                                    "lightcolor", "darkcolor"]},
            "close_handler": root.protocol("WM_DELETE_WINDOW") != "",
            "window_id": int(root.wm_frame(), 16),
            "daemon_threads": [t.daemon for t in threading.enumerate()
                               if t is not threading.main_thread()],
        }

    def poll(self):
        """Watches for the moment to send the close request."""
        if self.close_when is None or self.log["close_requested"] is not None:
            return
        due = self.close_when == "started"
        if self.close_when == "downloading":
            value = float(self.widgets["progress"].cget("value"))
            due = 0 < value < 100
        elif self.close_when == "ready":
            due = self.widgets["speed_lbl"].cget("text") == "Update ready! Restarting..."
        if due:
            self.close()
        else:
            self.root.after(2, self.poll)

    def close(self):
        """The user presses the close button."""
        self.log["close_requested"] = self.now()
        send_close_request(self.log["snapshot"]["window_id"])

    def final_state(self):
        """What the window shows when UpdaterGUI() has ended, if it still exists."""
        try:
            self.log["final"] = {
                "title_lbl": self.widgets["title_lbl"].cget("text"),
                "speed_lbl": self.widgets["speed_lbl"].cget("text"),
                "value": float(self.widgets["progress"].cget("value")),
            }
        except Exception:
            self.log["final"] = None

    def run(self):
        """UpdaterGUI(), then the log on stdout; a SystemExit goes on to end the
        process as it would without the harness."""
        try:
            gui = self.updater.UpdaterGUI()
            self.log["end"] = {"how": "returned", "t": self.now(),
                               "type": type(gui).__name__}
        except SystemExit as e:
            self.log["end"] = {
                "how": "SystemExit", "t": self.now(), "code": e.code,
                "entries": _entries(e.__traceback__),
                "context": type(e.__context__).__name__ if e.__context__ else None,
                "context_message": str(e.__context__) if e.__context__ else None,
            }
            raise
        finally:
            self.final_state()
            sys.stdout.write(RESULT_MARK + json.dumps(self.log) + "\n")
            sys.stdout.flush()


def harness_result(proc):
    """The log a child's WindowHarness printed."""
    for line in proc.stdout.splitlines():
        if line.startswith(RESULT_MARK):
            return json.loads(line[len(RESULT_MARK):])
    raise AssertionError(f"no harness result; exit {proc.returncode}\n"
                         f"stdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
