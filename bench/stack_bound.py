#!/usr/bin/env python3
"""The most stack one call of the engine's interface takes, from GCC's call
graphs with stack usage (-fcallgraph-info=su, one .ci file an object).

    stack_bound.py CI_FILE...

Each function's frame is GCC's static figure (the return address included);
the bound of a function is its frame plus the largest bound of what it calls,
over the whole call graph after inlining, so it holds for every path, not only
the one a test takes. Calls the graph cannot follow are accepted only where
they leave the engine: the system table's Sys(...) calls (Windows' own stack)
and the host's progress callback (the host's own); any other indirect call
reachable from the interface, or a frame of dynamic size, makes the bound
unknown. A recursion is counted REENTRY times around (see below). A function the
objects call but do not define (libgcc's ___chkstk_ms, memset) is given
EXTERNAL_FRAME bytes. Prints the bound of each fwstack_* function, the
deepest path, and a last line "bound N".
"""
import re
import subprocess
import sys

EXTERNAL_FRAME = 64
REENTRY = 2
NODE = re.compile(r'node: \{ title: "([^"]+)" label: "([^"]*)"')
EDGE = re.compile(r'edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)" label: "([^"]*)"')


def address_taken(obj):
    """Symbols an object refers to other than as a call's or jump's target."""
    taken, last = set(), ""
    listing = subprocess.run(["x86_64-w64-mingw32-objdump", "-dr", obj], capture_output=True,
                             text=True, check=True).stdout
    for line in listing.split("\n"):
        reloc = re.match(r"\s+[0-9a-f]+: IMAGE_REL_AMD64_\w+\s+(\S+)", line)
        if reloc:
            if not re.match(r"\s*(call|jmp)", last):
                taken.add(reloc.group(1))
        elif re.match(r"\s+[0-9a-f]+:\t", line):
            last = line.split("\t")[-1]
    data = subprocess.run(["x86_64-w64-mingw32-objdump", "-r", "-j", ".rdata", "-j", ".data", obj],
                          capture_output=True, text=True).stdout
    taken.update(re.findall(r"IMAGE_REL_AMD64_\w+\s+(\S+)", data))
    return taken


def main():
    frames, names, calls, indirect, problems = {}, {}, {}, {}, []
    for path in sys.argv[1:]:
        text = open(path, encoding="utf-8", errors="replace").read()
        for title, label in NODE.findall(text):
            parts = label.split("\\n")
            name = re.search(r"([A-Za-z_{][\w:{}]*)\(", parts[0])
            names.setdefault(title, name.group(1) if name else title)
            usage = re.match(r"(\d+) bytes \((\w+(?:,\w+)?)\)", parts[-1])
            if usage:
                frames[title] = int(usage.group(1))
                if usage.group(2) != "static":
                    problems.append("%s: frame %s" % (parts[0], usage.group(2)))
        for source, target, where in EDGE.findall(text):
            if target == "__indirect_call":
                indirect.setdefault(source, []).append(where)
            else:
                calls.setdefault(source, set()).add(target)

    roots = sorted(f for f in frames if re.match(r"fwstack_\w+$", f))
    if not roots:
        problems.append("no fwstack_* function in the graphs")

    # Strongly connected components (Tarjan), over what the roots reach.
    index, low, stack, on, component, order = {}, {}, [], set(), {}, []

    def connect(f):
        index[f] = low[f] = len(index)
        stack.append(f)
        on.add(f)
        for g in calls.get(f, ()):
            if g not in index:
                connect(g)
                low[f] = min(low[f], low[g])
            elif g in on:
                low[f] = min(low[f], index[g])
        if low[f] == index[f]:
            members = []
            while True:
                g = stack.pop()
                on.discard(g)
                component[g] = len(order)
                members.append(g)
                if g == f:
                    break
            order.append(members)

    sys.setrecursionlimit(10000)
    for f in roots:
        if f not in index:
            connect(f)

    # An indirect call leaves the engine (the system table, the host's
    # callback), or it may reach any engine function whose address is taken.
    sources, pointed = {}, set()
    for path in sys.argv[1:]:
        pointed |= address_taken(path[: -len(".ci")] + ".obj")
    pointed &= set(frames)
    resolved = False
    for f in list(calls) + list(indirect):
        for where in indirect.get(f, ()):
            file, line = where.rsplit(":", 2)[0:2]
            if file not in sources:
                sources[file] = open(file, encoding="utf-8").read().split("\n")
            code = sources[file][int(line) - 1]
            if "Sys(" not in code and ".progress(" not in code:
                calls.setdefault(f, set()).update(pointed)
                resolved = True
    if resolved:
        print("an engine function pointer may reach: " + " ".join(sorted(names[g] for g in pointed)))
    index.clear()
    low.clear()
    component.clear()
    order.clear()
    for f in roots:
        if f not in index:
            connect(f)

    # A recursion is the system table's: a kernel32 function looked up while
    # another DLL is being bound, which binds nothing further. Its functions
    # are counted REENTRY times, a bound for that one level of re-entry.
    weight, cyclic = [], []
    for members in order:
        total = sum(frames.get(g, EXTERNAL_FRAME) for g in members)
        loops = len(members) > 1 or members[0] in calls.get(members[0], ())
        if loops:
            cyclic.append(sorted(names.get(g, g) for g in members))
        weight.append(total * REENTRY if loops else total)
    best, via = {}, {}
    for c, members in enumerate(order):  # callees come first in Tarjan's order
        b, step = 0, None
        for g in members:
            for h in calls.get(g, ()):
                d = component[h]
                if d != c and best[d] > b:
                    b, step = best[d], d
        best[c] = weight[c] + b
        via[c] = step

    def bound(f):
        return best[component[f]]

    for f in roots:
        print("%-38s %7d bytes" % (f, bound(f)))
    for members in cyclic:
        print("recursion, counted %d times: %s" % (REENTRY, " ".join(members)))
    if roots:
        print("deepest path:")
        c = component[max(roots, key=bound)]
        while c is not None:
            print("  %6d %s" % (weight[c], " | ".join(names.get(g, g) for g in order[c])))
            c = via[c]
    for p in sorted(set(problems)):
        print("unbounded: " + p)
    print("bound %s" % ("unknown" if problems else max(bound(f) for f in roots)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
