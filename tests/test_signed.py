"""Signed builds: a host that sets updater.UPDATE_PUBLIC_KEY installs only builds
that its key signed, checked against signatures made by the minisign tool (on
Windows, its commands done in Python: signing.py) and served beside the build by
the real HTTPS server."""
import base64
import contextlib
import os
import shutil
import sys
import urllib.parse

import pytest

import signing
import updater

FAILURE = (-1, 0, False, 0)
pytestmark = pytest.mark.skipif(not signing.AVAILABLE, reason="the minisign tool is not installed")


class Publisher:
    """A minisign key pair, and signatures made with it."""

    def __init__(self, directory):
        self.directory = directory
        self.secret = os.path.join(directory, "minisign.key")
        public = os.path.join(directory, "minisign.pub")
        signing.run("-G", "-W", "-p", public, "-s", self.secret)
        with open(public) as f:
            self.public_key = f.read().splitlines()[1]

    def sign(self, body, *, legacy=False, comment="build 2"):
        path = os.path.join(self.directory, "QuelbaLauncher.exe")
        with open(path, "wb") as f:
            f.write(body)
        signing.run("-S", *(["-l"] if legacy else []), "-s", self.secret, "-m", path, "-t", comment)
        with open(path + ".minisig", "rb") as f:
            return f.read()


@pytest.fixture(scope="module")
def publisher(tmp_path_factory):
    return Publisher(str(tmp_path_factory.mktemp("publisher")))


@pytest.fixture(scope="module")
def other_publisher(tmp_path_factory):
    return Publisher(str(tmp_path_factory.mktemp("other-publisher")))


class Reports(list):
    """A progress callback that keeps every report, and the exception being
    handled when the failure report came."""

    error = None

    def __call__(self, *report):
        self.append(report)
        if report == FAILURE:
            self.error = sys.exc_info()[1]


def serve(server, body, signature, **signature_route):
    """Serves the build and, beside it, its .minisig (unless None)."""
    url = server.add(body)
    if signature is not None:
        server.add(signature, path=urllib.parse.urlsplit(url).path + ".minisig", **signature_route)
    return url


@pytest.fixture
def signed(https_server, install_dir, monkeypatch, publisher):
    """Points the module at a build signed by `publisher`, with its key set."""
    body = install_dir.launcher_script("new")
    monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", publisher.public_key, raising=False)

    def point(served_body=body, signature=None, **signature_route):
        if signature is None:
            signature = publisher.sign(body)
        install_dir.point(serve(https_server, served_body, signature, **signature_route))
        reports = Reports()
        return updater.download_new_exe_with_progress(reports), reports

    return point


@pytest.mark.parametrize("legacy", [False, True], ids=["prehashed", "legacy"])
def test_a_good_signature_installs(signed, install_dir, https_server, publisher, legacy):
    body = install_dir.launcher_script("new")
    path, reports = signed(signature=publisher.sign(body, legacy=legacy))
    assert path == install_dir.download
    assert reports[-1][0] == 100.0 and FAILURE not in reports
    assert updater.replace_and_run(path) is None
    assert [run["tag"] for run in install_dir.wait_runs()] == ["new"]
    requests = https_server.requests(install_dir.url + ".minisig")
    assert len(requests) == 1 and requests[0].headers["Cache-Control"] == "no-cache"


def tampered_comment(signature):
    lines = signature.split(b"\n")
    lines[2] = lines[2].replace(b"build 2", b"build 3")
    return b"\n".join(lines)


def http_hop(server, signature):
    """The .minisig route goes https -> http -> https, to the right signature."""
    back_to_https = urllib.parse.urlsplit(server.add(redirect=server.add(signature))).path
    return {"signature": signature, "redirect": server.http_url(back_to_https)}


# what the server or the host gets wrong, and the words of the failure
REFUSALS = {
    "wrong key": (lambda p, o, body, s: dict(signature=o.sign(body)), "another key"),
    "one flipped byte of the body": (
        lambda p, o, body, s: dict(served_body=body[:-2] + bytes([body[-2] ^ 1]) + body[-1:],
                                   signature=p.sign(body)), "signature of the build"),
    "tampered trusted comment": (
        lambda p, o, body, s: dict(signature=tampered_comment(p.sign(body))), "trusted comment"),
    "missing .minisig": (lambda p, o, body, s: dict(signature=b"gone", status=404), "404"),
    "oversized .minisig": (lambda p, o, body, s: dict(signature=p.sign(body) + b"\n" * 4096),
                           "larger than 4096 bytes"),
    "http hop on the .minisig": (
        lambda p, o, body, s: http_hop(s, p.sign(body)), "non-https"),
    "garbage .minisig": (lambda p, o, body, s: dict(signature=b"untrusted comment: x\n@@@\n"),
                         "base64"),
}


