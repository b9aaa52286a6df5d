# One example program (examples/<language>) as a user meets it: the engine's
# package installed into a prefix, the example configured against it alone,
# built as 1.0.0 and 1.0.1 signed by a second publisher, 1.0.1 published with
# fwstack-publish into the nginx sample site, then 1.0.0 updating itself under
# Wine.   example_update.py c|cpp|rust|msvc|c_by_name|go
# The programs that call fwstack_update.dll run with a planted DLL of that
# name in the current folder and on PATH, which must never be loaded; the Go
# program also updates the DLL beside it from the DLL's own document.
import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e_support as e2e  # noqa: E402

sys.path.insert(0, os.path.join(e2e.SOURCE, "tests", "support"))
from nginx_site import NginxSite  # noqa: E402
from example_builds import CA, PKI, build_example, install_and_build, run  # noqa: E402

LANGUAGE = sys.argv.pop(1) if len(sys.argv) > 1 else "c"
PROGRAM = "hello-" + LANGUAGE
PRODUCT = {"c": "Hello C", "cpp": "Hello C++", "rust": "Hello Rust", "msvc": "Hello MSVC",
           "c_by_name": "Hello C by name", "go": "Hello Go"}[LANGUAGE]
PUBLISHER = "Example Tools Ltd."
TOOL = os.environ["FWSTACK_PUBLISH_TOOL"]
DOWNLOADS = "https://%s/downloads/%s/" % (e2e.HOST, PROGRAM)
USES_DLL = LANGUAGE in ("c_by_name", "go")
DLL = "fwstack_update.dll"
# The DLL's own document and releases, in a folder under the program's.
ENGINE = ["--program", "fwstack_update", "--publisher", "Kelvardo s.r.o.",
          "--product", "Ferrowstack update engine"]
ENGINE_DOWNLOADS = DOWNLOADS + "engine/"
EXTRA = {"go": ["-DHELLO_ENGINE_UPDATE_ADDRESS=%slatest.txt" % ENGINE_DOWNLOADS,
                "-DHELLO_GOCACHE=" + os.path.join(e2e.BUILD, "examples", "go-cache")]}
# (arguments, exit code, standard output, standard error) of each run.
STEPS = [(["--version"], 0, "%s 1.0.0\n" % PROGRAM, ""),
         (["update"], 0, "%s updated to 1.0.1\n" % PROGRAM, ""),
         (["--version"], 0, "%s 1.0.1\n" % PROGRAM, ""),
         (["update"], 0, "%s 1.0.1 is up to date\n" % PROGRAM, "")]
if LANGUAGE == "go":
    # The DLL first: its version from its version resource, so the up-to-date
    # line leaves the version out.
    STEPS[1] = (["update"], 0, "fwstack_update updated to 0.0.3\n" + STEPS[1][2], "")
    STEPS[3] = (["update"], 0, "fwstack_update  is up to date\n" + STEPS[3][2], "")


class ExampleUpdatesItself(e2e.E2ETestCase):

    def setUp(self):
        super().setUp()
        self.old, self.new = install_and_build(self, LANGUAGE, PROGRAM, DOWNLOADS,
                                               EXTRA.get(LANGUAGE, ()))
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
        files = [PROGRAM + ".exe"]
        run_in, env = None, None
        if USES_DLL:
            # The build put the package's DLL (this tree's version) beside the program.
            old_dll = os.path.join(os.path.dirname(self.old), DLL)
            shutil.copyfile(old_dll, os.path.join(self.program_dir, DLL))
            files.append(DLL)
            # A DLL of the same name in the current folder and on PATH ends
            # the process with 77 if it is ever loaded.
            planted = os.path.join(os.environ["FWSTACK_PLANTED"], "version", "version.dll")
            run_in, on_path = os.path.join(self.folder, "current"), os.path.join(self.folder, "path")
            for folder in (run_in, on_path):
                os.makedirs(folder)
                shutil.copyfile(planted, os.path.join(folder, DLL))
            env = dict(os.environ, WINEPATH=e2e.windows_path(on_path))
        if LANGUAGE == "go":
            new_dll = self.publish_engine(served)
        for args, code, stdout, stderr in STEPS:
            got_code, got_out, got_err = e2e.run_windows(self.program, *args, cwd=run_in, env=env)
            # A C runtime's text-mode output ends its lines in CR LF.
            got = (got_code, got_out.replace(b"\r\n", b"\n"), got_err.replace(b"\r\n", b"\n"))
            self.assertEqual(got, (code, stdout.encode(), stderr.encode()), args)
        self.assertEqual(e2e.read(self.program), e2e.read(self.new))
        if LANGUAGE == "go":
            self.assertEqual(e2e.read(os.path.join(self.program_dir, DLL)), e2e.read(new_dll))
        # The starts after the update cleared what it left beside the program.
        self.assertEqual(self.folder_files(), sorted(files))
        if USES_DLL:
            # Without its own DLL the program fails; the planted ones stay unloaded.
            os.remove(os.path.join(self.program_dir, DLL))
            code, _, err = e2e.run_windows(self.program, "update", cwd=run_in, env=env)
            self.assertEqual((code, DLL.encode() in err), (1, True), err)
        if LANGUAGE == "c_by_name":
            # examples/c through the MinGW import library: the header's
            # dllimport declarations, the DLL found beside the program.
            tree = build_example("c", os.path.join(self.folder, "prefix"), "1.0.0",
                                 os.path.join(self.folder, "chain.pem"), DOWNLOADS,
                                 ["-DHELLO_DLL=ON"], name="c-dll")
            imports = run("x86_64-w64-mingw32-objdump", "-p", os.path.join(tree, "hello-c.exe"))
            self.assertIn("DLL Name: fwstack_update.dll", imports)
            code, out, err = e2e.run_windows(os.path.join(tree, "hello-c.exe"), "--version")
            self.assertEqual((code, out.replace(b"\r\n", b"\n"), err), (0, b"hello-c 1.0.0\n", b""))
        print("%s: publish and update took %.1f s" % (PROGRAM, time.monotonic() - started),
              file=sys.stderr)


    def publish_engine(self, served):
        """The DLL's next version, signed by fwstack's publisher, published
        under the program's folder; its signed file."""
        pki = os.path.join(e2e.ASSETS, "pki")
        chain = os.path.join(self.folder, "publisher-chain.pem")
        e2e.write(chain, e2e.read(os.path.join(pki, "publisher.crt")) + e2e.read(CA))
        signed = os.path.join(self.folder, "engine-0.0.3", DLL)
        os.makedirs(os.path.dirname(signed))
        run("osslsigncode", "sign", "-certs", chain, "-key", os.path.join(pki, "publisher.key"),
            "-h", "sha256", "-in", os.environ["FWSTACK_DLL_VARIANT"], "-out", signed)
        folder = os.path.join(served, "engine")
        os.makedirs(folder)
        out = run(TOOL, "publish", "--ca", CA, *ENGINE, signed, folder, ENGINE_DOWNLOADS)
        self.assertIn("version 0.0.3\n", e2e.read(os.path.join(folder, "latest.txt")).decode(), out)
        return signed


if __name__ == "__main__":
    unittest.main()
