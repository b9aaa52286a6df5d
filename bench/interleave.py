#!/usr/bin/env python3
"""Times commands side by side: A, B, A, B ... for a number of pairs, after a
warm-up of each. Prints wall-time median, min and max of each, and of the
ratio A/B pair by pair. A prepare command (run untimed before every run) may
reset files.

    interleave.py --pairs N [--prepare CMD] --label A --label B -- 'CMD A' 'CMD B'
"""
import argparse
import shlex
import statistics
import subprocess
import sys
import time


def timed(command, prepare):
    if prepare:
        subprocess.run(prepare, shell=True, check=True)
    start = time.perf_counter()
    result = subprocess.run(shlex.split(command), stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    took = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit("failed (%d): %s" % (result.returncode, command))
    return took


def line(name, values, unit):
    return "%-38s %9.3f %9.3f %9.3f %s" % (name, statistics.median(values), min(values),
                                          max(values), unit)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pairs", type=int, default=30)
    parser.add_argument("--prepare")
    parser.add_argument("--label", action="append", required=True)
    parser.add_argument("commands", nargs=2)
    args = parser.parse_args()
    a, b = args.commands
    timed(a, args.prepare), timed(b, args.prepare)
    times_a, times_b = [], []
    for _ in range(args.pairs):
        times_a.append(timed(a, args.prepare))
        times_b.append(timed(b, args.prepare))
    ratios = [x / y for x, y in zip(times_a, times_b)]
    print(line(args.label[0], times_a, "s"))
    print(line(args.label[1], times_b, "s"))
    print(line("ratio %s / %s (%d pairs)" % (args.label[0], args.label[1], args.pairs), ratios, "x"))


if __name__ == "__main__":
    main()