@pytest.mark.parametrize("kind", REFUSALS)
def test_refused_builds_leave_the_old_launcher(signed, install_dir, https_server, publisher,
                                               other_publisher, kind):
    make, words = REFUSALS[kind]
    body = install_dir.launcher_script("new")
    path, reports = signed(**make(publisher, other_publisher, body, https_server))
    assert path is None and reports[-1] == FAILURE and reports.count(FAILURE) == 1
    assert words in str(reports.error)
    assert install_dir.files() == {"QuelbaLauncher.exe": (install_dir.launcher_script("old"), 0o755)}


def test_a_cut_build_is_refused_when_its_response_suppresses_the_error(signed, install_dir, https_server,
                                                                      publisher, suppressing):
    """The check after the response's block runs: the signature is asked for, and fails."""
    body = install_dir.launcher_script("new", size=100)
    url = https_server.add(body, send=10)
    https_server.add(publisher.sign(body), path=urllib.parse.urlsplit(url).path + ".minisig")
    install_dir.point(url)
    reports = Reports()
    assert updater.download_new_exe_with_progress(reports) is None
    assert reports.count(FAILURE) == 1 and "signature of the build" in str(reports.error)
    assert len(https_server.requests(install_dir.url + ".minisig")) == 1
    assert install_dir.files() == {"QuelbaLauncher.exe": (install_dir.launcher_script("old"), 0o755)}


@pytest.mark.parametrize("key", ["RWQ not base64!", base64.b64encode(b"Ed" + bytes(10)).decode(), 42])
def test_a_malformed_key_is_a_failure_before_any_request(https_server, install_dir, monkeypatch, key):
    monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", key, raising=False)
    reports = Reports()
    assert updater.download_new_exe_with_progress(reports) is None
    assert reports == [FAILURE] and "UPDATE_PUBLIC_KEY" in str(reports.error)
    assert https_server.requests(install_dir.url) == []


@pytest.mark.parametrize("key", ["absent", None])
def test_without_a_key_the_server_sees_one_request(https_server, install_dir, monkeypatch, key):
    if key is None:
        monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", None, raising=False)
    assert "UPDATE_PUBLIC_KEY" not in vars(updater) or key is None
    assert updater.download_new_exe_with_progress(Reports()) == install_dir.download
    assert len(https_server.requests(install_dir.url)) == 1
    assert https_server.requests(install_dir.url + ".minisig") == []


# ---------------------------------------------------------------------------
# Rollback: the installed build's signature lies beside it as its record, and a
# build signed before it is refused.

T = 1700003600


def stamped(seconds):
    """minisign's own trusted comment, for a build signed at `seconds`."""
    return f"timestamp:{seconds}\tfile:QuelbaLauncher.exe\thashed"


@pytest.fixture
def installed(signed, install_dir, publisher):
    """Installs build "T", signed at T, by a download and replace_and_run;
    returns the launcher and its record."""
    body = install_dir.launcher_script("T")
    signature = publisher.sign(body, comment=stamped(T))
    path, reports = signed(body, signature)
    assert path == install_dir.download and FAILURE not in reports
    with open(path + ".minisig", "rb") as f:
        assert f.read() == signature
    assert updater.replace_and_run(path) is None
    assert [run["tag"] for run in install_dir.wait_runs()] == ["T"]
    files = {name: data for name, (data, _) in install_dir.files().items()}
    assert files == {"QuelbaLauncher.exe": body, "QuelbaLauncher.exe.minisig": signature}
    return body, signature


def refusal(seconds, installed=T):
    return f"the build was signed at {seconds}, before the installed one ({installed})"


NO_TIME = f"the build's signature carries no time, and the installed one was signed at {T}"

# the trusted comment of the served build, the words of its refusal (None: it installs), the record's time if not T
ROLLBACK = {
    "a second earlier": (stamped(T - 1), refusal(T - 1)),
    "no time": ("build 3", NO_TIME),
    "time not the first field": (f"file:QuelbaLauncher.exe\ttimestamp:{T + 1}", NO_TIME),
    "21 digits": (stamped(f"{T + 1:021d}"), NO_TIME),
    "the same second": (stamped(T), None),
    "a second later": (stamped(T + 1), None),
    "20 digits, leading zeros": (stamped(f"{T + 1:020d}"), None),
    "999999999, the record at 1000000000": (stamped(10**9 - 1), refusal(10**9 - 1, 10**9), 10**9),
    "1000000000, the record at 999999999": (stamped(10**9), None, 10**9 - 1),
}


