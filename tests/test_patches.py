"""Updates through patches: with updater.UPDATE_PATCHES set, the download asks
for a zstd patch made (by updater-release's make_patch, as a publisher makes it)
against the installed launcher, applies it, and falls back to the full build
whenever the patch is missing or not right."""
import hashlib
import os
import random
import struct
import sys
import time
import urllib.parse

import pytest

import signing
import updater
import updater_release
from https_fixtures import WINDOWS, record_launcher

FAILURE = (-1, 0, False, 0)

_noise = random.Random(15)
PAYLOAD = _noise.randbytes(300_000)  # the bulk of a launcher, shared by its builds
CHANGED = PAYLOAD[:100_000] + b"a change in the middle" + PAYLOAD[100_000:]


def make_patch(directory, old, new):
    """The patch that turns `old` into `new`, as updater-release makes it."""
    return updater_release.make_patch(old, new)


class Builds:
    """Launchers that record their start in `record`, then stop before the
    payload they carry; the patch from the old build to the new one, and others."""

    def __init__(self, directory):
        self.record = os.path.join(directory, "runs.log")
        self.old = self.build("old", PAYLOAD)
        self.new = self.build("new", CHANGED)
        self.patch = make_patch(directory, self.old, self.new)
        self.from_other = make_patch(directory, self.build("other", PAYLOAD[1000:]), self.new)
        self.elsewhere = make_patch(directory, self.old, self.build("elsewhere", CHANGED))

    def build(self, tag, payload):
        if WINDOWS:  # the trailer of tests/native/record_launcher.c stays last
            return record_launcher() + payload + f"\n#record-launcher\t{tag}\t{self.record}\n".encode()
        return f"#!/bin/sh\necho {tag} >> '{self.record}'\nexit 0\n".encode() + payload

    def runs(self):
        try:
            with open(self.record, encoding="utf-8") as f:
                return [line.split("\t")[0] for line in f.read().splitlines()]
        except FileNotFoundError:
            return []


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    return Builds(str(tmp_path_factory.mktemp("patches")))


class Reports(list):
    """A progress callback keeping each report, and in `handled` the exception
    being handled as it came."""

    def __init__(self):
        super().__init__()
        self.handled = []

    def __call__(self, *report):
        self.append(report)
        self.handled.append(sys.exc_info()[1])


def patch_path(url, old):
    return urllib.parse.urlsplit(url).path + ".patches/" + hashlib.sha256(old).hexdigest() + ".zst"


@pytest.fixture
def release(https_server, install_dir, monkeypatch, builds):
    """Installs the old build and turns patches on; serve() publishes the new
    build with a patch for the old one (unless None) and runs one download."""
    install_dir.write(install_dir.launcher, builds.old)
    monkeypatch.setattr(updater, "UPDATE_PATCHES", True, raising=False)

    def serve(patch=None, *, callback=None, **patch_route):
        url = https_server.add(builds.new)
        install_dir.point(url)
        if patch is not None:
            https_server.add(patch, path=patch_path(url, builds.old), **patch_route)
        reports = Reports()
        return updater.download_new_exe_with_progress(callback or reports), reports

    return serve


def requests(https_server, install_dir, builds):
    """How often the server was asked for the patch and for the build."""
    return (len(https_server.requests(patch_path(install_dir.url, builds.old))),
            len(https_server.requests(install_dir.url)))


def test_a_patch_installs_without_the_build(release, https_server, install_dir, builds):
    path, reports = release(builds.patch)
    assert path == install_dir.download
    assert requests(https_server, install_dir, builds) == (1, 0)
    seen = https_server.requests(patch_path(install_dir.url, builds.old))[0]
    assert seen.headers["Cache-Control"] == "no-cache"
    # one report per piece of at most 64 KiB, of the new build's bytes
    counts = [report[3] for report in reports]
    assert counts[-1] == len(builds.new) and reports[-1][0] == 100.0
    assert all(0 < b - a <= 65536 for a, b in zip([0] + counts, counts))
    assert all(type(p) is float and known is True for p, _, known, _ in reports)
    before = builds.runs()
    assert updater.replace_and_run(path) is None
    deadline = time.monotonic() + 15
    while builds.runs() == before and time.monotonic() < deadline:
        time.sleep(0.02)
    assert builds.runs() == before + ["new"]
    assert install_dir.files() == {"QuelbaLauncher.exe": (builds.new, 0o755)}


