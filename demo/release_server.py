"""The demo's release server: HTTPS on 127.0.0.1 with a throwaway CA, serving
one launcher build at a fixed rate so that the progress can be watched, and its
signature (.minisig) beside it."""
import http.server
import ssl
import threading
import time

import trustme

BUILD_PATH = "/quelba/releases/latest/main/QuelbaLauncher.exe"
PIECE = 16 * 1024


class _Handler(http.server.BaseHTTPRequestHandler):
    server_version = "DemoReleaseServer/1.0"

    def do_GET(self):
        release = self.server.release
        if self.path == BUILD_PATH + ".minisig" and release.signature is not None:
            self.send_response(200)
            self.send_header("Content-Length", str(len(release.signature)))
            self.end_headers()
            self.wfile.write(release.signature)
            return
        if self.path != BUILD_PATH:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(release.body)))
        self.end_headers()
        try:
            release.stream(self.wfile)
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
    """Serves `body` at BUILD_PATH at `rate` bytes per second, and `signature`
    (when given) at BUILD_PATH + ".minisig". `mid_transfer` is set once
    `mid_fraction` of the body has been sent."""

    def __init__(self, body, rate, ca_file, mid_fraction=0.4, signature=None):
        self.body = body
        self.signature = signature
        self.rate = rate
        self.sent = 0
        self.log = []
        self.mid_transfer = threading.Event()
        self._mid_bytes = int(len(body) * mid_fraction)

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

    def stream(self, out):
        start = time.monotonic()
        for offset in range(0, len(self.body), PIECE):
            piece = self.body[offset:offset + PIECE]
            out.write(piece)
            out.flush()
            self.sent += len(piece)
            if self.sent >= self._mid_bytes:
                self.mid_transfer.set()
            due = start + (offset + len(piece)) / self.rate
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
