#!/usr/bin/env python3
"""deploy/nginx/fwstack.conf under the real nginx on a loopback port: the
document and the releases with their types and caching, no redirects and no
compression under the downloads folder."""
import http.client
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SITE = os.path.join(HERE, "..", "..", "deploy", "nginx", "fwstack.conf")


class NginxSiteTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        d = cls.dir
        os.chmod(d, 0o755)  # the workers may run as another user
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        f"{d}/k.pem", "-out", f"{d}/c.pem", "-subj", "/CN=localhost", "-addext",
                        "subjectAltName=DNS:localhost", "-days", "2"],
                       check=True, capture_output=True)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            cls.port = s.getsockname()[1]
        site = open(SITE).read()
        for old, new in [("listen 443 ssl;", f"listen 127.0.0.1:{cls.port} ssl;"),
                         ("listen [::]:443 ssl;", ""),
                         ("/etc/ssl/certs/updates.example.com.crt", f"{d}/c.pem"),
                         ("/etc/ssl/private/updates.example.com.key", f"{d}/k.pem"),
                         ("/srv/www", f"{d}/www"), ("updates.example.com", "localhost")]:
            assert old in site, old
            site = site.replace(old, new)
        os.makedirs(f"{d}/logs")
        folder = f"{d}/www/downloads/fwstack"
        os.makedirs(f"{folder}/sub")
        cls.files = {"latest.txt": b"fwstack-latest 1\n" * 40,
                     "fwstack-0.0.3.exe": b"MZ" + b"\0" * 20000}
        for name, data in cls.files.items():
            open(f"{folder}/{name}", "wb").write(data)
        open(f"{d}/site.conf", "w").write(site)
        # gzip on for everything else, as a typical server has it.
        open(f"{d}/nginx.conf", "w").write(
            f"daemon off; pid {d}/nginx.pid; error_log {d}/logs/error.log; worker_processes 1;\n"
            f"events {{}}\nhttp {{ access_log off; include /etc/nginx/mime.types; gzip on;\n"
            f"gzip_types *; gzip_min_length 1; client_body_temp_path {d}/t;\n"
            f"include {d}/site.conf; }}\n")
        cls.nginx = subprocess.Popen(["nginx", "-p", d, "-c", f"{d}/nginx.conf"])
        cls.context = ssl.create_default_context(cafile=f"{d}/c.pem")
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        cls.nginx.terminate()
        cls.nginx.wait(timeout=10)
        shutil.rmtree(cls.dir, ignore_errors=True)

    def get(self, path):
        c = http.client.HTTPSConnection("localhost", self.port, context=self.context,
                                        timeout=10)
        c.request("GET", "/downloads/fwstack/" + path, headers={"Accept-Encoding": "gzip"})
        r = c.getresponse()
        body = r.read()
        c.close()
        return r, body

    def test_answers_under_the_downloads_folder(self):
        cases = [
            ("latest.txt", 200, "text/plain", "no-cache"),
            ("fwstack-0.0.3.exe", 200, "application/octet-stream",
             "public, max-age=31536000, immutable"),
            ("sub", 404, None, None),
            ("", 404, None, None),
            ("missing.exe", 404, None, None),
        ]
        for path, status, content_type, cache in cases:
            with self.subTest(path):
                r, body = self.get(path)
                self.assertEqual(r.status, status)
                self.assertIsNone(r.getheader("Location"))
                self.assertIsNone(r.getheader("Content-Encoding"))
                if status == 200:
                    self.assertEqual(body, self.files[path])
                    self.assertEqual(r.getheader("Content-Type"), content_type)
                    self.assertEqual(r.getheader("Cache-Control"), cache)


if __name__ == "__main__":
    if len(sys.argv) == 2:
        sys.argv.pop(1)  # the tool's path, given to every tool test; not used here
    unittest.main()