@pytest.mark.parametrize("case", ROLLBACK)
def test_a_build_signed_before_the_installed_one_is_refused(installed, signed, install_dir,
                                                            publisher, case):
    comment, words, *record_at = ROLLBACK[case]
    if record_at:
        install_dir.write(install_dir.launcher + ".minisig", publisher.sign(installed[0], comment=stamped(*record_at)))
    before = install_dir.files()
    body = install_dir.launcher_script("served")
    signature = publisher.sign(body, comment=comment)
    path, reports = signed(body, signature)
    if words is not None:
        assert path is None and reports.count(FAILURE) == 1 and reports[-1] == FAILURE
        assert str(reports.error) == words
        assert install_dir.files() == before
        return
    assert path == install_dir.download and FAILURE not in reports
    assert updater.replace_and_run(path) is None
    assert [run["tag"] for run in install_dir.wait_runs(2)] == ["T", "served"]
    files = {name: data for name, (data, _) in install_dir.files().items()}
    assert files == {"QuelbaLauncher.exe": body, "QuelbaLauncher.exe.minisig": signature}


def garble(signature):
    """One character of the signature line changed: still base64, no longer valid."""
    lines = signature.split(b"\n")
    lines[1] = lines[1][:20] + (b"A" if lines[1][20:21] != b"A" else b"B") + lines[1][21:]
    return b"\n".join(lines)


# what becomes of the record, or of the launcher, after a signed install
SPOILED = {
    "launcher swapped by hand": lambda d, o, body, sig: d.write(d.launcher, d.launcher_script("by hand")),
    "record by another key": lambda d, o, body, sig: d.write(d.launcher + ".minisig",
                                                             o.sign(body, comment=stamped(T))),
    "garbled record": lambda d, o, body, sig: d.write(d.launcher + ".minisig", garble(sig)),
    "not a signature": lambda d, o, body, sig: d.write(d.launcher + ".minisig", b"timestamp:9999999999\n"),
    "record is a directory": lambda d, o, body, sig: (os.remove(d.launcher + ".minisig"),
                                                      os.mkdir(d.launcher + ".minisig")),
}


@pytest.mark.parametrize("spoil", SPOILED)
def test_a_record_that_does_not_hold_counts_as_none(installed, signed, install_dir, publisher,
                                                    other_publisher, spoil):
    older = install_dir.launcher_script("older")
    signature = publisher.sign(older, comment=stamped(T - 1))
    assert signed(older, signature)[0] is None
    SPOILED[spoil](install_dir, other_publisher, *installed)
    path, reports = signed(older, signature)
    assert path == install_dir.download and FAILURE not in reports


_opened = []
_counting = []


@contextlib.contextmanager
def opened_paths():
    """The paths given to open() inside the block. The audit hook stays once
    added, as every audit hook does, and counts only inside such a block."""
    if not _counting:
        sys.addaudithook(lambda event, args: _opened.append(args[0]) if event == "open" and _counting[0]
                         else None)
        _counting.append(False)
    _opened.clear()
    _counting[0] = True
    try:
        yield _opened
    finally:
        _counting[0] = False


def test_a_patch_to_an_older_build_falls_back_and_is_refused(installed, signed, install_dir,
                                                             https_server, publisher, monkeypatch):
    from test_patches import make_patch, patch_path
    monkeypatch.setattr(updater, "UPDATE_PATCHES", True, raising=False)
    body, _ = installed
    older = install_dir.launcher_script("older")
    url = serve(https_server, older, publisher.sign(older, comment=stamped(T - 1)))
    https_server.add(make_patch(publisher.directory, body, older), path=patch_path(url, body))
    install_dir.point(url)
    before = install_dir.files()
    reports = Reports()
    with opened_paths() as opened:
        assert updater.download_new_exe_with_progress(reports) is None
    # one read of the launcher names the patch, checks the record, primes the
    # decoder, and serves the full build's check after the patch fails the rule
    assert opened.count(install_dir.launcher) == 1
    assert reports.count(FAILURE) == 1 and str(reports.error) == refusal(T - 1)
    assert len(https_server.requests(patch_path(url, body))) == 1
    assert len(https_server.requests(url)) == 1
    assert install_dir.files() == before


def test_without_a_key_no_record_is_read_or_written(installed, install_dir, https_server, child):
    """The record of a signed install stays as it is, unread, once the key is gone."""
    older = install_dir.launcher_script("older")
    install_dir.point(https_server.add(older))
    proc = child("import sys, updater\n" + install_dir.child_code() + """
seen = []
sys.addaudithook(lambda event, args: seen.append((event, args)) if ".minisig" in repr(args) else None)
path = updater.download_new_exe_with_progress(lambda *report: None)
updater.replace_and_run(path)
print(path, seen)
""")
    assert proc.stdout.split() == [install_dir.download, "[]"], proc.stderr
    assert https_server.requests(install_dir.url + ".minisig") == []
    files = {name: data for name, (data, _) in install_dir.files().items()}
    assert files == {"QuelbaLauncher.exe": older, "QuelbaLauncher.exe.minisig": installed[1]}


