"""Folder launchers: a frozen host whose sys._MEIPASS is a folder inside the install
directory gets the new build's contents folder, fetched by its manifest and made
whole, before its executable is swapped; the folders no launcher uses go after."""
import hashlib
import itertools
import json
import os
import posixpath
import shutil
import struct
import subprocess
import sys
import types

import pytest

import updater
from frozen_fixtures import Publisher
from https_fixtures import WINDOWS

zstd = pytest.importorskip("compression.zstd" if sys.version_info >= (3, 14) else "backports.zstd")

FAILURE = (-1, 0, False, 0)
PYTHON = sys.executable  # before a test makes the host a frozen launcher
LIBRARY = os.urandom(200_000)  # a file every build holds
OLD = {"lib/libpython.so": LIBRARY, "data/a.txt": b"one", "libpython.so": ("link", "lib/libpython.so")}
NEW = {"lib/libpython.so": LIBRARY, "data/a.txt": b"two", "data/b.bin": os.urandom(70_000),
       "empty": b"", "libpython.so": ("link", "lib/libpython.so")}


def on_disk(files):
    """`files` as a folder holds them: on Windows a link is a copy of what it names."""
    if not WINDOWS:
        return files
    return {path: files[posixpath.normpath(posixpath.join(posixpath.dirname(path), content[1]))]
            if isinstance(content, tuple) else content for path, content in files.items()}


def archive(folder):
    """The end of an executable: a table of contents naming `folder`, and the cookie."""
    name = f"pyi-contents-directory {folder}".encode() + b"\0"
    name += b"\0" * (-(18 + len(name)) % 16)
    toc = struct.pack("!IIIIBc", 18 + len(name), 0, 0, 0, 0, b"o") + name
    return b"\nexit 0\n" + toc + struct.pack("!8sIIII64s", b"MEI\014\013\012\013\016", len(toc) + 88, 0, len(toc), 312, b"")


def manifest(exe, folder, files):
    entries = []
    for path, content in sorted(files.items()):
        if isinstance(content, tuple):
            entries.append({"path": path, "link": content[1]})
        else:
            entries.append({"path": path, "size": len(content), "sha256": hashlib.sha256(content).hexdigest(),
                            "exec": path.endswith(".so")})
    return {"format": 1, "build": hashlib.sha256(exe).hexdigest(), "size": len(exe), "folder": folder,
            "files": entries}


