"""A real HTTPS release server on 127.0.0.1 and a throwaway install directory.

`https_server` (session) serves scriptable routes over HTTPS with a certificate from
a throwaway CA that this process trusts through SSL_CERT_FILE; the same routes are
served in plain HTTP and behind a certificate nobody trusts. `install_dir` makes an
install directory with a launcher that records each start (a shell script on POSIX,
a copy of record_launcher.exe on Windows), and points the module at it for the test.
"""
import contextlib
import itertools
import os
import shlex
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request
import weakref
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import trustme

import updater

__all__ = ["https_server", "install_dir", "suppressing", "ReleaseServer", "InstallDir", "AUTO", "WINDOWS", "file_mode",
           "ONTO_A_DIRECTORY"]

AUTO = "auto"  # Content-Length: the body's length


@dataclass
class Route:
    body: bytes = b""
    status: int = 200
    length: object = AUTO  # AUTO, None (no header) or the header's text
    chunked: bool = False  # Transfer-Encoding: chunked, one chunk per write
    send: int | None = None  # body bytes sent before the connection is cut
    chunk: int = 65536
    delay: float = 0.0  # seconds before each chunk
    gate: threading.Event | None = None  # awaited after the first chunk
    redirect: str | None = None
    headers: tuple = ()
    log: bool = True  # whether requests() lists the requests for it


@dataclass
class Seen:
    scheme: str
    path: str
    headers: dict = field(default_factory=dict)
    query: str = ""


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        release = self.server.release
        path, _, query = self.path.partition("?")
        route = release._routes.get(path) or Route(b"not found", status=404)
        if route.log:
            release._record(Seen(self.server.scheme, path, dict(self.headers.items()), query))
        status = 302 if route.redirect and route.status == 200 else route.status
        self.send_response(status)
        if route.redirect:
            self.send_header("Location", route.redirect)
        length = len(route.body) if route.length == AUTO else route.length
        if length is not None:
            self.send_header("Content-Length", str(length))
        if route.chunked:
            self.send_header("Transfer-Encoding", "chunked")
        for name, value in route.headers:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        body = route.body if route.send is None else route.body[: route.send]
        for at in range(0, len(body), route.chunk):
            if route.delay:
                time.sleep(route.delay)
            piece = body[at : at + route.chunk]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if route.chunked else piece)
            self.wfile.flush()
            if at == 0 and route.gate is not None:
                route.gate.wait(60)
        if route.chunked and route.send is None:
            self.wfile.write(b"0\r\n\r\n")
        self.close_connection = True


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, release, context):
        self.release = release
        self.context = context
        self.scheme = "https" if context else "http"
        super().__init__(("127.0.0.1", 0), _Handler)

    def process_request(self, request, client_address):
        # ThreadingMixIn's, with each connection's thread known to the release
        # server before it starts, so that settle() can wait for it.
        thread = threading.Thread(target=self.process_request_thread, args=(request, client_address),
                                  daemon=True)
        self.release._connections.add(thread)
        thread.start()

    def finish_request(self, request, client_address):
        request.settimeout(30)
        if self.context is not None:
            try:
                request = self.context.wrap_socket(request, server_side=True)
            except (OSError, ssl.SSLError):
                return  # the client refused our certificate, or went away
        try:
            self.RequestHandlerClass(request, client_address, self)
        except (OSError, ssl.SSLError):
            pass
        finally:
            request.close()

    def handle_error(self, request, client_address):
        pass


