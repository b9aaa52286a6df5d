#!/usr/bin/env python3
"""The sample sites deploy/apache/fwstack.conf and deploy/caddy/Caddyfile
under the real servers, each on a loopback port with a given certificate and
downloads root, started from a generated wrapper configuration with private
pid, log and state paths. Run by root, the server runs as nobody: its work
folder and certificate copies are made nobody's, and the root must be readable
by others.

SITES maps a server's name to its class; each has start(), stop(), requests()
(the access log) and errors()."""
import os
import pwd
import shutil
import socket
import subprocess

import nginx_site

DEPLOY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "deploy")
MODULES = "/usr/lib/apache2/modules"


class Site:
    sample = None  # the sample's path under deploy/

    def __init__(self, work, root, port, cert, key):
        self.work, self.root, self.port = work, os.path.abspath(root), port
        os.makedirs(work, exist_ok=True)
        self.cert, self.key = f"{work}/site.crt", f"{work}/site.key"
        shutil.copyfile(cert, self.cert)
        shutil.copyfile(key, self.key)
        with open(os.path.join(DEPLOY, self.sample)) as f:
            text = f.read()
        for old, new in self.replacements():
            if old not in text:
                raise ValueError(f"{self.sample} no longer holds {old!r}")
            text = text.replace(old, new)
        self.write_configuration(text)
        self.user = None
        if os.geteuid() == 0:
            self.user = pwd.getpwnam("nobody")
            for here, dirs, files in os.walk(work):
                for name in [here] + [os.path.join(here, n) for n in dirs + files]:
                    os.chown(name, self.user.pw_uid, self.user.pw_gid)
        self.process = None

    def replacements(self):
        return [("/etc/ssl/certs/updates.example.com.crt", self.cert),
                ("/etc/ssl/private/updates.example.com.key", self.key),
                ("/srv/www", self.root)]

    def start(self):
        with socket.socket() as s:  # else the test would talk to another's server
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("127.0.0.1", self.port))
        argv = self.command()
        if self.user is not None:
            argv = ["setpriv", f"--reuid={self.user.pw_uid}", f"--regid={self.user.pw_gid}",
                    "--clear-groups", "--inh-caps=-all", "--bounding-set=-all", *argv]
        self.output = open(f"{self.work}/output.log", "wb")
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.output,
                                        stderr=subprocess.STDOUT, env=self.environment())
        return nginx_site.wait_until_listening(self, argv[0], 30)

    def stop(self):
        if self.process is not None:
            if self.process.poll() is None:
                self.process.terminate()
                self.process.wait(timeout=30)
            self.output.close()

    def environment(self):
        return None

    def log(self, name):
        path = f"{self.work}/{name}"
        if not os.path.exists(path):
            return ""
        with open(path, errors="replace") as f:
            return f.read()

    def requests(self):
        return self.log("access.log")

    def errors(self):
        return self.log("output.log") + self.log("error.log")


class ApacheSite(Site):
    sample = "apache/fwstack.conf"

    def replacements(self):
        return super().replacements() + [("<VirtualHost *:443>", f"<VirtualHost *:{self.port}>"),
                                         ("updates.example.com", "localhost")]

    def write_configuration(self, text):
        w = self.work
        with open(f"{w}/site.conf", "w") as f:
            f.write(text)
        modules = ["mpm_event", "authz_core", "mime", "dir", "env", "headers", "filter",
                   "deflate", "socache_shmcb", "ssl"]
        # Compression on for everything else, as a typical server has it.
        with open(f"{w}/httpd.conf", "w") as f:
            f.write("".join(f"LoadModule {m}_module {MODULES}/mod_{m}.so\n" for m in modules)
                    + f"ServerRoot {w}\nServerName localhost\nDefaultRuntimeDir {w}\n"
                    f"PidFile {w}/httpd.pid\nErrorLog {w}/error.log\n"
                    f'LogFormat "%r %>s %b \\"%{{User-Agent}}i\\"" plain\n'
                    f"CustomLog {w}/access.log plain\nTypesConfig /etc/mime.types\n"
                    f"Listen 127.0.0.1:{self.port}\nStartServers 1\n"
                    "<Directory />\nRequire all denied\nAllowOverride None\n</Directory>\n"
                    "AddOutputFilterByType DEFLATE text/plain application/octet-stream "
                    "application/x-msdos-program\n"
                    f"Include {w}/site.conf\n")

    def command(self):
        return ["apache2", "-d", self.work, "-f", f"{self.work}/httpd.conf", "-DFOREGROUND"]


class CaddySite(Site):
    sample = "caddy/Caddyfile"

    def replacements(self):
        log = f"log {{\n\t\toutput file {self.work}/access.log\n\t}}\n\thandle /downloads"
        return super().replacements() + [("https://updates.example.com",
                                          f"https://localhost:{self.port}"),
                                         ("handle /downloads", log)]

    def write_configuration(self, text):
        # No admin endpoint, no listener on port 80 (the HTTP-to-HTTPS
        # redirects) and the state in the work folder.
        with open(f"{self.work}/Caddyfile", "w") as f:
            f.write("{\n\tadmin off\n\tauto_https disable_redirects\n"
                    f"\tstorage file_system {self.work}/data\n"
                    f"\tdefault_bind 127.0.0.1\n}}\n\n" + text)

    def command(self):
        return ["caddy", "run", "--adapter", "caddyfile", "--config", f"{self.work}/Caddyfile"]

    def environment(self):
        return dict(os.environ, HOME=self.work, XDG_DATA_HOME=f"{self.work}/data",
                    XDG_CONFIG_HOME=f"{self.work}/config")


SITES = {"apache": ApacheSite, "caddy": CaddySite}
