#!/usr/bin/env python3
"""Checks that the test update server scripts its answers as the tests expect."""

import http.client
import os
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from update_server import UpdateServer  # noqa: E402


def fetch(port, path, context=None):
    if context is None:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
    else:
        connection = http.client.HTTPSConnection("localhost", port, timeout=20, context=context)
    connection.request("GET", path)
    response = connection.getresponse()
    try:
        body, complete = response.read(), True
    except http.client.IncompleteRead as cut:
        body, complete = cut.partial, False
    connection.close()
    return response, body, complete


class ScriptedAnswers(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.root = self.folder.name
        self.body = bytes(range(256)) * 20  # 5120 bytes
        for name in ("plain.bin", "cut.bin", "slow.bin", "drip.bin", "gone.bin"):
            with open(os.path.join(self.root, name), "wb") as f:
                f.write(self.body)
        self.sidecar("cut.bin.cut", "")
        self.sidecar("slow.bin.slow", "0.1")
        self.sidecar("drip.bin.drip", "1000 0.1")
        self.sidecar("gone.bin.status", "410")
        self.sidecar("jump.status", "302")
        self.server = UpdateServer(self.root).start()

    def tearDown(self):
        self.server.stop()
        self.folder.cleanup()

    def sidecar(self, name, text):
        with open(os.path.join(self.root, name), "w") as f:
            f.write(text)

    def test_answers_follow_the_sidecar_files(self):
        rows = [
            # path, status, Location, body, complete
            ("/plain.bin", 200, None, self.body, True),
            ("/plain.bin?x=1", 200, None, self.body, True),
            ("/gone.bin", 410, None, self.body, True),
            ("/jump", 302, "/moved", b"status 302\n", True),
            ("/missing.bin", 404, None, b"not found\n", True),
            ("/../cut.bin.cut", 200, None, b"", True),
            ("/cut.bin", 200, None, self.body[:2560], False),
        ]
        for path, status, location, body, complete in rows:
            with self.subTest(path=path):
                response, got, whole = fetch(self.server.port, path)
                self.assertEqual(response.status, status)
                self.assertEqual(response.getheader("Location"), location)
                self.assertEqual(got, body)
                self.assertEqual(whole, complete)
                if path == "/cut.bin":
                    self.assertEqual(response.getheader("Content-Length"), str(len(self.body)))

    def test_slow_body_arrives_whole_in_paced_pieces(self):
        # five pieces of 1 KiB, four pauses of 0.1 s; six of 1000 bytes, five pauses
        for path, least in (("/slow.bin", 0.35), ("/drip.bin", 0.45)):
            with self.subTest(path=path):
                start = time.monotonic()
                response, got, whole = fetch(self.server.port, path)
                elapsed = time.monotonic() - start
                self.assertEqual((response.status, got, whole), (200, self.body, True))
                self.assertGreaterEqual(elapsed, least)

    def test_hook_runs_before_the_answer_is_read(self):
        seen = []

        def hook(path):
            seen.append(path)
            self.sidecar("plain.bin", "changed")

        with UpdateServer(self.root, before_answer=hook) as hooked:
            response, got, _ = fetch(hooked.port, "/plain.bin")
        self.assertEqual((response.status, got, seen), (200, b"changed", ["/plain.bin"]))

    def test_body_hook_runs_after_each_paced_piece(self):
        seen = []
        with UpdateServer(self.root, during_body=lambda *piece: seen.append(piece)) as hooked:
            for path in ("/drip.bin", "/plain.bin"):
                response, got, whole = fetch(hooked.port, path)
                self.assertEqual((response.status, got, whole), (200, self.body, True))
        sent = (1000, 2000, 3000, 4000, 5000, 5120)
        self.assertEqual(seen, [("/drip.bin", n, 5120) for n in sent])

    def test_every_request_path_is_logged_in_order(self):
        fetch(self.server.port, "/a")
        fetch(self.server.port, "/b/c?d")
        with open(os.path.join(self.root, "requests.log")) as f:
            self.assertEqual(f.read(), "/a\n/b/c?d\n")


class Wrapper(unittest.TestCase):
    def run_wrapped(self, root, script, assets=""):
        env = dict(os.environ, FWSTACK_ASSETS=assets)
        return subprocess.run(
            [sys.executable, os.path.join(HERE, "update_server.py"), "--root", root, "--",
             "sh", "-c", script], env=env, capture_output=True, text=True, timeout=60)

    def test_runs_the_command_with_the_ports_and_passes_its_exit_code(self):
        with tempfile.TemporaryDirectory() as folder:
            root = os.path.join(folder, "made")
            done = self.run_wrapped(
                root, 'echo "$FWSTACK_HTTP_PORT|$FWSTACK_HTTPS_PORT|$FWSTACK_SERVED"; exit 7')
            self.assertEqual(done.returncode, 7)
            port, https, served = done.stdout.strip().split("|")
            self.assertGreater(int(port), 0)
            self.assertEqual(https, "")
            self.assertEqual(served, root)
            self.assertTrue(os.path.isdir(root))

    def test_serves_https_with_the_assets_certificate(self):
        assets = os.environ.get("FWSTACK_ASSETS", "")
        ca = os.path.join(assets, "pki", "ca.crt")
        if not os.path.isfile(ca):
            self.skipTest("no test assets")
        with tempfile.TemporaryDirectory() as root:
            with open(os.path.join(root, "hello.txt"), "w") as f:
                f.write("hello\n")
            check = ("import http.client, os, ssl; "
                     "c = http.client.HTTPSConnection('localhost', int(os.environ['FWSTACK_HTTPS_PORT']), "
                     "context=ssl.create_default_context(cafile=%r)); "
                     "c.request('GET', '/hello.txt'); r = c.getresponse(); print(r.status, r.read())" % ca)
            done = self.run_wrapped(root, '"%s" -c "%s"' % (sys.executable, check), assets)
            self.assertEqual(done.stdout.strip(), "200 b'hello\\n'", done.stderr)

    def test_old_tls_server_speaks_that_version_alone(self):
        pki = os.path.join(os.environ.get("FWSTACK_ASSETS", ""), "pki")
        if not os.path.isfile(os.path.join(pki, "ca.crt")):
            self.skipTest("no test assets")
        tls = (os.path.join(pki, "localhost.crt"), os.path.join(pki, "localhost.key"))
        with tempfile.TemporaryDirectory() as root:
            with open(os.path.join(root, "hello.txt"), "w") as f:
                f.write("hello\n")
            for version in (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1):
                with self.subTest(version=version), \
                        UpdateServer(root, tls=tls, tls_version=version) as server:
                    modern = ssl.create_default_context(cafile=os.path.join(pki, "ca.crt"))
                    with self.assertRaises(ssl.SSLError):
                        fetch(server.port, "/hello.txt", modern)
                    old = ssl.create_default_context(cafile=os.path.join(pki, "ca.crt"))
                    old.set_ciphers("DEFAULT:@SECLEVEL=0")
                    old.minimum_version = ssl.TLSVersion.TLSv1
                    response, got, _ = fetch(server.port, "/hello.txt", old)
                    self.assertEqual((response.status, got), (200, b"hello\n"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