class ReleaseServer:
    """Serves routes added with `add` over https (trusted), http, and https with
    an untrusted certificate. `ca_file` is the CA to trust (SSL_CERT_FILE)."""

    def __init__(self, directory):
        self._routes = {}
        self._seen = []
        self._lock = threading.Lock()
        self._ids = itertools.count(1)
        self._connections = weakref.WeakSet()  # a thread leaves it once it has ended
        ca = trustme.CA()
        self.ca_file = os.path.join(directory, "ca.pem")
        ca.cert_pem.write_to_path(self.ca_file)
        self._servers = [
            _Server(self, self._context(ca)),
            _Server(self, None),
            _Server(self, self._context(trustme.CA())),
        ]
        for server in self._servers:
            threading.Thread(target=server.serve_forever, daemon=True).start()

    @staticmethod
    def _context(ca):
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ca.issue_cert("127.0.0.1", "localhost").configure_cert(context)
        return context

    def _base(self, index):
        server = self._servers[index]
        return f"{server.scheme}://127.0.0.1:{server.server_address[1]}"

    def url(self, path):
        return self._base(0) + path

    def http_url(self, path):
        return self._base(1) + path

    def untrusted_url(self, path):
        return self._base(2) + path

    def add(self, body=b"", *, path=None, **options):
        """Serves `body` at `path` (a new .../latest/main/QuelbaLauncher.exe path when
        None) on all three servers and returns its trusted https URL. Options are the
        fields of Route: status, length (AUTO, None, or the header's text), send (cut
        the body short), chunk and delay (a slow body), gate (an Event awaited after
        the first chunk), redirect (a Location; 302 unless status says otherwise), log
        (False keeps its requests out of `requests`, for loops that must not allocate)."""
        if path is None:
            path = f"/r{next(self._ids)}/latest/main/QuelbaLauncher.exe"
        self._routes[path] = Route(body, **options)
        return self.url(path)

    def _record(self, seen):
        with self._lock:
            self._seen.append(seen)

    def requests(self, url_or_path):
        """The requests received for a path (or the path of a URL), oldest first."""
        path = urllib.parse.urlsplit(url_or_path).path
        with self._lock:
            return [seen for seen in self._seen if seen.path == path]

    def settle(self):
        """Waits for the connection threads still running, of this test or of an
        earlier one: each closes the server's side of its connection, and lets go
        of what it held, a moment after its client is done, and at the latest at
        the 30-second socket time-out."""
        for thread in list(self._connections):
            thread.join(60)
            assert not thread.is_alive(), thread

    def env(self):
        """Environment entries a child interpreter needs to trust the server."""
        return {"SSL_CERT_FILE": self.ca_file}

    def close(self):
        for server in self._servers:
            server.shutdown()
            server.server_close()


@pytest.fixture(scope="session")
def https_server(tmp_path_factory):
    server = ReleaseServer(str(tmp_path_factory.mktemp("release-server")))
    saved = os.environ.get("SSL_CERT_FILE")
    os.environ["SSL_CERT_FILE"] = server.ca_file
    urllib.request.install_opener(None)  # the next urlopen makes its TLS context anew
    yield server
    server.close()
    if saved is None:
        os.environ.pop("SSL_CERT_FILE", None)
    else:
        os.environ["SSL_CERT_FILE"] = saved
    urllib.request.install_opener(None)


LAUNCHER = """#!/bin/sh
printf '%s\\t%s\\t%s\\t%s\\t%s\\n' {tag} "$0" "$#" "$(pwd -P)" "$*" >> {record}
"""

WINDOWS = sys.platform == "win32"
# The start of the error of a rename onto a directory (a backup's place taken)
ONTO_A_DIRECTORY = "[WinError 5] " if WINDOWS else "[Errno 21] Is a directory"
_program = []


def record_launcher():
    """The bytes of record_launcher.exe, built beside the module under test
    (tests/native/record_launcher.c): Windows starts only real executables."""
    if not _program:
        places = [os.path.dirname(os.path.abspath(updater.__file__)), os.environ.get("UPDATER_PATH", "")]
        for place in places:
            path = os.path.join(place, "record_launcher.exe")
            if place and os.path.isfile(path):
                with open(path, "rb") as f:
                    _program.append(f.read())
                break
        else:
            pytest.fail("record_launcher.exe is not beside the module (a build with UPDATER_TEST_LIBS=ON)")
    return _program[0]


class WindowsMode(int):
    """Permission bits as Windows reports them: st_mode holds only the read-only
    flag, as the owner's write bit, and execute bits that follow the file's
    extension. Equal to any mode that agrees with it on that write bit."""

    def __eq__(self, other):
        if isinstance(other, int):
            return bool(self & 0o200) == bool(other & 0o200)
        return NotImplemented

    def __ne__(self, other):
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    __hash__ = int.__hash__

    def __repr__(self):
        return f"WindowsMode({oct(self)})"


def file_mode(path):
    """os.stat(path).st_mode & 0o777, a WindowsMode on Windows."""
    mode = os.stat(path).st_mode & 0o777
    return WindowsMode(mode) if WINDOWS else mode


