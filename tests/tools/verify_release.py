#!/usr/bin/env python3
"""fwstack-publish verify and publish: a release signed by the publisher passes;
unsigned, wrongly signed, untrusted, pre-release and version-less files are refused with
exit 1; publish refuses what verify refuses and anything not newer than the
announced release, and a stop between the release and the document leaves the
old document whole. Revocation, against the assets' test CA and its CRL served
on loopback: each cause refused with its own message, CRLs fetched or given."""
import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
from datetime import datetime

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from timestamp_server import TimestampServer, make_authority  # noqa: E402
from update_server import UpdateServer  # noqa: E402

PUBLISHER = "Kelvardo s.r.o."


def run(*args):
    return subprocess.run(args, capture_output=True, timeout=60)


def revocation(tool, failures, cases):
    """Rows: (case, options and release, CRL server up, exit code, texts in the
    output, texts not in it, whether the CRL is fetched)."""
    assets, port = os.environ["FWSTACK_ASSETS"], int(os.environ["FWSTACK_CRL_PORT"])
    pki = os.path.join(assets, "pki")
    crl, address = os.path.join(pki, "ca.crl"), f"http://127.0.0.1:{port}/ca.crl".encode()

    def release(suffix):
        return os.path.join(assets, "releases", f"fwstack-0.0.3{suffix}.exe")

    serial = run("openssl", "x509", "-noout", "-serial", "-in",
                 os.path.join(pki, "revoked.crt")).stdout.strip().split(b"=")[1]
    report = b"Signature verification: ok"
    with tempfile.TemporaryDirectory() as served:
        shutil.copy(crl, served)
        der = os.path.join(served, "ca.der")
        run("openssl", "crl", "-in", crl, "-outform", "DER", "-out", der)
        rows = [
            ("the revoked signer", [release("-revoked")], True, 1,
             [b"(serial " + serial + b") is revoked", b"reason keyCompromise",
              b"must not sign again", b"get a new certificate"], [b"no valid Authenticode"], True),
            ("the good signer, its CRL fetched", [release("")], True, 0,
             [b"not revoked (CRL of \"fwstack Test Root CA\" fetched from " + address, b"verified"],
             [report], True),
            ("an unreachable CRL", [release("")], False, 1,
             [b"cannot fetch the CRL", address, b"give the CRL with --crl"],
             [b"no valid Authenticode", b"verified"], False),
            ("a PEM CRL offline", ["--crl", crl, release("")], True, 0,
             [b"not revoked", b"from " + crl.encode()], [], False),
            ("a DER CRL offline, with another CRL file", ["--crl", der, "--crl", crl,
                                                          release("-revoked")], True, 1,
             [b"is revoked", b"CRL from " + der.encode()], [], False),
            ("a CRL file holding none", ["--crl", os.path.join(pki, "ca.crt"), release("")],
             True, 1, [b"holds no CRL"], [], False),
            ("no CRL named", [release("-nocrl")], True, 1,
             [b"names no CRL distribution point", b"cannot check it either"], [], False),
            ("--no-revocation", ["--no-revocation", release("-revoked")], False, 0,
             [b"warning: revocation not checked", b"verified"], [b"must not sign again"], False),
            ("--no-revocation with --crl", ["--no-revocation", "--crl", crl, release("")], True,
             2, [b"usage"], [], False),
            ("osslsigncode's report with --verbose", ["--verbose", release("")], True, 0,
             [report, b"verified"], [], True),
        ]
        server = None
        for name, args, up, code, present, absent, fetches in rows:
            if up and server is None:
                server = UpdateServer(served, port=port).start()
            elif not up and server is not None:
                server.stop()
                server = None
            log = os.path.join(served, "requests.log")
            before = os.path.getsize(log) if os.path.exists(log) else 0
            result = run(tool, "verify", "--ca", os.path.join(pki, "ca.crt"), *args)
            out = result.stdout + result.stderr
            fetched = (os.path.getsize(log) if os.path.exists(log) else 0) > before
            cases.append(name)
            if (result.returncode != code or fetched != fetches
                    or not all(t in out for t in present) or any(t in out for t in absent)):
                failures.append(f"revocation, {name}: exit {result.returncode} (wanted {code}), "
                                f"CRL fetched {fetched}:\n{out.decode(errors='replace')}")
        if server is not None:
            server.stop()


