#!/usr/bin/env python3
"""The sample site deploy/nginx/fwstack.conf under the real nginx, on a
loopback port, with a given certificate and downloads root.

As a module: NginxSite(...).start() / .stop(). As a program (for scripts):
  nginx_site.py WORK ROOT PORT CERT KEY
starts it, prints "listening" and serves until SIGTERM or SIGINT."""
import os
import pwd
import signal
import socket
import subprocess
import sys
import time

SITE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "deploy", "nginx",
                    "fwstack.conf")


class NginxSite:
    """work: a folder for the configuration and logs; root: the folder that
    holds downloads/fwstack/; extra: more server blocks, as nginx text."""

    def __init__(self, work, root, port, cert, key, extra=""):
        self.work, self.port = work, port
        with open(SITE) as f:
            site = f.read()
        for old, new in [("listen 443 ssl;", f"listen 127.0.0.1:{port} ssl;"),
                         ("listen [::]:443 ssl;", ""),
                         ("/etc/ssl/certs/updates.example.com.crt", cert),
                         ("/etc/ssl/private/updates.example.com.key", key),
                         ("/srv/www", root), ("updates.example.com", "localhost")]:
            if old not in site:
                raise ValueError(f"{SITE} no longer holds {old!r}")
            site = site.replace(old, new)
        os.makedirs(f"{work}/logs", exist_ok=True)
        with open(f"{work}/site.conf", "w") as f:
            f.write(site + extra)
        # Workers of a master started by root run as this user, so they can
        # read the test's private folders.
        user = f"user {pwd.getpwuid(0).pw_name};" if os.geteuid() == 0 else ""
        # gzip on for everything else, as a typical server has it.
        with open(f"{work}/nginx.conf", "w") as f:
            f.write(f"daemon off; {user} pid {work}/nginx.pid; error_log {work}/logs/error.log;\n"
                    f"worker_processes 2; events {{}}\n"
                    f"http {{ access_log {work}/logs/access.log; include /etc/nginx/mime.types;\n"
                    f"gzip on; gzip_types *; gzip_min_length 1; client_body_temp_path {work}/t;\n"
                    f"include {work}/site.conf; }}\n")
        self.process = None

    def start(self):
        self.process = subprocess.Popen(["nginx", "-p", self.work, "-c",
                                         f"{self.work}/nginx.conf"])
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("nginx did not start:\n" + self.errors())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("nginx is not listening:\n" + self.errors())

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)

    def log(self, name):
        path = f"{self.work}/logs/{name}"
        if not os.path.exists(path):
            return ""
        with open(path) as f:
            return f.read()

    def errors(self):
        return self.log("error.log")

    def requests(self):
        return self.log("access.log")


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    work, root, port, cert, key = sys.argv[1:]
    site = NginxSite(work, root, int(port), cert, key).start()
    print("listening", flush=True)
    signal.signal(signal.SIGTERM, lambda *_: None)
    try:
        signal.sigwait({signal.SIGTERM, signal.SIGINT})
    finally:
        site.stop()
