"""What tools/valgrind-check runs under memcheck, `rounds` times over: the
binding error paths, a whole console update against a local HTTPS release
server (in a child process, not under valgrind), and a failed one.
    python tools/valgrind-scenario.py ROUNDS WORKDIR"""
import functools
import os
import subprocess
import sys
import time

rounds, workdir = int(sys.argv[1]), sys.argv[2]
tests = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests")

SERVER = """
import sys, time
sys.path.insert(0, sys.argv[1])
from https_fixtures import ReleaseServer
server = ReleaseServer(sys.argv[2])
good = server.add(b"#!/bin/sh\\nexit 0\\n" + b"x" * 200000)
gone = server.add(b"", status=404)
print(server.ca_file, good, gone, flush=True)
sys.stdin.read()
"""
server = subprocess.Popen([sys.executable, "-c", SERVER, tests, workdir],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
ca_file, good, gone = server.stdout.readline().split()
os.environ["SSL_CERT_FILE"] = ca_file

import updater  # noqa: E402

install = os.path.join(workdir, "install")
os.makedirs(install, exist_ok=True)
updater.__file__ = os.path.join(install, "updater.so")
updater.TK_AVAILABLE = False


def binding_errors():
    f = updater.replace_and_run
    keyword = "".join(["new", "_exe"])
    for call in (lambda: f(), lambda: f(1, 2), lambda: f(1, **{keyword: 2}),
                 lambda: f(**{"path": 1}), lambda: updater.get_exe_dir(1),
                 lambda: updater.get_exe_dir(x=1), lambda: type(f).__call__(f, **{1: 2}),
                 lambda: functools.partial(f, 1, 2)(),
                 lambda: updater.UpdaterGUI._complete_update(new_exe=1)):
        try:
            call()
        except TypeError:
            pass


for _ in range(rounds):
    for _ in range(100):
        binding_errors()
    updater.UPDATE_URL = good
    updater.UpdaterGUI()  # downloads, swaps and starts the launcher
    updater.UPDATE_URL = gone
    try:
        updater.UpdaterGUI()
    except SystemExit as e:
        assert e.code == 1, e.code
    else:
        raise AssertionError("the failed download did not exit")
time.sleep(0.5)  # the last launcher started
server.stdin.close()
server.wait()