def encode(obj):
    return json.dumps(obj, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


class Folders:
    """An install directory whose launcher runs from `_internal-1` (the OLD files),
    and releases published to the test's server."""

    def __init__(self, install, server, monkeypatch):
        self.install, self.server, self.mp = install, server, monkeypatch
        self.path = install.path
        install.write(install.launcher, install.launcher_script("old") + archive("_internal-1"))
        self.make("_internal-1", OLD)
        self.run_from("_internal-1")
        self.reports = []

    def make(self, name, files):
        for path, content in on_disk(files).items():
            full = os.path.join(self.path, name, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            if isinstance(content, tuple):
                os.symlink(content[1], full)
            else:
                with open(full, "wb") as f:
                    f.write(content)

    def run_from(self, name):
        self.mp.setattr(sys, "frozen", True, raising=False)
        self.mp.setattr(sys, "executable", self.install.launcher)
        self.mp.setattr(sys, "_MEIPASS", os.path.join(self.path, name), raising=False)

    def publish(self, folder, files, tag="new", edit=None, key=None, blobs=None, exe_folder=None, signed=False,
                exe_tail=None):
        exe = self.install.launcher_script(tag) + (archive(exe_folder or folder) if exe_tail is None else exe_tail)
        url = self.server.add(exe)
        if signed:  # the build signed with the host's key, whatever signs the manifest
            self.server.add(KEY.sign(exe), path=self.server_path(url) + ".minisig")
        self.mp.setattr(updater, "UPDATE_URL", url)
        body = manifest(exe, folder, files)
        if edit:
            edit(body)
        body = encode(body) if isinstance(body, dict) else body
        self.server.add(body, path=self.server_path(url) + ".contents")
        if key:
            self.server.add(key.sign(body), path=self.server_path(url) + ".contents.minisig")
        for content in files.values():
            if not isinstance(content, tuple):
                blob = (blobs or {}).get(content, content)
                frame = zstd.compress(blob, options={zstd.CompressionParameter.checksum_flag: 1})
                self.server.add(frame, path=f"{self.server_path(url)}.files/{hashlib.sha256(content).hexdigest()}.zst")
        return url

    @staticmethod
    def server_path(url):
        return "/" + url.split("/", 3)[3]

    def download(self):
        self.reports.clear()
        return updater.download_new_exe_with_progress(lambda *report: self.reports.append(report))

    def tree(self, name):
        out = {}
        top = os.path.join(self.path, name)
        for directory, _, files in os.walk(top):
            for file in files:
                full = os.path.join(directory, file)
                rel = os.path.relpath(full, top).replace(os.sep, "/")
                if os.path.islink(full):
                    out[rel] = ("link", os.readlink(full))
                else:
                    with open(full, "rb") as f:
                        out[rel] = f.read()
        return out

    def blob_requests(self, url):
        return [seen.path for seen in self.server._seen if seen.path.startswith(self.server_path(url) + ".files/")]


@pytest.fixture
def folders(install_dir, https_server, monkeypatch):
    return Folders(install_dir, https_server, monkeypatch)


def test_updates_make_the_folder_from_local_files_and_the_release(folders, https_server):
    url = folders.publish("_internal-2", NEW)
    new_exe = folders.download()
    assert new_exe == folders.install.download
    assert folders.tree("_internal-2") == on_disk(NEW)
    if not WINDOWS:  # where modes are left alone
        modes = [os.stat(os.path.join(folders.path, "_internal-2", p)).st_mode & 0o777
                 for p in ("lib/libpython.so", "data/a.txt")]
        assert modes == [0o755, 0o644]
    # Only the changed and new files travel, counted with the build against one total.
    sizes = sorted(len(NEW[path]) for path in ("data/a.txt", "data/b.bin"))
    assert sorted(os.path.basename(p) for p in folders.blob_requests(url)) == sorted(
        hashlib.sha256(NEW[path]).hexdigest() + ".zst" for path in ("data/a.txt", "data/b.bin"))
    total = os.path.getsize(new_exe) + sum(sizes)
    assert folders.reports[-1][2:] == (True, total) and folders.reports[-1][0] == 100.0
    assert not os.path.exists(os.path.join(folders.path, "QuelbaLauncher_new.exe.folder"))
    with open(os.path.join(folders.path, "QuelbaLauncher.exe.folders")) as f:
        assert f.read() == "_internal-1\n_internal-2\n"

    updater.replace_and_run(new_exe)
    folders.install.wait_runs(1)
    assert not os.path.exists(os.path.join(folders.path, "_internal-1"))  # listed, and no process maps it
    with open(os.path.join(folders.path, "QuelbaLauncher.exe.folders")) as f:
        assert f.read() == "_internal-2\n"

    # A code-only update moves the build and the manifest, nothing more.
    folders.run_from("_internal-2")
    url = folders.publish("_internal-3", NEW, tag="newer")
    assert folders.download() == folders.install.download
    assert folders.blob_requests(url) == []
    assert [len(https_server.requests(u)) for u in (url, url + ".contents")] == [1, 1]
    assert folders.tree("_internal-3") == on_disk(NEW)
    # The same folder published again is used as it stands.
    folders.publish("_internal-3", NEW, tag="again")
    assert folders.download() == folders.install.download


def _set(path, value):
    def edit(body):
        target = body
        for key in path[:-1]:
            target = target[key]
        target[path[-1]] = value
    return edit


def _add_entry(entry):
    return lambda body: body["files"].append(entry)


FILE = {"size": 1, "sha256": "0" * 64, "exec": False}
BAD_MANIFESTS = {
    "absolute": _set(("files", 0, "path"), "/etc/passwd"),
    "dot-dot": _set(("files", 0, "path"), "../escape"),
    "backslash": _set(("files", 0, "path"), "lib\\x"),
    "reserved": _set(("files", 0, "path"), "data/NUL.txt"),
    "reserved-com": _set(("files", 0, "path"), "com1.dll"),
    "trailing-dot": _set(("files", 0, "path"), "data/a."),
    "stream": _set(("files", 0, "path"), "data/a:b"),
    "empty-segment": _set(("files", 0, "path"), "data//a"),
    "case": _add_entry({"path": "DATA/A.TXT", **FILE}),
    "prefix": _add_entry({"path": "data/a.txt/x", **FILE}),
    "link-outside": _add_entry({"path": "data/l", "link": "../../x"}),
    "link-absolute": _add_entry({"path": "data/l", "link": "/x"}),
    "folder": _set(("folder",), "a/b"),
    "folder-dot": _set(("folder",), ".."),
    "size-bool": _set(("files", 0, "size"), True),
    "too-large": _set(("files", 0, "size"), 2**30 + 1),
    "unknown-key": _set(("files", 0, "mode"), 0o644),
    "hex": _set(("build",), "A" * 64),
    "format": _set(("format",), 2),
    "not-json": lambda body: body.clear() or body.update({"x": float("nan")}),
}


@pytest.mark.parametrize("edit", BAD_MANIFESTS.values(), ids=BAD_MANIFESTS.keys())
def test_a_bad_manifest_is_a_failed_download_with_nothing_written(folders, https_server, edit):
    before = sorted(os.listdir(folders.path))
    url = folders.publish("_internal-2", NEW, edit=edit)
    assert folders.download() is None
    assert folders.reports == [FAILURE]
    assert https_server.requests(url) == []  # the build's download never started
    assert sorted(os.listdir(folders.path)) == before


KEY = Publisher()
FAILURES = {
    "no contents": dict(files=NEW, drop=".contents"),
    "build not named": dict(files=NEW, edit=_set(("build",), "0" * 64)),
    "names another folder": dict(files=NEW, exe_folder="_internal-9"),
    "carries no archive": dict(files=NEW, exe_tail=b""),
    "a corrupt archive": dict(files=NEW, exe_tail=struct.pack("!8sIIII64s", b"MEI\014\013\012\013\016", 1 << 30,
                                                              0, 0, 312, b"")),
    "a file fails its sha256": dict(files=NEW, blobs={NEW["data/b.bin"]: os.urandom(70_000)}),
    "a file cut short": dict(files=NEW, blobs={NEW["data/b.bin"]: NEW["data/b.bin"][:-1]}),
    "bad signature": dict(files=NEW, key=Publisher(), signed=True),
    "missing signature": dict(files=NEW, signed=True),
}


@pytest.mark.parametrize("case", FAILURES.values(), ids=FAILURES.keys())
def test_failures_leave_the_launcher_and_its_folder_as_they_were(folders, https_server, monkeypatch, case):
    case = dict(case)
    if case.get("signed"):
        monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", KEY.public_key, raising=False)
    drop = case.pop("drop", None)
    url = folders.publish("_internal-2", **case)
    if drop:
        https_server._routes.pop(folders.server_path(url) + drop)
    launcher = open(folders.install.launcher, "rb").read()
    before = sorted(os.listdir(folders.path))
    assert folders.download() is None
    assert folders.reports[-1] == FAILURE and FAILURE not in folders.reports[:-1]
    assert sorted(set(os.listdir(folders.path)) - {"QuelbaLauncher.exe.folders"}) == before
    assert open(folders.install.launcher, "rb").read() == launcher
    assert folders.tree("_internal-1") == on_disk(OLD)


def test_a_signed_folder_and_a_swap_that_finds_no_folder(folders, monkeypatch):
    monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", KEY.public_key, raising=False)
    folders.publish("_internal-2", NEW, key=KEY, signed=True)
    assert folders.download() == folders.install.download
    assert folders.tree("_internal-2") == on_disk(NEW)
    # A build whose folder is missing is refused before anything moves.
    folders.install.write(folders.install.download, b"#!/bin/sh\n" + archive("_internal-9"))
    launcher = open(folders.install.launcher, "rb").read()
    with pytest.raises(RuntimeError, match=r"^Failed to replace and run: the new build's contents folder "
                                           r"'_internal-9' is not in the install directory$"):
        updater.replace_and_run(folders.install.download)
    assert open(folders.install.launcher, "rb").read() == launcher


# A child that maps `path` as a process running from its folder does, until its stdin closes.
HOLDER = ("import ctypes, sys\nctypes.WinDLL(sys.argv[1])\n" if WINDOWS else
          "import mmap, sys\nf = open(sys.argv[1], 'rb')\nm = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)\n")


@pytest.mark.skipif(not WINDOWS and not os.path.isdir("/proc"), reason="needs /proc")
def test_old_folders_go_unless_in_use_or_not_ours(folders):
    folders.make("_internal-0", OLD)
    folders.make("_internal-x", OLD)  # not listed: never ours
    with open(os.path.join(folders.path, "QuelbaLauncher.exe.folders"), "w") as f:
        f.write("_internal-0\n../escape\n")
    mapped = os.path.join(folders.path, "_internal-0", "lib", "libpython.so")
    if WINDOWS:  # an image: a library of the interpreter's, loaded
        mapped = shutil.copy(os.path.join(os.path.dirname(PYTHON), "python3.dll"),
                             os.path.join(folders.path, "_internal-0", "lib", "held.dll"))
    holder = subprocess.Popen([PYTHON, "-c", HOLDER + "print(flush=True)\nsys.stdin.read()", mapped],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        holder.stdout.readline()
        folders.publish("_internal-2", NEW)
        updater.replace_and_run(folders.download())
        folders.install.wait_runs(1)
        assert sorted(n for n in os.listdir(folders.path) if n.startswith("_internal")) == [
            "_internal-0", "_internal-2", "_internal-x"]
    finally:
        holder.communicate(b"")
    # The next update's download removes it, once no process maps it.
    folders.run_from("_internal-2")
    folders.publish("_internal-3", NEW, tag="newer")
    assert folders.download() == folders.install.download
    assert sorted(n for n in os.listdir(folders.path) if n.startswith("_internal")) == [
        "_internal-2", "_internal-3", "_internal-x"]


class Refusing:
    """Stands in for a module (os, os.path, shutil): the calls of its functions,
    counted across the stand-ins, run as usual but for the n-th, which raises."""

    def __init__(self, module, count):
        self._module, self._count = module, count

    def __getattr__(self, name):
        value = getattr(self._module, name)
        if isinstance(value, types.ModuleType):
            return Refusing(value, self._count)
        if not callable(value) or isinstance(value, type):
            return value

        def call(*args, **kwargs):
            self._count[0] += 1
            if self._count[0] == self._count[1]:
                raise OSError(f"call {self._count[0]} ({name}) refused")
            return value(*args, **kwargs)
        return call


@pytest.mark.parametrize("system", ["posix", "nt"])
def test_each_refused_call_leaves_nothing_half_made(folders, monkeypatch, system):
    """The update of a folder launcher with each call of os, os.path and shutil
    refused in turn, as the host's system would refuse it ("nt": the Windows
    branch, where links are copies and modes are left alone): no temporary
    folder left, and at the folder's name nothing, or the folder whole (made
    before a later step failed, or where the module may pass a failure by)."""
    if WINDOWS:
        pytest.skip("the Linux suite runs both branches; under Wine the ~200 updates take a minute")
    folders.publish("_internal-2", NEW)
    folders.make("_internal-0", {**OLD, "lib/held.dll": b"MZ"})  # an old folder of ours, which goes
    with open(os.path.join(folders.path, "QuelbaLauncher.exe.folders"), "w") as f:
        f.write("_internal-0\n")
    folder, temporary = (os.path.join(folders.path, name) for name in ("_internal-2", "QuelbaLauncher_new.exe.folder"))
    count = [0, 0]
    system_os = types.SimpleNamespace(**{**vars(os), "name": "nt"}) if system == "nt" else os

    def refusing(n):
        count[:] = [0, n]
        monkeypatch.setattr(updater, "os", Refusing(system_os, count))
        monkeypatch.setattr(updater, "shutil", Refusing(shutil, count))

    for n in itertools.count(1):
        refusing(n)
        try:
            result = folders.download()
        except OSError:  # refused before the download's own handling (the install directory)
            result = None
            folders.reports.append(FAILURE)
        monkeypatch.setattr(updater, "os", os)
        monkeypatch.setattr(updater, "shutil", shutil)
        assert not os.path.exists(temporary), n
        assert result is not None or folders.reports[-1] == FAILURE, n
        if result is not None or os.path.exists(folder):  # only ever whole at its name
            assert folders.tree("_internal-2") == (NEW if system == "posix" else {
                **NEW, "libpython.so": NEW["lib/libpython.so"]}), n
            shutil.rmtree(folder)
        if count[0] < n:  # no call was refused: the whole update ran
            assert result is not None
            break
    assert n > 50 and not os.path.exists(os.path.join(folders.path, "_internal-0"))
    refusing(0)  # none: the folder made, then used as it stands
    assert folders.download() == folders.download() == folders.install.download
