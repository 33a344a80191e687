"""How long the module's own initialisation takes: the exec step of
`import updater` (state, string table, code objects, types and the module
body) with the standard library already imported.

Each sample is a fresh interpreter, since the exec step runs once per process.
The child imports every standard module the body needs, finds the module and
runs the create step (which loads the shared library), then times the exec
step alone. As a baseline it then times, in the same child, the exec of the
same module body written in Python (compiled beforehand, so only running it
counts). A second figure is the self time that `-X importtime` reports for
`updater`, which also includes finding and loading the shared library.

    .venv/bin/python bench/bench_init.py [--runs N] [--path BUILD_DIR]
"""
import argparse
import os
import re
import statistics
import subprocess
import sys

PREIMPORTS = """
import sys, os, time, urllib.request, urllib.error, threading, subprocess, shutil
try:
    import tkinter, tkinter.ttk, tkinter.messagebox
except Exception:
    pass
"""

PY_BODY = '''
import sys
import os
import time
import urllib.request
from urllib.error import HTTPError, URLError
import threading
import subprocess
import shutil
try:
    import tkinter as tk
    from tkinter import ttk, messagebox
    TK_AVAILABLE = True
except Exception:
    TK_AVAILABLE = False
UPDATE_URL = "https://downloads.example.com/quelba/launcher/releases/latest/main/QuelbaLauncher.exe"
MAIN_EXE_NAME = "QuelbaLauncher.exe"
TEMP_EXE_NAME = "QuelbaLauncher_new.exe"
BG_DARK = "#121212"
BG_CARD = "#1e1e1e"
ACCENT_PRIMARY = "#00bcd4"
ACCENT_SUCCESS = "#4caf50"
TEXT_PRIMARY = "#ffffff"
TEXT_SECONDARY = "#b0b0b0"
BORDER_COLOR = "#333333"
def get_exe_dir(): pass
def download_new_exe_with_progress(progress_callback): pass
def replace_and_run(new_exe): pass
class UpdaterGUI:
    WIDTH = 400
    HEIGHT = 200
    def __init__(self): pass
    def _run_update(self): pass
    def _complete_update(self, new_exe): pass
    def _on_close(self): pass
    def console_update(self): pass
if __name__ == "__main__":
    UpdaterGUI()
__test__ = {}
'''

CHILD = PREIMPORTS + """
import importlib.machinery, importlib.util
spec = importlib.machinery.PathFinder.find_spec("updater")
module = importlib.util.module_from_spec(spec)
body = compile(BODY, "updater_py.py", "exec")
t0 = time.perf_counter_ns()
spec.loader.exec_module(module)
t1 = time.perf_counter_ns()
exec(body, {"__name__": "updater_py"})
t2 = time.perf_counter_ns()
print(t1 - t0, t2 - t1)
"""


def child_env(path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([path] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    env.pop("PYTHONWARNINGS", None)
    return env


def run(argv, env):
    done = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=60)
    if done.returncode:
        sys.exit(done.stderr)
    return done


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--path", default=os.environ.get("UPDATER_PATH", ""),
                        help="directory holding the built module (default: the installed one)")
    args = parser.parse_args()
    env = child_env(os.path.abspath(args.path)) if args.path else child_env("")

    module_ns, python_ns, self_us = [], [], []
    code = f"BODY = {PY_BODY!r}\n{CHILD}"
    for _ in range(args.runs):
        out = run([sys.executable, "-c", code], env).stdout.split()
        module_ns.append(int(out[0]))
        python_ns.append(int(out[1]))
        err = run([sys.executable, "-X", "importtime", "-c", PREIMPORTS + "import updater"], env).stderr
        match = re.search(r"import time:\s+(\d+) \|\s+\d+ \|\s+updater$", err, re.M)
        self_us.append(int(match.group(1)))

    exec_us = statistics.median(module_ns) / 1000
    base_us = statistics.median(python_ns) / 1000
    print(f"{args.runs} fresh interpreters, CPython {sys.version.split()[0]}")
    print(f"exec step of updater:           median {exec_us:8.1f} us   min {min(module_ns) / 1000:8.1f} us")
    print(f"same body as Python (baseline): median {base_us:8.1f} us   min {min(python_ns) / 1000:8.1f} us")
    print(f"ratio exec step / baseline:     {exec_us / base_us:.2f}")
    print(f"-X importtime self time:        median {statistics.median(self_us):8.1f} us "
          "(includes finding and loading the library)")


if __name__ == "__main__":
    main()