def lying_size(patch, delta):
    """The patch with the content size in its frame header changed by delta."""
    descriptor = patch[4]
    assert descriptor >> 6 == 2 and descriptor & 0x20  # four bytes, right after the descriptor
    size = struct.unpack_from("<I", patch, 5)[0]
    return patch[:5] + struct.pack("<I", size + delta) + patch[9:]


def flipped(patch):
    at = len(patch) // 2
    return patch[:at] + bytes([patch[at] ^ 0x10]) + patch[at + 1:]


def http_hop(server, patch):
    """Route options that redirect the patch's request to plain http."""
    return {"redirect": server.http_url(urllib.parse.urlsplit(server.add(patch)).path)}


# what is wrong with the patch: (the patch served, options of its route)
FALLBACKS = {
    "no patch": lambda b, server: (b"not found", {"status": 404}),
    "an http hop": lambda b, server: (b"", http_hop(server, b.patch)),
    "no length, no chunks": lambda b, server: (b.patch, {"length": None}),
    "against another old build": lambda b, server: (b.from_other, {}),
    "truncated": lambda b, server: (b.patch[:-40], {}),
    "one flipped byte": lambda b, server: (flipped(b.patch), {}),
    "trailing bytes": lambda b, server: (b.patch + b"\0", {}),
    "a second frame": lambda b, server: (b.patch + b.patch, {}),
    "content size too small": lambda b, server: (lying_size(b.patch, -1), {}),
    "content size too large": lambda b, server: (lying_size(b.patch, +1), {}),
    "no checksum": lambda b, server: (b.patch[:4] + bytes([b.patch[4] & ~0x04]) + b.patch[5:], {}),
    "cut off by the server": lambda b, server: (b.patch, {"send": len(b.patch) // 2}),
}


@pytest.mark.parametrize("kind", FALLBACKS)
def test_a_bad_patch_falls_back_to_the_build(release, https_server, install_dir, builds, kind):
    patch, route = FALLBACKS[kind](builds, https_server)
    path, reports = release(patch, **route)
    assert path == install_dir.download and FAILURE not in reports
    assert requests(https_server, install_dir, builds) == (1, 1)
    assert install_dir.files() == {"QuelbaLauncher.exe": (builds.old, 0o755),
                                   "QuelbaLauncher_new.exe": (builds.new, 0o644)}
    # the bar starts over for the build, which the failed patch does not haunt
    restart = max(i for i, report in enumerate(reports) if report[3] <= 65536)
    assert [r[3] for r in reports[restart:]][-1] == len(builds.new)
    assert reports.handled[restart:] == [None] * (len(reports) - restart)


def test_a_cut_patch_falls_back_when_its_response_suppresses_the_error(release, https_server, install_dir,
                                                                       builds, suppressing):
    """After the patch's block, its result is checked as the build's is: unfinished, it is no build."""
    path, reports = release(builds.patch, send=len(builds.patch) // 2)
    assert path == install_dir.download and FAILURE not in reports
    assert requests(https_server, install_dir, builds) == (1, 1)
    assert install_dir.files()["QuelbaLauncher_new.exe"] == (builds.new, 0o644)


def test_patches_need_a_launcher_zstd_and_a_flag(release, https_server, install_dir, builds, monkeypatch):
    # without zstd (a launcher frozen without it): no patch is asked for
    with monkeypatch.context() as without:
        without.setitem(sys.modules, "backports.zstd" if sys.version_info < (3, 14) else "compression.zstd", None)
        assert release(builds.patch)[0] == install_dir.download
        assert requests(https_server, install_dir, builds) == (0, 1)
    # unreadable launcher: no patch is asked for
    os.remove(install_dir.launcher)
    os.mkdir(install_dir.launcher)
    assert release(builds.patch)[0] == install_dir.download
    assert requests(https_server, install_dir, builds) == (0, 1)
    os.rmdir(install_dir.launcher)
    install_dir.write(install_dir.launcher, builds.old)
    # off by default, and off when false: the server sees today's one request
    for off in (False, None):
        monkeypatch.setattr(updater, "UPDATE_PATCHES", off)
        if off is None:
            monkeypatch.delattr(updater, "UPDATE_PATCHES")
        assert release(builds.patch)[0] == install_dir.download
        assert requests(https_server, install_dir, builds) == (0, 1)
        monkeypatch.setattr(updater, "UPDATE_PATCHES", True, raising=False)


@pytest.mark.skipif(not signing.AVAILABLE, reason="the minisign tool is not installed")
def test_a_signed_build_must_verify_when_patched(release, https_server, install_dir, builds,
                                                 monkeypatch, tmp_path):
    secret, public, signed = (str(tmp_path / name) for name in ("key", "key.pub", "QuelbaLauncher.exe"))
    signing.run("-G", "-W", "-p", public, "-s", secret)
    with open(public) as f:
        monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", f.read().splitlines()[1], raising=False)
    with open(signed, "wb") as f:
        f.write(builds.new)
    signing.run("-S", "-s", secret, "-m", signed)
    with open(signed + ".minisig", "rb") as f:
        signature = f.read()
    # a patch that makes the signed build, then one whose result the key did not sign
    for patch, asked in ((builds.patch, (1, 0)), (builds.elsewhere, (1, 1))):
        url = https_server.add(builds.new)
        https_server.add(signature, path=urllib.parse.urlsplit(url).path + ".minisig")
        https_server.add(patch, path=patch_path(url, builds.old))
        install_dir.point(url)
        reports = Reports()
        assert updater.download_new_exe_with_progress(reports) == install_dir.download
        assert requests(https_server, install_dir, builds) == asked and FAILURE not in reports
        with open(install_dir.download, "rb") as f:
            assert f.read() == builds.new


def test_an_interrupt_in_the_patch_leaves_no_partial_file(release, install_dir, builds):
    def interrupt(*report):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        release(builds.patch, callback=interrupt)
    assert sorted(os.listdir(install_dir.path)) == ["QuelbaLauncher.exe"]


def test_hostile_patches_never_leave_a_partial_file(release, https_server, install_dir, builds):
    """Random mutations of a real patch, with no build to fall back to: each
    download installs the new build or fails, and a failure leaves nothing."""
    rng = random.Random(1515)
    url = https_server.add(b"gone", status=404)
    install_dir.point(url)
    installed = 0
    for _ in range(120):
        patch = bytearray(builds.patch)
        for _ in range(rng.choice((1, 1, 2, 8))):
            if len(patch) < 2:
                break
            at = rng.randrange(len(patch) if rng.random() < 0.5 else min(len(patch), 32))
            action = rng.randrange(3)
            if action == 0:
                patch[at] ^= 1 << rng.randrange(8)
            elif action == 1:
                del patch[at:at + rng.randrange(1, 64)]
            else:
                patch[at:at] = rng.randbytes(rng.randrange(1, 64))
        https_server.add(bytes(patch), path=patch_path(url, builds.old), log=False)
        reports = Reports()
        path = updater.download_new_exe_with_progress(reports)
        if path is None:
            assert reports[-1] == FAILURE
            assert sorted(os.listdir(install_dir.path)) == ["QuelbaLauncher.exe"]
        else:
            installed += 1
            with open(path, "rb") as f:
                assert f.read() == builds.new
            os.remove(path)
    assert installed < 120
