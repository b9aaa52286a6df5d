#!/usr/bin/env python3
"""Checks the built fwstack.exe: it imports KERNEL32 alone, and its version resource."""
import struct
import subprocess
import sys
import unittest

EXE = None
VERSION = None


def read_exe():
    with open(EXE, "rb") as f:
        return f.read()


class Product(unittest.TestCase):
    def test_imports_kernel32_alone(self):
        out = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", EXE], check=True,
                             capture_output=True, text=True).stdout
        dlls = {line.split("DLL Name:")[1].strip().lower()
                for line in out.splitlines() if "DLL Name:" in line}
        # Every other DLL is loaded from the system folder when a step needs it.
        self.assertEqual(dlls, {"kernel32.dll"})

    def test_layout(self):
        # Code, read-only data holding the import tables, zero-filled data and
        # resources; nothing writable that is executable or holds constants,
        # and no relocations.
        data = read_exe()
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        count, optional = struct.unpack_from("<H12xH", data, pe + 6)
        directories = [struct.unpack_from("<II", data, pe + 24 + 112 + 8 * i) for i in range(16)]
        sections = {}
        for i in range(count):
            at = pe + 24 + optional + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode()
            size, address = struct.unpack_from("<II", data, at + 8)
            sections[name] = (address, size, struct.unpack_from("<I", data, at + 36)[0])
        self.assertEqual(sorted(sections), [".bss", ".rdata", ".rsrc", ".text"])
        write, execute = 0x80000000, 0x20000000
        self.assertEqual(sections[".text"][2] & (write | execute), execute)
        self.assertEqual(sections[".rdata"][2] & (write | execute), 0)
        start, size, _ = sections[".rdata"]
        for index in (1, 12):  # the import directory and the import address table
            address, length = directories[index]
            self.assertTrue(start <= address and address + length <= start + size, index)
        self.assertEqual(directories[5], (0, 0), "base relocations")

    def test_version_resource(self):
        data = read_exe()
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
