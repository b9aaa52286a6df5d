#!/usr/bin/env python3
"""A scriptable HTTP/HTTPS update server on loopback for the tests.

As a module:

    with UpdateServer(root, tls=(certfile, keyfile)) as server:
        ... fetch https://localhost:{server.port}/some/path ...

GET /a/b is answered from root/a/b. Sidecar files next to the served path
script misbehaviour (the served file itself need not exist):

    <file>.status  a number NNN: answer with that status; the body is the
                   file's bytes when it exists, else a short text; a 3xx
                   answer also carries "Location: /moved"
    <file>.cut     announce the full Content-Length, send the first half of
                   the body, then close the connection
    <file>.slow    a number of seconds S: send the body in 1 KiB pieces with
                   S seconds between them (the waiting is bounded in total)
    <file>.drip    "N S": send the body N bytes at a time with S seconds
                   between them, for as long as the client keeps reading

A missing file without a .status sidecar is a 404. UpdateServer(...,
tls_version=ssl.TLSVersion.TLSv1) speaks that TLS version alone. A module user may also set
UpdateServer(..., before_answer=f): f(path) runs on the request's thread
before each answer, e.g. to change the client's files while it waits, and
UpdateServer(..., during_body=g): g(path, sent, total) runs there after each piece of a
.slow or .drip body, e.g. to hold the transfer halfway until the test has looked at the
client. Every request's path is appended to root/requests.log, so a test can tell whether
a request was sent.

As a wrapper around a test command:

    update_server.py --root DIR [--http-port P] [--https-port P] -- CMD ARGS...

starts a plain HTTP server and, when $FWSTACK_ASSETS/pki/localhost.crt and
localhost.key exist, an HTTPS server, both serving DIR; runs CMD with
FWSTACK_HTTP_PORT, FWSTACK_HTTPS_PORT (empty without HTTPS) and FWSTACK_SERVED
(DIR) in its environment; stops the servers and exits with CMD's exit code.
"""

import argparse
import http.server
import os
import posixpath
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

PIECE = 1024
SLOW_TOTAL_LIMIT = 20.0   # seconds a .slow answer may spend waiting in all
CONNECTION_TIMEOUT = 60.0  # a silent client does not hold a thread for ever
DEFAULT_LIFETIME = 1800.0  # a forgotten server shuts itself down


def _read_text(path):
    try:
        with open(path, "r", encoding="ascii") as f:
            return f.read().strip()
    except OSError:
        return None


def _read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "fwstack-test-server"
    sys_version = ""

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass  # the request log file is the record; stderr stays quiet

    def _local_path(self):
        raw = urllib.parse.urlsplit(self.path).path
        clean = posixpath.normpath(urllib.parse.unquote(raw))
        parts = [p for p in clean.split("/") if p not in ("", ".", "..")]
        return os.path.join(self.server.root, *parts) if parts else None

    def do_GET(self):  # noqa: N802 - the base class's name
        self.server.log_request_path(self.path)
        self.close_connection = True
        if self.server.before_answer is not None:
            self.server.before_answer(self.path)
        local = self._local_path()
        if local is None:
            self._answer(404, b"not found\n")
            return
        body = _read_bytes(local) if os.path.isfile(local) else None
        status_text = _read_text(local + ".status")
        if status_text is not None:
            status = int(status_text)
            if body is None:
                body = ("status %d\n" % status).encode("ascii")
        elif body is None:
            self._answer(404, b"not found\n")
            return
        else:
            status = 200
        cut = os.path.exists(local + ".cut")
        slow_text = _read_text(local + ".slow")
        delay = float(slow_text) if slow_text else 0.0
        drip = (_read_text(local + ".drip") or "").split()
        piece = int(drip[0]) if drip else PIECE
        if drip:
            delay = float(drip[1])
        self._answer(status, body, cut=cut, delay=delay, piece=piece,
                     limit=None if drip else SLOW_TOTAL_LIMIT)

    def _refuse(self):
        self.server.log_request_path(self.path)
        self.close_connection = True
        self._answer(405, b"method not allowed\n")

    do_POST = do_PUT = do_DELETE = do_HEAD = _refuse

    def _answer(self, status, body, cut=False, delay=0.0, piece=PIECE, limit=None):
        self.send_response(status)
        if 300 <= status < 400:
            self.send_header("Location", "/moved")
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command == "HEAD":
            return
        if cut:
            body = body[: len(body) // 2]
        try:
            if delay > 0:
                self._send_slowly(body, delay, piece, limit)
            else:
                self.wfile.write(body)
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            pass  # the client gave up; that is what some tests want

    def _send_slowly(self, body, delay, piece, limit):
        waited = 0.0
        for start in range(0, len(body), piece):
            if start and (limit is None or waited + delay <= limit):
                time.sleep(delay)
                waited += delay
            self.wfile.write(body[start:start + piece])
            self.wfile.flush()
            if self.server.during_body is not None:
                self.server.during_body(self.path, min(start + piece, len(body)), len(body))


class _Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, root, port, tls_context, before_answer=None, during_body=None):
        self.root = os.path.abspath(root)
        self.before_answer = before_answer
        self.during_body = during_body
        self.tls_context = tls_context
        self._log_lock = threading.Lock()
        super().__init__(("127.0.0.1", port), _Handler)

    def log_request_path(self, path):
        with self._log_lock:
            with open(os.path.join(self.root, "requests.log"), "a", encoding="utf-8") as f:
                f.write(path + "\n")

    def finish_request(self, request, client_address):
        # Runs on the connection's own thread, so a slow TLS handshake does
        # not hold up the accepting thread.
        request.settimeout(CONNECTION_TIMEOUT)
        if self.tls_context is None:
            super().finish_request(request, client_address)
            return
        try:
            secure = self.tls_context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return  # e.g. a client that refuses our certificate
        try:
            super().finish_request(secure, client_address)
        except (ssl.SSLError, OSError):
            pass
        finally:
            # NOTE: a blocking unwrap() waits for the client's close_notify,
            # and a client still waiting for the rest of a cut-short body
            # never sends it. Without blocking, the close_notify goes out and
            # the connection closes at once.
            try:
                secure.settimeout(0.0)
                secure.unwrap()
            except (ssl.SSLError, OSError, ValueError):
                pass
            secure.close()


