# End to end: the real program's command line, split by the Windows quoting
# rules, chooses between --version, update and the usage text.
import os
import shutil
import unittest

import e2e_support as e2e

VERSION = (0, b"fwstack 0.0.2\n", b"")
USAGE = (2, b"", e2e.USAGE)

# Arguments as Wine passes them from its own argv.
PLAIN_ARGUMENTS = [
    (["--version"], VERSION),
    ([], USAGE),
    (["--Version"], USAGE),
    (["UPDATE"], USAGE),
    (["--version", "x"], USAGE),
]

# Exact command lines; {p} is the program path, which has a blank in it.
COMMAND_LINES = [
    ('"{p}" --version', VERSION),
    ('"{p}" "--version"', VERSION),
    ('"{p}" --ver"si"on', VERSION),
    ('"{p}" --vers""ion', VERSION),
    ('"{p}"  \t--version \t ', VERSION),
    ('"{p}"--version', USAGE),
    # Unquoted, the blank in the path splits the program name.
    ('{p} --version', USAGE),
    # A leading blank makes argument 0 empty; the program name then counts.
    (' "{p}" --version', USAGE),
    # Backslashes before a quote escape it or are halved.
    ('"{p}" \\"--version\\"', USAGE),
    ('"{p}" "--version\\\\"', USAGE),
    ('"{p}" "--version\\"', USAGE),
    ('"{p}" --VERSION', USAGE),
    ('"{p}" --versi\u00f3n', USAGE),
    ('"{p}" \u2013-version', USAGE),
]

UPDATE_LINES = [
    ('"{p}" "update"', (0, b"fwstack updated to 0.0.3\n", b"")),
    ('"{p}" up"da"te', (0, b"fwstack updated to 0.0.3\n", b"")),
    ('"{p}" UPDATE', USAGE),
    ('"{p}" update x', USAGE),
]


class CommandLine(e2e.E2ETestCase):

    def setUp(self):
        super().setUp()
        self.blank_dir = os.path.join(self.folder, "Program Files", "fw stack")

    def test_plain_arguments_choose_the_command(self):
        for args, expected in PLAIN_ARGUMENTS:
            with self.subTest(args=args):
                self.assertEqual(e2e.run_windows(e2e.PRODUCT, *args), expected)

    def test_exact_command_lines_are_split_by_the_windows_rules(self):
        program = self.install(e2e.PRODUCT, self.blank_dir)
        path = e2e.windows_path(program)
        for line, expected in COMMAND_LINES:
            with self.subTest(line=line):
                self.assertEqual(e2e.launch(line.format(p=path), program), expected)

    def test_only_the_update_keyword_runs_an_update(self):
        release = e2e.release("fwstack-0.0.2.exe")
        self.announce("0.0.3", e2e.release("fwstack-0.0.3.exe"))
        self.start_server()
        for line, expected in UPDATE_LINES:
            with self.subTest(line=line):
                if os.path.isdir(self.blank_dir):
                    shutil.rmtree(self.blank_dir)
                log = os.path.join(self.root, "requests.log")
                if os.path.exists(log):
                    os.unlink(log)
                program = self.install(release, self.blank_dir)
                result = e2e.launch(line.format(p=e2e.windows_path(program)), program)
                self.assertEqual(result, expected)
                if expected == USAGE:
                    self.assertEqual(self.requests(), "")
                    self.assertEqual(e2e.read(program), e2e.read(release))

    def test_leftovers_are_removed_whatever_the_command_line(self):
        program = self.install(e2e.PRODUCT, self.blank_dir)
        path = e2e.windows_path(program)
        runs = [
            lambda: e2e.run_windows(program, "--Version"),
            lambda: e2e.run_windows(program),
            lambda: e2e.launch(' "{p}" --version'.format(p=path), program),
            lambda: e2e.run_windows(program, "--version"),
        ]
        expected = [USAGE, USAGE, USAGE, VERSION]
        for run, outcome in zip(runs, expected):
            with self.subTest(outcome=outcome):
                for suffix in e2e.SIBLINGS:
                    e2e.write(program + suffix, b"left over " + suffix.encode())
                self.assertEqual(run(), outcome)
                self.assertEqual(self.folder_files(self.blank_dir), ["fwstack.exe"])
                self.assertEqual(e2e.read(program), e2e.read(e2e.PRODUCT))


if __name__ == "__main__":
    unittest.main()
