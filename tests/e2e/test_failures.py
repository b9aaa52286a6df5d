# End to end: every refused update names its reason, exits with 1 and leaves
# the installed program as it was.
import os
import unittest

import e2e_support as e2e

RELEASE = "fwstack-0.0.3.exe"
OTHER_PORT_URL = "https://localhost:%d/downloads/fwstack/%s" % (e2e.PORT + 1, RELEASE)


def failure(message):
    return b"fwstack update failed: " + message + b"\n"


def plain(case):
    case.announce("0.0.3", e2e.release(RELEASE))


def sidecar(name, suffix, text):
    def arrange(case):
        plain(case)
        e2e.write(case.served(name) + suffix, text.encode())
    return arrange


def malformed(case):
    plain(case)
    doc = e2e.read(case.served("latest.txt"))
    e2e.write(case.served("latest.txt"), doc.replace(b"\n", b"\r\n"))


def other_port(case):
    case.announce("0.0.3", e2e.release(RELEASE), url=OTHER_PORT_URL)


def damaged(case):
    good = e2e.read(e2e.release(RELEASE))
    bad = os.path.join(case.folder, RELEASE)
    e2e.write(bad, good[:-1] + bytes([good[-1] ^ 1]))
    case.announce("0.0.3", bad, data=good)


def served_as_release(source):
    def arrange(case):
        case.announce("0.0.3", e2e.release(source), file_name=RELEASE)
    return arrange


# (rule, arrangement of the server, report line on standard error)
REFUSALS = [
    ("malformed_document_is_refused", malformed,
     failure(b"the update information is malformed")),
    ("download_on_another_port_is_refused", other_port,
     failure(b"the download is not on the update server")),
    ("document_missing_is_not_delivered", sidecar("latest.txt", ".status", "404"),
     failure(b"the update server did not deliver the update information")),
    ("document_redirect_is_not_followed", sidecar("latest.txt", ".status", "302"),
     failure(b"the update server did not deliver the update information")),
    ("release_missing_fails_the_download", sidecar(RELEASE, ".status", "404"),
     failure(b"the download failed")),
    ("release_redirect_fails_the_download", sidecar(RELEASE, ".status", "302"),
     failure(b"the download failed")),
    ("changed_byte_is_damage", damaged,
     failure(b"the download is damaged (SHA-256)")),
    ("unsigned_release_is_refused", served_as_release("fwstack-0.0.3-unsigned.exe"),
     failure(b"the download is not signed")),
    ("release_of_another_signer_is_refused", served_as_release("fwstack-0.0.3-other.exe"),
     failure(b"the download is signed by someone else")),
    ("release_of_another_version_is_refused", served_as_release("fwstack-0.0.4.exe"),
     failure(b"the download has the wrong version")),
    ("release_without_version_resource_is_refused",
     served_as_release("fwstack-0.0.3-noversion.exe"),
     failure(b"the download has the wrong version")),
]


class Refusals(e2e.E2ETestCase):

    def refused(self, arrange, expected_err):
        previous = e2e.read(self.install(e2e.release("fwstack-0.0.2.exe")))
        arrange(self)
        self.start_server()
        self.assertEqual(self.run_program("update"), (1, b"", expected_err))
        self.assertEqual(e2e.read(self.program), previous)
        self.assertEqual(self.folder_files(), ["fwstack.exe"])

    def test_cut_short_release_is_not_installed(self):
        # NOTE: Wine's WinHTTP takes an early close as the end of the body,
        # so the short file fails its digest; Windows reports the transfer.
        previous = e2e.read(self.install(e2e.release("fwstack-0.0.2.exe")))
        sidecar(RELEASE, ".cut", "")(self)
        self.start_server()
        code, out, err = self.run_program("update")
        self.assertEqual((code, out), (1, b""))
        self.assertIn(err, (failure(b"the download is damaged (SHA-256)"),
                            failure(b"the download failed")))
        self.assertEqual(e2e.read(self.program), previous)
        self.assertEqual(self.folder_files(), ["fwstack.exe"])

    def test_announced_installed_version_is_up_to_date(self):
        previous = e2e.read(self.install(e2e.release("fwstack-0.0.2.exe")))
        self.announce("0.0.2", e2e.release("fwstack-0.0.2.exe"))
        self.start_server()
        self.assertEqual(self.run_program("update"),
                         (0, b"fwstack 0.0.2 is up to date\n", b""))
        self.assertEqual(e2e.read(self.program), previous)
        self.assertEqual(self.folder_files(), ["fwstack.exe"])
        self.assertNotIn(RELEASE, self.requests())

    def test_second_update_is_refused_while_the_first_fetches(self):
        self.install(e2e.release("fwstack-0.0.2.exe"))
        sidecar(RELEASE, ".slow", "2")(self)
        self.start_server()
        first = e2e.Background(self.program, "update")
        self.addCleanup(first.kill)
        fetching = e2e.wait_for(lambda: RELEASE in self.requests()
                                and os.path.exists(self.program + ".download"))
        self.assertTrue(fetching, "the first update never started its download")
        self.assertEqual(self.run_program("update"),
                         (1, b"", failure(b"another update is running")))
        # The second start's clean-up cannot remove the download held open.
        self.assertEqual(first.wait(), (0, b"fwstack updated to 0.0.3\n", b""))
        self.assertEqual(e2e.read(self.program), e2e.read(e2e.release(RELEASE)))

    def test_read_only_folder_points_to_the_downloads_page(self):
        previous = e2e.read(self.install(e2e.release("fwstack-0.0.2.exe")))
        plain(self)
        self.start_server()
        os.chmod(self.program_dir, 0o555)
        try:
            result = e2e.run_windows_unprivileged(self.program, "update")
        finally:
            os.chmod(self.program_dir, 0o755)
        self.assertEqual(result, (1, b"", b"fwstack 0.0.3 is available but the program folder"
                                  b" is read-only: download it from "
                                  + e2e.DOWNLOADS.encode() + b"\n"))
        self.assertEqual(e2e.read(self.program), previous)
        self.assertEqual(self.folder_files(), ["fwstack.exe"])


def _refusal_test(arrange, expected_err):
    return lambda self: self.refused(arrange, expected_err)


for _rule, _arrange, _err in REFUSALS:
    setattr(Refusals, "test_" + _rule, _refusal_test(_arrange, _err))


if __name__ == "__main__":
    unittest.main()
