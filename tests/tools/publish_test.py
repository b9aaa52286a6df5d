#!/usr/bin/env python3
"""fwstack-publish: the document it writes for a release file, and its refusals."""
import datetime
import hashlib
import os
import secrets
import stat
import struct
import subprocess
import sys
import tempfile
import unittest

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import (decode_dss_signature,
                                                             encode_dss_signature)

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


def signable_release():
    """The synthetic release with the PE32+ magic and data directories that
    osslsigncode needs to sign it."""
    data = bytearray(synthetic_release())
    struct.pack_into("<H", data, 0x80 + 24, 0x20B)
    struct.pack_into("<I", data, 0x80 + 24 + 108, 16)
    return bytes(data)


def split_tail(document):
    """(five lines, expires text, r||s) of a signed document, checked here
    apart from the tool: two lines after the url line and nothing more."""
    lines = document.split(b"\n")
    assert len(lines) == 8 and lines[7] == b"", document
    assert lines[5].startswith(b"expires ") and lines[6].startswith(b"signature "), document
    return b"\n".join(lines[:5]) + b"\n", lines[5][8:].decode(), bytes.fromhex(lines[6][10:].decode())


def verifies(document, public_hex):
    """Whether the tail's signature verifies with python's cryptography."""
    five, expires, raw = split_tail(document)
    point = bytes.fromhex(public_hex)
    key = ec.EllipticCurvePublicNumbers(int.from_bytes(point[:32], "big"),
                                        int.from_bytes(point[32:], "big"),
                                        ec.SECP256R1()).public_key()
    signature = encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
    try:
        key.verify(signature, five + b"expires " + expires.encode() + b"\n",
                   ec.ECDSA(hashes.SHA256()))
        return True
    except InvalidSignature:
        return False


def sign_apart(five, expires, pem_path):
    """The tail made with python's cryptography instead of the tool."""
    with open(pem_path, "rb") as f:
        key = serialization.load_pem_private_key(f.read(), None)
    signed = five + b"expires " + expires.encode() + b"\n"
    r, s = decode_dss_signature(key.sign(signed, ec.ECDSA(hashes.SHA256())))
    return signed + b"signature " + (r.to_bytes(32, "big") + s.to_bytes(32, "big")).hex().encode() + b"\n"


class PublishTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, name, data):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

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

    def test_publisher_key_commands(self):
        d = self.dir.name
        path = lambda name: os.path.join(d, name)
        hexes = {}
        for name in ("a.pem", "b.pem"):
            made = self.run_tool("keygen", path(name))
            self.assertEqual(made.returncode, 0, made.stderr)
            out = made.stdout.decode()
            self.assertIn("static const uint8_t publisher_key[64] = {", out)
            hexes[name] = out.split()[-1]
            self.assertEqual(len(bytes.fromhex(hexes[name])), 64)
            self.assertEqual(stat.S_IMODE(os.stat(path(name)).st_mode), 0o600)
        before = self.read(path("a.pem"))
        again = self.run_tool("keygen", path("a.pem"))
        self.assertEqual((again.returncode, self.read(path("a.pem"))), (1, before))
        self.assertIn(b"already exists", again.stderr)
        self.write("b.hex", hexes["b.pem"].encode() + b"\n")

        # A signed release, published with key a into folder "pub".
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        path("ck.pem"), "-out", path("cc.pem"), "-subj", "/CN=Kelvardo s.r.o.",
                        "-days", "2", "-addext", "extendedKeyUsage=codeSigning"],
                       check=True, capture_output=True)
        subprocess.run(["osslsigncode", "sign", "-certs", path("cc.pem"), "-key", path("ck.pem"),
                        "-in", self.write("u.exe", signable_release()), "-out", path("s.exe")],
                       check=True, capture_output=True)
        os.makedirs(path("pub"))
        base = "http://127.0.0.1:47999/downloads/fwstack/"
        checks = ["--ca", path("cc.pem"), "--no-revocation"]
        published = self.run_tool("publish", *checks, "--key", path("a.pem"), path("s.exe"),
                                  path("pub"), base)
        self.assertEqual(published.returncode, 0, published.stderr)
        good = self.read(path("pub/latest.txt"))
        # A release without Authenticode, for keyed clients that accept one.
        for options, code, text in (
                ([], 1, b"no valid Authenticode signature"),
                (["--allow-unsigned-release"], 2, b"usage"),
                (["--key", path("a.pem"), "--allow-unsigned-release"], 0,
                 b"carries no Authenticode signature")):
            with self.subTest(unsigned=options):
                os.makedirs(path("unsigned"), exist_ok=True)
                result = self.run_tool("publish", *checks, "--force", *options, path("u.exe"),
                                       path("unsigned"), base)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(text, result.stdout if code == 0 else result.stderr)
        self.assertTrue(verifies(self.read(path("unsigned/latest.txt")), hexes["a.pem"]))
        self.assertTrue(verifies(good, hexes["a.pem"]))
        self.assertFalse(verifies(good, hexes["b.pem"]))
        five, expires, _ = split_tail(good)
        left = datetime.datetime.strptime(expires, "%Y-%m-%dT%H:%M:%SZ") - datetime.datetime.utcnow()
        self.assertLess(abs(left.total_seconds() - 28 * 86400), 120)

        flip = lambda at, to: good[:at] + to + good[at + 1:]
        version_at = good.index(b"1.4.2") + 4
        signature_at = good.index(b"signature ") + 20
        docs = {
            "good": good,
            "near": sign_apart(five, (datetime.datetime.utcnow() + datetime.timedelta(days=3))
                               .strftime("%Y-%m-%dT%H:%M:%SZ"), path("a.pem")),
            "expired": sign_apart(five, "2026-01-01T00:00:00Z", path("a.pem")),
            "by b": sign_apart(five, expires, path("b.pem")),
            "unsigned": five,
            "version tampered": flip(version_at, b"3"),
            "signature tampered": flip(signature_at, b"0" if good[signature_at] != 48 else b"1"),
            "expiry tampered": good.replace(expires.encode(), b"2099" + expires[4:].encode()),
            "upper-case hex": good[:signature_at] + good[signature_at:].upper(),
            "a line after the tail": good + b"x\n",
            "no date": good.replace(expires.encode(), b"2026-02-30T00:00:00Z"),
            "malformed five lines": good.replace(b"version ", b"version  "),
        }
        # (document, command and options, exit code, text in its output)
        rows = [
            ("good", ["check", "--key", hexes["a.pem"]], 0, b"signature: good"),
            ("good", ["check", "--key", path("b.hex"), "--key", path("a.pem")], 0,
             b"the second given key"),
            ("good", ["check", "--key", path("b.hex")], 1, b"not signed by the given key"),
            ("near", ["check", "--key", hexes["a.pem"]], 0, b"warning: the document expires in less"),
            ("expired", ["check", "--key", hexes["a.pem"]], 1, b"expired at 2026-01-01T00:00:00Z"),
            ("unsigned", ["check", "--key", hexes["a.pem"]], 1, b"carries no signed tail"),
            ("unsigned", ["check"], 0, b"check passed"),
            ("version tampered", ["check", "--key", hexes["a.pem"]], 1, b"not signed by the given"),
            ("signature tampered", ["check", "--key", hexes["a.pem"]], 1, b"not signed by the given"),
            ("expiry tampered", ["check", "--key", hexes["a.pem"]], 1, b"not signed by the given"),
            ("upper-case hex", ["check", "--key", hexes["a.pem"]], 1, b"carries no signed tail"),
            ("a line after the tail", ["check", "--key", hexes["a.pem"]], 1, b"carries no signed"),
            ("no date", ["check", "--key", hexes["a.pem"]], 1, b"carries no signed tail"),
            ("good", ["check", "--key", hexes["a.pem"].upper()], 1, b"neither 128 lower-case"),
            ("expired", ["refresh", "--key", path("a.pem"), "--expires", "40d"], 0, b"had expired"),
            ("near", ["refresh", "--key", path("a.pem"), "--expires", "2099-01-01T00:00:00Z"], 0,
             b"expires 2099-01-01T00:00:00Z"),
            ("by b", ["refresh", "--key", path("a.pem")], 1, b"is signed by another key"),
            ("unsigned", ["refresh", "--key", path("a.pem")], 1, b"is not signed; refresh signs"),
            ("unsigned", ["refresh", "--force", "--key", path("a.pem")], 0, b"refreshed"),
            ("malformed five lines", ["refresh", "--force", "--key", path("a.pem")], 1,
             b"is not a document a client of fwstack accepts"),
            ("good", ["refresh", "--key", path("a.pem"), "--expires", "2020-01-01T00:00:00Z"], 1,
             b"not in the future"),
            ("good", ["refresh", "--key", path("a.pem"), "--expires", "soon"], 1,
             b"neither a duration"),
            ("good", ["refresh", "--key", path("cc.pem")], 1, b"holds no PEM private key"),
            ("good", ["refresh", "--key", path("ck.pem")], 1, b"is not an ECDSA P-256 key"),
        ]
        # The same key a, in a SoftHSM2 token, signs through its pkcs11: URI.
        module = "/usr/lib/softhsm/libsofthsm2.so"
        pin = secrets.token_hex(4)
        os.makedirs(path("tokens"))
        self.write("softhsm2.conf", f"directories.tokendir = {path('tokens')}\n".encode())
        self.write("pin", pin.encode() + b"\n")
        self.write("wrong-pin", b"0" + pin.encode() + b"\n")
        env = dict(os.environ, SOFTHSM2_CONF=path("softhsm2.conf"))
        subprocess.run(["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", path("a.pem"), "-out",
                        path("a.p8")], check=True, capture_output=True)
        for step in (["--init-token", "--free", "--label", "pub", "--pin", pin, "--so-pin", pin],
                     ["--import", path("a.p8"), "--token", "pub", "--label", "docs", "--id", "02",
                      "--pin", pin]):
            subprocess.run(["softhsm2-util", *step], check=True, capture_output=True, env=env)
        uri = "pkcs11:token=pub;object=docs;type=private"
        token = ["--pkcs11-module", module, "--pin-file", path("pin")]
        for key, options, expected in ((uri, token, hexes["a.pem"]), (path("b.hex"), [], hexes["b.pem"]),
                                       (path("a.pem"), [], hexes["a.pem"])):
            with self.subTest(pubkey=key):
                shown = subprocess.run([TOOL, "pubkey", "--key", key, *options],
                                       capture_output=True, timeout=60, env=env)
                self.assertEqual(shown.returncode, 0, shown.stderr)
                self.assertEqual(shown.stdout.split()[-1].decode(), expected)
        rows += [
            ("unsigned", ["refresh", "--force", "--key", uri, "--pkcs11-module", module,
                          "--pin-file", path("pin")], 0, b"refreshed"),
            ("unsigned", ["refresh", "--force", "--key", uri, "--pkcs11-module", module,
                          "--pin-file", path("wrong-pin")], 1, b"refused the PIN"),
            ("unsigned", ["refresh", "--force", "--key", uri.replace("docs", "none"),
                          "--pkcs11-module", module, "--pin-file", path("pin")], 1,
             b"holds no private key that"),
        ]
        for name, args, code, text in rows:
            with self.subTest(document=name, args=args[:2]):
                target = self.write("t.txt", docs[name])
                result = subprocess.run([TOOL, *args, target], capture_output=True, timeout=60,
                                        env=env)
                self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                self.assertIn(text, result.stdout if code == 0 else result.stderr)
                if args[0] == "check":
                    self.assertEqual(b"warning: the document expires" in result.stdout,
                                     name == "near")
                after = self.read(target)
                if args[0] == "check" or code != 0:
                    self.assertEqual(after, docs[name], "the document was changed")
                else:
                    # The five lines as they were, a new tail that verifies apart.
                    self.assertEqual(split_tail(after)[0], five)
                    self.assertNotEqual(after, docs[name])
                    self.assertTrue(verifies(after, hexes["a.pem"]))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: publish_test.py <path of fwstack-publish>")
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main()
