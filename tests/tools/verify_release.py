#!/usr/bin/env python3
"""fwstack-publish verify: a release signed by the publisher passes; unsigned,
wrongly signed, untrusted and version-less files are refused with exit 1."""
import os
import subprocess
import sys
import tempfile

PUBLISHER = "Kelvardo s.r.o."


def run(*args):
    return subprocess.run(args, capture_output=True, timeout=60)


def main(tool, program, noversion):
    failures = []
    with tempfile.TemporaryDirectory() as d:
        def path(name):
            return os.path.join(d, name)

        def ca(name, cn):
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                path(name + ".key"), "-out", path(name + ".crt"), "-subj", "/O=Test/CN=" + cn,
                "-days", "2", "-addext", "extendedKeyUsage=codeSigning")

        def sign(name, source, out):
            result = run("osslsigncode", "sign", "-certs", path(name + ".crt"), "-key",
                         path(name + ".key"), "-h", "sha256", "-in", source, "-out", path(out))
            assert result.returncode == 0, result.stdout + result.stderr
            return path(out)

        ca("publisher", PUBLISHER)
        ca("other", "Someone Else s.r.o.")
        ca("prefix", PUBLISHER + " Holding")
        good = sign("publisher", program, "good.exe")
        cases = [
            ("signed by the publisher", ["--ca", path("publisher.crt"), good], 0, b"verified"),
            ("unsigned", ["--ca", path("publisher.crt"), program], 1, b"no valid Authenticode"),
            ("another signer", ["--ca", path("other.crt"),
                                sign("other", program, "other.exe")], 1, b"not by"),
            ("a longer signer name", ["--ca", path("prefix.crt"),
                                      sign("prefix", program, "prefix.exe")], 1, b"not by"),
            ("an untrusted root", ["--ca", path("other.crt"), good], 1,
             b"no valid Authenticode"),
            ("no version resource", ["--ca", path("publisher.crt"),
                                     sign("publisher", noversion, "nover.exe")], 1,
             b"no readable file version"),
            ("no file", ["--ca", path("publisher.crt"), path("absent.exe")], 1, b"cannot open"),
            ("no release named", ["--ca", path("publisher.crt")], 2, b"usage"),
            ("an empty CA option", ["--ca", "", good], 2, b"usage"),
        ]
        for name, args, code, text in cases:
            result = run(tool, "verify", *args)
            out = result.stdout + result.stderr
            if result.returncode != code or text not in out:
                failures.append(f"{name}: exit {result.returncode}, wanted {code} and "
                                f"{text!r}:\n{out.decode(errors='replace')}")
    for failure in failures:
        print("FAIL", failure)
    print(f"{len(cases) - len(failures)} of {len(cases)} cases passed")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: verify_release.py <fwstack-publish> <program.exe> <program without "
                 "version resource.exe>")
    sys.exit(main(*sys.argv[1:]))
