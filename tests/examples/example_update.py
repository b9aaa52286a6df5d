# One example program (examples/<language>) as a user meets it: the engine's
# package installed into a prefix, the example configured against it alone,
# built as 1.0.0 and 1.0.1 signed by a second publisher, 1.0.1 published with
# fwstack-publish into the nginx sample site, then 1.0.0 updating itself under
# Wine.   example_update.py c|cpp|rust
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e_support as e2e  # noqa: E402

sys.path.insert(0, os.path.join(e2e.SOURCE, "tests", "support"))
from nginx_site import NginxSite  # noqa: E402

LANGUAGE = sys.argv.pop(1) if len(sys.argv) > 1 else "c"
PROGRAM = "hello-" + LANGUAGE
PRODUCT = {"c": "Hello C", "cpp": "Hello C++", "rust": "Hello Rust"}[LANGUAGE]
PUBLISHER = "Example Tools Ltd."
PKI = os.path.join(e2e.ASSETS, "pki")
CA = os.path.join(PKI, "ca.crt")
TOOL = os.environ["FWSTACK_PUBLISH_TOOL"]
TREES = os.path.join(e2e.BUILD, "examples")
DOWNLOADS = "https://%s/downloads/%s/" % (e2e.HOST, PROGRAM)


def run(*argv, cwd=None):
    result = subprocess.run(argv, capture_output=True, timeout=900, cwd=cwd,
                            stdin=subprocess.DEVNULL)
    output = (result.stdout + result.stderr).decode(errors="replace")
    if result.returncode != 0:
        raise AssertionError("%s failed:\n%s" % (" ".join(argv), output))
    return output


def build_example(prefix, version, chain):
    """The example at version, from its own CMake project; its signed file."""
    tree = os.path.join(TREES, "%s-%s" % (LANGUAGE, version))
    run("cmake", "-S", os.path.join(e2e.SOURCE, "examples", LANGUAGE), "-B", tree, "-G", "Ninja",
        "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_PREFIX_PATH=" + prefix,
        "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(e2e.SOURCE, "cmake", "mingw-w64-x86_64.cmake"),
        "-DHELLO_VERSION=" + version, "-DHELLO_UPDATE_ADDRESS=%slatest.txt" % DOWNLOADS,
        "-DHELLO_SIGN_CERTS=" + chain, "-DHELLO_SIGN_KEY=" + os.path.join(PKI, "example.key"))
    run("cmake", "--build", tree)
    return os.path.join(tree, PROGRAM + ".exe")


class ExampleUpdatesItself(e2e.E2ETestCase):

    def setUp(self):
        super().setUp()
        started = time.monotonic()
        prefix = os.path.join(self.folder, "prefix")
        run("cmake", "--install", e2e.BUILD, "--prefix", prefix)
        chain = os.path.join(self.folder, "chain.pem")
        e2e.write(chain, e2e.read(os.path.join(PKI, "example.crt")) + e2e.read(CA))
        self.old = build_example(prefix, "1.0.0", chain)
        self.new = build_example(prefix, "1.0.1", chain)
        print("%s: install and two builds took %.1f s" % (PROGRAM, time.monotonic() - started),
              file=sys.stderr)
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
