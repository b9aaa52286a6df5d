#!/usr/bin/env python3
"""deploy/nginx/fwstack.conf under the real nginx on a loopback port: the
document and the releases with their types and caching, no redirects and no
compression under the downloads folder; and what fwstack-publish check says
of the site's TLS."""
import http.client
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from nginx_site import NginxSite  # noqa: E402


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
        folder = f"{d}/www/downloads/fwstack"
        os.makedirs(f"{folder}/sub")
        cls.files = {"latest.txt": b"fwstack-latest 1\n" * 40,
                     "fwstack-0.0.3.exe": b"MZ" + b"\0" * 20000}
        for name, data in cls.files.items():
            open(f"{folder}/{name}", "wb").write(data)
        cls.nginx = NginxSite(d, f"{d}/www", cls.port, f"{d}/c.pem", f"{d}/k.pem").start()
        cls.context = ssl.create_default_context(cafile=f"{d}/c.pem")

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()
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
            ("fwstack-0.0.9.exe", 404, None, None),  # not published yet: nothing may keep it
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


    def test_check_speaks_tls_as_a_client_does(self):
        """A server the clients on Windows 10 cannot reach (TLS 1.3 only) and a
        certificate this machine does not trust each fail with their cause and
        fix; the sample site's versions are named."""
        only13 = tempfile.mkdtemp(dir=self.dir)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port13 = s.getsockname()[1]
        site13 = NginxSite(only13, f"{self.dir}/www", port13, f"{self.dir}/c.pem",
                           f"{self.dir}/k.pem",
                           changes=[("ssl_protocols TLSv1.2 TLSv1.3;",
                                     "ssl_protocols TLSv1.3;")]).start()
        try:
            rows = [
                (self.port, ["--ca", f"{self.dir}/c.pem"],
                 [b"TLS: the server accepts TLS 1.2, TLS 1.3"], b"is not one a client accepts"),
                (port13, ["--ca", f"{self.dir}/c.pem"],
                 [b"TLS: the server accepts TLS 1.3", b"completes no TLS 1.2 handshake",
                  b"enable TLS 1.2 beside TLS 1.3"], b"TLS 1.3 only from Windows 11"),
                (self.port, [], [], b"give that root with --ca FILE"),
            ]
            for port, ca, lines, cause in rows:
                with self.subTest(port=port, ca=bool(ca)):
                    address = f"https://localhost:{port}/downloads/fwstack/latest.txt"
                    r = subprocess.run([TOOL, "check", *ca, address], capture_output=True,
                                       timeout=60)
                    out = r.stdout + r.stderr
                    self.assertEqual(r.returncode, 1, out)
                    for line in lines + [cause]:
                        self.assertIn(line, out)
        finally:
            site13.stop()


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main()
