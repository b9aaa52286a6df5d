# One sample site of deploy/ (apache or caddy, the argument) under the real
# server on the end-to-end port, run unprivileged from a wrapper configuration:
# the answers its rules fix, a release published with fwstack-publish and
# checked live, and fwstack 0.0.2 under Wine updating itself from it.
import http.client
import os
import ssl
import sys
import tempfile
import unittest

import e2e_support as e2e
from server_sites import SITES
from test_release_pipeline import CA, INFO, PKI, tool

TRUST = ["--ca", CA, "--crl", os.path.join(PKI, "ca.crl")]
IMMUTABLE = "public, max-age=31536000, immutable"


class ServerSample(e2e.E2ETestCase):
    # The server may run as another user, who must reach the folder even
    # when the tree lies under a private folder (a clone in /root).
    folder_base = tempfile.gettempdir()

    def get(self, name):
        context = ssl.create_default_context(cafile=CA)
        c = http.client.HTTPSConnection("localhost", e2e.PORT, context=context, timeout=30)
        try:
            c.request("GET", "/downloads/fwstack/" + name, headers={"Accept-Encoding": "gzip, br"})
            r = c.getresponse()
            return r, r.read()
        finally:
            c.close()

    def test_publish_check_and_update(self):
        os.chmod(self.folder, 0o755)
        # A folder with an index page: its address without the slash is
        # answered, never redirected to add it.
        e2e.write(self.served("folder/index.html"), b"<p>index</p>\n")
        site = SITES[SERVER](os.path.join(self.folder, SERVER), self.root, e2e.PORT,
                             os.path.join(PKI, "localhost.crt"),
                             os.path.join(PKI, "localhost.key")).start()
        self.addCleanup(site.stop)
        release = e2e.read(e2e.release("fwstack-0.0.3.exe"))
        code, out = tool("publish", *TRUST, e2e.release("fwstack-0.0.3.exe"), self.served(""),
                         e2e.DOWNLOADS)
        self.assertEqual(code, 0, out)
        code, out = tool("check", *TRUST, "--installed", "0.0.2", INFO)
        self.assertEqual(code, 0, out + site.errors())
        for line in ("TLS: the server accepts TLS 1.2, TLS 1.3;",
                     "check passed: a client of 0.0.2 would update to 0.0.3"):
            self.assertIn(line, out)
        # The test releases carry no timestamp; no other warning is due.
        warnings = [line for line in out.splitlines() if line.startswith("warning:")]
        self.assertEqual([w for w in warnings if "has no timestamp" not in w], [], out)

        # (name, status or None for any, body, Cache-Control): never a
        # redirect, never compressed though the request offers it.
        answers = [
            ("latest.txt", 200, e2e.read(self.served("latest.txt")), "no-cache"),
            ("fwstack-0.0.3.exe", 200, release, IMMUTABLE),
            ("fwstack-0.0.9.exe", 404, None, None),  # not published yet: nothing may keep it
            ("folder", None, None, None),
            ("", 404, None, None),
            ("latest.txt/", 404, None, None),
        ]
        for name, status, body, cache in answers:
            with self.subTest(name):
                r, data = self.get(name)
                self.assertEqual((r.status if status else None, r.getheader("Location"),
                                  r.getheader("Content-Encoding")), (status, None, None))
                self.assertNotEqual(r.status // 100, 3)
                if body is not None:
                    self.assertEqual((data, r.getheader("Cache-Control")), (body, cache))
                elif name.endswith(".exe"):
                    self.assertIsNone(r.getheader("Cache-Control"))

        self.install(e2e.release("fwstack-0.0.2.exe"))
        self.assertEqual(self.run_program("update"), (0, b"fwstack updated to 0.0.3\n", b""))
        self.assertEqual(e2e.read(self.program), release)
        self.assertEqual(self.run_program("--version"), (0, b"fwstack 0.0.3\n", b""))
        log = site.requests()
        for name in ("latest.txt", "fwstack-0.0.3.exe"):
            self.assertRegex(log, f"/downloads/fwstack/{name}.*Ferrowstack")


if __name__ == "__main__":
    SERVER = sys.argv.pop(1)
    unittest.main()
