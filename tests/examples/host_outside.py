# A program of one's own, built outside this checkout from the installed SDK
# alone, as "Using the engine in your own program" tells a newcomer: both
# trees installed into one prefix, then "pingsum" with its own test root,
# publisher and TLS certificate, built twice (1.0.0 and 1.0.1) by each route
# (the CMake helper; pkg-config, windres and osslsigncode by hand), signed,
# published and checked with the prefix's fwstack-publish, and 1.0.0 updating
# itself under Wine in a fresh prefix that trusts the root through the
# prefix's install_ca.exe and runs through the prefix's wine-run.sh.
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e_support as e2e  # noqa: E402

sys.path.insert(0, os.path.join(e2e.SOURCE, "tests", "support"))
from nginx_site import NginxSite  # noqa: E402

NATIVE_BUILD = os.path.dirname(os.path.abspath(os.environ["FWSTACK_PUBLISH_TOOL"]))
PUBLISHER = "Pingsum Tools Ltd."
PRODUCT = "Pingsum"
DOWNLOADS = "https://%s/downloads/pingsum/" % e2e.HOST
ADDRESS = DOWNLOADS + "latest.txt"

MAIN = r"""#include <stdio.h>
#include <string.h>
#include <fwstack_update.h>
#include "fwstack_program.h"

int main(int argc, char** argv) {
    fwstack_settings settings;
    memset(&settings, 0, sizeof settings);
    settings.size = sizeof settings;
    settings.program_name = FWSTACK_PROGRAM_NAME;
    settings.update_info_address = FWSTACK_PROGRAM_UPDATE_ADDRESS;
    settings.publisher = FWSTACK_PROGRAM_PUBLISHER;
    settings.product_name = FWSTACK_PROGRAM_PRODUCT;
    settings.version_text = FWSTACK_PROGRAM_VERSION;
    fwstack_cleanup(&settings, NULL);
    if (argc == 2 && strcmp(argv[1], "update") == 0) {
        fwstack_result result;
        fwstack_update(&settings, &result);
        fputs(result.report, result.exit_code == 0 ? stdout : stderr);
        return (int)result.exit_code;
    }
    printf("%s %s\n", FWSTACK_PROGRAM_NAME, FWSTACK_PROGRAM_VERSION);
    return 0;
}
"""
PROJECT = """cmake_minimum_required(VERSION 3.20)
project(pingsum VERSION 1.0.0 LANGUAGES C)
set(PINGSUM_VERSION "${PROJECT_VERSION}" CACHE STRING "")
find_package(fwstack_update CONFIG REQUIRED)
add_executable(pingsum main.c)
target_link_libraries(pingsum PRIVATE fwstack::update)
fwstack_update_program(pingsum NAME pingsum VERSION "${PINGSUM_VERSION}"
                       PRODUCT "%s" PUBLISHER "%s" UPDATE_ADDRESS "%s"
                       SIGN_CERTS chain.pem SIGN_KEY pingsum.key)
""" % (PRODUCT, PUBLISHER, ADDRESS)
# What the README has a newcomer write for the route without CMake.
HEADER = """#define FWSTACK_PROGRAM_NAME "pingsum"
#define FWSTACK_PROGRAM_VERSION "{v}"
#define FWSTACK_PROGRAM_VERSION_MAJOR {major}
#define FWSTACK_PROGRAM_VERSION_MINOR {minor}
#define FWSTACK_PROGRAM_VERSION_PATCH {patch}
#define FWSTACK_PROGRAM_PUBLISHER "%s"
#define FWSTACK_PROGRAM_PRODUCT "%s"
#define FWSTACK_PROGRAM_DESCRIPTION "%s"
#define FWSTACK_PROGRAM_FILE_NAME "pingsum.exe"
#define FWSTACK_PROGRAM_UPDATE_ADDRESS "%s"
""" % (PUBLISHER, PRODUCT, PRODUCT, ADDRESS)


def run(*argv, cwd=None, env=None):
    result = subprocess.run(argv, capture_output=True, timeout=900, cwd=cwd, env=env,
                            stdin=subprocess.DEVNULL)
    output = (result.stdout + result.stderr).decode(errors="replace")
    if result.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s" % (" ".join(argv), result.returncode, output))
    return output


