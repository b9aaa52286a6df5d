# The publisher's pipeline end to end: a build signed through the build's
# signing settings, published with fwstack-publish into a folder that the real
# nginx serves with deploy/nginx/fwstack.conf, checked live, and installed by
# fwstack 0.0.2 under Wine; also signed from a key in a SoftHSM2 token. The
# test CA's CRL is served on its loopback address throughout.
import hashlib
import http.client
import os
import secrets
import shutil
import socket
import ssl
import subprocess
import sys
import threading
import time
import unittest

import e2e_support as e2e

sys.path.insert(0, os.path.join(e2e.SOURCE, "tests", "support"))
from nginx_site import NginxSite  # noqa: E402
from timestamp_server import TimestampServer, make_authority  # noqa: E402

TOOL = os.environ["FWSTACK_PUBLISH_TOOL"]
PKI = os.path.join(e2e.ASSETS, "pki")
CA = os.path.join(PKI, "ca.crt")
INFO = e2e.DOWNLOADS + "latest.txt"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tool(*args, env=None):
    result = subprocess.run([TOOL, *args], capture_output=True, timeout=120,
                            env=dict(os.environ, **env) if env else None)
    return result.returncode, (result.stdout + result.stderr).decode(errors="replace")


def build(tree, *settings, env=None, targets=("fwstack",)):
    """Configures and builds fwstack 0.0.3 (or targets) for the test server in
    tree; the last step's (exit code, output)."""
    common = ["-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DFWSTACK_TESTS=OFF",
              "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(e2e.SOURCE, "cmake",
                                                       "mingw-w64-x86_64.cmake"),
              "-DFWSTACK_VERSION=0.0.3", "-DFWSTACK_UPDATE_SERVER=" + e2e.HOST]
    for step in (["cmake", "-S", e2e.SOURCE, "-B", tree, *common, *settings],
                 ["cmake", "--build", tree, "--target", *targets]):
        result = subprocess.run(step, capture_output=True, timeout=600, stdin=subprocess.DEVNULL,
                                env=dict(os.environ, **env) if env else None)
        if result.returncode != 0:
            break
    return result.returncode, (result.stdout + result.stderr).decode(errors="replace")


def signed_build(work, timestamps):
    """fwstack 0.0.3 for the test server, and the engine's DLL, signed by the
    build itself: first from a PKCS#12 file with a password file, then from
    PEM files with a timestamp from the server at timestamps."""
    tree = os.path.join(e2e.BUILD, "signed-build")
    chain = os.path.join(work, "chain.pem")
    with open(chain, "wb") as f:
        f.write(e2e.read(os.path.join(PKI, "publisher.crt")) + e2e.read(CA))
    password = os.path.join(work, "password")
    e2e.write(password, b"correct horse\n")
    p12 = os.path.join(work, "publisher.p12")
    subprocess.run(["openssl", "pkcs12", "-export", "-in", chain, "-inkey",
                    os.path.join(PKI, "publisher.key"), "-out", p12, "-passout",
                    "file:" + password], check=True, capture_output=True)
    signings = [
        ["-DFWSTACK_SIGN_CERTS=", "-DFWSTACK_SIGN_KEY=", "-DFWSTACK_SIGN_PKCS12=" + p12,
         "-DFWSTACK_SIGN_PASSWORD_FILE=" + password, "-DFWSTACK_SIGN_TIMESTAMP="],
        ["-DFWSTACK_SIGN_PKCS12=", "-DFWSTACK_SIGN_PASSWORD_FILE=",
         "-DFWSTACK_SIGN_CERTS=" + chain, "-DFWSTACK_SIGN_KEY=" + os.path.join(PKI, "publisher.key"),
         "-DFWSTACK_SIGN_TIMESTAMP=" + timestamps],
    ]
    outputs = []
    for signing in signings:
        code, out = build(tree, *signing, targets=("fwstack", "fwstack_update_dll"))
        if code != 0:
            raise AssertionError(out)
        outputs.append((e2e.read(os.path.join(tree, "fwstack.exe")),
                        e2e.read(os.path.join(tree, "fwstack-unsigned.exe"))))
        dll = os.path.join(tree, "fwstack_update.dll")
        verified = subprocess.run(["osslsigncode", "verify", "-ignore-crl", "-CAfile", CA,
                                   "-TSA-CAfile", CA, "-in", dll], capture_output=True, text=True)
        if verified.returncode != 0 or not os.path.exists(
                os.path.join(tree, "fwstack_update-unsigned.dll")):
            raise AssertionError("the DLL is not signed as the program is:\n" + verified.stdout)
    return os.path.join(tree, "fwstack.exe"), outputs


