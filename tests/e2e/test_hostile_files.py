# End to end: read-only siblings and hard links planted at a sibling's name
# never stop an update and never change a file outside the program's own.
import os
import stat
import unittest

import e2e_support as e2e

RELEASE = "fwstack-0.0.3.exe"
UPDATED = (0, b"fwstack updated to 0.0.3\n", b"")
VICTIM_BYTES = b"a file of someone else's\n" * 40


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


class HostileFiles(e2e.E2ETestCase):

    def setUp(self):
        super().setUp()
        self.previous = e2e.read(self.install(e2e.release("fwstack-0.0.2.exe")))
        self.new_release = e2e.read(e2e.release(RELEASE))
        self.doc = self.announce("0.0.3", e2e.release(RELEASE))

    def assert_tidy_after_next_start(self, unprivileged=False):
        run = e2e.run_windows_unprivileged if unprivileged else e2e.run_windows
        self.assertEqual(run(self.program, "--version")[0], 0)
        self.assertEqual(self.folder_files(), ["fwstack.exe"])

    def test_read_only_program_updates_twice_and_its_old_copy_goes(self):
        # NOTE: Wine replaces a read-only file on a rename where Windows
        # refuses; what both show is the read-only .old that must not stay.
        self.start_server()
        for version, name in (("0.0.3", RELEASE), ("0.0.4", "fwstack-0.0.4.exe")):
            self.announce(version, e2e.release(name))
            os.chmod(self.program, 0o444)
            before = e2e.read(self.program)
            self.assertEqual(e2e.run_windows_unprivileged(self.program, "update"),
                             (0, b"fwstack updated to %s\n" % version.encode(), b""))
            self.assertEqual(e2e.read(self.program), e2e.read(e2e.release(name)))
            self.assertEqual(e2e.read(self.program + ".old"), before)
            self.assert_tidy_after_next_start(unprivileged=True)

    def test_read_only_leftovers_are_removed_and_replaced(self):
        for sibling in (".download", ".latest", ".new", ".old"):
            with self.subTest(sibling=sibling):
                self.install(e2e.release("fwstack-0.0.2.exe"))
                e2e.write(self.program + sibling, b"left over")
                os.chmod(self.program + sibling, 0o444)
                if self.server is None:
                    self.start_server()
                self.assertEqual(e2e.run_windows_unprivileged(self.program, "update"), UPDATED)
                self.assertEqual(e2e.read(self.program), self.new_release)
                self.assertEqual(e2e.read(self.program + ".latest"), self.doc)
                self.assert_tidy_after_next_start(unprivileged=True)

    def test_hard_link_planted_at_a_sibling_leaves_its_file_alone(self):
        # (sibling name, request during which it is planted, the linked file's mode)
        cases = [(".download", "latest.txt", 0o644), (".download", "latest.txt", 0o444),
                 (".latest", "latest.txt", 0o644), (".latest", RELEASE, 0o644),
                 (".latest", RELEASE, 0o444)]
        for sibling, during, victim_mode in cases:
            with self.subTest(sibling=sibling, during=during, mode=oct(victim_mode)):
                self.install(e2e.release("fwstack-0.0.2.exe"))
                victim = os.path.join(self.folder, "elsewhere", "victim.bin")
                e2e.write(victim, VICTIM_BYTES)
                os.chmod(victim, victim_mode)
                planted = []

                def plant(path, sibling=sibling, during=during, victim=victim):
                    if path.endswith("/" + during) and not planted:
                        os.link(victim, self.program + sibling)
                        planted.append(path)

                self.start_server(before_answer=plant)
                result = e2e.run_windows_unprivileged(self.program, "update")
                self.server.stop()
                self.assertEqual(planted, ["/downloads/fwstack/" + during])
                self.assertEqual(result, UPDATED)
                self.assertEqual(e2e.read(self.program), self.new_release)
                self.assertEqual(e2e.read(self.program + ".latest"), self.doc)
                self.assertEqual(e2e.read(victim), VICTIM_BYTES)
                self.assertEqual((os.stat(victim).st_nlink, mode(victim)), (1, victim_mode))
                self.assertEqual(sorted(os.listdir(os.path.dirname(victim))), ["victim.bin"])
                self.assert_tidy_after_next_start()


if __name__ == "__main__":
    unittest.main()
