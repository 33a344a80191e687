"""How long `import updater` takes against an empty extension module built the
same way (bench/empty_module.cpp: same compiler, flags and link, by the same
CMakeLists.txt with UPDATER_EMPTY_MODULE=ON, into build/bench-import-cpython-3XY).

Each sample is a fresh interpreter that first imports every standard module the
module body imports, and then the module under test with `-X importtime`; the
figure is the self time of that import: finding the file, loading the shared
library with the libraries it needs, and the create and exec steps. Samples of
the two modules alternate, in rotating order.

    .venv/bin/python bench/bench_import.py [--runs N] [--path BUILD_DIR]
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys

from bench_init import child_env

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
EMPTY_BUILD = os.path.join(ROOT, "build", f"bench-import-{sys.implementation.cache_tag}")
PREIMPORTS = """
import sys, os, time, urllib.request, urllib.error, threading, subprocess, shutil
try:
    import tkinter, tkinter.ttk, tkinter.messagebox
except Exception:
    pass
"""


def build_empty_module():
    bin_dir = os.path.dirname(sys.executable)
    env = dict(os.environ, PATH=os.pathsep.join([bin_dir, os.environ.get("PATH", "")]))
    subprocess.run(["cmake", "-S", ROOT, "-B", EMPTY_BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={sys.executable}", "-DUPDATER_EMPTY_MODULE=ON"],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", EMPTY_BUILD, "--target", "updater_empty"],
                   check=True, env=env, stdout=subprocess.DEVNULL)


def self_time(name, env):
    """The -X importtime self time of `import name` in a fresh interpreter, in us."""
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", f"{PREIMPORTS}\nimport {name}"],
                          capture_output=True, text=True, env=env, timeout=60)
    match = re.search(rf"import time:\s+(\d+) \|\s+\d+ \|\s+{name}$", done.stderr, re.M)
    if done.returncode or not match:
        sys.exit(done.stderr)
    return int(match.group(1))


def module_file(name, env):
    return subprocess.run([sys.executable, "-W", "ignore", "-c", f"import {name}; print({name}.__file__)"],
                          capture_output=True, text=True, env=env, check=True).stdout.strip()


def needed(path):
    if not shutil.which("readelf"):
        return "?"
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True).stdout
    return ", ".join(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", out))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--path", default=os.environ.get("UPDATER_PATH", ""),
                        help="directory holding the built module (default: the installed one)")
    args = parser.parse_args()
    build_empty_module()
    module_env = child_env(os.path.abspath(args.path)) if args.path else child_env("")
    empty_env = child_env(EMPTY_BUILD)

    times = {"updater": [], "updater_empty": []}
    envs = {"updater": module_env, "updater_empty": empty_env}
    for i in range(args.runs):
        for name in (("updater", "updater_empty") if i % 2 else ("updater_empty", "updater")):
            times[name].append(self_time(name, envs[name]))

    print(f"{args.runs} fresh interpreters each, CPython {sys.version.split()[0]}")
    for name in times:
        path = module_file(name, envs[name])
        print(f"{name + ':':15} median {statistics.median(times[name]):7.1f} us   "
              f"min {min(times[name]):6d} us   needs {needed(path)}")
    ratios = [m / e for m, e in zip(times["updater"], times["updater_empty"])]
    print(f"ratio updater / empty module: {statistics.median(times['updater']) / statistics.median(times['updater_empty']):.2f} "
          f"(medians), {statistics.median(ratios):.2f} (median of the per-round ratios)")


if __name__ == "__main__":
    main()