class ReleasePipeline(e2e.E2ETestCase):

    def setUp(self):
        super().setUp()
        self.folder_served = self.served("")
        self.context = ssl.create_default_context(cafile=CA)
        self.redirect_port, self.cached_port = free_port(), free_port()
        # Besides the sample site: a server that redirects everything to it, and
        # one that serves the same folder without caching rules.
        cert, key = os.path.join(PKI, "localhost.crt"), os.path.join(PKI, "localhost.key")
        self.plain_root = os.path.join(self.folder, "plain")
        extra = (f"server {{ listen 127.0.0.1:{self.redirect_port} ssl; server_name localhost;\n"
                 f"  ssl_certificate {cert}; ssl_certificate_key {key};\n"
                 f"  location / {{ return 302 https://localhost:{e2e.PORT}$request_uri; }} }}\n"
                 f"server {{ listen 127.0.0.1:{self.cached_port} ssl; server_name localhost;\n"
                 f"  ssl_certificate {cert}; ssl_certificate_key {key}; root {self.plain_root}; }}\n")
        self.nginx = NginxSite(os.path.join(self.folder, "nginx"), self.root, e2e.PORT, cert, key,
                               extra).start()
        self.addCleanup(self.nginx.stop)
        self.serve_crl()

    def publish(self, release, *options, env=None):
        return tool("publish", "--ca", CA, *options, release, self.folder_served, e2e.DOWNLOADS,
                    env=env)

    def get(self, name, port=e2e.PORT):
        c = http.client.HTTPSConnection("localhost", port, context=self.context, timeout=30)
        try:
            c.request("GET", "/downloads/fwstack/" + name)
            r = c.getresponse()
            return r.status, r.read()
        finally:
            c.close()

    def test_a_signed_build_is_published_checked_and_installed_through_nginx(self):
        ca = (CA, os.path.join(PKI, "ca.key"))
        timestamps = TimestampServer(self.folder, {
            "trusted": make_authority(self.folder, "trusted", ca),
            "untrusted": make_authority(self.folder, "untrusted")}).start()
        self.addCleanup(timestamps.stop)
        program, outputs = signed_build(self.folder, timestamps.url + "trusted")
        for signed, unsigned in outputs:
            self.assertEqual(unsigned, e2e.read(e2e.variant("0.0.3")))  # linked bytes unchanged
            self.assertGreater(len(signed), len(unsigned))
        code, out = tool("verify", "--ca", CA, program)
        self.assertEqual((code, "timestamped" in out), (0, True), out)
        # A timestamp from an authority nobody trusts is refused.
        mistimed = os.path.join(self.folder, "mistimed.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", os.path.join(PKI, "publisher.crt"),
                        "-key", os.path.join(PKI, "publisher.key"), "-h", "sha256", "-ts",
                        timestamps.url + "untrusted", "-in", e2e.variant("0.0.3"), "-out",
                        mistimed], check=True, capture_output=True)
        code, out = tool("verify", "--ca", CA, mistimed)
        self.assertEqual((code, "timestamp that does not verify" in out), (1, True), out)

        code, out = self.publish(program)
        self.assertEqual(code, 0, out)
        code, out = tool("check", "--ca", CA, "--installed", "0.0.2", INFO)
        self.assertEqual(code, 0, out)
        self.assertIn("check passed: a client of 0.0.2 would update to 0.0.3", out)
        self.assertNotIn("warning", out)

        self.install(e2e.release("fwstack-0.0.2.exe"))
        self.assertEqual(self.run_program("update"), (0, b"fwstack updated to 0.0.3\n", b""))
        self.assertEqual(e2e.read(self.program), e2e.read(program))
        self.assertEqual(self.run_program("--version"), (0, b"fwstack 0.0.3\n", b""))
        log = self.nginx.requests()
        for name in ("latest.txt", "fwstack-0.0.3.exe"):
            self.assertRegex(log, f'"GET /downloads/fwstack/{name} HTTP/1.1" 200 .*"Ferrowstack"')

    def test_a_build_signed_from_a_pkcs11_token_verifies_and_updates(self):
        # A SoftHSM2 token of its own, holding the publisher's key.
        token = os.path.join(self.folder, "token")
        os.makedirs(token)
        env = {"SOFTHSM2_CONF": os.path.join(self.folder, "softhsm2.conf")}
        e2e.write(env["SOFTHSM2_CONF"], f"directories.tokendir = {token}\n".encode())
        pin = "pin-" + secrets.token_hex(8)
        key = os.path.join(self.folder, "key.p8")
        for step in (["softhsm2-util", "--init-token", "--free", "--label", "publisher", "--pin",
                      pin, "--so-pin", secrets.token_hex(8)],
                     ["openssl", "pkcs8", "-topk8", "-nocrypt", "-in",
                      os.path.join(PKI, "publisher.key"), "-out", key],
                     ["softhsm2-util", "--import", key, "--token", "publisher", "--label",
                      "signkey", "--id", "01", "--pin", pin]):
            subprocess.run(step, check=True, capture_output=True, env=dict(os.environ, **env))
        os.unlink(key)
        chain = os.path.join(self.folder, "chain.pem")
        e2e.write(chain, e2e.read(os.path.join(PKI, "publisher.crt")) + e2e.read(CA))
        pins = {"wrong": "pin-" + secrets.token_hex(8), "right": pin}
        for name, text in pins.items():
            e2e.write(os.path.join(self.folder, name), text.encode() + b"\n")
        tree = os.path.join(e2e.BUILD, "pkcs11-build")
        shutil.rmtree(tree, ignore_errors=True)
        program = os.path.join(tree, "fwstack.exe")
        module = subprocess.run(["dpkg", "-L", "libsofthsm2"], capture_output=True,
                                text=True).stdout.split()
        signing = ["-DFWSTACK_SIGN_PKCS11_MODULE=" + next(
                       p for p in module if p.endswith("/softhsm/libsofthsm2.so")),
                   "-DFWSTACK_SIGN_KEY=pkcs11:token=publisher;object=signkey;type=private",
                   "-DFWSTACK_SIGN_CERTS=" + chain]
        for name, wanted in (("wrong", 1), ("right", 0)):
            with self.subTest(f"the {name} PIN"):
                code, out = build(tree, *signing, "-DFWSTACK_SIGN_PASSWORD_FILE=" +
                                  os.path.join(self.folder, name), env=env)
                self.assertEqual((code, os.path.exists(program)), (wanted, wanted == 0), out)
                self.assertNotIn(pins[name], out)
        for here, _, files in os.walk(tree):
            for name in files:
                data = e2e.read(os.path.join(here, name))
                for text in pins.values():
                    self.assertNotIn(text.encode(), data, os.path.join(here, name))

        code, out = tool("verify", "--ca", CA, program)
        self.assertEqual(code, 0, out)
        self.assertIn("not revoked (CRL of \"fwstack Test Root CA\" fetched from", out)
        self.assertEqual(self.publish(program)[0], 0)
        self.install(e2e.release("fwstack-0.0.2.exe"))
        self.assertEqual(self.run_program("update"), (0, b"fwstack updated to 0.0.3\n", b""))
        self.assertEqual(e2e.read(self.program), e2e.read(program))

    def test_refusals_leave_the_served_document_whole(self):
        self.assertEqual(self.publish(e2e.release("fwstack-0.0.3.exe"))[0], 0)
        document = self.get("latest.txt")
        refusals = [
            ("unsigned", e2e.release("fwstack-0.0.3-unsigned.exe"), {}, 1),
            ("signed by another publisher", e2e.release("fwstack-0.0.3-other.exe"), {}, 1),
            ("the announced version again", e2e.release("fwstack-0.0.3.exe"), {}, 1),
            ("an older version", e2e.release("fwstack-0.0.1.exe"), {}, 1),
            ("a crash after the copy", e2e.release("fwstack-0.0.4.exe"),
             {"FWSTACK_PUBLISH_STOP_BEFORE_DOCUMENT": "1"}, -6),
        ]
        for name, release, env, wanted in refusals:
            with self.subTest(name):
                code, out = self.publish(release, env=env)
                self.assertEqual(code, wanted, out)
                self.assertEqual(self.get("latest.txt"), document)
        self.assertEqual(self.get("fwstack-0.0.4.exe"), (200, e2e.read(e2e.release(
            "fwstack-0.0.4.exe"))))  # copied before the crash, not announced

    def test_check_reports_what_a_client_would_meet(self):
        self.assertEqual(self.publish(e2e.release("fwstack-0.0.3.exe"))[0], 0)
        plain = f"https://localhost:{self.cached_port}/downloads/fwstack/"
        plain_folder = os.path.join(self.plain_root, "downloads", "fwstack")
        os.makedirs(plain_folder)
        self.assertEqual(tool("publish", "--ca", CA, e2e.release("fwstack-0.0.3.exe"),
                              plain_folder, plain)[0], 0)
        redirected = f"https://localhost:{self.redirect_port}/downloads/fwstack/latest.txt"
        cases = [
            ("installed 0.0.2", [INFO], "0.0.2", 0, "would update to 0.0.3"),
            ("up to date", [INFO], "0.0.3", 0, "would be up to date"),
            ("a server that redirects", [redirected], "0.0.2", 1, "follows no redirect"),
            ("a document without caching rules", [plain + "latest.txt"], "0.0.2", 0,
             "warning: the document may be cached"),
            ("a release without a timestamp", [INFO], "0.0.2", 0,
             "warning: the release on the server has no timestamp: clients accept"),
            ("the same with --require-timestamp", ["--require-timestamp", INFO], "0.0.2", 1,
             "has no timestamp"),
        ]
        for name, address, installed, wanted, text in cases:
            with self.subTest(name):
                code, out = tool("check", "--ca", CA, "--installed", installed, *address)
                self.assertEqual(code, wanted, out)
                self.assertIn(text, out)
        # What a server may hold by mistake: (document, file name, file bytes).
        old, new = e2e.read(e2e.release("fwstack-0.0.3.exe")), e2e.read(e2e.release(
            "fwstack-0.0.4.exe"))
        unsigned = e2e.read(e2e.release("fwstack-0.0.3-unsigned.exe"))
        revoked = e2e.read(e2e.release("fwstack-0.0.3-revoked.exe"))
        name = "fwstack-0.0.3.exe"
        served = [
            ("the release missing", e2e.document("0.0.3", name, old), None, None, "status 404"),
            ("another file under the name", e2e.document("0.0.3", name, old), name, new,
             "SHA-256 differs"),
            ("another version announced", e2e.document("0.0.3", name, new), name, new,
             "is version 0.0.4 but the document announces 0.0.3"),
            ("an unsigned release", e2e.document("0.0.3", name, unsigned), name, unsigned,
             "no valid Authenticode"),
            ("a release by a revoked certificate", e2e.document("0.0.3", name, revoked), name,
             revoked, "is revoked: \"fwstack Test Root CA\" revoked it on"),
            ("a release on another port", e2e.document(
                "0.0.3", name, old, f"https://localhost:{self.cached_port}/x/{name}"), None, None,
             "not on the scheme, host and port"),
            ("a malformed document", b"fwstack-latest 1\nversion 0.0.3\n", None, None,
             "not one a client accepts"),
        ]
        for case, document, file_name, data, text in served:
            with self.subTest(case):
                for leftover in os.listdir(self.folder_served):
                    os.unlink(os.path.join(self.folder_served, leftover))
                e2e.write(self.served("latest.txt"), document)
                if file_name:
                    e2e.write(self.served(file_name), data)
                code, out = tool("check", "--ca", CA, INFO)
                self.assertEqual(code, 1, out)
                self.assertIn(text, out)
        code, out = tool("check", "--ca", CA, f"https://localhost:{free_port()}/latest.txt")
        self.assertEqual(code, 1, out)
        self.assertIn("cannot fetch the document", out)

    def test_readers_meet_whole_documents_whose_release_is_served(self):
        releases = {v: e2e.read(e2e.release(f"fwstack-{v}.exe")) for v in ("0.0.3", "0.0.4")}
        documents = {e2e.document(v, f"fwstack-{v}.exe", data): v for v, data in releases.items()}
        self.assertEqual(self.publish(e2e.release("fwstack-0.0.3.exe"))[0], 0)
        stop = threading.Event()
        seen, problems = [], []

        def reader():
            connection = [None]

            def get(name):  # over one kept-alive connection, so reads come fast
                for _ in range(2):
                    if connection[0] is None:
                        connection[0] = http.client.HTTPSConnection(
                            "localhost", e2e.PORT, context=self.context, timeout=30)
                    try:
                        connection[0].request("GET", "/downloads/fwstack/" + name)
                        r = connection[0].getresponse()
                        return r.status, r.read()
                    except (http.client.HTTPException, OSError):
                        connection[0].close()
                        connection[0] = None
                return 0, b""

            while not stop.is_set():
                status, body = get("latest.txt")
                version = documents.get(body)
                if status != 200 or version is None:
                    problems.append(f"document {status} {body!r}")
                    continue
                status, data = get(f"fwstack-{version}.exe")
                if status == 200 and data == releases[version]:
                    seen.append(version)
                # Gone only after the document moved on: then it is no fault.
                elif documents.get(get("latest.txt")[1]) == version:
                    problems.append(f"{version} announced, its release {status}")
            connection[0] and connection[0].close()

        readers = [threading.Thread(target=reader) for _ in range(4)]
        for r in readers:
            r.start()
        try:
            # Each version's file is removed while the other is announced, so
            # every publish puts a release in place that was not there.
            for _ in range(10):
                for version, other, options in (("0.0.4", "0.0.3", []),
                                                 ("0.0.3", "0.0.4", ["--force"])):
                    if os.path.exists(self.served(f"fwstack-{version}.exe")):
                        os.unlink(self.served(f"fwstack-{version}.exe"))
                    time.sleep(0.05)
                    code, out = self.publish(e2e.release(f"fwstack-{version}.exe"), *options)
                    self.assertEqual(code, 0, out)
                    time.sleep(0.05)
        finally:
            stop.set()
            for r in readers:
                r.join()
        self.assertEqual(problems, [])
        self.assertEqual(set(seen), {"0.0.3", "0.0.4"})
        print(f"readers: {len(seen)} whole documents with their release, 20 publishes")


if __name__ == "__main__":
    unittest.main()
