#!/usr/bin/env python3
"""Points a DLL's export directory entry at its export tables, in place.

The DLL's linker script puts ld's export tables (its .edata) into .rdata; ld
fills the directory entry only from a section of that name, so it stays
empty. The tables are found by their own shape: a directory whose function
address table follows it at once, base 1, as many names as functions. Their
size runs to the end of the last name. The PE checksum is computed anew.

    export_directory.py <image.dll>
"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cmake"))
from drop_dos_stub import rewrite, with_checksum  # noqa: E402


def sections_of(data, optional_at, count, optional):
    table = optional_at + optional
    for i in range(count):
        at = table + 40 * i
        size, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
        yield data[at:at + 8].rstrip(b"\0"), rva, raw, min(size, raw_size)


def set_export_directory(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    count, optional = struct.unpack_from("<H12xH", data, pe + 6)
    optional_at = pe + 24
    entry = optional_at + 112
    if struct.unpack_from("<II", data, entry) != (0, 0):
        return data  # ld found the tables itself
    found = []
    for name, rva, raw, size in sections_of(data, optional_at, count, optional):
        if name != b".rdata":
            continue
        for at in range(raw, raw + size - 40, 4):
            (flags, _, _, name_rva, base, functions, names, address_table, name_table,
             ordinals) = struct.unpack_from("<IIIIIIIIII", data, at)
            here = rva + at - raw
            if (flags, base) == (0, 1) and 0 < names == functions and address_table == here + 40 \
                    and name_table == address_table + 4 * functions \
                    and ordinals == name_table + 4 * names:
                ends = [name_rva] + list(struct.unpack_from("<%dI" % names, data,
                                                            raw + name_table - rva))
                end = max(data.index(b"\0", raw + e - rva) + 1 - raw + rva for e in ends)
                found.append((here, end - here))
    if len(found) != 1:
        raise ValueError("%d export tables in .rdata, not one" % len(found))
    out = bytearray(data)
    struct.pack_into("<II", out, entry, *found[0])
    return with_checksum(out, optional_at)


if __name__ == "__main__":
    rewrite(sys.argv[1], set_export_directory, "export_directory.py")
