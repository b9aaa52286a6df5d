# Helpers of the end-to-end tests: folders that Wine can see, Windows programs
# run under Wine with their output caught in files, update information
# documents, and the HTTPS update server on the end-to-end port.
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = os.environ["FWSTACK_SOURCE"]
BUILD = os.environ["FWSTACK_BUILD"]
ASSETS = os.environ["FWSTACK_ASSETS"]
VARIANTS = os.environ["FWSTACK_VARIANTS"]
PORT = int(os.environ["FWSTACK_E2E_PORT"])
PRODUCT = os.environ["FWSTACK_EXE"]
LAUNCH = os.environ["FWSTACK_LAUNCH"]
HOLD_FILE = os.environ["FWSTACK_HOLD_FILE"]
WINE_RUN = os.environ["FWSTACK_WINE_RUN"]
WINEPREFIX = os.environ["FWSTACK_WINEPREFIX"]

sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
from update_server import UpdateServer  # noqa: E402

HOST = "localhost:%d" % PORT
DOWNLOADS = "https://%s/downloads/fwstack/" % HOST
USAGE = b"usage: fwstack --version | update\n"
SIBLINGS = (".old", ".new", ".download", ".latest")
# Generous: a cold Wine start plus the program's own 15 s and 30 s time-outs.
RUN_TIMEOUT = 120


def release(name):
    """Path of a file in the assets' releases folder, e.g. fwstack-0.0.3.exe."""
    return os.path.join(ASSETS, "releases", name)


def variant(version):
    return os.path.join(VARIANTS, version, "fwstack.exe")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def windows_path(path):
    # NOTE: Wine maps the whole Unix tree to drive Z:.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def document(version, file_name, data, url=None, first_line=b"fwstack-latest 1\n"):
    """The five-line update information document for a release of these bytes."""
    if url is None:
        url = DOWNLOADS + file_name
    return (first_line
            + b"version " + version.encode() + b"\n"
            + b"file " + file_name.encode() + b"\n"
            + b"sha256 " + hashlib.sha256(data).hexdigest().encode() + b"\n"
            + b"url " + url.encode() + b"\n")


def _capture(argv, cwd, timeout, env=None):
    # NOTE: output goes into files, never pipes: Wine services started along
    # the way inherit the handles and would keep a pipe open.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                              cwd=cwd, timeout=timeout, env=env).returncode
        out.seek(0)
        err.seek(0)
        return code, out.read(), err.read()


def run_windows(program, *args, cwd=None, timeout=RUN_TIMEOUT, env=None):
    """Runs a Windows program under Wine: (exit code, stdout bytes, stderr bytes).

    env adds variables for this run (FWSTACK_DLLOVERRIDES, FWSTACK_WINEDEBUG)."""
    return _capture([WINE_RUN, program, *args], cwd, timeout,
                    dict(os.environ, **env) if env else None)


def launch(command_line, application, timeout=RUN_TIMEOUT):
    """Starts application with exactly this command line through launch.exe."""
    with tempfile.NamedTemporaryFile(suffix=".cmdline", dir=BUILD, delete=False) as f:
        f.write(command_line.encode("utf-8"))
        name = f.name
    try:
        return run_windows(LAUNCH, windows_path(name), windows_path(application),
                           timeout=timeout)
    finally:
        os.unlink(name)


def stop_wineserver():
    env = dict(os.environ, WINEPREFIX=WINEPREFIX)
    subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_windows_unprivileged(program, *args, timeout=RUN_TIMEOUT):
    """Runs a Windows program with root's file-permission override dropped.

    Root ignores missing write permission, and the wineserver opens files for
    its clients, so the server is stopped first and the whole Wine invocation,
    server included, runs without the capabilities; afterwards the server is
    stopped again so later runs get an ordinary one."""
    stop_wineserver()
    try:
        return _capture(["capsh", "--drop=cap_dac_override,cap_dac_read_search", "--",
                         "-c", 'exec "$0" "$@"', WINE_RUN, program, *args],
                        None, timeout)
    finally:
        stop_wineserver()


