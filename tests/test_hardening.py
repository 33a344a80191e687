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
            # collected during finalization; its sleep hands the lock over
            def __del__(self, time=time):
                time.sleep(0.6)

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
