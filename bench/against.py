#!/usr/bin/env python3
"""What a change costs: this tree's vantrell and vantrell-batch against the builds of an earlier commit,
side by side in one run; every figure is a ratio of medians from interleaved runs.

Usage: against.py WORKDIR NEW_DEFAULT NEW_STATIC OLD_DEFAULT OLD_STATIC
Each folder holds vantrell, vantrell-batch and vantrell-floor (a program that loads the same libraries and
does nothing). The whole-library figures run over bench/library.py's library of 1,000 files.
"""
import os
import sys

import library
from timing import measure, print_rows

WORK = sys.argv[1]
NEW_DEFAULT, NEW_STATIC, OLD_DEFAULT, OLD_STATIC = (os.path.abspath(folder) for folder in sys.argv[2:6])
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "7"))
rows = []


def row(what, value, target=None):
    verdict = "" if target is None else ("met" if target(value) else "missed")
    rows.append((what, f"{value:.3f}×" if isinstance(value, float) else f"{value:,} KiB", verdict))
    print(f"  {what}: {rows[-1][1]} {verdict}", flush=True)


def at_most(limit):
    return lambda ratio: ratio <= limit


def per_file():
    song, out = os.path.join(library.MEDIA, "song.flac"), os.path.join(WORK, "cover.jpg")
    medians = measure({
        "new default": [os.path.join(NEW_DEFAULT, "vantrell"), song, out],
        "old default": [os.path.join(OLD_DEFAULT, "vantrell"), song, out],
        "default floor": [os.path.join(NEW_DEFAULT, "vantrell-floor")],
        "new static": [os.path.join(NEW_STATIC, "vantrell"), song, out],
        "old static": [os.path.join(OLD_STATIC, "vantrell"), song, out],
    })
    print("medians: " + ", ".join(f"{name} {seconds * 1000:.2f} ms" for name, seconds in medians.items()))
    row("vantrell per file, default build: new / floor", medians["new default"] / medians["default floor"])
    row("vantrell per file, default build: old / floor", medians["old default"] / medians["default floor"])
    row("vantrell per file, default build: new / old", medians["new default"] / medians["old default"], at_most(1.05))
    row("vantrell per file, static build: new / old", medians["new static"] / medians["old static"], at_most(1.05))


def whole_library(files, which=""):
    pairs = library.listing(files, ".cover")
    one_core = ["taskset", "-c", "0"]
    commands = {f"{age} {kind}{cores}": ((one_core if cores == ", one core" else []) +
                                         [os.path.join(build, "vantrell-batch")], pairs)
                for cores in (", one core", ", both cores")
                for kind, new, old in [("default", NEW_DEFAULT, OLD_DEFAULT), ("static", NEW_STATIC, OLD_STATIC)]
                for age, build in [("new", new), ("old", old)]}
    fresh = measure(commands, runs=ROUNDS, warmup=1, before_each=lambda: library.remove_outputs(files))
    again = measure(commands, runs=ROUNDS, warmup=1)  # every cover is there already and is replaced
    for when, medians in [("new covers", fresh), ("covers replaced", again)]:
        print(f"{when}: " + ", ".join(f"{name} {len(files) / seconds:,.0f} files/s" for name, seconds in medians.items()))
        for name in medians:
            if name.startswith("new "):
                kind = name[len("new "):]
                row(f"vantrell-batch{which}, {kind}, {when}: new / old time", medians[name] / medians[f"old {kind}"],
                    at_most(1.05 if not which else 1.20))


def memory(files):
    peaks = {(age, count): library.peak_memory(files, count, build)
             for age, build in [("new", NEW_STATIC), ("old", OLD_STATIC)] for count in (200, 20000)}
    for (age, count), peak in peaks.items():
        row(f"vantrell-batch, static, {age}: peak memory, {count:,} pairs", peak)
    row("new: peak memory, 20,000 pairs / 200 pairs", peaks["new", 20000] / peaks["new", 200], at_most(1.3))


def main():
    os.makedirs(WORK, exist_ok=True)
    library.setup(WORK, NEW_DEFAULT, NEW_STATIC)
    files = library.make_library()
    per_file()
    whole_library(files)
    memory(files)
    whole_library(library.make_library(covers=False), " without covers")
    print_rows(rows)


if __name__ == "__main__":
    main()
