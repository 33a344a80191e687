"""The distribution `make dist` leaves in dist/: the sdist builds a working wheel on its
own, and the repaired wheel installs and updates where no compiler is. Both go into a
fresh virtual environment, and the installed module runs."""
import glob
import json
import os
import re
import subprocess
import sys
import tarfile

import pytest

from conftest import run_child
from test_console import KNOWN, NOTICE, READY, padded

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TAG = "cp%d%d" % sys.version_info[:2]
COMPILERS = ("cc", "gcc", "g++", "c++", "clang", "clang++")

pytestmark = [
    pytest.mark.no_leakcheck("builds and installs in child processes"),
    pytest.mark.skipif(bool(os.environ.get("UPDATER_PATH")),
                       reason="the suite runs against a working build (UPDATER_PATH); "
                              "make test checks the distribution"),
]


def built(pattern):
    """The one file of dist/ matching `pattern`; skips when make dist has not run."""
    found = glob.glob(os.path.join(REPO, "dist", pattern))
    if not found:
        pytest.skip(f"no {pattern} in dist/: run make dist")
    (path,) = found
    return path


def fresh_venv(root, path, *requirements, **env):
    """A new virtual environment, root/venv, with `requirements` installed from wheels
    alone; returns its interpreter and the environment (PATH `path`, nothing pointing
    at the build tree or a sanitizer) it was made in."""
    drop = ("PYTHONPATH", "VIRTUAL_ENV", "UPDATER_PATH", "LD_PRELOAD", "PYTHONMALLOC")
    env = {k: v for k, v in os.environ.items() if k not in drop} | env | {"PATH": path}
    python = os.path.join(root, "venv", "bin", "python")
    subprocess.run([sys.executable, "-m", "venv", os.path.join(root, "venv")], check=True, env=env)
    subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "--only-binary=:all:", *requirements], check=True, env=env, cwd=root)
    return python, env


def test_wheel_updates_where_no_compiler_is(tmp_path, https_server, install_dir):
    (tmp_path / "bin").mkdir()  # PATH: an empty directory
    python, env = fresh_venv(tmp_path, str(tmp_path / "bin"),
                             built(f"updater-*-{TAG}-{TAG}-manylinux*.whl"), **https_server.env())
    body = padded(install_dir, 2 * 65536 + 10)
    install_dir.point(https_server.add(body))
    code = (
        "import json, shutil, sys\nsys.modules['tkinter'] = None\nimport updater\n"
        f"print(json.dumps([updater.__file__, [shutil.which(c) for c in {COMPILERS!r}]]))\n"
        # The one dependency comes with the wheel (3.14 has compression.zstd itself).
        "if sys.version_info < (3, 14): import backports.zstd\n"
        + install_dir.child_code() + "updater.UpdaterGUI()\n"
    )
    proc = run_child(code, env=env, executable=python, cwd=str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    first, *out = proc.stdout.splitlines()
    assert json.loads(first)[0].startswith(str(tmp_path / "venv" / "lib") + os.sep)
    assert json.loads(first)[1] == [None] * len(COMPILERS)
    assert out[0] == NOTICE and out[-1] == READY
    assert len(out) == 5 and all(KNOWN.match(line) for line in out[1:-1])
    assert [run["tag"] for run in install_dir.wait_runs(1)] == ["new"]
    assert install_dir.files() == {"QuelbaLauncher.exe": (body, 0o755)}
    # the publisher's command comes with it
    command = subprocess.run([os.path.join(os.path.dirname(python), "updater-release"), "--help"],
                             env=env, capture_output=True, text=True, timeout=60)
    assert command.returncode == 0 and "RELEASE_DIR" in command.stdout, command.stderr


def test_sdist_alone_builds_a_working_wheel(tmp_path):
    with tarfile.open(built("updater-*.tar.gz")) as tar:
        tar.extractall(tmp_path / "unpacked", filter="data")
    (source,) = (tmp_path / "unpacked").iterdir()
    # Built with isolation: the sdist's own build requirements, from the index.
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w",
                    str(tmp_path / "wheels"), str(source)], check=True, cwd=str(tmp_path))
    (wheel,) = (tmp_path / "wheels").iterdir()
    python, env = fresh_venv(tmp_path, os.environ["PATH"], str(wheel), "pytest>=8", "trustme>=1.1")
    # The sdist's own tests, from the unpacked tree (where no module lies) against the
    # installed module: import and registration, whole console updates, linkage.
    tests = ["tests/test_module.py", "tests/test_console.py", "tests/test_build.py"]
    proc = subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           "--basetemp", str(tmp_path / "pytest"), *tests],
                          capture_output=True, text=True, env=env, cwd=str(source), timeout=300)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-2000:]
    assert re.match(r"\d+ passed", proc.stdout.splitlines()[-1])
