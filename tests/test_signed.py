"""Signed builds: a host that sets updater.UPDATE_PUBLIC_KEY installs only builds
that its key signed, checked against signatures made by the minisign tool (on
Windows, its commands done in Python: signing.py) and served beside the build by
the real HTTPS server."""
import base64
import os
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
