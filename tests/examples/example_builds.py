# What the example tests share: commands that must succeed, and an example
# built twice from its own CMake project against the installed package.
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e_support as e2e  # noqa: E402

PKI = os.path.join(e2e.ASSETS, "pki")
CA = os.path.join(PKI, "ca.crt")
TREES = os.path.join(e2e.BUILD, "examples")


def run(*argv, cwd=None, env=None):
    result = subprocess.run(argv, capture_output=True, timeout=900, cwd=cwd, env=env,
                            stdin=subprocess.DEVNULL)
    output = (result.stdout + result.stderr).decode(errors="replace")
    if result.returncode != 0:
        raise AssertionError("%s failed:\n%s" % (" ".join(argv), output))
    return output


def build_example(folder, prefix, version, chain, downloads, extra=(), tag="", name=None):
    """examples/<folder> at version, from its own CMake project (extra: more
    -D settings) or, where it has one instead, its build.sh (the MSVC-mode
    build), in the build folder <name or folder>-<version><tag>; that folder.
    Its program file is signed unless chain is None."""
    tree = os.path.join(TREES, "%s-%s%s" % (name or folder, version, tag))
    script = os.path.join(e2e.SOURCE, "examples", folder, "build.sh")
    if os.path.exists(script):
        shutil.rmtree(tree, ignore_errors=True)
        run("sh", script, prefix, tree, env={
            **os.environ, "HELLO_VERSION": version,
            "HELLO_UPDATE_ADDRESS": "%slatest.txt" % downloads, "HELLO_SIGN_CERTS": chain,
            "HELLO_SIGN_KEY": os.path.join(PKI, "example.key")})
        return tree
    signing = [] if chain is None else ["-DHELLO_SIGN_CERTS=" + chain,
                                        "-DHELLO_SIGN_KEY=" + os.path.join(PKI, "example.key")]
    run("cmake", "-S", os.path.join(e2e.SOURCE, "examples", folder), "-B", tree, "-G", "Ninja",
        "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_PREFIX_PATH=" + prefix,
        "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(e2e.SOURCE, "cmake", "mingw-w64-x86_64.cmake"),
        "-DHELLO_VERSION=" + version, "-DHELLO_UPDATE_ADDRESS=%slatest.txt" % downloads,
        *signing, *extra)
    run("cmake", "--build", tree)
    return tree


def install_and_build(test, folder, program, downloads, extra=()):
    """The package installed into the test's folder, the example built as
    1.0.0 and 1.0.1 signed by the example publisher: the two program files."""
    started = time.monotonic()
    prefix = os.path.join(test.folder, "prefix")
    run("cmake", "--install", e2e.BUILD, "--prefix", prefix)
    chain = os.path.join(test.folder, "chain.pem")
    e2e.write(chain, e2e.read(os.path.join(PKI, "example.crt")) + e2e.read(CA))
    files = [os.path.join(build_example(folder, prefix, v, chain, downloads, extra), program + ".exe")
             for v in ("1.0.0", "1.0.1")]
    print("%s: install and two builds took %.1f s" % (program, time.monotonic() - started),
          file=sys.stderr)
    return files