class UpdateServer:
    """One server on 127.0.0.1 serving root; tls=(certfile, keyfile) makes it HTTPS."""

    def __init__(self, root, port=0, tls=None, lifetime=DEFAULT_LIFETIME, before_answer=None,
                 tls_version=None, during_body=None):
        self.root = root
        self.tls_version = tls_version
        self.before_answer = before_answer
        self.during_body = during_body
        self.requested_port = port
        self.tls = tls
        self.lifetime = lifetime
        self._server = None
        self._thread = None
        self._timer = None
        self._port = None
        self._stop_lock = threading.Lock()

    @property
    def port(self):
        return self._port

    def start(self):
        os.makedirs(self.root, exist_ok=True)
        context = None
        if self.tls is not None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(self.tls[0], self.tls[1])
            if self.tls_version is not None:
                # OpenSSL 3 refuses TLS 1.0 and 1.1 above security level 0.
                context.set_ciphers("DEFAULT:@SECLEVEL=0")
                context.minimum_version = context.maximum_version = self.tls_version
        self._server = _Server(self.root, self.requested_port, context, self.before_answer,
                               self.during_body)
        self._port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.1}, daemon=True)
        self._thread.start()
        if self.lifetime:
            self._timer = threading.Timer(self.lifetime, self.stop)
            self._timer.daemon = True
            self._timer.start()
        return self

    def stop(self):
        with self._stop_lock:
            server, self._server = self._server, None
        if self._timer is not None and self._timer is not threading.current_thread():
            self._timer.cancel()
        if server is not None:
            server.shutdown()
            server.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


def _split_command(argv):
    if "--" not in argv:
        return argv, []
    at = argv.index("--")
    return argv[:at], argv[at + 1:]


def main(argv):
    own, command = _split_command(argv)
    parser = argparse.ArgumentParser(description="Run a command with test update servers.")
    parser.add_argument("--root", required=True)
    parser.add_argument("--http-port", type=int, default=0)
    parser.add_argument("--https-port", type=int, default=0)
    args = parser.parse_args(own)
    if not command:
        parser.error("no command after --")

    root = os.path.abspath(args.root)
    os.makedirs(root, exist_ok=True)
    assets = os.environ.get("FWSTACK_ASSETS", "")
    cert = os.path.join(assets, "pki", "localhost.crt")
    key = os.path.join(assets, "pki", "localhost.key")
    servers = [UpdateServer(root, args.http_port, lifetime=None).start()]
    https = None
    if assets and os.path.isfile(cert) and os.path.isfile(key):
        https = UpdateServer(root, args.https_port, tls=(cert, key), lifetime=None).start()
        servers.append(https)

    env = dict(os.environ)
    env["FWSTACK_HTTP_PORT"] = str(servers[0].port)
    env["FWSTACK_HTTPS_PORT"] = str(https.port) if https else ""
    env["FWSTACK_SERVED"] = root
    try:
        code = subprocess.call(command, env=env)
    except KeyboardInterrupt:
        code = 130
    except OSError as error:
        print("update_server.py: cannot run %s: %s" % (command[0], error), file=sys.stderr)
        code = 127
    finally:
        for server in servers:
            server.stop()
    return code if code >= 0 else 128 - code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
