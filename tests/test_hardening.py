"""Faults found by the hardening checks, kept from coming back, and the leak
check itself shown to catch what it is meant to catch."""
import os
import subprocess
import sys
import textwrap

from conftest import child_env, run_child

TESTS = os.path.dirname(os.path.abspath(__file__))


def test_daemon_thread_inside_the_module_at_exit_ends_quietly():
    # The window's worker is a daemon thread that may be inside a module
    # function when the interpreter exits. CPython ends such a thread, once it
    # wants the interpreter lock back, with pthread_exit; the unwinding that
    # follows must pass the module's frames (it aborted the process with
    # std::terminate while the module was built with C++ exception tables).
    proc = run_child(
        """
        import gc, os, sys, threading, time, updater

        inside = threading.Event()

        def slow_install_dir():
            inside.set()
            time.sleep(0.3)  # wakes up while the interpreter finalizes
            return "/nonexistent"

        updater.get_exe_dir = slow_install_dir
        threading.Thread(target=updater.download_new_exe_with_progress,
                         args=(print,), daemon=True).start()
        inside.wait()

        class Linger:
            # collected during finalization; its wait hands the lock over (on
            # Windows a busy one: time.sleep waits on the interrupt event there,
            # which finalization has closed by now)
            def __del__(self, time=time):
                if sys.platform != "win32":
                    time.sleep(0.6)
                else:
                    end = time.monotonic() + 0.6
                    while time.monotonic() < end:
                        pass

        gc.disable()
        linger = Linger()
        linger.cycle = linger
        del linger
        """
    )
    assert (proc.returncode, proc.stderr) == (0, "")


LEAKY_TESTS = """
import ctypes, subprocess, sys
import pytest

kept, runs = [], []

def test_clean():
    assert len([object() for _ in range(100)]) == 100

def test_keeps_a_reference():
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(object()))

def test_keeps_objects_in_a_list():
    kept.append(object())

def test_fails_when_run_again():
    runs.append(1)
    assert len(runs) == 1

@pytest.mark.no_leakcheck("shows the marker")
def test_marked():
    kept.append(object())

def test_child_interpreter():
    subprocess.run([sys.executable, "-c", "pass"], check=True)
    kept.append(object())
"""


def test_leak_check_flags_leaks_and_unrepeatable_tests(tmp_path):
    (tmp_path / "conftest.py").write_text(
        f"import sys\nsys.path.insert(0, {TESTS!r})\nfrom leakcheck import *  # noqa\n"
    )
    (tmp_path / "test_leaky.py").write_text(textwrap.dedent(LEAKY_TESTS))
    env = child_env(PYTHONMALLOC="pymalloc")  # blocks are counted under pymalloc only
    env.pop("UPDATER_LEAKCHECK", None)
    env["COLUMNS"] = "200"
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-rA", "-p", "no:cacheprovider", str(tmp_path)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=120,
    )
    outcomes = {}  # from the short summary: "FAILED test_leaky.py::name - reason"
    for line in proc.stdout.splitlines():
        if line.startswith(("PASSED ", "FAILED ")):
            outcome, _, rest = line.partition(" ")
            node, _, reason = rest.partition(" - ")
            outcomes[node.partition("::")[2]] = (outcome, reason[:20])
    assert outcomes == {
        "test_clean": ("PASSED", ""),
        "test_keeps_a_reference": ("FAILED", "leak: allocated bloc"),
        "test_keeps_objects_in_a_list": ("FAILED", "leak: allocated bloc"),
        "test_fails_when_run_again": ("FAILED", "passed once but fail"),
        "test_marked": ("PASSED", ""),
        "test_child_interpreter": ("PASSED", ""),
    }, proc.stdout
    assert "1 child interpreter, 1 marked" in proc.stdout


# ---------------------------------------------------------------------------
# Every statement failing in turn. The bodies run against stand-ins whose every
# operation counts; the n-th operation raises Injected, for n = 1, 2, ... until
# a run gets through. Each failure must leave the function as the very
# exception raised (nothing swallows a BaseException or puts another in its
# place), with one traceback entry of that function, and the handled exception
# put back. Under `make asan` these are the error paths the sanitizers see, and
# the leak check repeats the whole sweep.

import contextlib  # noqa: E402
import traceback  # noqa: E402

import pytest  # noqa: E402

import updater  # noqa: E402

FUNCTION = type(updater.get_exe_dir)


class Injected(BaseException):
    pass


class Budget:
    fail_at = 0
    spent = 0


CAUGHT = []  # module functions handed to a stand-in: callbacks and posted actions


def tick():
    Budget.spent += 1
    if Budget.spent == Budget.fail_at:
        raise Injected


