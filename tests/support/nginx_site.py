#!/usr/bin/env python3
"""The sample sites deploy/nginx/fwstack.conf (the origin) and
fwstack-edge.conf (a caching edge in front of it) under the real nginx, on
loopback ports, with a given certificate and downloads root.

As a module: NginxSite(...).start() / .stop(), EdgeSite(...) likewise. As a
program (for scripts):
  nginx_site.py WORK ROOT PORT CERT KEY [--edge ORIGIN_PORT CA] [--workers N]
starts the origin (or with --edge, an edge in front of the origin at
ORIGIN_PORT, which it trusts through CA), prints "listening" and serves until
SIGTERM or SIGINT."""
import os
import pwd
import signal
import socket
import subprocess
import sys
import time

DEPLOY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "deploy", "nginx")
SITE = os.path.join(DEPLOY, "fwstack.conf")
EDGE = os.path.join(DEPLOY, "fwstack-edge.conf")


def wait_until_listening(site, name, seconds):
    """Returns site once its process listens on site.port; stops it and raises
    with its errors when it ends or does not listen within seconds."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if site.process.poll() is not None:
            raise RuntimeError(f"{name} did not start:\n" + site.errors())
        try:
            socket.create_connection(("127.0.0.1", site.port), timeout=1).close()
            return site
        except OSError:
            time.sleep(0.05)
    site.stop()
    raise RuntimeError(f"{name} is not listening:\n" + site.errors())


class NginxSite:
    """work: a folder for the configuration and logs; root: the folder that
    holds downloads/fwstack/; extra: more server blocks, as nginx text; site
    and changes: another sample site and its (old, new) text replacements."""

    def __init__(self, work, root, port, cert, key, extra="", site=SITE, changes=(),
                 workers=2):
        self.work, self.port = work, port
        with open(site) as f:
            text = f.read()
        common = [("listen 443 ssl;", f"listen 127.0.0.1:{port} ssl;"),
                  ("listen [::]:443 ssl;", ""),
                  ("/etc/ssl/certs/updates.example.com.crt", cert),
                  ("/etc/ssl/private/updates.example.com.key", key)]
        if root is not None:
            common.append(("/srv/www", root))
        for old, new in common + [("updates.example.com", "localhost"), *changes]:
            if old not in text:
                raise ValueError(f"{site} no longer holds {old!r}")
            text = text.replace(old, new)
        os.makedirs(f"{work}/logs", exist_ok=True)
        with open(f"{work}/site.conf", "w") as f:
            f.write(text + extra)
        # Workers of a master started by root run as this user, so they can
        # read the test's private folders.
        user = f"user {pwd.getpwuid(0).pw_name};" if os.geteuid() == 0 else ""
        # gzip on for everything else, as a typical server has it.
        with open(f"{work}/nginx.conf", "w") as f:
            f.write(f"daemon off; {user} pid {work}/nginx.pid; error_log {work}/logs/error.log;\n"
                    f"worker_processes {workers}; events {{}}\n"
                    f"http {{ access_log {work}/logs/access.log; include /etc/nginx/mime.types;\n"
                    f"gzip on; gzip_types *; gzip_min_length 1; client_body_temp_path {work}/t;\n"
                    f"include {work}/site.conf; }}\n")
        self.process = None

    def start(self):
        self.process = subprocess.Popen(["nginx", "-p", self.work, "-c",
                                         f"{self.work}/nginx.conf"])
        return wait_until_listening(self, "nginx", 10)

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


class EdgeSite(NginxSite):
    """The edge site on port, in front of the origin on origin_port whose
    certificate ca signs; changes alter its text further (a wrong edge)."""

    def __init__(self, work, port, cert, key, origin_port, ca, changes=(), extra="", workers=2):
        super().__init__(work, None, port, cert, key, extra, EDGE, [
            ("origin.example.com:443", f"localhost:{origin_port}"),
            ("origin.example.com", "localhost"),
            ("/etc/ssl/certs/ca-certificates.crt", ca),
            ("/var/cache/nginx/fwstack", f"{work}/cache"),
            ("/var/log/nginx/", f"{work}/logs/"), *changes], workers)

    def requests(self):
        return self.log("fwstack-edge.log")


if __name__ == "__main__":
    import argparse
    parser = argparse.ArgumentParser(usage=__doc__)
    for name in ("work", "root", "port", "cert", "key"):
        parser.add_argument(name)
    parser.add_argument("--edge", nargs=2, metavar=("ORIGIN_PORT", "CA"))
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    if args.edge:
        site = EdgeSite(args.work, int(args.port), args.cert, args.key, int(args.edge[0]),
                        args.edge[1], workers=args.workers)
    else:
        site = NginxSite(args.work, args.root, int(args.port), args.cert, args.key,
                         workers=args.workers)
    site.start()
    print("listening", flush=True)
    signal.signal(signal.SIGTERM, lambda *_: None)
    try:
        signal.sigwait({signal.SIGTERM, signal.SIGINT})
    finally:
        site.stop()
