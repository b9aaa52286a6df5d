#!/usr/bin/env python3
"""Prints what each object file contributes to each output section of a GNU ld
map file (-Wl,-Map), largest first, so a change of the program's size can be
traced to its object.

    map_sizes.py MAP [--functions N]   (N: also the N largest input sections)
"""
import argparse
import collections
import os
import re

# An input section line: name, address, size and object, on one line or with
# the name alone on the line before (long names).
ONE_LINE = re.compile(r"^ (\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")
NAME_ONLY = re.compile(r"^ (\.\S+)$")
REST = re.compile(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")
OUTPUT = re.compile(r"^(\.\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)")


# A member of an import library: its head, its tail or one function's.
IMPORT_MEMBER = re.compile(r"^lib(\w+?)(?:s\d+|h|t)\.o$")


def object_name(path):
    # "lib.a(file.obj)" -> "file.obj"; a plain path -> its file name; the
    # members of an import library as one.
    inner = re.search(r"\(([^)]+)\)$", path)
    name = inner.group(1) if inner else os.path.basename(path)
    member = IMPORT_MEMBER.match(name)
    return member.group(1) + " import tables" if member else name


def read_map(path):
    """Yields (output section, input section, size, object) for every input
    section placed at an address (the discarded ones sit at 0)."""
    output = None
    pending = None
    started = False
    for line in open(path, encoding="utf-8", errors="replace"):
        line = line.rstrip("\n")
        if line.startswith("Linker script and memory map"):
            started = True
            continue
        if not started:
            continue
        match = OUTPUT.match(line)
        if match:
            output = match.group(1)
            pending = None
            continue
        match = ONE_LINE.match(line)
        if match and not match.group(1).startswith("0x"):
            name, address, size, obj = match.groups()
            pending = None
        else:
            match = NAME_ONLY.match(line)
            if match:
                pending = match.group(1)
                continue
            match = REST.match(line)
            if not (match and pending):
                pending = None
                continue
            name, (address, size, obj) = pending, match.groups()
            pending = None
        if output and int(address, 16) != 0 and int(size, 16) != 0:
            yield output, name, int(size, 16), object_name(obj)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("map")
    parser.add_argument("--functions", type=int, default=0)
    args = parser.parse_args()
    by_object = collections.defaultdict(collections.Counter)
    pieces = []
    for output, name, size, obj in read_map(args.map):
        by_object[output][obj] += size
        pieces.append((size, output, name, obj))
    for output in sorted(by_object, key=lambda s: -sum(by_object[s].values())):
        counts = by_object[output]
        print("%-38s %9d bytes" % ("section " + output, sum(counts.values())))
        for obj, size in counts.most_common():
            print("%-38s %9d" % ("  " + obj, size))
    if args.functions:
        print("largest input sections:")
        for size, output, name, obj in sorted(pieces, reverse=True)[: args.functions]:
            print("%9d  %s  %s" % (size, name, obj))


if __name__ == "__main__":
    main()
