"""Shared fixtures. UPDATER_PATH, when set, names a build directory whose
module is tested instead of the installed one (for working builds)."""
import os
import subprocess
import sys
import textwrap

import pytest

_extra = os.environ.get("UPDATER_PATH")
if _extra:
    sys.path.insert(0, os.path.abspath(_extra))

import updater  # noqa: E402

MODULE_DIR = os.path.dirname(os.path.abspath(updater.__file__))
TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tools")


def find_python(version):
    """The path of a CPython `version` interpreter (tools/find-python), or None."""
    done = subprocess.run([os.path.join(TOOLS, "find-python"), version],
                          capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else None


def child_env(**extra):
    """Environment for a child interpreter that imports this same module."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [MODULE_DIR, os.path.dirname(os.path.abspath(__file__))]
        + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else [])
    )
    env.pop("PYTHONWARNINGS", None)
    env.update(extra)
    return env


def run_child(code, *, timeout=60, env=None, cwd=None, args=(), executable=None):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess (text)."""
    return subprocess.run(
        [executable or sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env if env is not None else child_env(),
        cwd=cwd,
    )


@pytest.fixture
def child():
    return run_child


def pytest_collection_modifyitems(items):
    for item in items:
        if "onedir_builds" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.onedir)


from https_fixtures import *  # noqa: E402,F401,F403
from display_fixtures import *  # noqa: E402,F401,F403
from leakcheck import *  # noqa: E402,F401,F403
from frozen_fixtures import *  # noqa: E402,F401,F403
from onedir_fixtures import *  # noqa: E402,F401,F403
