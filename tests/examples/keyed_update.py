# The C example built with the publisher's own key: documents published and
# refreshed with fwstack-publish --key into the nginx sample site, then under
# Wine a keyed 1.0.0 refuses a replayed document whose expiry has passed and
# one signed by another key, which one trusting both keys takes, and updates
# from a freshly signed one; a 1.0.1
# without Authenticode updates a keyed 1.0.0 built with
# FWSTACK_ALLOW_UNSIGNED_RELEASE, and not one built without it.
import datetime
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e_support as e2e  # noqa: E402

sys.path.insert(0, os.path.join(e2e.SOURCE, "tests", "support"))
sys.path.insert(0, os.path.join(e2e.SOURCE, "tests", "tools"))
from nginx_site import NginxSite  # noqa: E402
from example_builds import CA, PKI, TREES, build_example, run  # noqa: E402
from publish_test import sign_apart, split_tail, verifies  # noqa: E402

PROGRAM = "hello-c"
IDENTITY = ["--program", PROGRAM, "--publisher", "Example Tools Ltd.", "--product", "Hello C"]
TOOL = os.environ["FWSTACK_PUBLISH_TOOL"]
DOWNLOADS = "https://%s/downloads/%s/" % (e2e.HOST, PROGRAM)
ALLOW_UNSIGNED_RELEASE = 16


def failed(message):
    return (1, b"", ("%s update failed: %s\n" % (PROGRAM, message)).encode())


class KeyedExampleUpdates(e2e.E2ETestCase):

    def setUp(self):
        super().setUp()
        started = time.monotonic()
        prefix = os.path.join(self.folder, "prefix")
        run("cmake", "--install", e2e.BUILD, "--prefix", prefix)
        self.keys = {}
        for name in ("a", "b"):
            out = run(TOOL, "keygen", os.path.join(self.folder, name + ".pem"))
            self.keys[name] = out.split()[-1]
        chain = os.path.join(self.folder, "chain.pem")
        e2e.write(chain, e2e.read(os.path.join(PKI, "example.crt")) + e2e.read(CA))
        key = ["-DHELLO_PUBLISHER_KEY=" + self.keys["a"]]

        def build(version, chain, options, tag, more=()):
            tree = build_example("c", prefix, version, chain, DOWNLOADS,
                                 key + ["-DHELLO_OPTIONS=%d" % options, *more], "-keyed" + tag)
            return os.path.join(tree, PROGRAM + ".exe")
        self.keyed = build("1.0.0", chain, 0, "")
        self.keyed_unsigned_ok = build("1.0.0", chain, ALLOW_UNSIGNED_RELEASE, "-allow")
        # The release that moves to key b: it trusts a and b.
        self.both_keys = build("1.0.0", chain, 0, "-both",
                               ["-DHELLO_SECOND_PUBLISHER_KEY=" + self.keys["b"]])
        self.unsigned = build("1.0.1", None, 0, "")
        self.signed = os.path.join(TREES, "signed", PROGRAM + ".exe")
        os.makedirs(os.path.dirname(self.signed), exist_ok=True)
        run("osslsigncode", "sign", "-certs", chain, "-key", os.path.join(PKI, "example.key"),
            "-h", "sha256", "-n", "Hello C", "-in", self.unsigned, "-out", self.signed + ".tmp")
        os.replace(self.signed + ".tmp", self.signed)
        print("keyed: install and four builds took %.1f s" % (time.monotonic() - started),
              file=sys.stderr)
        cert, key_file = os.path.join(PKI, "localhost.crt"), os.path.join(PKI, "localhost.key")
        changes = [("/downloads/fwstack/", "/downloads/%s/" % PROGRAM),
                   ("fwstack-[0-9]", PROGRAM + "-[0-9]")]
        self.nginx = NginxSite(os.path.join(self.folder, "nginx"), self.root, e2e.PORT, cert,
                               key_file, changes=changes).start()
        self.addCleanup(self.nginx.stop)
        self.serve_crl()

    def update(self, program):
        """A fresh copy of program updating; (exit code, output, errors)."""
        shutil.rmtree(self.program_dir)
        os.makedirs(self.program_dir)
        self.program = os.path.join(self.program_dir, PROGRAM + ".exe")
        shutil.copyfile(program, self.program)
        code, out, err = self.run_program("update")
        return code, out.replace(b"\r\n", b"\n"), err.replace(b"\r\n", b"\n")

    def test_keyed_host(self):
        served = os.path.join(self.root, "downloads", PROGRAM)
        os.makedirs(served)
        latest = os.path.join(served, "latest.txt")
        key_a, key_b = (os.path.join(self.folder, n + ".pem") for n in ("a", "b"))
        run(TOOL, "publish", "--ca", CA, *IDENTITY, "--key", key_a, self.signed, served, DOWNLOADS)
        run(TOOL, "check", "--ca", CA, *IDENTITY, "--key", self.keys["a"], "--installed", "1.0.0",
            DOWNLOADS + "latest.txt")
        five = split_tail(e2e.read(latest))[0]

        def replayed_expired():
            e2e.write(latest, sign_apart(five, "2026-01-01T00:00:00Z", key_a))

        def signed_by(key, *options):
            return lambda: run(TOOL, "refresh", *IDENTITY, "--force", "--key", key, *options,
                               served)

        def unsigned_release():
            run(TOOL, "publish", "--ca", CA, *IDENTITY, "--force", "--key", key_a,
                "--allow-unsigned-release", self.unsigned, served, DOWNLOADS)
            # The live check judges the release as the two kinds of keyed host do.
            for option, code in (([], 1), (["--allow-unsigned-release"], 0)):
                checked = subprocess.run([TOOL, "check", "--ca", CA, *IDENTITY, "--key",
                                          self.keys["a"], *option, DOWNLOADS + "latest.txt"],
                                         capture_output=True)
                self.assertEqual(checked.returncode, code, checked.stderr)
        updated = (0, ("%s updated to 1.0.1\n" % PROGRAM).encode(), b"")
        # (case, what the server gets, the program, what its update reports)
        rows = [
            ("a document without the signed tail", lambda: e2e.write(latest, five), self.keyed,
             failed("the update information is not signed by the publisher")),
            ("an old document past its expiry", replayed_expired, self.keyed,
             failed("the update information has expired")),
            ("signed by another key", signed_by(key_b), self.keyed,
             failed("the update information is not signed by the publisher")),
            ("signed by the second key it trusts", lambda: None, self.both_keys, updated),
            ("signed anew by the key", signed_by(key_a, "--expires", "2d"), self.keyed, updated),
            ("a release without Authenticode", unsigned_release, self.keyed,
             failed("the download is not signed")),
            ("the same with FWSTACK_ALLOW_UNSIGNED_RELEASE", lambda: None, self.keyed_unsigned_ok,
             updated),
        ]
        for case, arrange, program, expected in rows:
            with self.subTest(case):
                arrange()
                self.assertEqual(self.update(program), expected)
                if expected == updated:
                    self.assertTrue(verifies(e2e.read(latest), self.keys["a"]) or
                                    (program is self.both_keys and
                                     verifies(e2e.read(latest), self.keys["b"])))
                    self.assertEqual(e2e.read(self.program),
                                     e2e.read(self.unsigned if program is self.keyed_unsigned_ok
                                              else self.signed))
                else:
                    self.assertEqual(e2e.read(self.program), e2e.read(program))
                    self.assertEqual(self.folder_files(), [PROGRAM + ".exe"])


if __name__ == "__main__":
    unittest.main()
