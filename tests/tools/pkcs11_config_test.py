#!/usr/bin/env python3
"""Configuring a program signed from a PKCS#11 token: a SoftHSM2 token of its
own, a tiny project through fwstack_update_program, and for each thing that
can be wrong (module, token, key, PIN) the configure error that names it."""
import os
import secrets
import subprocess
import sys
import tempfile

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PROJECT = """cmake_minimum_required(VERSION 3.16)
project(tiny C)
include({source}/cmake/fwstack_update_program.cmake)
add_executable(tiny tiny.c)
fwstack_update_program(tiny VERSION 1.0.0 PRODUCT Tiny PUBLISHER "Kelvardo s.r.o."
    SIGN_CERTS ${{CERTS}} SIGN_KEY "${{KEY}}" SIGN_PKCS11_MODULE ${{MODULE}}
    SIGN_PASSWORD_FILE "${{PIN}}")
"""


def main():
    module = next(p for p in subprocess.run(["dpkg", "-L", "libsofthsm2"], capture_output=True,
                                            text=True).stdout.split()
                  if p.endswith("/softhsm/libsofthsm2.so"))
    failures, label = [], "publisher-" + secrets.token_hex(4)
    with tempfile.TemporaryDirectory() as d:
        def path(name):
            return os.path.join(d, name)

        conf = path("softhsm2.conf")
        os.makedirs(path("tokens"))
        with open(conf, "w") as f:
            f.write(f"directories.tokendir = {path('tokens')}\n")
        env = dict(os.environ, SOFTHSM2_CONF=conf)
        pin = secrets.token_hex(6)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        path("key.pem"), "-out", path("cert.pem"), "-subj", "/CN=Kelvardo s.r.o.",
                        "-days", "2"], check=True, capture_output=True)
        subprocess.run(["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", path("key.pem"), "-out",
                        path("key.p8")], check=True, capture_output=True)
        for step in (["--init-token", "--free", "--label", label, "--pin", pin, "--so-pin",
                      secrets.token_hex(6)],
                     ["--import", path("key.p8"), "--token", label, "--label", "signkey", "--id",
                      "01", "--pin", pin]):
            subprocess.run(["softhsm2-util", *step], check=True, capture_output=True, env=env)
        for name, text in (("right", pin), ("wrong", "0" + pin)):
            with open(path(name), "w") as f:
                f.write(text + "\n")
        os.makedirs(path("project"))
        with open(path("project/CMakeLists.txt"), "w") as f:
            f.write(PROJECT.format(source=SOURCE))
        with open(path("project/tiny.c"), "w") as f:
            f.write("int main(void) { return 0; }\n")

        key = f"pkcs11:token={label};object=signkey;type=private"
        no_conf = {k: v for k, v in env.items() if k != "SOFTHSM2_CONF"}
        # (case, key URI, PIN file, module, environment, exit code, texts in the output)
        rows = [
            ("the token, key and PIN", key, "right", module, env, 0,
             [f"signing key: found in token '{label}'"]),
            ("a wrong token label", key.replace(label, label + "x"), "right", module, env, 1,
             [f"no token with token={label}x is in the PKCS#11 module", f"the tokens '{label}'",
              "correct the token part"]),
            ("a wrong key id", f"pkcs11:token={label};id=%02", "right", module, env, 1,
             [f"the token '{label}' holds no private key", "object=signkey id=%01",
              "correct object= or id="]),
            ("a wrong PIN", key, "wrong", module, env, 1,
             [f"does not open the token '{label}'", "the token refused the login", "put the token's user PIN"]),
            ("no PIN file", key, "", module, env, 1,
             [f"the token '{label}' needs its user PIN", "FWSTACK_SIGN_PASSWORD_FILE"]),
            ("SOFTHSM2_CONF not set", key, "right", module, no_conf, 1,
             [f"no token with token={label}", "SOFTHSM2_CONF"]),
            ("SOFTHSM2_CONF naming no file", key, "right", module,
             dict(env, SOFTHSM2_CONF=path("absent.conf")), 1,
             [f"the PKCS#11 module '{module}' cannot be loaded or started", "SOFTHSM2_CONF"]),
            ("a file that is no module", key, "right", conf, env, 1,
             [f"the PKCS#11 module '{conf}' cannot be loaded"]),
        ]
        for name, uri, pin_file, lib, environment, code, texts in rows:
            result = subprocess.run(
                ["cmake", "-S", path("project"), "-B", path("build"), "-G", "Ninja",
                 f"-DCMAKE_TOOLCHAIN_FILE={SOURCE}/cmake/mingw-w64-x86_64.cmake",
                 f"-DCERTS={path('cert.pem')}", f"-DKEY={uri}", f"-DMODULE={lib}",
                 f"-DPIN={path(pin_file) if pin_file else ''}"],
                capture_output=True, text=True, env=environment, timeout=300)
            out = " ".join((result.stdout + result.stderr).split())
            missing = [t for t in texts if t not in out]
            if (result.returncode != 0) != (code != 0) or missing or pin in out:
                failures.append(f"{name}: exit {result.returncode}, wanted {code}; missing "
                                f"{missing}:\n{result.stdout}{result.stderr}")
    for failure in failures:
        print("FAIL", failure)
    print(f"{len(rows) - len(failures)} of {len(rows)} cases passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
