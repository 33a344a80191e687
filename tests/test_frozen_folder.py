"""Real folder launchers (onedir_fixtures) updating themselves: releases made by
the real updater-release command, served by the HTTPS server, installed by the
running launcher through patches and signed, three times in a row, with a
launcher of the first build still running beside them; and releases that fail,
after which the installed launcher still starts and updates."""
import itertools
import json
import os
import shutil
import subprocess
import sys
import threading

import pytest

import signing
from frozen_fixtures import WINDOWS, Publisher, read_starts
from test_frozen import run_frozen, wait_starts
from test_release import NAME, tree

pytestmark = pytest.mark.no_leakcheck("runs frozen executables")

_prefixes = itertools.count()


class Releases:
    """`public[tag]`: public/ as the real command left it after releasing b1 up
    to `tag`, signed with `key` (the public key's line)."""

    def __init__(self, builds, root):
        rel, self.public = os.path.join(root, "release"), {}
        options, publisher = [], None
        if signing.CLI:
            pub, secret = os.path.join(root, "key.pub"), os.path.join(root, "key.sec")
            signing.run("-G", "-W", "-p", pub, "-s", secret)
            options = ["--secret-key", secret, "--public-key", pub]
            with open(pub) as f:
                self.key = f.read().splitlines()[1]
        else:  # the command cannot sign here: the files are signed as it would
            publisher = Publisher()
            self.key = publisher.public_key
        for at, tag in enumerate(("b1", "b2", "b3", "b4")):
            out = subprocess.run([sys.executable, "-m", "updater_release", builds.path(tag), rel, *options],
                                 capture_output=True, text=True, timeout=300)
            assert out.returncode == 0, out.stderr
            public = tree(os.path.join(rel, "public"))
            if publisher:
                comment = f"timestamp:{1700000000 + at}\tfile:{NAME}\thashed"
                for name in (NAME, NAME + ".contents"):
                    public[name + ".minisig"] = publisher.sign(public[name], comment)
            self.public[tag] = public

    def manifest(self, tag):
        return json.loads(self.public[tag][NAME + ".contents"])

    def serve(self, server, tag, edit=None, **routes):
        """Serves release `tag` (changed by `edit(public)` if given) at a path of
        its own, with the server's route options `routes[name]` for file `name`;
        returns its URL and a function listing the paths requested under it since."""
        public = dict(self.public[tag])
        if edit:
            edit(public)
        prefix = f"/folder{next(_prefixes)}/"
        for path, body in public.items():
            server.add(body, path=prefix + path, **routes.get(path, {}))
        return server.url(prefix + NAME), lambda: sorted(
            s.path[len(prefix):] for s in list(server._seen) if s.path.startswith(prefix))


@pytest.fixture(scope="module")
def releases(onedir_builds, tmp_path_factory):
    return Releases(onedir_builds, str(tmp_path_factory.mktemp("folder-releases")))


def install_b1(builds, tmp_path):
    path = str(tmp_path / "install")
    shutil.copytree(os.path.join(builds.path("b1"), "_internal-b1"), os.path.join(path, "_internal-b1"),
                    symlinks=True)
    shutil.copy2(builds.exe("b1"), os.path.join(path, "QuelbaLauncher.exe"))
    return path, os.path.join(path, "QuelbaLauncher.exe")


def folders(path):
    return sorted(name for name in os.listdir(path) if name.startswith("_internal"))


def blobs(releases, tag, having=()):
    """The paths of the blobs of release `tag` that no release in `having` holds."""
    held = {e.get("sha256") for t in having for e in releases.manifest(t)["files"]}
    return sorted({f"{NAME}.files/{e['sha256']}.zst" for e in releases.manifest(tag)["files"]
                   if "sha256" in e and e["sha256"] not in held})


def blob_paths(releases, tag, names):
    return [e["path"] for e in releases.manifest(tag)["files"]
            if f"{NAME}.files/{e.get('sha256')}.zst" in names]