def refuse_start(*args, **kwargs):
    raise OSError(8, "Exec format error")


def interrupt(*args, **kwargs):
    raise KeyboardInterrupt


OLD = {"QuelbaLauncher.exe": "old", "QuelbaLauncher.exe.minisig": b"the old record"}
NEW = {"QuelbaLauncher.exe": "new", "QuelbaLauncher.exe.minisig": b"the new record"}

# what the swap meets, the exception it ends with, the launcher and record it leaves
RECORD_SWAPS = {
    "whole": ({}, None, NEW),
    "no signature kept": ({"kept": False}, None, {"QuelbaLauncher.exe": "new"}),
    "a record's backup left by a crash": ({"stale": True}, None, NEW),
    "a backup that cannot be removed": ({"stale_old": True}, RuntimeError, OLD),
    "the start refused": ({"Popen": refuse_start}, RuntimeError, OLD),
    "the start interrupted": ({"Popen": interrupt}, KeyboardInterrupt, OLD),
}


@pytest.mark.parametrize("os_name", ["nt"] if sys.platform == "win32" else ["posix", "nt"])
@pytest.mark.parametrize("case", RECORD_SWAPS)
def test_the_old_launcher_keeps_its_record_and_the_new_one_gets_its_own(install_dir, monkeypatch,
                                                                        os_name, case):
    """The record stays at its name until the new launcher is at its own, its
    backup lies beside the launcher's, and every rollback puts it back first."""
    from test_engine import Proxy, recording
    setup, raised, left = RECORD_SWAPS[case]
    steps = []
    monkeypatch.setattr(updater, "os", Proxy(os, name=os_name, replace=recording(steps, "replace", os.replace),
                                             remove=recording(steps, "remove", os.remove),
                                             link=recording(steps, "link", os.link), chmod=recording(steps, "chmod", os.chmod)))
    if "Popen" in setup:
        monkeypatch.setattr(updater, "subprocess", Proxy(updater.subprocess, Popen=setup["Popen"]))
    monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", "read only for not being None", raising=False)
    install_dir.write(install_dir.launcher + ".minisig", b"the old record", 0o644)
    install_dir.write(install_dir.download, install_dir.launcher_script("new"), 0o755)
    if setup.get("kept", True):
        install_dir.write(install_dir.download + ".minisig", b"the new record", 0o644)
    if setup.get("stale"):
        install_dir.write(install_dir.launcher + ".minisig.old", b"a stale record", 0o644)
    if setup.get("stale_old"):
        os.makedirs(os.path.join(install_dir.backup, "in use"))

    if raised is None:
        assert updater.replace_and_run(install_dir.download) is None
        assert [run["tag"] for run in install_dir.wait_runs()] == ["new"]
    else:
        with pytest.raises(raised):
            updater.replace_and_run(install_dir.download)
        assert install_dir.runs() == []
    files = {}
    for name in ("QuelbaLauncher.exe", "QuelbaLauncher.exe.minisig", "QuelbaLauncher.exe.minisig.old"):
        if os.path.exists(os.path.join(install_dir.path, name)):
            with open(os.path.join(install_dir.path, name), "rb") as f:
                files[name] = f.read()
    assert files == {**left, "QuelbaLauncher.exe": install_dir.launcher_script(left["QuelbaLauncher.exe"])}

    renames = [s for s in steps if s[0] in ("replace", "link") and "minisig" not in s[1] + s[2]]
    if case == "whole" and os_name == "nt":
        assert steps == [("replace", "QuelbaLauncher.exe", "QuelbaLauncher.exe.old"),
                         ("link", "QuelbaLauncher.exe.minisig", "QuelbaLauncher.exe.minisig.old"),
                         ("replace", "QuelbaLauncher_new.exe", "QuelbaLauncher.exe"),
                         ("replace", "QuelbaLauncher_new.exe.minisig", "QuelbaLauncher.exe.minisig"),
                         ("remove", "QuelbaLauncher.exe.minisig.old"),
                         ("chmod", "QuelbaLauncher.exe.old", 0o200),
                         ("remove", "QuelbaLauncher.exe.old")]
    elif raised is not None and renames[-1:] == [("replace", "QuelbaLauncher.exe.old", "QuelbaLauncher.exe")]:
        # the record back before the launcher
        assert steps[-2] == ("replace", "QuelbaLauncher.exe.minisig.old", "QuelbaLauncher.exe.minisig")