class Background:
    """A Windows program running under Wine while the test goes on."""

    def __init__(self, program, *args):
        self.out = tempfile.TemporaryFile()
        self.err = tempfile.TemporaryFile()
        self.process = subprocess.Popen([WINE_RUN, program, *args], stdin=subprocess.DEVNULL,
                                        stdout=self.out, stderr=self.err)

    def wait(self, timeout=RUN_TIMEOUT):
        code = self.process.wait(timeout=timeout)
        self.out.seek(0)
        self.err.seek(0)
        result = code, self.out.read(), self.err.read()
        self.out.close()
        self.err.close()
        return result

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def wait_for(condition, timeout=60.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


class E2ETestCase(unittest.TestCase):
    """A test with its own folder (program folder and server root) and server."""

    folder_base = None  # where the test's folder goes; the build tree's e2e-tmp if None

    def setUp(self):
        base = self.folder_base or os.path.join(BUILD, "e2e-tmp")
        os.makedirs(base, exist_ok=True)
        self.folder = tempfile.mkdtemp(prefix=self.id().rsplit(".", 1)[-1] + "-", dir=base)
        self.addCleanup(self._remove_folder)
        self.program_dir = os.path.join(self.folder, "program")
        os.makedirs(self.program_dir)
        self.root = os.path.join(self.folder, "served")
        os.makedirs(os.path.join(self.root, "downloads", "fwstack"))
        self.server = None

    def _remove_folder(self):
        for here, dirs, _ in os.walk(self.folder):
            for d in dirs:
                os.chmod(os.path.join(here, d), 0o755)
        shutil.rmtree(self.folder, ignore_errors=True)

    # --- the program under test ---

    def install(self, source, folder=None):
        """Copies a program into the program folder as fwstack.exe."""
        folder = folder or self.program_dir
        os.makedirs(folder, exist_ok=True)
        self.program = os.path.join(folder, "fwstack.exe")
        shutil.copyfile(source, self.program)
        return self.program

    def run_program(self, *args, env=None):
        return run_windows(self.program, *args, env=env)

    def folder_files(self, folder=None):
        return sorted(os.listdir(folder or self.program_dir))

    # --- the server ---

    def served(self, name):
        return os.path.join(self.root, "downloads", "fwstack", name)

    def announce(self, version, release_file, file_name=None, url=None, data=None):
        """Serves a document for release_file (served as file_name) and the file.

        data, when given, are the bytes the document's digest is taken of;
        the served bytes are always those of release_file."""
        body = read(release_file)
        file_name = file_name or os.path.basename(release_file)
        write(self.served(file_name), body)
        doc = document(version, file_name, body if data is None else data, url)
        write(self.served("latest.txt"), doc)
        return doc

    def start_server(self, before_answer=None, tls_version=None):
        pki = os.path.join(ASSETS, "pki")
        self.server = UpdateServer(self.root, port=PORT,
                                   tls=(os.path.join(pki, "localhost.crt"),
                                        os.path.join(pki, "localhost.key")),
                                   before_answer=before_answer, tls_version=tls_version)
        self.server.start()
        self.addCleanup(self.server.stop)
        return self.server

    def serve_crl(self):
        """Serves the test CA's CRL at the address its certificates name."""
        folder = os.path.join(self.folder, "crl")
        os.makedirs(folder)
        shutil.copy(os.path.join(ASSETS, "pki", "ca.crl"), folder)
        self.crl_server = UpdateServer(folder, port=int(os.environ["FWSTACK_CRL_PORT"])).start()
        self.addCleanup(self.crl_server.stop)

    def requests(self):
        path = os.path.join(self.root, "requests.log")
        return read(path).decode("utf-8", "replace") if os.path.exists(path) else ""
