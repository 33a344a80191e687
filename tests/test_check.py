"""check_for_update(): the host's question, answered from one small file the
real HTTPS server publishes beside the build (its .sha256, or with a key its
.minisig) and what the install holds; every failure raises. Also the rule that
files beside the build keep UPDATE_URL's query."""
import hashlib
import os
import socket
import traceback
import urllib.error
import urllib.parse

import pytest

import signing
import updater
from conftest import child_env
from test_signed import Reports, garble, other_publisher, publisher, stamped, tampered_comment  # noqa: F401

T = 1700003600
needs_minisign = pytest.mark.skipif(not signing.AVAILABLE, reason="the minisign tool is not installed")


def entry(exc):
    """The module's traceback entry of a failed check: (name, line)."""
    (found,) = [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == "updater.py"]
    return found


@pytest.fixture
def beside(https_server, install_dir):
    """Serves a file at UPDATE_URL + suffix."""
    def serve(suffix, body, **route):
        return https_server.add(body, path=urllib.parse.urlsplit(install_dir.url).path + suffix, **route)
    return serve


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


DIGESTS = {  # what .sha256 holds, made from the launcher's digest; the answer
    "the installed build, as sha256sum writes it": (lambda h: f"{h}  QuelbaLauncher.exe\n", False),
    "the installed build, upper case, no name": (lambda h: h.upper(), False),
    "another build": (lambda h: "0" * 64 + " *QuelbaLauncher.exe\n", True),
    "no launcher installed": (lambda h: h, True),
}


@pytest.mark.parametrize("case", DIGESTS)
def test_without_a_key_the_digest_is_compared(install_dir, beside, https_server, case):
    make, answer = DIGESTS[case]
    beside(".sha256", make(sha256_of(install_dir.launcher)).encode())
    if case == "no launcher installed":
        os.remove(install_dir.launcher)
    assert updater.check_for_update() is answer
    (seen,) = https_server.requests(install_dir.url + ".sha256")
    assert seen.headers["Cache-Control"] == "no-cache"
    assert https_server.requests(install_dir.url) == []


# what the server gets wrong, the error (type, message or None) and its line
FAILURES = {
    "missing": (dict(body=b"gone", status=404), urllib.error.HTTPError, "HTTP Error 404: Not Found", 337),
    "not a digest": (dict(body=b"QuelbaLauncher.exe\n"), ValueError,
                     "the digest file does not begin with 64 hex digits", 348),
    "65 digits": (dict(body=b"a" * 65), ValueError, "the digest file does not begin with 64 hex digits", 348),
    "larger than 4096 bytes": (dict(body=b"a" * 64 + b" " * 4033), OSError,
                               "the digest file is larger than 4096 bytes", 344),
    "http hop": (None, OSError, "redirected to a non-https URL", 341),
    "no server": (None, urllib.error.URLError, None, 337),
}


@pytest.mark.parametrize("case", FAILURES)
def test_without_a_key_failures_raise(install_dir, beside, https_server, case):
    route, error, message, line = FAILURES[case]
    if case == "http hop":
        target = urllib.parse.urlsplit(https_server.add(b"a" * 64)).path
        route = dict(body=b"", redirect=https_server.http_url(target))
    if case == "no server":
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            install_dir.point(f"https://127.0.0.1:{closed.getsockname()[1]}/QuelbaLauncher.exe")
    else:
        beside(".sha256", **route)
    with pytest.raises(error) as caught:
        updater.check_for_update()
    assert type(caught.value) is error and message in (None, str(caught.value))
    assert entry(caught.value) == ("updater.check_for_update", line)


@pytest.fixture
def installed(install_dir, beside, publisher, monkeypatch):  # noqa: F811
    """Build "T", signed at T, installed with its record; the key set."""
    body = install_dir.launcher_script("T")
    install_dir.write(install_dir.launcher, body)
    install_dir.write(install_dir.launcher + ".minisig", publisher.sign(body, comment=stamped(T)), 0o644)
    monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", publisher.public_key, raising=False)
    return body


def signed_at(seconds_or_comment):
    return stamped(seconds_or_comment) if isinstance(seconds_or_comment, int) else seconds_or_comment