class Fake:
    """Stands in for any object a body uses."""

    def __init__(self, path="/nonexistent/file"):
        object.__setattr__(self, "_path", path)

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        tick()
        return Fake(self._path)

    def __setattr__(self, name, value):
        tick()

    def __call__(self, *args, **kwargs):
        tick()
        CAUGHT.extend(a for a in (*args, *kwargs.values()) if type(a) is FUNCTION)
        return Fake(self._path)

    def __bool__(self):
        tick()
        return True

    def __eq__(self, other):
        tick()
        return False

    __hash__ = object.__hash__

    def __sub__(self, other):
        tick()
        return Fake()

    __rsub__ = __floordiv__ = __sub__

    def __format__(self, fmt):
        tick()
        return "F"

    def __int__(self):
        tick()
        return 100

    def __index__(self):
        tick()
        return 0o755

    def __float__(self):
        tick()
        return 1.0

    def __fspath__(self):
        tick()
        return self._path

    def __enter__(self):
        tick()
        return Fake(self._path)

    def __iter__(self):
        tick()
        return iter(())

    def __exit__(self, *exc):
        tick()
        return False


def raising(*args):
    raise RuntimeError("refused")


def sweep(func, args, limit=400):
    """Runs func(*args) failing at the n-th operation for every n; returns
    the lines of the traceback entries, one per failure."""
    lines = []
    for n in range(1, limit):
        Budget.fail_at, Budget.spent = n, 0
        try:
            func(*args)
        except Injected as exc:
            tb = exc.__traceback__
        else:
            Budget.fail_at = 0
            return lines
        assert sys.exc_info() == (None, None, None)  # the handled one put back
        entries = [(f.name, f.lineno) for f in traceback.extract_tb(tb) if f.filename == "updater.py"]
        assert [name for name, _ in entries] == [trace_name(func)], (n, entries)
        assert entries[0][1] >= func.__code__.co_firstlineno, (n, entries)
        lines.append(entries[0][1])
    raise AssertionError(f"{func.__qualname__} still failing after {limit} operations")


def trace_name(func):
    stem = func.__qualname__.replace(".<locals>", "").rpartition(".")[0]
    return "updater." + (stem + "." if stem else "") + func.__name__


@contextlib.contextmanager
def globals_(**values):
    module = vars(updater)
    saved = {name: module[name] for name in values if name in module}
    module.update(values)
    try:
        yield
    finally:
        for name in values:
            module.pop(name, None)
        module.update(saved)
        Budget.fail_at = 0
        CAUGHT.clear()


def caught(func, *args):
    """The module functions that func(*args) hands to a stand-in."""
    Budget.fail_at = 0
    CAUGHT.clear()
    func(*args)
    found = list(CAUGHT)
    CAUGHT.clear()
    return found


GUI = vars(updater.UpdaterGUI)
ENGINE = {name: getattr(updater, name)
          for name in ("get_exe_dir", "download_new_exe_with_progress", "replace_and_run")}


def test_window_statements_fail_one_by_one(capsys):
    with globals_(TK_AVAILABLE=Fake(), tk=Fake(), ttk=Fake(), threading=Fake()):
        assert len(set(sweep(GUI["__init__"], [Fake()]))) > 20
    with globals_(TK_AVAILABLE=False):
        sweep(GUI["__init__"], [Fake()])


def test_worker_statements_fail_one_by_one():
    with globals_(download_new_exe_with_progress=Fake(), messagebox=Fake(), sys=Fake()):
        sweep(GUI["_run_update"], [Fake()])
        [callback, *actions] = caught(GUI["_run_update"], Fake())
        for report in [(Fake(),) * 4, (Fake(), Fake(), False, Fake()), (-1, 0, False, 0)]:
            sweep(callback, report)
            actions += caught(callback, *report)
        assert sorted({a.__name__ for a in actions}) == [
            "exit_lambda", "lambda", "lambda1", "lambda2", "lambda3", "lambda4", "lambda5", "lambda6"]
        for action in actions:
            sweep(action, [])


def test_completion_and_closing_statements_fail_one_by_one():
    with globals_(replace_and_run=Fake(), messagebox=Fake(), sys=Fake()):
        sweep(GUI["_complete_update"], [Fake(), Fake()])
        sweep(GUI["_on_close"], [Fake()])
    with globals_(replace_and_run=raising, messagebox=Fake(), sys=Fake()):
        sweep(GUI["_complete_update"], [Fake(), Fake()])


def test_console_statements_fail_one_by_one(capsys):
    with globals_(download_new_exe_with_progress=Fake(), replace_and_run=Fake(), sys=Fake()):
        sweep(GUI["console_update"], [Fake()])
        [callback] = caught(GUI["console_update"], Fake())
        for report in [(Fake(),) * 4, (Fake(), Fake(), False, Fake()), (-1, 0, False, 0)]:
            sweep(callback, report)
    with globals_(download_new_exe_with_progress=Fake(), replace_and_run=raising, sys=Fake()):
        sweep(GUI["console_update"], [Fake()])


def test_engine_statements_fail_one_by_one(tmp_path):
    target = str(tmp_path / "download")
    with globals_(sys=Fake(), os=Fake(target), urllib=Fake(), time=Fake(),
                  get_exe_dir=Fake(target), shutil=Fake(), subprocess=Fake()):
        sweep(ENGINE["get_exe_dir"], [])
        sweep(ENGINE["download_new_exe_with_progress"], [Fake()])
        sweep(ENGINE["replace_and_run"], [Fake()])
