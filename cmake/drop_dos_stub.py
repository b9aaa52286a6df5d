#!/usr/bin/env python3
"""Drops the DOS stub from a linked PE image, in place.

ld writes a 64-byte DOS program before the PE headers and starts them at
offset 0x80, so the headers of four sections end at 0x228 and take 1024 file
bytes. Without the stub (the PE headers right after the 64-byte DOS header)
they end at 0x1E8 and take 512: the sections move down 512 bytes. The PE checksum is computed
anew. Only a file as ld writes it is changed; anything else is refused.

NOTE: Windows' loader reads the DOS header for its "MZ" and the headers'
offset alone; Wine runs the program so in every test, Windows is not shown.

    drop_dos_stub.py <image.exe>
"""
import struct
import sys

DOS_HEADER = 0x40
STUB_END = 0x80
FILE_ALIGNMENT = 0x200


def checksum(data):
    """The PE checksum of an image whose checksum field is zero."""
    total = 0
    for (word,) in struct.iter_unpack("<H", data + b"\0" * (len(data) & 1)):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def drop_stub(data):
    if data[:2] != b"MZ" or struct.unpack_from("<I", data, 0x3C)[0] != STUB_END:
        raise ValueError("not an image with ld's DOS stub")
    if data[STUB_END:STUB_END + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    sections, optional = struct.unpack_from("<H12xH", data, STUB_END + 6)
    optional_at = STUB_END + 24
    headers_end = optional_at + optional + 40 * sections
    size_of_headers = struct.unpack_from("<I", data, optional_at + 60)[0]
    if struct.unpack_from("<I", data, optional_at + 36)[0] != FILE_ALIGNMENT:
        raise ValueError("file alignment is not 512")
    shift = size_of_headers - FILE_ALIGNMENT
    if headers_end - (STUB_END - DOS_HEADER) > FILE_ALIGNMENT or shift <= 0:
        return data  # nothing to gain
    security = struct.unpack_from("<II", data, optional_at + 112 + 8 * 4)
    if security != (0, 0):
        raise ValueError("a signed image: drop the stub before signing")

    headers = bytearray(data[:DOS_HEADER])
    struct.pack_into("<I", headers, 0x3C, DOS_HEADER)
    headers += data[STUB_END:headers_end]
    headers += b"\0" * (FILE_ALIGNMENT - len(headers))
    optional_at -= STUB_END - DOS_HEADER
    struct.pack_into("<I", headers, optional_at + 60, FILE_ALIGNMENT)
    table = optional_at + optional
    for i in range(sections):
        at = table + 40 * i + 20
        raw = struct.unpack_from("<I", headers, at)[0]
        if raw:
            struct.pack_into("<I", headers, at, raw - shift)
    return with_checksum(bytearray(headers + data[size_of_headers:]), optional_at)


def with_checksum(out, optional_at):
    """The image's bytes with its PE checksum computed anew."""
    field = optional_at + 64
    struct.pack_into("<I", out, field, 0)
    struct.pack_into("<I", out, field, checksum(bytes(out)))
    return bytes(out)


def rewrite(path, change, tool):
    """Replaces the image at path with change(its bytes); a ValueError ends the
    build step with its message."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        changed = change(data)
    except ValueError as error:
        sys.exit(f"{tool}: {path}: {error}")
    with open(path, "wb") as f:
        f.write(changed)


if __name__ == "__main__":
    rewrite(sys.argv[1], drop_stub, "drop_dos_stub.py")