# the published build's signature time (or comment), what happens to the install, the answer
SIGNED = {
    "the installed build again": (None, None, False),
    "the installed build again, launcher swapped by hand": (None, "swap", True),
    "the installed build again, no launcher": (None, "no launcher", True),
    "another build of the same second": (T, None, True),
    "a later build": (T + 1, None, True),
    "an earlier build": (T - 1, None, False),
    "a build without a time": ("build 3", None, False),
    "an earlier build, launcher swapped by hand": (T - 1, "swap", True),
    "an earlier build, record garbled": (T - 1, "garble", True),
    "an earlier build, no record": (T - 1, "drop", True),
}


@needs_minisign
@pytest.mark.parametrize("case", SIGNED)
def test_with_a_key_the_record_decides(installed, install_dir, beside, https_server, publisher, case):  # noqa: F811
    when, spoil, answer = SIGNED[case]
    record = install_dir.launcher + ".minisig"
    with open(record, "rb") as f:
        kept = f.read()
    published = kept if when is None else publisher.sign(install_dir.launcher_script("new"), comment=signed_at(when))
    beside(".minisig", published)
    if spoil == "swap":
        install_dir.write(install_dir.launcher, install_dir.launcher_script("by hand"))
    elif spoil == "garble":
        install_dir.write(record, garble(kept))
    elif spoil == "drop":
        os.remove(record)
    elif spoil == "no launcher":
        os.remove(install_dir.launcher)
    assert updater.check_for_update() is answer
    assert len(https_server.requests(install_dir.url + ".minisig")) == 1
    assert https_server.requests(install_dir.url) == https_server.requests(install_dir.url + ".sha256") == []


# the published signature (from the publisher, the other one and the build), its
# status, and the failure's message and line
UNVERIFIABLE = {
    "another key": (lambda p, o, body: o.sign(body, comment=stamped(T + 1)), 200,
                    "signature of the build: the signature was made with another key (key id mismatch)", 356),
    "tampered comment": (lambda p, o, body: tampered_comment(p.sign(body)), 200,
                         "signature of the build: the global signature does not match the trusted comment", 356),
    "garbage": (lambda p, o, body: b"untrusted comment: x\n@@@\n", 200,
                "signature of the build: the signature is missing or not valid base64", 356),
    "missing": (lambda p, o, body: b"gone", 404, "HTTP Error 404: Not Found", 337),
    "malformed key": (lambda p, o, body: p.sign(body), 200, "UPDATE_PUBLIC_KEY: the public key is not valid base64", 335),
}


@needs_minisign
@pytest.mark.parametrize("case", UNVERIFIABLE)
def test_with_a_key_an_unverifiable_signature_raises(installed, install_dir, beside, https_server, publisher,
                                                     other_publisher, monkeypatch, case):  # noqa: F811
    make, status, message, line = UNVERIFIABLE[case]
    beside(".minisig", make(publisher, other_publisher, install_dir.launcher_script("new")), status=status)
    if case == "malformed key":
        monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", "RWQ not base64!")
    with pytest.raises(Exception) as caught:
        updater.check_for_update()
    assert str(caught.value) == message and entry(caught.value) == ("updater.check_for_update", line)
    assert len(https_server.requests(install_dir.url + ".minisig")) == (case != "malformed key")


@needs_minisign
def test_the_launcher_is_read_at_most_once(installed, install_dir, beside, https_server, publisher, child):  # noqa: F811
    """Counted by the audit hook in a child: no read for a later build, one to
    prove a record equal to or later than the signature, one for the digest."""
    later = publisher.sign(install_dir.launcher_script("new"), comment=stamped(T + 1))
    earlier = publisher.sign(install_dir.launcher_script("old"), comment=stamped(T - 1))
    with open(install_dir.launcher + ".minisig", "rb") as f:
        served = [("same", ".minisig", f.read()), ("later", ".minisig", later),
                  ("earlier", ".minisig", earlier), ("digest", ".sha256", b"0" * 64)]
    urls = []
    for name, suffix, body in served:
        urls.append((name, https_server.add(b"the build")))
        https_server.add(body, path=urllib.parse.urlsplit(urls[-1][1]).path + suffix)
    code = "import os, sys, updater\n" + install_dir.child_code() + f"""
opened = []
sys.addaudithook(lambda e, a: opened.append(a[0]) if e == "open" and a[0] == {install_dir.launcher!r} else None)
for name, url in {urls!r}:
    updater.UPDATE_PUBLIC_KEY = None if name == "digest" else {publisher.public_key!r}
    updater.UPDATE_URL = url
    del opened[:]
    print(name, updater.check_for_update(), len(opened))
"""
    done = child(code, env=child_env(**https_server.env()))
    assert done.stdout.split("\n")[:-1] == ["same False 1", "later True 0", "earlier False 1", "digest True 1"], \
        done.stderr