def refused(*argv):
    result = subprocess.run(argv, capture_output=True, timeout=300, stdin=subprocess.DEVNULL)
    return result.returncode, " ".join(result.stderr.decode(errors="replace").split())


class HostFromThePrefix(e2e.E2ETestCase):
    folder_base = tempfile.gettempdir()  # outside the checkout and its build trees

    def setUp(self):
        super().setUp()
        self.prefix = os.path.join(self.folder, "sdk")
        for tree in (e2e.BUILD, NATIVE_BUILD):
            run("cmake", "--install", tree, "--prefix", self.prefix)
        self.share = os.path.join(self.prefix, "share", "fwstack_update")
        self.tool = os.path.join(self.prefix, "bin", "fwstack-publish")
        self.wine_run = os.path.join(self.share, "wine-run.sh")
        self.make_pki()
        self.nginx = NginxSite(os.path.join(self.folder, "nginx"), self.root, e2e.PORT,
                               self.pki("localhost.crt"), self.pki("localhost.key"),
                               site=os.path.join(self.share, "nginx", "fwstack.conf"),
                               changes=[("/downloads/fwstack/", "/downloads/pingsum/"),
                                        ("fwstack-[0-9]", "pingsum-[0-9]")]).start()
        self.addCleanup(self.nginx.stop)
        # A Wine prefix of the user's own, trusting the test root.
        self.wine = {**os.environ, "FWSTACK_WINEPREFIX": os.path.join(self.folder, "wine")}
        self.addCleanup(subprocess.run, ["wineserver", "-k"], stdin=subprocess.DEVNULL,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                        env={**os.environ, "WINEPREFIX": self.wine["FWSTACK_WINEPREFIX"]})
        run(self.wine_run, os.path.join(self.prefix, "bin", "install_ca.exe"),
            e2e.windows_path(self.pki("root.der")), env=self.wine)

    def pki(self, name):
        return os.path.join(self.folder, "pki", name)

    def make_pki(self):
        """The README's test root: a root, the publisher's leaf, localhost's."""
        os.makedirs(self.pki(""))
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
            self.pki("root.key"), "-out", self.pki("root.crt"), "-days", "30", "-subj",
            "/CN=Pingsum Test Root", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        run("openssl", "x509", "-in", self.pki("root.crt"), "-outform", "DER", "-out",
            self.pki("root.der"))
        for name, cn, ext in (("pingsum", PUBLISHER,
                               "keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"),
                              ("localhost", "localhost",
                               "extendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost\n")):
            run("openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout",
                self.pki(name + ".key"), "-subj", "/CN=" + cn, "-out", self.pki(name + ".csr"))
            e2e.write(self.pki(name + ".ext"), ext.encode())
            run("openssl", "x509", "-req", "-in", self.pki(name + ".csr"), "-CA",
                self.pki("root.crt"), "-CAkey", self.pki("root.key"), "-CAcreateserial",
                "-days", "30", "-extfile", self.pki(name + ".ext"), "-out", self.pki(name + ".crt"))
        e2e.write(self.pki("chain.pem"), e2e.read(self.pki("pingsum.crt")) + e2e.read(self.pki("root.crt")))

    def project(self, route, version):
        folder = os.path.join(self.folder, "%s-%s" % (route, version))
        os.makedirs(folder)
        e2e.write(os.path.join(folder, "main.c"), MAIN.encode())
        for name in ("chain.pem", "pingsum.key"):
            shutil.copy(self.pki(name), folder)
        return folder

    def build_with_cmake(self, version):
        source = self.project("cmake", version)
        e2e.write(os.path.join(source, "CMakeLists.txt"), PROJECT.encode())
        tree = os.path.join(source, "build")
        run("cmake", "-S", source, "-B", tree, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
            "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(self.share, "mingw-w64-x86_64.cmake"),
            "-DCMAKE_PREFIX_PATH=" + self.prefix, "-DPINGSUM_VERSION=" + version)
        run("cmake", "--build", tree)
        return os.path.join(tree, "pingsum.exe")

    def build_by_hand(self, version):
        folder = self.project("pkg-config", version)
        major, minor, patch = version.split(".")
        e2e.write(os.path.join(folder, "fwstack_program.h"),
                  HEADER.format(v=version, major=major, minor=minor, patch=patch).encode())
        run("x86_64-w64-mingw32-windres", "-I.", os.path.join(self.share, "fwstack_program.rc"),
            "-O", "coff", "-o", "version.o", cwd=folder)
        flags = run("pkg-config", "--cflags", "--libs", "fwstack_update",
                    env={**os.environ, "PKG_CONFIG_PATH": os.path.join(self.prefix, "lib", "pkgconfig")})
        run("sh", "-c", "x86_64-w64-mingw32-gcc -O2 main.c version.o %s -o pingsum-unsigned.exe"
            % flags.strip(), cwd=folder)
        run("osslsigncode", "sign", "-certs", "chain.pem", "-key", "pingsum.key", "-h", "sha256",
            "-n", PRODUCT, "-in", "pingsum-unsigned.exe", "-out", "pingsum.exe", cwd=folder)
        return os.path.join(folder, "pingsum.exe")

    def test_the_prefix_is_enough(self):
        # No installed text file (CMake package, pkg-config file, scripts,
        # resource) points back into the checkout.
        for here, _, files in os.walk(self.prefix):
            for name in files:
                path = os.path.join(here, name)
                if here != os.path.join(self.prefix, "bin") and not name.endswith(".a"):
                    self.assertFalse(e2e.SOURCE.encode() in e2e.read(path), path)
        served = os.path.join(self.root, "downloads", "pingsum")
        test_pki = ["--ca", self.pki("root.crt"), "--no-revocation"]
        routes = [("cmake", self.build_with_cmake), ("pkg-config", self.build_by_hand)]
        for route, build in routes:
            with self.subTest(route):
                old, new = build("1.0.0"), build("1.0.1")
                shutil.rmtree(served, ignore_errors=True)
                os.makedirs(served)
                if route == "cmake":
                    identity = ["--identity", new + ".identity"]
                    # The identity file keeps publish to the build's own version and address.
                    for argv, message in (
                            (["--identity", old + ".identity", new, served, DOWNLOADS],
                             "is version 1.0.1, but %s.identity belongs to a build of 1.0.0" % old),
                            (identity + [new, served, DOWNLOADS.replace("pingsum", "other")],
                             "the program fetches its update document from " + ADDRESS)):
                        code, err = refused(self.tool, "publish", *test_pki, *argv)
                        self.assertEqual((code, message in err), (1, True), err)
                else:
                    identity = ["--program", "pingsum", "--publisher", PUBLISHER,
                                "--product", PRODUCT]
                out = run(self.tool, "verify", *test_pki, *identity, new)
                self.assertIn('version 1.0.1, signed by "%s"' % PUBLISHER, out)
                out = run(self.tool, "publish", *test_pki, *identity, new, served + "/", DOWNLOADS)
                self.assertIn("copied: %s/pingsum-1.0.1.exe\n" % served, out)
                self.assertIn("SIGN_TIMESTAMP of fwstack_update_program()", out)
                address = [] if route == "cmake" else [ADDRESS]
                run(self.tool, "check", *test_pki, *identity, "--installed", "1.0.0", *address)

                program_dir = os.path.join(self.folder, "program-" + route)
                os.makedirs(program_dir)
                program = os.path.join(program_dir, "pingsum.exe")
                shutil.copyfile(old, program)
                steps = [([], "pingsum 1.0.0\n"), (["update"], "pingsum updated to 1.0.1\n"),
                         ([], "pingsum 1.0.1\n"), (["update"], "pingsum 1.0.1 is up to date\n")]
                for args, expected in steps:
                    code, out, err = e2e._capture([self.wine_run, program, *args], None,
                                                  e2e.RUN_TIMEOUT, self.wine)
                    self.assertEqual((code, out.replace(b"\r\n", b"\n"), err),
                                     (0, expected.encode(), b""), args)
                self.assertEqual(e2e.read(program), e2e.read(new))
                self.assertEqual(sorted(os.listdir(program_dir)), ["pingsum.exe"])


if __name__ == "__main__":
    unittest.main()
