# examples/gui as a user meets it: built against the installed package as
# 1.0.0 and 1.0.1, 1.0.1 published with fwstack-publish, then 1.0.0 run under
# Wine on a virtual X display with --auto, which presses Check for updates,
# Download and Restart to update in turn. The server holds the release
# halfway until the test has taken a screenshot of the progress bar; the
# restarted program checks again and closes. Another run clicks Cancel (with
# xdotool) while the release is held.   gui_update.py
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e_support as e2e  # noqa: E402
from example_builds import CA, PKI, TREES, install_and_build, run  # noqa: E402

PROGRAM = "hello-gui"
PRODUCT = "Hello GUI"
PUBLISHER = "Example Tools Ltd."
TOOL = os.environ["FWSTACK_PUBLISH_TOOL"]
DOWNLOADS = "https://%s/downloads/%s/" % (e2e.HOST, PROGRAM)
# The Wine desktop the program runs on, as large as the X screen.
SCREEN = (440, 136)
# Where the screenshot mid-download is kept (the README shows a copy).
SHOT = os.path.join(TREES, "gui-download.png")
WAIT = 300
# A progress line: KB received, and of how many when the server told.
PROGRESS = re.compile(r"Downloading 1\.0\.1: (\d+)( of \d+)? KB$")


def file_version(data):
    """X.Y.Z of the fixed file information in a version resource."""
    at = data.find(struct.pack("<II", 0xFEEF04BD, 0x00010000))
    assert at >= 0, "no version resource"
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16)


