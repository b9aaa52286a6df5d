#!/usr/bin/env python3
"""Checks the built fwstack.exe: it imports KERNEL32 alone, and its version resource."""
import struct
import subprocess
import sys
import unittest

EXE = None
VERSION = None


class Product(unittest.TestCase):
    def test_imports_kernel32_alone(self):
        out = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", EXE], check=True,
                             capture_output=True, text=True).stdout
        dlls = {line.split("DLL Name:")[1].strip().lower()
                for line in out.splitlines() if "DLL Name:" in line}
        # Every other DLL is loaded from the system folder when a step needs it.
        self.assertEqual(dlls, {"kernel32.dll"})

    def test_version_resource(self):
        data = open(EXE, "rb").read()
        at = data.find(struct.pack("<II", 0xFEEF04BD, 0x00010000))
        self.assertGreaterEqual(at, 0, "no fixed file information")
        ms, ls, pms, pls = struct.unpack_from("<IIII", data, at + 8)
        major, minor, patch = (int(x) for x in VERSION.split("-")[0].split("."))
        self.assertEqual((ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF), (major, minor, patch, 0))
        self.assertEqual((pms, pls), (ms, ls))
        for key, value in (("FileDescription", "Ferrowstack"), ("ProductName", "Ferrowstack"),
                           ("OriginalFilename", "fwstack.exe")):
            pair = (key.encode("utf-16-le") + b"\0\0")
            self.assertIn(pair, data, key)
            self.assertIn(value.encode("utf-16-le"), data, value)
        self.assertIn("040904B0".encode("utf-16-le"), data)


if __name__ == "__main__":
    EXE, VERSION = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1])
