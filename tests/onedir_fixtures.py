"""Real folder launchers: four one-dir builds frozen with PyInstaller, each the
executable QuelbaLauncher (".exe" on Windows) beside its contents folder
_internal-<tag>, in a folder named by the tag:

    b1  the old launcher of frozen_fixtures (it imports updater and updates
        itself), recording "b1", with data/motd.txt holding "one"
    b2  its code changed only: it records "b2"
    b3  data/motd.txt changed to "three"
    b4  a new dependency: it imports sqlite3, which brings an extension module
        and its library into the contents folder

Every build takes the old launcher's arguments (frozen_fixtures.OLD) and adds
to each line it writes to starts.jsonl the text of its motd.txt and, for b4,
the SQLite version. The builds are frozen once, by two PyInstaller runs side
by side from spec files that share an analysis between the builds it fits
(b1 to b3 import the same modules), and kept under
build/frozen/onedir-<platform>-<version>/ keyed as frozen_launchers keys its own.
"""
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

import updater
from frozen_fixtures import EXE, OLD, RECORD, _digest, _version, cached, hook_path

__all__ = ["onedir_builds", "OnedirBuilds", "TAGS"]

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(REPO, "build", "frozen",
                     f"onedir-{sys.platform}-{sys.version_info[0]}.{sys.version_info[1]}")
KEEP = 2  # four folder builds take a few hundred MB
NAME = "QuelbaLauncher"
TAGS = ("b1", "b2", "b3", "b4")
MOTD = {"b1": "one", "b2": "one", "b3": "three", "b4": "three"}

# What each build adds to the old launcher's record.
EXTRA = {
    "b1": "",
    "b2": "",
    "b3": "",
    "b4": "import sqlite3\nEXTRA['sqlite'] = sqlite3.sqlite_version\n",
}

MOTD_READER = '''
EXTRA = {}
with open(os.path.join(sys._MEIPASS, "data", "motd.txt")) as f:
    EXTRA["motd"] = f.read()
'''

# The runs side by side: each names its builds, those of one analysis first.
RUNS = (("b1", "b2", "b3"), ("b4",))

SPEC = '''
import os
work = {work!r}
builds = {builds!r}
script_of = {{tag: os.path.join(work, tag, "launcher.py") for tag in builds}}
analysis = Analysis([script_of[builds[0]]], pathex=[{module_dir!r}])
pyz = PYZ(analysis.pure)
for tag in builds:
    # The scripts differ from the analysed one in their text only.
    scripts = [(entry, script_of[tag] if entry == "launcher" else path, kind)
               for entry, path, kind in analysis.scripts]
    exe = EXE(pyz, scripts, [], exclude_binaries=True, name=f"{name}-{{tag}}",
              contents_directory=f"_internal-{{tag}}", console=True)
    datas = analysis.datas + [("data/motd.txt", os.path.join(work, tag, "motd.txt"), "DATA")]
    COLLECT(exe, analysis.binaries, datas, name=tag)
'''


def script(tag):
    """The launcher `tag`: the old launcher, recording `tag` and what EXTRA
    gathers."""
    body = OLD[len(RECORD):].replace('record("old", ', f'record({tag!r}, **EXTRA, ', 1)
    assert body != OLD[len(RECORD):]
    return RECORD + MOTD_READER + EXTRA[tag] + body


class OnedirBuilds:
    """`path(tag)`: the folder of build `tag`; `exe(tag)`: its executable;
    `contents(tag)`: its contents folder's name; `install(tag, directory)`:
    copies the build's executable and contents folder into `directory` (made
    when missing); returns the executable's path there."""

    def __init__(self, entry):
        self.root = entry

    def path(self, tag):
        return os.path.join(self.root, tag)

    def exe(self, tag):
        return os.path.join(self.root, tag, NAME + EXE)

    def contents(self, tag):
        return "_internal-" + tag

    def install(self, tag, directory):
        os.makedirs(directory, exist_ok=True)
        shutil.copytree(os.path.join(self.path(tag), self.contents(tag)),
                        os.path.join(directory, self.contents(tag)), symlinks=True)
        target = os.path.join(directory, NAME + EXE)
        shutil.copy2(self.exe(tag), target)
        return target


def _freeze():
    os.makedirs(CACHE, exist_ok=True)
    work = tempfile.mkdtemp(prefix="freezing-", dir=CACHE)
    module_dir = os.path.dirname(os.path.abspath(updater.__file__))
    for tag in TAGS:
        os.makedirs(os.path.join(work, tag))
        with open(os.path.join(work, tag, "launcher.py"), "w") as f:
            f.write(script(tag))
        with open(os.path.join(work, tag, "motd.txt"), "w") as f:
            f.write(MOTD[tag])
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    env["PYTHONPATH"] = module_dir
    procs = []
    for n, builds in enumerate(RUNS):
        spec = os.path.join(work, f"run{n}.spec")
        with open(spec, "w") as f:
            f.write(SPEC.format(work=work, builds=builds,
                                module_dir=module_dir, name=NAME))
        command = [sys.executable, "-m", "PyInstaller", "--noconfirm", "--log-level", "WARN",
                   "--distpath", os.path.join(work, "dist"),
                   "--workpath", os.path.join(work, "build", f"run{n}"), spec]
        log = open(os.path.join(work, f"run{n}.log"), "w+")
        own = dict(env, PYINSTALLER_CONFIG_DIR=os.path.join(work, f"config-{n}"))
        procs.append((builds, log, subprocess.Popen(command, cwd=work, env=own, stdout=log,
                                                    stderr=subprocess.STDOUT)))
    failed = []
    for builds, log, proc in procs:
        status = proc.wait(timeout=900)
        log.seek(0)
        if status != 0:
            failed.append(f"PyInstaller exit {status} making {', '.join(builds)}:\n{log.read()}")
        log.close()
    if failed:
        shutil.rmtree(work, ignore_errors=True)
        raise RuntimeError("\n".join(failed))
    for tag in TAGS:
        folder = os.path.join(work, "dist", tag)
        os.rename(os.path.join(folder, f"{NAME}-{tag}{EXE}"), os.path.join(folder, NAME + EXE))
    return work


@pytest.fixture(scope="session")
def onedir_builds():
    with open(updater.__file__, "rb") as f:
        extension = f.read()
    with open(hook_path(), "rb") as f:
        hook = f.read()
    recipe = b""  # the builds' sources, the spec and the old launcher they grow from
    for source in (__file__, os.path.join(os.path.dirname(__file__), "frozen_fixtures.py")):
        with open(source, "rb") as f:
            recipe += f.read()
    key = _digest(recipe, extension, hook, _version("pyinstaller"), sys.platform, sys.version,
                  os.path.realpath(sys.executable))
    return OnedirBuilds(cached(CACHE, key, _freeze, KEEP))
