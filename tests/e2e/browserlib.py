"""Pages in headless Chromium and Firefox for the bridge tests, the demo and the screenshot.

PageServer serves parts of the repository (the client, the demo page, the test pages, the label
preview renderer) over https from 127.0.0.1 under a name (https://labels.example.com:<port>),
hands the pages their plans and collects what they report. Browser drives Debian's Chromium or
Firefox ESR through tests/e2e/browser.mjs (puppeteer-core), in which those names resolve to
127.0.0.1 (no name reaches DNS).
"""

import functools
import http.server
import json
import os
import shutil
import ssl
import subprocess
import tempfile
import threading
import time

import e2elib as e2e

# What a page may load: the repository's paths below these prefixes, nothing else.
SERVED = ("/bridge/", "/tests/e2e/pages/", "/node_modules/zpl-renderer-js/")
REPO = os.path.realpath(e2e.REPO)
TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
         ".mjs": "text/javascript; charset=utf-8", ".css": "text/css; charset=utf-8",
         ".svg": "image/svg+xml", ".png": "image/png", ".json": "application/json"}
# The names the page servers' certificate holds: the listed site, and a stranger for unlisted pages.
PAGE_HOST = "labels.example.com"
STRANGER_HOST = "stranger.example.com"


@functools.lru_cache(maxsize=None)
def tls_context():
    """A server context with a self-signed certificate for the page names, made once per run
    (the browsers take any certificate: the context only makes the pages secure ones)."""
    os.makedirs(e2e.WORK, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="page-tls-", dir=e2e.WORK) as folder:
        key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "2", "-subj", "/CN=" + PAGE_HOST,
                        "-addext", "subjectAltName=DNS:%s,DNS:%s" % (PAGE_HOST, STRANGER_HOST),
                        "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
    return context


class _HttpsServer(http.server.ThreadingHTTPServer):
    """Takes each connection's TLS handshake on the connection's own thread, so a browser's idle
    preconnection holds up nobody."""

    daemon_threads = True

    def finish_request(self, request, client_address):
        request.settimeout(60)
        with tls_context().wrap_socket(request, server_side=True) as tls:
            self.RequestHandlerClass(tls, client_address, self)

    def handle_error(self, request, client_address):
        pass  # a browser dropping a connection (or its handshake) is no fault of the page


class PageServer:
    """A loopback https server of the repository's page files.

    GET /plan/<name> answers the plan the test put in plans[<name>]; POST /report keeps the
    JSON body in reports. Each PageServer is an origin of its own: https://<host>:<its port>.
    """

    def __init__(self, host=PAGE_HOST):
        self.plans = {}
        self.reports = []
        self.changed = threading.Condition()
        self.httpd = _HttpsServer(("127.0.0.1", 0), self._handler())
        self.origin = "https://%s:%d" % (host, self.httpd.server_address[1])
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def _handler(self):
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                path = self.path.split("?")[0]
                if path.startswith("/plan/"):
                    body = json.dumps(server.plans.get(path[6:])).encode()
                    return self._answer(200, "application/json", body)
                file = os.path.realpath(os.path.join(REPO, path.lstrip("/")))
                if not path.startswith(SERVED) or not file.startswith(REPO + "/") or not os.path.isfile(file):
                    return self._answer(404, "text/plain", b"not found")
                with open(file, "rb") as f:
                    body = f.read()
                self._answer(200, TYPES.get(os.path.splitext(file)[1], "application/octet-stream"), body)

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                with server.changed:
                    server.reports.append(json.loads(body))
                    server.changed.notify_all()
                self._answer(204, "text/plain", b"")

            def _answer(self, status, content_type, body):
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        return Handler

    def url(self, path, **query):
        return self.origin + path + ("?" + "&".join("%s=%s" % kv for kv in query.items()) if query else "")

    def wait_report(self, match, timeout=120):
        """The first report for which match(report) is true; waits for it up to |timeout| s."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                found = [r for r in self.reports if match(r)]
                if found:
                    return found[0]
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no such report within %d s; reports: %s" % (timeout, self.reports))
                self.changed.wait(left)

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class Browser:
    """Headless |kind| ("chromium" or "firefox") with a fresh profile under the build tree
    (removed at close; its log stays beside it), ended by its driver's PID."""

    def __init__(self, name, kind="chromium"):
        self.kind = kind
        self.profile = os.path.join(e2e.WORK, "%s-%s-%d" % (name, kind, os.getpid()))
        shutil.rmtree(self.profile, ignore_errors=True)
        os.makedirs(self.profile)
        self.stderr = open(self.profile + ".log", "w")
        self.proc = subprocess.Popen(["node", os.path.join(e2e.HERE, "browser.mjs"), kind, self.profile,
                                      PAGE_HOST, STRANGER_HOST],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr,
                                     text=True, cwd=e2e.REPO, start_new_session=True)

    def command(self, *words):
        self.proc.stdin.write(" ".join(str(w) for w in words) + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().strip()
        if not answer.startswith("ok"):
            raise RuntimeError("browser: %s -> %s (log: %s)" % (" ".join(map(str, words)), answer or "no answer",
                                                                 self.stderr.name))
        return answer[3:]

    def open(self, url):
        return int(self.command("open", url))

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(30)
            except (OSError, subprocess.TimeoutExpired):
                e2e.stop_process(self.proc)
        self.proc.stdout.close()
        self.stderr.close()
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
