# The update server behind a caching edge: the origin site and the edge site
# (deploy/nginx/) as two nginx processes on two loopback ports; releases are
# published at the origin, and the clients (fwstack under Wine, and check)
# talk only to the edge.
import http.client
import os
import re
import ssl
import unittest

import e2e_support as e2e
from nginx_site import EdgeSite, NginxSite
from test_release_pipeline import CA, INFO, PKI, free_port, tool

CERT, KEY = os.path.join(PKI, "localhost.crt"), os.path.join(PKI, "localhost.key")
# An edge set up wrongly: it keeps the document for five minutes whatever the
# origin's Cache-Control says (and passes that header on unchanged).
KEEPS_THE_DOCUMENT = [(
    "location = /downloads/fwstack/latest.txt {\n"
    "            proxy_pass https://fwstack_origin;\n"
    "            proxy_cache off;",
    "location = /downloads/fwstack/latest.txt {\n"
    "            proxy_pass https://fwstack_origin;\n"
    "            proxy_cache fwstack; proxy_ignore_headers Cache-Control Expires;\n"
    "            proxy_cache_valid 200 5m;")]


def release_tool(command, *args):
    """Every publish and check of this test (both verify the release they meet,
    against the test CA's CRL given offline)."""
    return tool(command, "--ca", CA, "--crl", os.path.join(PKI, "ca.crl"), *args)


def check(*args):
    """check against the document's address at the edge."""
    return release_tool("check", *args, INFO)


class CdnEdge(e2e.E2ETestCase):

    def setUp(self):
        super().setUp()
        self.folder_served = self.served("")
        self.origin_port = free_port()
        self.origin = NginxSite(os.path.join(self.folder, "origin"), self.root, self.origin_port,
                                CERT, KEY).start()
        self.addCleanup(self.origin.stop)
        self.context = ssl.create_default_context(cafile=CA)

    def start_edge(self, changes=()):
        self.edge = EdgeSite(os.path.join(self.folder, "edge"), e2e.PORT, CERT, KEY,
                             self.origin_port, CA, changes).start()
        self.addCleanup(self.edge.stop)

    def publish(self, version, *options):
        code, out = release_tool("publish", *options, e2e.release(f"fwstack-{version}.exe"),
                                 self.folder_served, e2e.DOWNLOADS)
        self.assertEqual(code, 0, out)

    def get(self, name, headers=None):
        """(status, bytes, X-Cache-Status) of a GET through the edge."""
        c = http.client.HTTPSConnection("localhost", e2e.PORT, context=self.context, timeout=30)
        try:
            c.request("GET", "/downloads/fwstack/" + name, headers=headers or {})
            r = c.getresponse()
            return r.status, r.read(), r.getheader("X-Cache-Status")
        finally:
            c.close()

    def test_clients_of_the_edge_meet_each_publish_at_once(self):
        self.start_edge()
        release = {v: e2e.read(e2e.release(f"fwstack-{v}.exe")) for v in ("0.0.3", "0.0.4")}
        self.assertEqual(self.get("fwstack-0.0.4.exe")[0], 404)  # asked for before publishing
        self.publish("0.0.3")
        for client in ("first", "second"):
            with self.subTest(client):
                self.install(e2e.release("fwstack-0.0.2.exe"),
                             os.path.join(self.folder, client))
                self.assertEqual(self.run_program("update"),
                                 (0, b"fwstack updated to 0.0.3\n", b""))
                self.assertEqual(e2e.read(self.program), release["0.0.3"])
        lines = [line for line in self.edge.requests().splitlines() if "Ferrowstack" in line]
        seen = [(re.search(r"GET /downloads/fwstack/(\S+)", line)[1],
                 re.search(r"cache=(\S+) origin=(\S+)", line).groups()) for line in lines]
        document, stored = ("latest.txt", ("-", "200")), ("fwstack-0.0.3.exe", ("HIT", "-"))
        self.assertEqual(seen, [document, ("fwstack-0.0.3.exe", ("MISS", "200")), document,
                                stored], self.edge.requests())

        # Publishes in a row, a rollback among them: each one is what the
        # next request through the edge meets, and check passes through it.
        for version, installed, options in (("0.0.4", "0.0.3", []), ("0.0.3", "0.0.2",
                                                                     ["--force"])):
            with self.subTest(version):
                self.publish(version, *options)
                self.assertEqual(self.get("latest.txt")[1], e2e.read(self.served("latest.txt")))
                self.assertEqual(self.get(f"fwstack-{version}.exe", {"Range": "bytes=0-99"})[:2],
                                 (206, release[version][:100]))
                self.assertEqual(self.get(f"fwstack-{version}.exe")[:2], (200, release[version]))
                code, out = check("--installed", installed)
                self.assertEqual(code, 0, out)
                self.assertIn(f"would update to {version}", out)
                self.assertIn("the same document, so no cache holds an old one", out)
                self.assertNotIn("warning: the document may be cached", out)
        self.assertEqual(self.get("fwstack-0.0.4.exe")[2], "HIT")
        # Every document request through the edge reached the origin; each
        # release was fetched from it once, whole, though a range came first.
        origin = self.origin.requests()
        self.assertEqual(origin.count("GET /downloads/fwstack/latest.txt"),
                         self.edge.requests().count("GET /downloads/fwstack/latest.txt"))
        for version, data in release.items():
            self.assertEqual(len(re.findall(f"GET /downloads/fwstack/fwstack-{version}.exe "
                                            f'HTTP/1.1" 200 {len(data)} ', origin)), 1, origin)

    def test_check_fails_through_an_edge_that_keeps_the_document(self):
        self.start_edge(KEEPS_THE_DOCUMENT)
        self.publish("0.0.3")
        code, out = check("--installed", "0.0.2")
        self.assertEqual(code, 0, out)  # nothing old is kept yet
        self.assertIn("Cache-Control: no-cache", out)  # passed on: the header shows nothing
        self.publish("0.0.4")
        kept = self.get("latest.txt")[1]
        self.assertIn(b"version 0.0.3\n", kept)
        code, out = check("--installed", "0.0.2")
        self.assertEqual(code, 1, out)
        self.assertIn("a cache in front of the server holds an old document", out)


if __name__ == "__main__":
    unittest.main()
