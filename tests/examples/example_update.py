# One example program (examples/<language>) as a user meets it: the engine's
# package installed into a prefix, the example configured against it alone,
# built as 1.0.0 and 1.0.1 signed by a second publisher, 1.0.1 published with
# fwstack-publish into the nginx sample site, then 1.0.0 updating itself under
# Wine.   example_update.py c|cpp|rust|msvc
import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e_support as e2e  # noqa: E402

sys.path.insert(0, os.path.join(e2e.SOURCE, "tests", "support"))
from nginx_site import NginxSite  # noqa: E402
from example_builds import CA, PKI, install_and_build, run  # noqa: E402

LANGUAGE = sys.argv.pop(1) if len(sys.argv) > 1 else "c"
PROGRAM = "hello-" + LANGUAGE
PRODUCT = {"c": "Hello C", "cpp": "Hello C++", "rust": "Hello Rust",
           "msvc": "Hello MSVC"}[LANGUAGE]
PUBLISHER = "Example Tools Ltd."
TOOL = os.environ["FWSTACK_PUBLISH_TOOL"]
DOWNLOADS = "https://%s/downloads/%s/" % (e2e.HOST, PROGRAM)


class ExampleUpdatesItself(e2e.E2ETestCase):

    def setUp(self):
        super().setUp()
        self.old, self.new = install_and_build(self, LANGUAGE, PROGRAM, DOWNLOADS)
        # The sample site serving this program's folder instead of fwstack's.
        cert, key = os.path.join(PKI, "localhost.crt"), os.path.join(PKI, "localhost.key")
        changes = [("/downloads/fwstack/", "/downloads/%s/" % PROGRAM),
                   ("fwstack-[0-9]", PROGRAM + "-[0-9]")]
        self.nginx = NginxSite(os.path.join(self.folder, "nginx"), self.root, e2e.PORT, cert,
                               key, changes=changes).start()
        self.addCleanup(self.nginx.stop)
        self.serve_crl()

    def test_update_end_to_end(self):
        started = time.monotonic()
        served = os.path.join(self.root, "downloads", PROGRAM)
        os.makedirs(served)
        identity = ["--program", PROGRAM, "--publisher", PUBLISHER, "--product", PRODUCT]
        out = run(TOOL, "publish", "--ca", CA, *identity, self.new, served, DOWNLOADS)
        document = e2e.read(os.path.join(served, "latest.txt")).decode()
        self.assertTrue(document.startswith(PROGRAM + "-latest 1\n"), document + out)
        self.assertIn("version 1.0.1\n", document)
        run(TOOL, "check", "--ca", CA, *identity, "--installed", "1.0.0", DOWNLOADS + "latest.txt")

        self.program = os.path.join(self.program_dir, PROGRAM + ".exe")
        shutil.copyfile(self.old, self.program)
        # Each step: (arguments, exit code, standard output, standard error).
        steps = [(["--version"], 0, "%s 1.0.0\n" % PROGRAM, ""),
                 (["update"], 0, "%s updated to 1.0.1\n" % PROGRAM, ""),
                 (["--version"], 0, "%s 1.0.1\n" % PROGRAM, ""),
                 (["update"], 0, "%s 1.0.1 is up to date\n" % PROGRAM, "")]
        for args, code, stdout, stderr in steps:
            got_code, got_out, got_err = self.run_program(*args)
            # A C runtime's text-mode output ends its lines in CR LF.
            got = (got_code, got_out.replace(b"\r\n", b"\n"), got_err.replace(b"\r\n", b"\n"))
            self.assertEqual(got, (code, stdout.encode(), stderr.encode()), args)
        self.assertEqual(e2e.read(self.program), e2e.read(self.new))
        # The starts after the update cleared what it left beside the program.
        self.assertEqual(self.folder_files(), [PROGRAM + ".exe"])
        print("%s: publish and update took %.1f s" % (PROGRAM, time.monotonic() - started),
              file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
