# End to end: the program loads its DLLs beyond kernel32 from the system
# folder only, and only when a step needs them; a DLL planted beside it never runs.
import os
import re
import shutil
import unittest

import e2e_support as e2e

PLANTED = os.environ["FWSTACK_PLANTED"]
STATIC_IMPORTER = os.environ["FWSTACK_STATIC_IMPORTER"]
DLLS = ("version", "winhttp", "wintrust", "crypt32")
# Wine's own order for these DLLs puts its builtin ones first; native-first
# is Windows' order for DLLs that are not KnownDLLs: the program's folder wins.
NATIVE_FIRST = {"FWSTACK_DLLOVERRIDES": ",".join(DLLS) + "=n,b"}
PLANTED_RAN = 77


def loaded_dlls(stderr):
    """Full paths of the DLLs that Wine's loader trace reports, lower case."""
    return [m.group(1).decode().replace("\\\\", "\\").lower()
            for m in re.finditer(rb'trace:loaddll:\w+ Loaded L"([^"]+)"', stderr)]


class DllLoading(e2e.E2ETestCase):

    def test_a_dll_planted_beside_the_program_never_runs(self):
        new_release = e2e.release("fwstack-0.0.3.exe")
        self.announce("0.0.3", new_release)
        self.start_server()
        for dll in DLLS:
            with self.subTest(dll=dll):
                folder = os.path.join(self.folder, "planted-" + dll)
                self.install(e2e.release("fwstack-0.0.2.exe"), folder)
                shutil.copyfile(os.path.join(PLANTED, dll, dll + ".dll"),
                                os.path.join(folder, dll + ".dll"))
                importer = os.path.join(folder, "importer.exe")
                shutil.copyfile(STATIC_IMPORTER, importer)

                # The planting works: a program importing the DLL loads it.
                code, _, _ = e2e.run_windows(importer, env=NATIVE_FIRST)
                self.assertEqual(code, PLANTED_RAN)
                self.assertEqual(self.run_program("--version", env=NATIVE_FIRST),
                                 (0, b"fwstack 0.0.2\n", b""))
                self.assertEqual(self.run_program("update", env=NATIVE_FIRST),
                                 (0, b"fwstack updated to 0.0.3\n", b""))
                self.assertEqual(e2e.read(self.program), e2e.read(new_release))

    def test_only_an_update_loads_more_than_kernel32_and_only_from_the_system_folder(self):
        self.install(e2e.release("fwstack-0.0.2.exe"))
        self.announce("0.0.3", e2e.release("fwstack-0.0.3.exe"))
        self.start_server()
        trace = {"FWSTACK_WINEDEBUG": "+loaddll"}
        for args in (("--version",), (), ("bogus",)):
            with self.subTest(args=args):
                _, _, err = self.run_program(*args, env=trace)
                names = {os.path.basename(p.replace("\\", "/")) for p in loaded_dlls(err)}
                self.assertEqual(names - {"fwstack.exe"}, {"kernel32.dll", "kernelbase.dll"})

        code, out, err = self.run_program("update", env=trace)
        self.assertEqual((code, out), (0, b"fwstack updated to 0.0.3\n"))
        loaded = loaded_dlls(err)
        for dll in ("user32", "winhttp", "wintrust", "crypt32"):
            self.assertIn("c:\\windows\\system32\\%s.dll" % dll, loaded)
        self.assertFalse([p for p in loaded if p.startswith("z:")
                          and not p.endswith("\\fwstack.exe")])


if __name__ == "__main__":
    unittest.main()