def start_xvfb(width, height):
    """An X server on a free display: (process, display name), once it accepts clients."""
    ready, tell = os.pipe()
    process = subprocess.Popen(["Xvfb", "-displayfd", str(tell), "-nolisten", "tcp", "-screen",
                                "0", "%dx%dx24" % (width, height)], pass_fds=(tell,),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    os.close(tell)
    number = b""
    with os.fdopen(ready, "rb") as told:  # Xvfb writes the number when it is ready
        number = told.readline().strip()
    if not number:
        process.kill()
        raise AssertionError("Xvfb did not start")
    return process, ":" + number.decode()


def partly_filled_bar(rgb, width):
    """Whether the screen shows a progress bar neither empty nor full: rows of the
    highlight colour in one run (the bar's filled part, or a marquee's block) far
    shorter than the title bar."""
    def blue(x, row):
        r, g, b = row[3 * x:3 * x + 3]
        return r < 80 and 130 <= g <= 170 and b > 230
    runs = []
    for y in range(len(rgb) // (3 * width)):
        row = rgb[3 * width * y:3 * width * (y + 1)]
        xs = [x for x in range(width) if blue(x, row)]
        if xs and xs[-1] - xs[0] + 1 == len(xs):
            runs.append(len(xs))
    widest = max(runs, default=0)
    return sum(1 for n in runs if 3 <= n < 0.9 * widest) >= 8


class WindowProgramUpdatesItself(e2e.E2ETestCase):

    def setUp(self):
        super().setUp()
        self.old, self.new = install_and_build(self, "gui", PROGRAM, DOWNLOADS)
        self.halfway, self.go_on = threading.Event(), threading.Event()
        self.addCleanup(self.go_on.set)
        self.serve_crl()

    def hold_release(self, path, sent, total):
        if path.endswith(".exe") and sent * 2 >= total and not self.halfway.is_set():
            self.halfway.set()
            self.go_on.wait(WAIT)

    def log_lines(self):
        path = os.path.join(self.folder, "gui.log")
        return e2e.read(path).decode().splitlines() if os.path.exists(path) else []

    def start_until_held(self):
        """Publishes 1.0.1, starts 1.0.0 with --auto on its own display and returns
        once the release is held halfway and the window has shown some of it."""
        served = os.path.join(self.root, "downloads", PROGRAM)
        os.makedirs(served)
        identity = ["--program", PROGRAM, "--publisher", PUBLISHER, "--product", PRODUCT]
        run(TOOL, "publish", "--ca", CA, *identity, self.new, served, DOWNLOADS)
        document = e2e.read(os.path.join(served, "latest.txt")).decode()
        self.release = re.search(r"^file (\S+)$", document, re.M).group(1)
        self.release_size = len(e2e.read(os.path.join(served, self.release)))
        # The release in pieces of 2 KiB, so that progress comes in steps.
        e2e.write(os.path.join(served, self.release + ".drip"), b"2048 0.05")
        pki = (os.path.join(PKI, "localhost.crt"), os.path.join(PKI, "localhost.key"))
        self.server = e2e.UpdateServer(self.root, port=e2e.PORT, tls=pki,
                                       during_body=self.hold_release).start()
        self.addCleanup(self.server.stop)

        self.program = os.path.join(self.program_dir, PROGRAM + ".exe")
        shutil.copyfile(self.old, self.program)
        # Wine's own services start without the display, before the program does.
        e2e.run_windows(e2e.PRODUCT, "--version")
        xvfb, self.display = start_xvfb(*SCREEN)
        self.addCleanup(xvfb.wait)
        self.addCleanup(xvfb.kill)
        desktop = "/desktop=%s,%dx%d" % (PROGRAM, *SCREEN)
        log = e2e.windows_path(os.path.join(self.folder, "gui.log"))
        # explorer runs the program on a desktop of its own and ends when the
        # last program on it has ended.
        self.wine = subprocess.Popen([e2e.WINE_RUN, "explorer", desktop, self.program, "--auto",
                                      log], env=dict(os.environ, DISPLAY=self.display),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        self.addCleanup(self.wine.kill)

        def shown_partway():  # some bytes shown, and the rest held back by the server
            return self.halfway.is_set() and any(
                int(step.group(1)) > 0 for step in map(PROGRESS.match, self.log_lines()) if step)
        self.assertTrue(e2e.wait_for(shown_partway, WAIT), self.log_lines())

    def test_check_download_restart_with_a_screenshot_mid_download(self):
        self.start_until_held()
        display, wine, program, release = self.display, self.wine, self.program, self.release
        # The window paints when its thread is idle again: a few tries at most.
        shot = os.path.join(self.folder, "shot.png")
        for _ in range(20):
            run("import", "-display", display, "-window", "root", shot)
            rgb = subprocess.run(["convert", shot, "-depth", "8", "rgb:-"], capture_output=True,
                                 check=True).stdout
            if partly_filled_bar(rgb, SCREEN[0]):
                break
        else:
            shutil.copyfile(shot, SHOT)
            self.fail("no screenshot shows the progress bar partly filled: " + SHOT)
        shutil.copyfile(shot, SHOT)
        self.go_on.set()

        self.assertEqual(wine.wait(WAIT), 0)
        lines = self.log_lines()
        progress = [line for line in lines if line.startswith("Downloading 1.0.1: ")]
        self.assertEqual([line for line in lines if line not in progress], [
            "Hello GUI 1.0.0",
            "Asking the update server...",
            "hello-gui 1.0.1 is available",
            "Downloading...",
            "hello-gui 1.0.1 is ready to install",
            "hello-gui updated to 1.0.1",
            "Starting the new version...",
            "Hello GUI 1.0.1",
            "Asking the update server...",
            "hello-gui 1.0.1 is up to date",
        ])
        # The bytes so far, growing; the first line comes before the request,
        # every later one with the length the server sent.
        size = self.release_size
        steps = [PROGRESS.match(line) for line in progress]
        self.assertTrue(all(steps), progress)
        received = [int(step.group(1)) for step in steps]
        self.assertEqual(received, sorted(received))
        self.assertLessEqual(received[-1], size // 1024)
        self.assertEqual(received[0], 0, progress)
        totals = {step.group(2) for step in steps[1:]}
        self.assertEqual(totals, {" of %d" % ((size + 1023) // 1024)}, progress)
        self.assertEqual(e2e.read(program), e2e.read(self.new))
        self.assertEqual(file_version(e2e.read(program)), "1.0.1")
        # Nothing staged or downloaded is left; the new version's start removed
        # the old one unless it was still ending then.
        self.assertIn(self.folder_files(), ([PROGRAM + ".exe"], [PROGRAM + ".exe", PROGRAM + ".exe.old"]))
        # Check, the download's own check and the release, then the new
        # version's check: the release came once.
        document, release = "/downloads/%s/latest.txt" % PROGRAM, "/downloads/%s/%s" % (PROGRAM, release)
        self.assertEqual(self.requests().splitlines(), [document, document, release, document])
        print("%s: screenshot mid-download in %s" % (PROGRAM, SHOT), file=sys.stderr)

    def test_cancel_mid_download_leaves_the_program_alone(self):
        self.start_until_held()
        # A click on Cancel, where the window lays it out (client 224..294 x
        # 68..94, below Wine's frame and title bar); the rest of the release
        # comes once the window has taken it.
        env = dict(os.environ, DISPLAY=self.display)
        subprocess.run(["xdotool", "mousemove", "259", "103", "click", "1"], env=env, check=True,
                       timeout=60)
        self.assertTrue(e2e.wait_for(lambda: "Cancelling..." in self.log_lines(), WAIT),
                        self.log_lines())
        self.go_on.set()
        self.assertEqual(self.wine.wait(WAIT), 0)
        lines = [line for line in self.log_lines() if not PROGRESS.match(line)]
        self.assertEqual(lines, [
            "Hello GUI 1.0.0",
            "Asking the update server...",
            "hello-gui 1.0.1 is available",
            "Downloading...",
            "Cancelling...",
            "hello-gui update failed: the update was cancelled",
        ])
        self.assertEqual(e2e.read(self.program), e2e.read(self.old))
        self.assertEqual(self.folder_files(), [PROGRAM + ".exe"])


if __name__ == "__main__":
    unittest.main()