def test_folder_launchers_update_three_times_through_patches_signed(onedir_builds, releases, tmp_path,
                                                                    https_server):
    """b1 to b2 (code only), b3 (a data file), b4 (a new dependency), each update
    run by the build the last one installed. A second launcher of b1 waits in its
    own update, mapping _internal-b1, through the first two: that folder stays
    while it runs and goes at the first update after it has exited. Not on
    Windows, where a running old launcher holds its .old, which fails the next
    swap (tests/test_windows.py shows it): there each launcher has exited before
    the next update, and a folder goes an update after its launcher."""
    path, launcher = install_b1(onedir_builds, tmp_path)
    env = https_server.env()
    gate = threading.Event()
    # The waiting launcher's manifest stops after one byte until the gate opens, then is cut.
    waiting_url, _ = releases.serve(https_server, "b2", **{NAME + ".contents": dict(gate=gate, chunk=1, send=1)})
    waiter = None
    try:
        if not WINDOWS:
            clean = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "_PYI"))}
            waiter = subprocess.Popen([launcher, waiting_url, "--console"], cwd=path, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL, env={**clean, **env})
            assert [s["version"] for s in wait_starts(path, 1)] == ["b1"]
        steps = {"b2": ["QuelbaLauncher.exe.contents", "QuelbaLauncher.exe.contents.minisig"],
                 "b3": blobs(releases, "b3", ["b2"]), "b4": blobs(releases, "b4", ["b3"])}
        assert len(steps["b3"]) == 1 and any("_sqlite3" in p for p in blob_paths(releases, "b4", steps["b4"]))
        before = "b1"
        for step, (tag, fetched) in enumerate(steps.items(), start=1):
            if tag == "b4" and waiter:  # the waiting launcher gives up and exits
                gate.set()
                assert waiter.wait(60) == 1
            url, requested = releases.serve(https_server, tag)
            status, output = run_frozen(launcher, url, "--console", "--patches", "--public-key", releases.key,
                                        env=env)
            assert status == 0, output()
            starts = wait_starts(path, (waiter is not None) + 2 * step)  # the launcher run, then its build
            assert [s["version"] for s in starts[-2:]] == [before, tag], output()
            old_sha = releases.manifest(before)["build"]
            paths = requested()
            if tag == "b2":
                fetched = fetched + [f"{NAME}.minisig", f"{NAME}.patches/{old_sha}.zst"]
                assert paths == sorted(fetched), paths
            else:
                assert [p for p in paths if ".files/" in p] == fetched
                assert f"{NAME}.patches/{old_sha}.zst" in paths and NAME not in paths
            with open(os.path.join(os.path.dirname(path), "swapped.json")) as f:
                assert json.load(f) == []  # the old process imported nothing once the swap had begun
            new = starts[-1]
            assert new["meipass"] == os.path.join(path, f"_internal-{tag}")
            assert new["motd"] == ("three" if tag in ("b3", "b4") else "one")
            assert ("sqlite" in new) == (tag == "b4")
            with open(launcher, "rb") as f, open(onedir_builds.exe(tag), "rb") as g:
                assert f.read() == g.read()
            with open(launcher + ".minisig", "rb") as f:
                assert f.read() == releases.public[tag][NAME + ".minisig"]
            # The folder of the build before stays while its process may run; b1's
            # while the waiting launcher runs, and no longer.
            kept = {"b2": ["b1", "b2"], "b3": ["b1", "b2", "b3"], "b4": ["b3", "b4"]}[tag]
            if WINDOWS:  # the folder of the launcher that ran the update before goes
                kept = [before, tag]
            assert folders(path) == [f"_internal-{t}" for t in kept]
            before = tag
    finally:
        gate.set()
        if waiter and waiter.poll() is None:
            waiter.kill()
            waiter.wait()


def corrupt_blob(releases, public):
    (name,) = blobs(releases, "b3", ["b2"])
    public[name] = public[name][:-9] + bytes([public[name][-9] ^ 1]) + public[name][-8:]


# A release that fails: (its build, what is changed in its public/)
FAILED = {
    "a manifest of another build": ("b2", lambda releases, public: public.update({
        NAME + ".contents": releases.public["b3"][NAME + ".contents"]})),
    "a blob corrupted": ("b3", corrupt_blob),
}


def test_failed_folder_updates_leave_a_launcher_that_starts_and_updates(onedir_builds, releases, tmp_path,
                                                                        https_server):
    path, launcher = install_b1(onedir_builds, tmp_path)
    with open(launcher, "rb") as f:
        b1 = f.read()
    for runs, (tag, edit) in enumerate(FAILED.values(), start=1):
        url, _ = releases.serve(https_server, tag, lambda public: edit(releases, public))
        status, output = run_frozen(launcher, url, "--console", env=https_server.env())
        assert status == 1 and "Download failed!" in output(), output()
        assert [s["version"] for s in read_starts(path)] == ["b1"] * runs
        with open(launcher, "rb") as f:
            assert f.read() == b1
        assert folders(path) == ["_internal-b1"]
        assert sorted(os.listdir(path)) == ["QuelbaLauncher.exe", "QuelbaLauncher.exe.folders", "_internal-b1",
                                            "starts.jsonl"]
    url, _ = releases.serve(https_server, "b3")
    status, output = run_frozen(launcher, url, "--console", env=https_server.env())
    assert status == 0, output()
    assert [s["version"] for s in wait_starts(path, 4)] == ["b1"] * 3 + ["b3"], output()
