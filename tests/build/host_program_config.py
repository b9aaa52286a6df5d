# fwstack_update_program() as a host project meets it: the installed package,
# a project of its own in the system's temporary folder, and one table of
# configurations, each configured (from another working folder, so relative
# paths must be taken against the project) and judged by what configuring
# says or writes; the first accepted one is then built, and its version
# resource and identity file agree.
#   FWSTACK_BUILD=... FWSTACK_ASSETS=... FWSTACK_PUBLISH_TOOL=... host_program_config.py
import os
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ["FWSTACK_BUILD"]
PKI = os.path.join(os.environ["FWSTACK_ASSETS"], "pki")
TOOL = os.environ["FWSTACK_PUBLISH_TOOL"]
PUBLISHER = "Example Tools Ltd."  # the common name of the assets' example.crt
ADDRESS = "https://updates.example.com/downloads/pingsum/latest.txt"

PROJECT = """cmake_minimum_required(VERSION 3.20)
project(pingsum C)
find_package(fwstack_update CONFIG REQUIRED)
add_executable(pingsum main.c)
target_link_libraries(pingsum PRIVATE fwstack::update)
fwstack_update_program(pingsum ${HOST_ARGS})
"""
MAIN = """#include <stdio.h>
#include <fwstack_update.h>
#include "fwstack_program.h"
int main(void) {
    fwstack_settings settings = {0};
    settings.program_name = FWSTACK_PROGRAM_NAME;
    settings.update_info_address = FWSTACK_PROGRAM_UPDATE_ADDRESS;
    settings.publisher = FWSTACK_PROGRAM_PUBLISHER;
    settings.product_name = FWSTACK_PROGRAM_PRODUCT;
    settings.version_text = FWSTACK_PROGRAM_VERSION;
    fwstack_cleanup(&settings, NULL);
    puts(FWSTACK_PROGRAM_NAME " " FWSTACK_PROGRAM_VERSION);
    return 0;
}
"""

IDENTITY = ["VERSION", "1.2.3", "PRODUCT", "Pingsum", "PUBLISHER", PUBLISHER,
            "UPDATE_ADDRESS", ADDRESS]
PEM = ["SIGN_CERTS", "chain.pem", "SIGN_KEY", "example.key"]

# (rule, arguments after the target, None when accepted or what the error says)
ROWS = [
    ("relative signing files are the project's", IDENTITY + PEM, None),
    ("the chain may hold the CA first", IDENTITY + ["SIGN_CERTS", "ca-first.pem",
                                                    "SIGN_KEY", "example.key"], None),
    ("a PKCS#12 file and its password file", IDENTITY + ["SIGN_PKCS12", "example.p12",
                                                         "SIGN_PASSWORD_FILE", "p12.pass"],
     None),
    ("NAME other than the target's", ["NAME", "ping.sum"] + IDENTITY, None),
    ("a missing certificate file", IDENTITY + ["SIGN_CERTS", "absent.pem",
                                               "SIGN_KEY", "example.key"],
     "SIGN_CERTS 'absent.pem' is not a file (looked for {source}/absent.pem"),
    ("a missing key file", IDENTITY + ["SIGN_CERTS", "chain.pem", "SIGN_KEY", "keys/none.key"],
     "SIGN_KEY 'keys/none.key' is not a file (looked for {source}/keys/none.key"),
    ("a missing PKCS#12 file", IDENTITY + ["SIGN_PKCS12", "absent.p12"],
     "SIGN_PKCS12 'absent.p12' is not a file"),
    ("a missing password file", IDENTITY + ["SIGN_PKCS12", "example.p12",
                                            "SIGN_PASSWORD_FILE", "absent.pass"],
     "SIGN_PASSWORD_FILE 'absent.pass' is not a file"),
    ("a missing icon", IDENTITY + ["ICON", "pingsum.ico"], "ICON 'pingsum.ico' is not a file"),
    ("a PEM certificate of another publisher",
     ["VERSION", "1.2.3", "PRODUCT", "Pingsum", "PUBLISHER", "Example Tools"] + PEM,
     "is issued to \"Example Tools Ltd.\", but PUBLISHER is \"Example Tools\""),
    ("a PKCS#12 certificate of another publisher",
     ["VERSION", "1.2.3", "PRODUCT", "Pingsum", "PUBLISHER", "Pingsum Tools Ltd.",
      "SIGN_PKCS12", "example.p12", "SIGN_PASSWORD_FILE", "p12.pass"],
     "is issued to \"Example Tools Ltd.\", but PUBLISHER is \"Pingsum Tools Ltd.\""),
    ("a wrong PKCS#12 password", IDENTITY + ["SIGN_PKCS12", "example.p12",
                                             "SIGN_PASSWORD_FILE", "wrong.pass"],
     "cannot read the certificate in SIGN_PKCS12"),
    ("a key without its certificate", IDENTITY + ["SIGN_KEY", "example.key"],
     "SIGN_CERTS and SIGN_KEY go together"),
    ("a timestamp without signing", IDENTITY + ["SIGN_TIMESTAMP", "http://ts.example.com"],
     "SIGN_PASSWORD_FILE and SIGN_TIMESTAMP need a signing certificate"),
    ("a name a document cannot carry", ["NAME", "ping sum"] + IDENTITY,
     "NAME 'ping sum' is not 1 to 32 of"),
    ("an address the engine refuses", ["VERSION", "1.2.3", "PRODUCT", "Pingsum", "PUBLISHER",
                                       PUBLISHER, "UPDATE_ADDRESS", "http://example.com/x"],
     "UPDATE_ADDRESS 'http://example.com/x' is not https://"),
    ("a version that is not X.Y.Z", ["VERSION", "1.2", "PRODUCT", "P", "PUBLISHER", "P"],
     "VERSION '1.2' is not X.Y.Z"),
    ("a publisher that is not printable ASCII", ["VERSION", "1.2.3", "PRODUCT", "P",
                                                 "PUBLISHER", "Caf\u00e9 Ltd."],
     "PUBLISHER 'Caf\u00e9 Ltd.' must be 1 to 64 printable ASCII"),
    ("an argument it does not know", IDENTITY + ["SIGN_CERT", "chain.pem"],
     "unknown arguments: SIGN_CERT"),
]


