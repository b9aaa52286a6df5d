#!/usr/bin/env python3
"""Checks the built fwstack.exe: it imports KERNEL32 alone, and its version
resource; the static library: it needs nothing but kernel32; and
fwstack_update.dll: its imports, its exports, its size once signed.

    check_product.py FWSTACK_EXE VERSION LIBRARY [DLL HEADER]
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

EXE = None
VERSION = None
LIBRARY = None
DLL = None
HEADER = None
KERNEL32 = "/usr/x86_64-w64-mingw32/lib/libkernel32.a"


def symbols(archive, *options):
    out = subprocess.run(["x86_64-w64-mingw32-nm", *options, archive], check=True,
                         capture_output=True, text=True).stdout
    return {line.split()[-1] for line in out.splitlines() if len(line.split()) >= 2}


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

    def test_library_needs_kernel32_alone(self):
        # What the archive leaves to the host's linker (MinGW's ld or MSVC's
        # link, which has no libgcc and no C runtime): kernel32 imports, and
        # the image base that every PE linker defines.
        needed = symbols(LIBRARY, "-u") - symbols(LIBRARY, "--defined-only")
        imports = {name for name in needed if name.startswith("__imp_")}
        self.assertEqual(needed - imports, {"__ImageBase"})
        self.assertEqual(imports - symbols(KERNEL32, "--defined-only"), set())
        # What GCC or a C runtime would have supplied, each a fault seen before
        # or likely: stack probes of large frames, the memory and string
        # functions GCC may emit for loops and copies, 128-bit division,
        # the stack protector, the startup hook.
        for name in ("___chkstk_ms", "__chkstk", "_alloca", "memset", "memcpy", "memmove",
                     "memcmp", "strlen", "__udivti3", "__umodti3", "__divti3",
                     "__stack_chk_fail", "__stack_chk_guard", "__main", "_fltused"):
            self.assertNotIn(name, needed)

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

    def test_manifest(self):
        # The RT_MANIFEST resource 1, found through the resource directory.
        data = read_exe()
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        count, optional = struct.unpack_from("<H12xH", data, pe + 6)
        rva, _ = struct.unpack_from("<II", data, pe + 24 + 112 + 8 * 2)
        self.assertNotEqual(rva, 0, "no resource directory")
        section = offset = None
        for i in range(count):
            at = pe + 24 + optional + 40 * i
            virtual, raw = struct.unpack_from("<I4xI", data, at + 12)
            if virtual == rva:
                section, offset = virtual, raw
        self.assertIsNotNone(section, "the resource directory starts no section")

        def entry(directory, wanted):
            named, ids = struct.unpack_from("<HH", data, offset + directory + 12)
            for k in range(named + ids):
                name, target = struct.unpack_from("<II", data, offset + directory + 16 + 8 * k)
                if wanted is None or name == wanted:
                    return target & 0x7FFFFFFF
            self.fail(f"no resource entry {wanted}")

        leaf = entry(entry(entry(0, 24), 1), None)
        address, size = struct.unpack_from("<II", data, offset + leaf)
        text = data[offset + address - section:offset + address - section + size]
        root = ElementTree.fromstring(text)
        v1, v3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
        compatibility = "{urn:schemas-microsoft-com:compatibility.v1}"
        settings = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
        self.assertEqual(root.tag, v1 + "assembly")
        level = root.find(f"{v3}trustInfo/{v3}security/{v3}requestedPrivileges/{v3}requestedExecutionLevel")
        self.assertEqual((level.get("level"), level.get("uiAccess")), ("asInvoker", "false"))
        systems = {e.get("Id") for e in root.iter(compatibility + "supportedOS")}
        self.assertEqual(systems, {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
                                   "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
                                   "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
                                   "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})  # 10 and 11
        aware = root.find(f"{v3}application/{v3}windowsSettings/{settings}longPathAware")
        self.assertEqual(aware.text, "true")

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


def signature_offset(data):
    """Where the file's Authenticode signature begins (its security
    directory), 0 when it carries none."""
    headers = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<I", data, headers + 24 + 112 + 8 * 4)[0]


def imports_and_exports(path):
    """The imported DLLs, the imported function names and the exported names."""
    out = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], check=True,
                         capture_output=True, text=True).stdout
    dlls = {line.split("DLL Name:")[1].strip().lower()
            for line in out.splitlines() if "DLL Name:" in line}
    table = out.split("The Import Tables", 1)[-1].split("The Export Tables", 1)[0]
    functions = set(re.findall(r"^\s+[0-9a-f]+\s+\d+\s+(\w+)$", table, re.M))
    exports = out.split("[Ordinal/Name Pointer] Table", 1)[-1]
    names = set(re.findall(r"^\s+\[\s*\d+\]\s+(\w+)$", exports, re.M))
    return dlls, functions, names


def signed_size(path, folder):
    """The file's size once Authenticode-signed by a throwaway RSA-2048
    publisher under a throwaway CA, as a release is signed."""
    def ssl(*argv):
        subprocess.run(["openssl", *argv], check=True, capture_output=True, cwd=folder)
    ssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt",
        "-subj", "/CN=Size Test Root", "-days", "2")
    ssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "leaf.key", "-out", "leaf.csr",
        "-subj", "/CN=Kelvardo s.r.o.")
    with open(os.path.join(folder, "ext"), "w") as f:
        f.write("extendedKeyUsage=codeSigning\nbasicConstraints=CA:FALSE\n")
    ssl("x509", "-req", "-in", "leaf.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
        "-out", "leaf.crt", "-days", "2", "-extfile", "ext")
    with open(os.path.join(folder, "chain.pem"), "w") as f:
        for name in ("leaf.crt", "ca.crt"):
            with open(os.path.join(folder, name)) as part:
                f.write(part.read())
    signed = os.path.join(folder, "signed.dll")
    subprocess.run(["osslsigncode", "sign", "-certs", os.path.join(folder, "chain.pem"), "-key",
                    os.path.join(folder, "leaf.key"), "-h", "sha256", "-in", path, "-out", signed],
                   check=True, capture_output=True)
    return os.path.getsize(signed)


def msvc_link(folder):
    """A caller of two functions compiled in MSVC mode with FWSTACK_UPDATE_DLL
    and linked by lld-link with nothing but fwstack_update_dll.lib: the
    symbols its object asks for, and the imports of the program."""
    source = os.path.join(folder, "caller.c")
    with open(source, "w") as f:
        f.write("#include <fwstack_update.h>\nint start(void) { fwstack_result r;\n"
                "fwstack_cleanup(0, 0); return (int)fwstack_check(0, 0, &r); }\n")
    obj, exe = os.path.join(folder, "caller.obj"), os.path.join(folder, "caller.exe")
    subprocess.run(["clang", "--target=x86_64-pc-windows-msvc", "-ffreestanding",
                    "-DFWSTACK_UPDATE_DLL", "-I", os.path.dirname(HEADER), "-c", source, "-o", obj],
                   check=True)
    subprocess.run(["lld-link", obj, os.path.join(os.path.dirname(DLL), "fwstack_update_dll.lib"),
                    "/entry:start", "/subsystem:console", "/nodefaultlib", "/out:" + exe],
                   check=True)
    asked = subprocess.run(["llvm-nm", "--undefined-only", obj], check=True, capture_output=True,
                           text=True).stdout.split()
    dlls, functions, _ = imports_and_exports(exe)
    return {s for s in asked if s != "U"}, dlls, functions


class UpdateDll(unittest.TestCase):
    def test_dll(self):
        dlls, functions, exports = imports_and_exports(DLL)
        with open(HEADER) as f:
            declared = set(re.findall(r"^FWSTACK_UPDATE_API \w+ (fwstack_\w+)\(", f.read(), re.M))
        with open(DLL, "rb") as f:
            data = f.read()
        at = data.find(struct.pack("<II", 0xFEEF04BD, 0x00010000))
        file_type = struct.unpack_from("<I", data, at + 36)[0] if at >= 0 else None
        major, minor, patch = (int(x) for x in VERSION.split("-")[0].split("."))
        ms, ls = struct.unpack_from("<II", data, at + 8) if at >= 0 else (0, 0)
        signature_at = signature_offset(data)
        # Measured as fwstack.exe is, before the signature: what a signature
        # adds is the publisher's chain's, not the engine's.
        unsigned = signature_at or len(data)
        size = len(data)
        if signature_at == 0:
            with tempfile.TemporaryDirectory() as folder:
                size = signed_size(DLL, folder)
        with tempfile.TemporaryDirectory() as folder:
            asked, linked_dlls, linked = msvc_link(folder)
        print("fwstack_update.dll: %d bytes, %d signed" % (unsigned, size), file=sys.stderr)
        # (what, got, wanted)
        rows = [("imported DLLs", dlls, {"kernel32.dll"}),
                ("fwstack's entry imports", functions & {"ExitProcess", "GetCommandLineW",
                                                         "GetStdHandle"}, set()),
                ("some kernel32 functions seen", "CreateFileW" in functions, True),
                ("exports", exports, declared),
                ("the header declares eight", len(declared), 8),
                ("version resource type VFT_DLL", file_type, 2),
                ("file version", (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF),
                 (major, minor, patch, 0)),
                ("at most 24 KiB unsigned", unsigned <= 24576, True),
                ("signed by the build when fwstack.exe is", signature_at != 0,
                 signature_offset(read_exe()) != 0),
                ("dllimport calls", asked, {"__imp_fwstack_check", "__imp_fwstack_cleanup"}),
                ("MSVC import library's DLL", linked_dlls, {"fwstack_update.dll"}),
                ("MSVC import library's functions", linked, {"fwstack_check", "fwstack_cleanup"})]
        for what, got, wanted in rows:
            self.assertEqual(got, wanted, what)


if __name__ == "__main__":
    EXE, VERSION, LIBRARY = sys.argv[1], sys.argv[2], sys.argv[3]
    if len(sys.argv) > 5:
        DLL, HEADER = sys.argv[4], sys.argv[5]
    else:
        del UpdateDll
    unittest.main(argv=sys.argv[:1])
