"""The demo's release server: HTTPS on 127.0.0.1 with a throwaway CA, serving
the public/ tree updater-release made (the build, its .sha256 and .minisig, and
the patches in its .patches directory) at the directory of the build's URL, at
a fixed rate so that the progress can be watched."""
import http.server
import os
import ssl
import threading
import time

import trustme

RELEASE_PATH = "/quelba/releases/latest/main/"
BUILD_PATH = RELEASE_PATH + "QuelbaLauncher.exe"
PATCHES_PATH = BUILD_PATH + ".patches/"
PIECE = 16 * 1024


class _Handler(http.server.BaseHTTPRequestHandler):
    server_version = "DemoReleaseServer/1.0"

    def do_GET(self):
        release = self.server.release
        path = self.path.split("?", 1)[0]
        body = release.files.get(path)
        if body is None:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            release.stream(self.wfile, path, body)
        except (ConnectionError, ssl.SSLError, OSError) as e:
            release.note(f"client went away: {e.__class__.__name__}")

    def log_message(self, fmt, *args):
        self.server.release.note(fmt % args)


class _TLSServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def finish_request(self, request, client_address):
        # The handshake runs on the request's own thread, not in accept().
        try:
            request = self.release.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.release.note(f"TLS handshake failed: {e}")
            return
        super().finish_request(request, client_address)


class ReleaseServer:
    """Serves each file under the directory `public` at RELEASE_PATH + its path
    there, at `rate` bytes per second. `sent` counts the body bytes sent per
    path; `mid_transfer` is set once `mid_fraction` of the build has been sent."""

    def __init__(self, public, rate, ca_file, mid_fraction=0.4):
        self.files = {}
        for folder, _, names in os.walk(public):
            for name in names:
                path = os.path.join(folder, name)
                with open(path, "rb") as f:
                    self.files[RELEASE_PATH + os.path.relpath(path, public).replace(os.sep, "/")] = f.read()
        self.body = self.files[BUILD_PATH]
        self.rate = rate
        self.sent = {}
        self.log = []
        self.mid_transfer = threading.Event()
        self._mid_bytes = int(len(self.body) * mid_fraction)

        ca = trustme.CA()
        ca.cert_pem.write_to_path(ca_file)
        self.context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ca.issue_cert("127.0.0.1", "localhost").configure_cert(self.context)

        self._httpd = _TLSServer(("127.0.0.1", 0), _Handler)
        self._httpd.release = self
        self.port = self._httpd.server_address[1]
        self.url = f"https://127.0.0.1:{self.port}{BUILD_PATH}"
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._httpd.shutdown()
        self._httpd.server_close()

    def note(self, line):
        self.log.append(line)

    def stream(self, out, path, body):
        start = time.monotonic()
        sent = 0
        for offset in range(0, len(body), PIECE):
            piece = body[offset:offset + PIECE]
            out.write(piece)
            out.flush()
            sent += len(piece)
            self.sent[path] = self.sent.get(path, 0) + len(piece)
            if path == BUILD_PATH and sent >= self._mid_bytes:
                self.mid_transfer.set()
            due = start + sent / self.rate
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
