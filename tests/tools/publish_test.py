#!/usr/bin/env python3
"""fwstack-publish: the document it writes for a release file, and its refusals."""
import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import unittest

TOOL = None
BASE = "https://localhost:47443/downloads/fwstack/"


def synthetic_release(ms=(1 << 16) | 4, ls=(2 << 16) | 7, fixed_info=True):
    """A PE32+ layout: DOS header, PE signature, two sections, the version
    block inside .rsrc at an aligned offset. Enough for the header walk."""
    head = bytearray(4096)
    head[0:2] = b"MZ"
    pe = 0x80
    struct.pack_into("<I", head, 60, pe)
    head[pe:pe + 4] = b"PE\0\0"
    optional = 240
    struct.pack_into("<HH", head, pe + 4, 0x8664, 2)
    struct.pack_into("<H", head, pe + 20, optional)
    sections = pe + 24 + optional
    rsrc_offset, rsrc_size = 0x1000, 0x200
    head[sections:sections + 8] = b".text\0\0\0"
    struct.pack_into("<II", head, sections + 16, 0, 0)
    head[sections + 40:sections + 48] = b".rsrc\0\0\0"
    struct.pack_into("<II", head, sections + 56, rsrc_size, rsrc_offset)
    rsrc = bytearray(rsrc_size)
    rsrc[0:32] = b"V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0\0\0"
    if fixed_info:
        struct.pack_into("<IIII", rsrc, 0x28, 0xFEEF04BD, 0x00010000, ms, ls)
    return bytes(head) + bytes(rsrc)


class PublishTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, name, data):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def run_tool(self, *args):
        return subprocess.run([TOOL, *args], capture_output=True, timeout=30)

    def test_writes_the_five_lines_for_a_release(self):
        data = synthetic_release()
        release = self.write("fwstack.exe", data)
        result = self.run_tool(release, BASE)
        self.assertEqual(result.returncode, 0, result.stderr)
        expected = ("fwstack-latest 1\n"
                    "version 1.4.2\n"
                    "file fwstack.exe\n"
                    f"sha256 {hashlib.sha256(data).hexdigest()}\n"
                    f"url {BASE}fwstack.exe\n")
        self.assertEqual(result.stdout.decode("ascii"), expected)

    def test_writes_the_output_file_when_named(self):
        data = synthetic_release(ms=(0 << 16) | 0, ls=(3 << 16) | 0)
        release = self.write("fwstack-0.0.3.exe", data)
        out = os.path.join(self.dir.name, "latest.txt")
        result = self.run_tool(release, BASE, out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, b"")
        with open(out, "rb") as f:
            lines = f.read().decode("ascii").split("\n")
        self.assertEqual(lines, ["fwstack-latest 1", "version 0.0.3", "file fwstack-0.0.3.exe",
                                 "sha256 " + hashlib.sha256(data).hexdigest(),
                                 "url " + BASE + "fwstack-0.0.3.exe", ""])

    def test_local_http_only_on_the_loopback_address(self):
        release = self.write("fwstack.exe", synthetic_release())
        local = self.run_tool(release, "http://127.0.0.1:8080/downloads/fwstack/")
        self.assertEqual(local.returncode, 0, local.stderr)
        self.assertIn(b"url http://127.0.0.1:8080/downloads/fwstack/fwstack.exe\n", local.stdout)
        remote = self.run_tool(release, "http://example.com/downloads/fwstack/")
        self.assertEqual(remote.returncode, 1)
        self.assertEqual(remote.stdout, b"")
        self.assertNotEqual(remote.stderr, b"")

    def test_refuses_files_the_updater_would_refuse(self):
        cases = [
            ("no version block", "fwstack.exe", synthetic_release(fixed_info=False)),
            ("not a PE file", "fwstack.exe", b"MZ" + bytes(200)),
            ("empty file", "fwstack.exe", b""),
            ("blank in the name", "fw stack.exe", synthetic_release()),
            ("plus in the name", "fw+stack.exe", synthetic_release()),
        ]
        for rule, name, data in cases:
            with self.subTest(rule):
                result = self.run_tool(self.write(name, data), BASE)
                self.assertEqual(result.returncode, 1, rule)
                self.assertEqual(result.stdout, b"", rule)
                self.assertNotEqual(result.stderr, b"", rule)
        missing = self.run_tool(os.path.join(self.dir.name, "absent.exe"), BASE)
        self.assertEqual(missing.returncode, 1)

    def test_identity_options_name_the_document_and_refuse_bad_names(self):
        data = synthetic_release()
        release = self.write("acme-1.4.2.exe", data)
        base = "https://localhost:47443/downloads/acme/"
        for options, key in (([], "fwstack"), (["--program", "acme"], "acme"),
                             (["--program", "a_b.c-9", "--publisher", "X", "--product", "Y"],
                              "a_b.c-9")):
            with self.subTest(options=options):
                result = self.run_tool(*options, release, base)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout.decode("ascii").split("\n")[0], key + "-latest 1")
        for name in ("ac me", "a/b", "acm\u00e9", ""):
            for form in ([], ["verify"], ["check"], ["publish"]):
                with self.subTest(name=name, form=form):
                    tail = {"check": [base + "latest.txt"],
                            "publish": [release, self.dir.name, base]}.get(
                                (form or [""])[0], [release] if form else [release, base])
                    result = self.run_tool(*form, "--program", name, *tail)
                    self.assertEqual(result.returncode, 2, result.stderr)
                    self.assertIn(b"usage", result.stderr)

    def test_bad_arguments_give_usage_and_exit_2(self):
        release = self.write("fwstack.exe", synthetic_release())
        info = BASE + "latest.txt"
        for args in ([], [release], [release, BASE.rstrip("/")],
                     [release, BASE, os.path.join(self.dir.name, "o.txt"), "extra"],
                     ["verify"], ["verify", "--force", release], ["verify", release, release],
                     ["publish", release, self.dir.name], ["publish", "--installed", "0.0.1",
                                                           release, self.dir.name, BASE],
                     ["check"], ["check", info, info], ["check", "--installed", "0.0", info],
                     ["check", "--installed", "", info], ["check", "--force", info],
                     ["check", "--ca"], ["verify", "--crl", release], ["check", "--crl", "", info],
                     ["publish", "--no-revocation", "--crl", release, release, self.dir.name,
                      BASE]):
            with self.subTest(args=args):
                result = self.run_tool(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn(b"usage", result.stderr)
                self.assertEqual(result.stdout, b"")

    def test_help_goes_to_standard_output(self):
        for args in (["--help"], ["-h"], ["help"], ["check", "--help"], ["publish", "-h"]):
            with self.subTest(args=args):
                result = self.run_tool(*args)
                self.assertEqual(result.returncode, 0)
                self.assertIn(b"fwstack-publish check", result.stdout)

    def test_check_refuses_an_address_a_client_would_not_fetch(self):
        for address in ("http://example.com/downloads/fwstack/latest.txt", "ftp://x/latest.txt",
                        "https://", "https://host:99999/latest.txt"):
            with self.subTest(address):
                result = self.run_tool("check", address)
                self.assertEqual(result.returncode, 1)
                self.assertIn(b"not an address a client fetches", result.stderr)

    def test_identity_file_gives_the_identity_or_says_what_is_wrong(self):
        release = self.write("pingsum-1.4.2.exe", synthetic_release())
        base = "https://localhost:47443/downloads/pingsum/"
        whole = ("program pingsum\nversion 1.4.2\npublisher Pingsum Tools Ltd.\n"
                 "product Pingsum\nupdate_address %slatest.txt\n" % base)
        # (rule, file text or None for no file, extra options, exit code, what the output holds)
        rows = [
            ("a whole file names the document", whole, [], 0, b"pingsum-latest 1\n"),
            ("the address line is optional", whole.rsplit("update_address", 1)[0], [], 0,
             b"pingsum-latest 1\n"),
            ("no file", None, [], 1, b"cannot open the identity file"),
            ("a line without its value", whole.replace("product Pingsum", "product"), [], 1,
             b"the line \"product\" is not one of"),
            ("an unknown key", whole + "colour blue\n", [], 1, b"\"colour blue\""),
            ("a key twice", whole + "program other\n", [], 1, b"\"program other\""),
            ("no publisher", whole.replace("publisher Pingsum Tools Ltd.\n", ""), [], 1,
             b"names no publisher"),
            ("a version that is not X.Y.Z", whole.replace("1.4.2", "1.4"), [], 1,
             b"\"1.4\", which is not X.Y.Z"),
            ("a program name a document cannot carry", whole.replace("program pingsum",
                                                                     "program ping sum"), [], 2,
             b"usage"),
            ("with --program as well", whole, ["--program", "pingsum"], 2, b"usage"),
            ("with --publisher as well", whole, ["--publisher", "X"], 2, b"usage"),
        ]
        for rule, text, extra, code, expected in rows:
            with self.subTest(rule):
                path = os.path.join(self.dir.name, "pingsum.exe.identity")
                if os.path.exists(path):
                    os.unlink(path)
                if text is not None:
                    self.write("pingsum.exe.identity", text.encode())
                result = self.run_tool("--identity", path, *extra, release, base)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(expected, result.stdout if code == 0 else result.stderr)
        # check takes the program's own address from the file, and wants one
        # when the file has none.
        self.write("pingsum.exe.identity", whole.rsplit("update_address", 1)[0].encode())
        result = self.run_tool("check", "--identity", path)
        self.assertEqual(result.returncode, 2)
        self.write("pingsum.exe.identity", whole.replace("https://", "ftp://").encode())
        result = self.run_tool("check", "--identity", path)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"ftp://localhost:47443/downloads/pingsum/latest.txt is not an address",
                      result.stderr)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: publish_test.py <path of fwstack-publish>")
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main()
