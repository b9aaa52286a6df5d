# End to end: the transport refuses TLS older than 1.2 and gives up on a
# server that drips its answer, with the real clock.
import os
import ssl
import time
import unittest

import e2e_support as e2e

RELEASE = "fwstack-0.0.3.exe"
UPDATED = (0, b"fwstack updated to 0.0.3\n", b"")
NOT_DELIVERED = (1, b"", b"fwstack update failed: the update server did not deliver the update"
                 b" information\n")


def without_gnutls(result):
    # NOTE: when Wine refuses a handshake, its GnuTLS writes "GnuTLS error: ..."
    # to the process's standard error; that line is Wine's, not the program's.
    code, out, err = result
    kept = [line for line in err.splitlines(keepends=True) if not line.startswith(b"GnuTLS error:")]
    return code, out, b"".join(kept)


class Transport(e2e.E2ETestCase):

    def test_only_tls_12_or_newer_is_spoken(self):
        rows = [(ssl.TLSVersion.TLSv1, NOT_DELIVERED), (ssl.TLSVersion.TLSv1_1, NOT_DELIVERED),
                (ssl.TLSVersion.TLSv1_2, UPDATED)]
        for version, expected in rows:
            with self.subTest(version=version.name):
                previous = e2e.read(self.install(e2e.release("fwstack-0.0.2.exe")))
                self.announce("0.0.3", e2e.release(RELEASE))
                log = os.path.join(self.root, "requests.log")
                if os.path.exists(log):
                    os.unlink(log)
                self.start_server(tls_version=version)
                try:
                    self.assertEqual(without_gnutls(self.run_program("update")), expected)
                finally:
                    self.server.stop()
                if expected == UPDATED:
                    self.assertEqual(e2e.read(self.program), e2e.read(e2e.release(RELEASE)))
                    continue
                self.assertEqual(self.requests(), "")
                self.assertEqual(e2e.read(self.program), previous)
                self.assertEqual(self.folder_files(), ["fwstack.exe"])

    def test_dripped_document_ends_within_a_minute_and_the_next_update_runs(self):
        # One byte every 2 s beats each 30 s wait; the document bound ends it.
        self.install(e2e.release("fwstack-0.0.2.exe"))
        self.announce("0.0.3", e2e.release(RELEASE))
        e2e.write(self.served("latest.txt.drip"), b"1 2")
        self.start_server()
        start = time.monotonic()
        self.assertEqual(self.run_program("update"), NOT_DELIVERED)
        elapsed = time.monotonic() - start
        self.assertGreater(elapsed, 60)
        self.assertLess(elapsed, 60 + 30)
        self.assertNotIn(RELEASE, self.requests())
        self.assertEqual(self.folder_files(), ["fwstack.exe"])
        os.unlink(self.served("latest.txt.drip"))
        self.assertEqual(self.run_program("update"), UPDATED)


if __name__ == "__main__":
    unittest.main()
