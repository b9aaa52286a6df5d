# End to end: a signed 0.0.2 program updates itself to a signed 0.0.3 over HTTPS.
import os
import unittest

import e2e_support as e2e


class SelfUpdate(e2e.E2ETestCase):

    def test_update_replaces_the_program_and_the_next_start_tidies_up(self):
        previous = e2e.read(self.install(e2e.release("fwstack-0.0.2.exe")))
        new_release = e2e.release("fwstack-0.0.3.exe")
        doc = self.announce("0.0.3", new_release)
        self.start_server()

        self.assertEqual(self.run_program("update"), (0, b"fwstack updated to 0.0.3\n", b""))
        self.assertEqual(e2e.read(self.program), e2e.read(new_release))
        self.assertEqual(e2e.read(self.program + ".old"), previous)
        self.assertEqual(e2e.read(self.program + ".latest"), doc)
        self.assertEqual(self.folder_files(),
                         ["fwstack.exe", "fwstack.exe.latest", "fwstack.exe.old"])
        self.assertIn("/downloads/fwstack/fwstack-0.0.3.exe", self.requests())

        self.assertEqual(self.run_program("--version"), (0, b"fwstack 0.0.3\n", b""))
        self.assertEqual(self.folder_files(), ["fwstack.exe"])

        self.assertEqual(self.run_program("update"),
                         (0, b"fwstack 0.0.3 is up to date\n", b""))
        self.assertEqual(e2e.read(self.program), e2e.read(new_release))

    def test_a_program_beyond_max_path_updates_itself(self):
        # Wine opens paths of any length, so the form the program gives them
        # is seen in the Windows tests; here the whole run and the clean-up
        # at the next start, from 251 units (its ".download" reaches 260) up.
        new_release = e2e.release("fwstack-0.0.3.exe")
        self.announce("0.0.3", new_release)
        self.start_server()
        for units in (251, 259, 1083):
            folder = os.path.join(self.program_dir, str(units))
            while len(e2e.windows_path(os.path.join(folder, "fwstack.exe"))) < units:
                room = units - len(e2e.windows_path(os.path.join(folder, "fwstack.exe"))) - 1
                folder = os.path.join(folder, "d" * (room if room <= 200 else 150 if room < 202 else 200))
            with self.subTest(units=units):
                self.install(e2e.release("fwstack-0.0.2.exe"), folder)
                self.assertEqual(len(e2e.windows_path(self.program)), units)
                self.assertEqual(self.run_program("update"), (0, b"fwstack updated to 0.0.3\n", b""))
                self.assertEqual(self.run_program("--version"), (0, b"fwstack 0.0.3\n", b""))
                self.assertEqual(self.folder_files(folder), ["fwstack.exe"])
                self.assertEqual(e2e.read(self.program), e2e.read(new_release))

    def test_a_second_update_while_an_old_instance_still_runs(self):
        # A program that updated itself keeps running from .old; on Windows
        # that name can then be neither removed nor replaced. Wine lets a
        # running program's file go, so a helper holds it as Windows would.
        first, second = e2e.release("fwstack-0.0.3.exe"), e2e.release("fwstack-0.0.4.exe")
        self.install(e2e.release("fwstack-0.0.2.exe"))
        self.announce("0.0.3", first)
        self.start_server()
        self.assertEqual(self.run_program("update"), (0, b"fwstack updated to 0.0.3\n", b""))
        holder = e2e.Background(e2e.HOLD_FILE, e2e.windows_path(self.program + ".old"))
        try:
            self.assertTrue(e2e.wait_for(lambda: os.pread(holder.out.fileno(), 4, 0) == b"held"))
            self.announce("0.0.4", second)
            self.assertEqual(self.run_program("update"), (0, b"fwstack updated to 0.0.4\n", b""))
            self.assertEqual(e2e.read(self.program), e2e.read(second))
            self.assertEqual(e2e.read(self.program + ".old1"), e2e.read(first))
            # The next start takes what it can; the held name waits.
            self.assertEqual(self.run_program("--version"), (0, b"fwstack 0.0.4\n", b""))
            self.assertEqual(self.folder_files(), ["fwstack.exe", "fwstack.exe.old"])
        finally:
            holder.kill()
        self.assertEqual(self.run_program("--version"), (0, b"fwstack 0.0.4\n", b""))
        self.assertEqual(self.folder_files(), ["fwstack.exe"])


if __name__ == "__main__":
    unittest.main()