def run(argv, cwd=None):
    result = subprocess.run(argv, capture_output=True, cwd=cwd, stdin=subprocess.DEVNULL,
                            timeout=600)
    return result.returncode, (result.stdout + result.stderr).decode(errors="replace")


class HostProgramConfiguration(unittest.TestCase):

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="fwstack-host-config-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.prefix = os.path.join(self.folder, "prefix")
        code, out = run(["cmake", "--install", BUILD, "--prefix", self.prefix])
        self.assertEqual(code, 0, out)
        self.source = os.path.join(self.folder, "pingsum")
        os.makedirs(os.path.join(self.source, "keys"))
        files = {"CMakeLists.txt": PROJECT, "main.c": MAIN, "p12.pass": "secret\n",
                 "wrong.pass": "guess\n"}
        crt, ca = (open(os.path.join(PKI, name)).read() for name in ("example.crt", "ca.crt"))
        files.update({"chain.pem": crt + ca, "ca-first.pem": ca + crt})
        for name, text in files.items():
            with open(os.path.join(self.source, name), "w") as f:
                f.write(text)
        shutil.copy(os.path.join(PKI, "example.key"), self.source)
        code, out = run(["openssl", "pkcs12", "-export", "-in", os.path.join(PKI, "example.crt"),
                         "-inkey", os.path.join(PKI, "example.key"), "-certfile",
                         os.path.join(PKI, "ca.crt"), "-passout", "pass:secret",
                         "-out", os.path.join(self.source, "example.p12")])
        self.assertEqual(code, 0, out)
        self.tree = os.path.join(self.folder, "build")
        self.elsewhere = os.path.join(self.folder, "elsewhere")
        os.makedirs(self.elsewhere)

    def configure(self, arguments):
        generated = os.path.join(self.tree, "fwstack_program", "pingsum", "fwstack_program.h")
        for stale in (generated, os.path.join(self.tree, "pingsum.exe.identity")):
            if os.path.exists(stale):
                os.unlink(stale)
        toolchain = os.path.join(self.prefix, "share", "fwstack_update", "mingw-w64-x86_64.cmake")
        code, out = run(["cmake", "-S", self.source, "-B", self.tree, "-G", "Ninja",
                         "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_TOOLCHAIN_FILE=" + toolchain,
                         "-DCMAKE_PREFIX_PATH=" + self.prefix, "-DHOST_ARGS=" + ";".join(arguments)],
                        cwd=self.elsewhere)
        return code, " ".join(out.split()), generated

    def test_configurations(self):
        built = False
        for rule, arguments, error in ROWS:
            with self.subTest(rule):
                code, out, header = self.configure(arguments)
                if error is not None:
                    self.assertNotEqual(code, 0, out)
                    self.assertIn(error.format(source=self.source), out)
                    continue
                self.assertEqual(code, 0, out)
                values = dict(zip(arguments[::2], arguments[1::2]))
                name = values.get("NAME", "pingsum")
                with open(header) as f:
                    text = f.read()
                for macro, value in (("NAME", name), ("VERSION", "1.2.3"),
                                     ("PUBLISHER", PUBLISHER), ("PRODUCT", "Pingsum"),
                                     ("UPDATE_ADDRESS", ADDRESS), ("FILE_NAME", "pingsum.exe")):
                    self.assertIn('#define FWSTACK_PROGRAM_%s "%s"\n' % (macro, value), text)
                identity = os.path.join(self.tree, "pingsum.exe.identity")
                with open(identity) as f:
                    self.assertEqual(f.read(), "program %s\nversion 1.2.3\npublisher %s\n"
                                     "product Pingsum\nupdate_address %s\n"
                                     % (name, PUBLISHER, ADDRESS))
                if built:
                    continue
                # Built once: signed, and the release tool reads the version
                # from the resource that the same identity made.
                built = True
                code, out = run(["cmake", "--build", self.tree])
                self.assertEqual(code, 0, out)
                self.assertIn("signed", out)
                code, out = run([TOOL, "--identity", identity,
                                 os.path.join(self.tree, "pingsum.exe"),
                                 ADDRESS.rsplit("/", 1)[0] + "/"])
                self.assertEqual(code, 0, out)
                self.assertTrue(out.startswith("pingsum-latest 1\nversion 1.2.3\n"), out)


if __name__ == "__main__":
    unittest.main()
