#!/usr/bin/env python3
"""Capacity of the update server: answers per second of the origin site and of
the caching edge in front of it (deploy/nginx/, one nginx worker each, on
loopback ports from the OS), measured with ab. The document and a release are
fetched with a new TLS connection for each request, as fwstack makes them;
the floor is the same server's rate for a 200-byte file over kept-alive
connections. Rounds are interleaved; prints median, min and max, the ratios to
the floor and the clients a core serves per day.

    capacity.py WORK CERT KEY CA RELEASE [--rounds N]
"""
import argparse
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
from nginx_site import EdgeSite, NginxSite  # noqa: E402

FLOOR = "fwstack-0.0.0.exe"  # a release name, so the edge serves it from its cache too
DAY = 86400


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(sites):
    """User and system time the sites' nginx processes (master and workers) used so far."""
    ticks = 0
    for site in sites:
        pids = [site.process.pid]
        with open(f"/proc/{pids[0]}/task/{pids[0]}/children") as f:
            pids += [int(pid) for pid in f.read().split()]
        for pid in pids:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])
    return ticks / os.sysconf("SC_CLK_TCK")


def rate(port, name, requests, keep_alive, sites):
    """(requests per second, requests per CPU second of the servers) of ab
    against one file; every answer must be a whole 200."""
    url = f"https://127.0.0.1:{port}/downloads/fwstack/{name}"
    argv = ["ab", "-q", "-n", str(requests), "-c", "4", "-s", "20", *(["-k"] if keep_alive else []),
            url]
    before = cpu_seconds(sites)
    out = subprocess.run(argv, capture_output=True, text=True, timeout=300).stdout
    used = cpu_seconds(sites) - before
    failed = re.search(r"^Failed requests:\s+(\d+)", out, re.M)
    if not failed or failed[1] != "0" or "Non-2xx" in out:
        sys.exit(f"ab reports failures against {url}:\n{out}")
    return (float(re.search(r"^Requests per second:\s+([\d.]+)", out, re.M)[1]),
            requests / max(used, 0.01))


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    for name in ("work", "cert", "key", "ca", "release"):
        parser.add_argument(name)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    for name in ("work", "cert", "key", "ca", "release"):  # nginx reads them from its own folder
        setattr(args, name, os.path.abspath(getattr(args, name)))
    shutil.rmtree(args.work, ignore_errors=True)
    folder = os.path.join(args.work, "served", "downloads", "fwstack")
    os.makedirs(folder)
    release = os.path.basename(args.release)
    shutil.copyfile(args.release, os.path.join(folder, release))
    with open(os.path.join(folder, FLOOR), "wb") as f:
        f.write(b"x" * 200)
    with open(os.path.join(folder, "latest.txt"), "wb") as f:  # a document's size
        f.write(b"fwstack-latest 1\nversion 0.0.3\nfile %s\nsha256 %s\nurl %s%s\n" % (
            release.encode(), b"0" * 64, b"https://localhost/downloads/fwstack/",
            release.encode()))
    origin_port, edge_port = free_port(), free_port()
    origin = NginxSite(os.path.join(args.work, "origin"), os.path.join(args.work, "served"),
                       origin_port, args.cert, args.key, workers=1).start()
    edge = None
    try:
        edge = EdgeSite(os.path.join(args.work, "edge"), edge_port, args.cert, args.key,
                        origin_port, args.ca, workers=1).start()
        for name in (FLOOR, release):  # into the edge's cache
            rate(edge_port, name, 4, False, [edge])
        cases = [(f"{server} {what}", port, name, n, keep)
                 for server, port in (("origin", origin_port), ("edge", edge_port))
                 for what, name, n, keep in (("floor: 200 B, kept alive", FLOOR, 20000, True),
                                             ("document, new TLS each", "latest.txt", 2000,
                                              False),
                                             ("release, new TLS each", release, 1000, False))]
        figures = {case[0]: [] for case in cases}
        for _ in range(args.rounds):
            for label, port, name, n, keep in cases:
                figures[label].append(rate(port, name, n, keep, [origin, edge]))
    finally:
        if edge:
            edge.stop()
        origin.stop()

    print("(release: %s, %d bytes; ab -c 4; %d interleaved rounds; per CPU second: the"
          " answers over the user and system time of both nginx processes, origin and edge,"
          " during the run)" % (release, os.path.getsize(args.release), args.rounds))
    print("%-38s %9s %9s %9s" % ("", "median", "min", "max"))
    per_cpu = {}
    for label, values in figures.items():
        for i, unit in ((0, "/s"), (1, "/CPU s")):
            column = [v[i] for v in values]
            print("%-38s %9.0f %9.0f %9.0f %s" % (label if i == 0 else "",
                                                  statistics.median(column), min(column),
                                                  max(column), unit))
        per_cpu[label] = statistics.median(v[1] for v in values)
    for server in ("origin", "edge"):
        floor = per_cpu[f"{server} floor: 200 B, kept alive"]
        document = per_cpu[f"{server} document, new TLS each"]
        release_rate = per_cpu[f"{server} release, new TLS each"]
        print("%-38s %9.3f x" % (f"{server} document / floor (CPU)", document / floor))
        print("%-38s %9.3f x" % (f"{server} release / floor (CPU)", release_rate / floor))
        # A client checks once a day and downloads each release once.
        print("%-38s %9.2f M" % (f"{server} clients/day/core, checks only",
                                 DAY * document / 1e6))
        print("%-38s %9.2f M" % (f"{server} clients/day/core, release day",
                                 DAY / (1 / document + 1 / release_rate) / 1e6))

if __name__ == "__main__":
    main()