class InstallDir:
    """An install directory: `path`, and in it `launcher`, `download` and `backup`
    (QuelbaLauncher.exe, QuelbaLauncher_new.exe, QuelbaLauncher.exe.old). Launchers
    made by `launcher_script(tag)` append one line to `record` per start."""

    def __init__(self, root, monkeypatch):
        self.path = os.path.join(str(root), "install")
        os.mkdir(self.path)
        self.launcher = os.path.join(self.path, "QuelbaLauncher.exe")
        self.download = os.path.join(self.path, "QuelbaLauncher_new.exe")
        self.backup = os.path.join(self.path, "QuelbaLauncher.exe.old")
        self.record = os.path.join(str(root), "runs.log")
        self.url = None
        self._monkeypatch = monkeypatch

    def launcher_script(self, tag, size=None):
        """A launcher recording its starts under `tag`, padded to `size` bytes if given."""
        if WINDOWS:
            trailer = f"\n#record-launcher\t{tag}\t{self.record}\n".encode()
            program = record_launcher()
            if size is not None:  # the program looks for the trailer at the end
                program += b"\0" * (size - len(program) - len(trailer))
            return program + trailer
        script = LAUNCHER.format(tag=shlex.quote(tag), record=shlex.quote(self.record)).encode()
        if size is not None:
            script += b"#" * (size - len(script) - 1) + b"\n"
        return script

    def write(self, path, data, mode=0o755):
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        return path

    def point(self, url=None):
        """Makes get_exe_dir() return this directory, and UPDATE_URL `url` when
        given, until the end of the test."""
        self._monkeypatch.delattr(sys, "frozen", raising=False)
        self._monkeypatch.setattr(updater, "__file__", os.path.join(self.path, "updater.so"), raising=False)
        if url is not None:
            self.url = url
            self._monkeypatch.setattr(updater, "UPDATE_URL", url)

    def child_code(self):
        """Python lines doing `point` in a child interpreter that imported updater."""
        return (
            f"updater.__file__ = {os.path.join(self.path, 'updater.so')!r}\n"
            f"updater.UPDATE_URL = {self.url!r}\n"
        )

    def runs(self):
        """One dict per launcher start: tag, argv0, argc, cwd, args."""
        try:
            with open(self.record, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        keys = ("tag", "argv0", "argc", "cwd", "args")
        return [dict(zip(keys, line.split("\t"))) for line in lines]

    def wait_runs(self, count=1, timeout=15):
        deadline = time.monotonic() + timeout
        while len(self.runs()) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.runs()

    def files(self):
        """{name: (bytes, permission bits)} of the directory's files; on Windows
        the bits are a WindowsMode, which compares the read-only flag alone."""
        out = {}
        for name in sorted(os.listdir(self.path)):
            full = os.path.join(self.path, name)
            with open(full, "rb") as f:
                out[name] = (f.read(), file_mode(full))
        return out

    @contextlib.contextmanager
    def read_only(self):
        """The directory made read-only for this process, root included (a
        read-only bind mount when running as root)."""
        if WINDOWS:
            pytest.skip("Windows has no read-only directory: a folder's read-only "
                        "attribute does not stop files being made in it")
        if os.geteuid() != 0:
            os.chmod(self.path, 0o555)
            try:
                yield
            finally:
                os.chmod(self.path, 0o755)
            return
        bind = subprocess.run(["mount", "--bind", self.path, self.path], capture_output=True)
        if bind.returncode != 0:
            pytest.skip("cannot make a read-only mount: " + bind.stderr.decode().strip())
        try:
            remount = subprocess.run(
                ["mount", "-o", "remount,bind,ro", self.path], capture_output=True
            )
            if remount.returncode != 0:
                pytest.skip("cannot remount read-only: " + remount.stderr.decode().strip())
            yield
        finally:
            subprocess.run(["umount", self.path], check=True)


@pytest.fixture
def install_dir(tmp_path, monkeypatch, https_server):
    """An install directory holding launcher "old" (mode 0o755); the module points
    at it, and UPDATE_URL at a route serving launcher "new"."""
    install = InstallDir(tmp_path, monkeypatch)
    install.write(install.launcher, install.launcher_script("old"))
    install.point(https_server.add(install.launcher_script("new")))
    return install


class SuppressingResponse:
    """A response whose __exit__ swallows whatever ends its block, as a host's
    own response type may; the rest is the real response's."""

    def __init__(self, response):
        self._response = response

    def __getattr__(self, name):
        return getattr(self._response, name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._response.close()
        return True


@pytest.fixture
def suppressing(monkeypatch):
    """Every response the test opens suppresses the error that ends its block."""
    urlopen = urllib.request.urlopen
    monkeypatch.setattr(urllib.request, "urlopen", lambda *args, **kw: SuppressingResponse(urlopen(*args, **kw)))