@needs_minisign
def test_files_beside_the_build_keep_the_query(install_dir, beside, https_server, publisher, monkeypatch):  # noqa: F811
    """The digest, the signature and the patch go after the path; the query
    and the fragment stay as they were."""
    url = install_dir.url
    beside(".sha256", b"0" * 64)
    beside(".minisig", publisher.sign(install_dir.launcher_script("new"), comment=stamped(T)))
    install_dir.point(url + "?channel=beta&x=a.b#top")
    assert updater.check_for_update() is True
    monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", publisher.public_key, raising=False)
    assert updater.check_for_update() is True
    monkeypatch.setattr(updater, "UPDATE_PATCHES", True, raising=False)
    assert updater.download_new_exe_with_progress(lambda *report: None) == install_dir.download
    path = urllib.parse.urlsplit(url).path
    patch = path + ".patches/" + sha256_of(install_dir.launcher) + ".zst"
    for asked, times in ((path + ".sha256", 1), (path + ".minisig", 2), (patch, 1), (path, 1)):
        assert [seen.query for seen in https_server.requests(asked)] == ["channel=beta&x=a.b"] * times, asked


@needs_minisign
@pytest.mark.parametrize("rest", ["", "?c=1", "#x", "/"])
def test_a_url_without_a_file_name_has_nothing_beside_it(install_dir, https_server, publisher, monkeypatch, rest):
    """https://host + ".minisig" would be another host; the build alone downloads as before."""
    https_server.add(install_dir.launcher_script("new"), path="/")
    install_dir.point(https_server.url("") + rest)
    words = f"UPDATE_URL does not end its path with the build's file name: {install_dir.url!r}"
    assert updater.download_new_exe_with_progress(lambda *report: None) == install_dir.download
    monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", publisher.public_key, raising=False)
    with pytest.raises(ValueError) as caught:
        updater.check_for_update()
    assert str(caught.value) == words and entry(caught.value) == ("updater.check_for_update", 336)
    reports = Reports()
    assert updater.download_new_exe_with_progress(reports) is None and str(reports.error) == words


@needs_minisign
def test_each_statement_fails_with_the_entry_of_its_line(tmp_path, publisher):  # noqa: F811
    """Every operation on a stand-in (the install directory, the network) fails
    in turn, as test_hardening sweeps: one entry each time, on a line of the
    check, along the digest's path and the path that proves the record."""
    from test_hardening import Fake, globals_, sweep, tick

    (tmp_path / "QuelbaLauncher.exe").write_bytes(b"T")
    (tmp_path / "QuelbaLauncher.exe.minisig").write_bytes(publisher.sign(b"T", comment=stamped(T)))
    published = [b"0" * 64]

    class Response(Fake):
        def __enter__(self):
            tick()
            return self

        def read(self, size):
            tick()
            return published[0]

    def urlopen(req, timeout):
        tick()
        return Response()

    network = Fake()
    object.__setattr__(network, "request", type("request", (), {"Request": Fake(), "urlopen": urlopen}))
    with globals_(urllib=network, get_exe_dir=Fake(str(tmp_path))):
        lines = set(sweep(updater.check_for_update, []))
        published[0] = publisher.sign(b"earlier", comment=stamped(T - 1))
        with globals_(UPDATE_PUBLIC_KEY=publisher.public_key):
            lines |= set(sweep(updater.check_for_update, []))
            assert updater.check_for_update() is False
    assert {331, 332, 336, 337, 338, 339, 342, 368} <= lines