def main(tool, program, noversion, older, newer, prerelease):
    failures = []
    with tempfile.TemporaryDirectory() as d:
        def path(name):
            return os.path.join(d, name)

        def ca(name, cn):
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                path(name + ".key"), "-out", path(name + ".crt"), "-subj", "/O=Test/CN=" + cn,
                "-days", "2", "-addext", "extendedKeyUsage=codeSigning")

        def sign(name, source, out, *stamp):
            result = run("osslsigncode", "sign", "-certs", path(name + ".crt"), "-key",
                         path(name + ".key"), "-h", "sha256", *stamp, "-in", source, "-out",
                         path(out))
            assert result.returncode == 0, result.stdout + result.stderr
            return path(out)

        ca("publisher", PUBLISHER)
        ca("other", "Someone Else s.r.o.")
        ca("prefix", PUBLISHER + " Holding")
        good = sign("publisher", program, "good.exe")
        expires = datetime.strptime(run("openssl", "x509", "-noout", "-enddate", "-in", path(
            "publisher.crt")).stdout.decode().strip().split("=")[1], "%b %d %H:%M:%S %Y %Z")
        no_stamp = [b"warning: ", b"has no timestamp: clients accept its signature only until "
                    b"the signing certificate expires on " +
                    expires.strftime("%Y-%m-%d %H:%M:%S UTC").encode()]
        stamps = TimestampServer(d, {"tsa": make_authority(d, "tsa")}).start()
        stamped = sign("publisher", program, "stamped.exe", "-ts", stamps.url + "tsa")
        stamps.stop()
        with open(path("anchors.pem"), "wb") as f:
            f.write(open(path("publisher.crt"), "rb").read() + open(path("tsa.crt"), "rb").read())
        test_pki = os.path.join(os.environ["FWSTACK_ASSETS"], "releases", "fwstack-0.0.3.exe")
        changed = path("changed.exe")
        shutil.copy(test_pki, changed)
        with open(changed, "r+b") as f:
            f.seek(4000)
            f.write(b"\x5a")
        big = path("big.exe")
        with open(big, "wb") as f:
            f.truncate(64 * 1024 * 1024 + 1)
        cases = [
            ("signed by the publisher", ["--ca", path("publisher.crt"), good], 0, b"verified"),
            ("unsigned", ["--ca", path("publisher.crt"), program], 1, b"no valid Authenticode"),
            ("another signer", ["--ca", path("other.crt"),
                                sign("other", program, "other.exe")], 1, b"not by"),
            ("a longer signer name", ["--ca", path("prefix.crt"),
                                      sign("prefix", program, "prefix.exe")], 1, b"not by"),
            ("an untrusted root", ["--ca", path("other.crt"), good], 1,
             b"ends in \"Kelvardo s.r.o.\", a root this machine does not trust"),
            ("the test PKI without --ca", [test_pki], 1,
             [b"has an intact Authenticode signature, but its certificate chain ends in "
              b"\"fwstack Test Root CA\", a root this machine does not trust", b"--ca FILE",
              b"publicly trusted code-signing certificate"]),
            ("a changed byte, without --ca", [changed], 1, b"no valid Authenticode", b"intact"),
            ("no timestamp", ["--ca", path("publisher.crt"), "--no-revocation", good], 0,
             no_stamp + [b"verified"]),
            ("no timestamp, --require-timestamp", ["--ca", path("publisher.crt"),
                                                   "--require-timestamp", good], 1,
             no_stamp[1:] + [b"(--require-timestamp)"], b"verified"),
            ("a timestamp, --require-timestamp", ["--ca", path("anchors.pem"),
                                                  "--require-timestamp", stamped], 0,
             b"timestamped", b"no timestamp"),
            ("no version resource", ["--ca", path("publisher.crt"),
                                     sign("publisher", noversion, "nover.exe")], 1,
             b"no readable file version"),
            ("a pre-release", ["--ca", path("publisher.crt"),
                               sign("publisher", prerelease, "beta.exe")], 1,
             b"announce releases only"),
            ("larger than a client downloads", ["--ca", path("publisher.crt"), big], 1,
             b"more than the 67108864"),
            ("no file", ["--ca", path("publisher.crt"), path("absent.exe")], 1, b"cannot open"),
            ("no release named", ["--ca", path("publisher.crt")], 2, b"usage"),
            ("an empty CA option", ["--ca", "", good], 2, b"usage"),
        ]
        for name, args, code, text, *absent in cases:
            result = run(tool, "verify", *args)
            out = result.stdout + result.stderr
            texts = text if isinstance(text, list) else [text]
            if (result.returncode != code or not all(t in out for t in texts)
                    or any(t in out for t in absent)):
                failures.append(f"{name}: exit {result.returncode}, wanted {code} and "
                                f"{text!r}:\n{out.decode(errors='replace')}")
        # publish, in order, into one downloads folder.
        folder = path("downloads")
        os.mkdir(folder)
        base = "https://localhost:47443/downloads/fwstack/"
        ca_args = ["--ca", path("publisher.crt")]
        signed_older = sign("publisher", older, "older.exe")
        signed_newer = sign("publisher", newer, "newer.exe")
        steps = [
            ("unsigned", [program], 1, b"no valid Authenticode"),
            ("another untrusted signer", [path("other.exe")], 1, b"a root this machine does not"),
            ("no timestamp, with --require-timestamp", ["--require-timestamp", good], 1,
             b"has no timestamp"),
            ("the first release", [good], 0, b"announces 0.0.3"),
            ("the same release again", [good], 1, b"not newer"),
            ("an older release", [signed_older], 1, b"not newer"),
            ("the same release with --force", ["--force", good], 0, b"announces 0.0.3"),
            ("a stop before the document", [signed_newer], None, b"copied"),
            ("a newer release", [signed_newer], 0, b"announces 0.0.4"),
            ("a rollback with --force", ["--force", signed_older], 0, b"announces 0.0.1"),
        ]
        for name, args, code, text in steps:
            before = open(os.path.join(folder, "latest.txt"), "rb").read() \
                if os.path.exists(os.path.join(folder, "latest.txt")) else None
            env = dict(os.environ)
            if code is None:
                env["FWSTACK_PUBLISH_STOP_BEFORE_DOCUMENT"] = "1"
            result = subprocess.run([tool, "publish", *ca_args, *args, folder, base],
                                    capture_output=True, timeout=60, env=env)
            out = result.stdout + result.stderr
            after = open(os.path.join(folder, "latest.txt"), "rb").read() \
                if os.path.exists(os.path.join(folder, "latest.txt")) else None
            problems = []
            if (result.returncode == 0) != (code == 0) or (code and result.returncode != code):
                problems.append(f"exit {result.returncode}, wanted {code}")
            if text not in out:
                problems.append(f"no {text!r}")
            if code != 0 and after != before:
                problems.append("the document changed")
            if code == 0:
                version = text.split()[-1].decode()
                release = os.path.join(folder, f"fwstack-{version}.exe")
                expected = (f"fwstack-latest 1\nversion {version}\nfile fwstack-{version}.exe\n"
                            f"sha256 {hashlib.sha256(open(release, 'rb').read()).hexdigest()}\n"
                            f"url {base}fwstack-{version}.exe\n").encode()
                if after != expected:
                    problems.append(f"document {after!r}")
            if code is None and not os.path.exists(os.path.join(folder, "fwstack-0.0.4.exe")):
                problems.append("the release was not copied before the stop")
            cases.append(name)
            if problems:
                failures.append(f"publish {name}: {'; '.join(problems)}:\n"
                                f"{out.decode(errors='replace')}")
        def expect(name, result, code, text, holds=True):
            cases.append(name)
            if result.returncode != code or text not in result.stderr or not holds:
                failures.append(f"{name}: exit {result.returncode}:\n"
                                f"{(result.stdout + result.stderr).decode(errors='replace')}")

        mistyped = path("downlaods")
        expect("a mistyped downloads folder",
               subprocess.run([tool, "publish", *ca_args, good, mistyped, base],
                              capture_output=True, timeout=60), 1,
               b"downlaods: No such file or directory; give the folder the server serves",
               not os.path.exists(mistyped))
        # A folder the publishing account may not write (root, as in CI, drops
        # its override of file rights for this): the system's reason, and no file.
        unwritable = path("unwritable")
        os.makedirs(unwritable)
        os.chmod(unwritable, 0o555)
        as_user = (["capsh", "--drop=cap_dac_override,cap_dac_read_search", "--", "-c",
                    'exec "$0" "$@"'] if os.geteuid() == 0 else [])
        expect("an unwritable downloads folder",
               subprocess.run([*as_user, tool, "publish", *ca_args, good, unwritable, base],
                              capture_output=True, timeout=60), 1,
               b"Permission denied; let the publishing account write the folder",
               os.listdir(unwritable) == [])

        # While another publish holds the folder, nothing is written.
        before = open(os.path.join(folder, "latest.txt"), "rb").read()
        held = os.open(folder, os.O_RDONLY)
        fcntl.flock(held, fcntl.LOCK_EX)
        result = run(tool, "publish", *ca_args, signed_newer, folder, base)
        os.close(held)
        expect("publish while the folder is held", result, 1, b"another fwstack-publish",
               open(os.path.join(folder, "latest.txt"), "rb").read() == before)
        # A downloads address whose release a client would refuse.
        expect("publish to a plain http address",
               run(tool, "publish", *ca_args, "--force", good, folder,
                   "http://example.com/downloads/fwstack/"), 1, b"a client refuses")
        leftovers = [n for n in os.listdir(folder) if n.endswith(".tmp")]
        cases.append("no temporary files left")
        if leftovers:
            failures.append(f"temporary files left: {leftovers}")
    revocation(tool, failures, cases)
    for failure in failures:
        print("FAIL", failure)
    print(f"{len(cases) - len(failures)} of {len(cases)} cases passed")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 7:
        sys.exit("usage: verify_release.py <fwstack-publish> <0.0.3.exe> <0.0.3 without "
                 "version resource.exe> <0.0.1.exe> <0.0.4.exe> <0.0.3-beta.1.exe>")
    sys.exit(main(*sys.argv[1:]))
