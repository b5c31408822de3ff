#!/usr/bin/env python3
"""How many at once pays: this tree's vantrell-batch against an earlier commit's, side by side in one run,
over far servers (nginx behind a loopback proxy that adds a round trip), a small server that answers one
request at a time, a local library mixed with far sources and large pictures, and memory over pictures of
about 20 MB. Every figure is a ratio of medians from interleaved runs.

Usage: network.py WORKDIR NEW_BUILD OLD_BUILD [PART...]   BENCH_ROUNDS: runs per command (default 3)
PARTs: far, small, local, mixed, memory (default: all).
Needs nginx (Debian's nginx-light). The library is bench/library.py's; the large picture bench/bench.py's.
"""
import os
import subprocess
import sys
import tempfile

import bench
import library
from servers import far, nginx
from timing import measure, print_rows

HERE = os.path.dirname(os.path.abspath(__file__))
WORK = os.path.abspath(sys.argv[1])
NEW, OLD = (os.path.abspath(folder) for folder in sys.argv[2:4])
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "3"))
FAR_SOURCES, FAR_LONG, SMALL_SERVER_SOURCES, MIX_FAR, MIX_LARGE = 400, 2000, 200, 40, 10
rows = []


def row(what, value, target=None):
    verdict = "" if target is None else ("met" if target(value) else "missed")
    rows.append((what, value, verdict))
    print(f"  {what}: {value} {verdict}", flush=True)


def batch_commands(pairs, pin=False):
    return {age: ((library.ONE_CORE if pin else []) + [os.path.join(build, "vantrell-batch")], pairs)
            for age, build in [("new", NEW), ("old", OLD)]}


def compare(what, pairs, count, pin=False, target=lambda ratio: ratio >= 0.95):
    medians = measure(batch_commands(pairs, pin), runs=ROUNDS, warmup=0)
    print(f"{what}: " + ", ".join(f"{age} {count / seconds:,.1f} files/s" for age, seconds in medians.items()))
    row(f"{what}: new / old files/s", f"{medians['old'] / medians['new']:.2f}×",
        lambda shown: target(float(shown[:-1])))


def far_servers(files_of_the_suite):
    """The batch of FAR_SOURCES is over in about two seconds, of which finding the number at once takes half;
    the longer batch shows the number found."""
    served, names = library.far_library(files_of_the_suite, FAR_LONG)
    with nginx(served, WORK) as port, tempfile.TemporaryDirectory(dir=WORK) as out:
        for round_trip, count in ((0.05, FAR_SOURCES), (0.1, FAR_SOURCES), (0.05, FAR_LONG), (0.1, FAR_LONG)):
            with far(port, round_trip) as proxy:
                uris = [f"http://127.0.0.1:{proxy}/{name}" for name in names[:count]]
                pairs = library.pairs_file(f"far-{round_trip}-{count}", uris, out)
                compare(f"{count} sources {round_trip * 1000:.0f} ms away", pairs, count,
                        target=lambda ratio: ratio >= 6)


def small_server(files_of_the_suite):
    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    from harness import LoopbackServer  # the test suite's server, once the media that it expects is made
    routes = {f"/{n}{os.path.splitext(source)[1]}": {"body": open(source, "rb").read(), "late": 0.01}
              for n, source in enumerate(files_of_the_suite[n % len(files_of_the_suite)]
                                         for n in range(SMALL_SERVER_SOURCES))}
    with tempfile.TemporaryDirectory(dir=WORK) as out:
        most = {}
        for age in ("old", "new") * ROUNDS:
            with LoopbackServer(routes, one_at_a_time=True) as server, \
                    far(server.httpd.server_address[1], 0.05) as proxy:
                pairs = library.pairs_file("small", [f"http://127.0.0.1:{proxy}{path}" for path in routes], out)
                build = NEW if age == "new" else OLD
                seconds = library.timed([os.path.join(build, "vantrell-batch")], pairs, pin=False)
                most.setdefault(age, []).append((seconds, server.most_connections))
        medians = {age: sorted(s for s, _ in runs)[len(runs) // 2] for age, runs in most.items()}
        print("a small server: " + ", ".join(f"{age} {SMALL_SERVER_SOURCES / medians[age]:.1f} files/s, at most "
                                             f"{max(c for _, c in most[age])} connections" for age in most))
        row("a small server 50 ms away (one request at a time, 10 ms each): new / old files/s",
            f"{medians['old'] / medians['new']:.2f}×", lambda shown: float(shown[:-1]) >= 0.95)
        row("a small server: most connections open at once, new", max(c for _, c in most["new"]),
            lambda n: n <= 32)


def local(files):
    pairs = library.listing(files, ".cover")
    for cores, pin in ((", one core", True), (", both cores", False)):
        compare(f"the library of {len(files):,} files{cores}", pairs, len(files), pin)


def mixed(files, files_of_the_suite):
    """The library with far sources and large pictures among its files."""
    bench.make_huge_picture()
    large = bench.media("huge-picture.mp3")
    with nginx(os.path.dirname(files_of_the_suite[0]), WORK) as port, far(port, 0.05) as proxy, \
            tempfile.TemporaryDirectory(dir=WORK) as out:
        uris = list(files)
        step = len(files) // (MIX_FAR + MIX_LARGE)
        for n in range(MIX_FAR + MIX_LARGE):
            extra = large if n % 5 == 4 else \
                f"http://127.0.0.1:{proxy}/{os.path.basename(files_of_the_suite[n % len(files_of_the_suite)])}"
            uris.insert(n * (step + 1), extra)
        pairs = library.pairs_file("mixed", uris, out)
        for cores, pin in ((", one core", True), (", both cores", False)):
            compare(f"a mix: the library, {MIX_FAR} far sources and {MIX_LARGE} large pictures{cores}", pairs,
                    len(uris), pin)


def memory():
    bench.make_huge_picture()
    large = bench.media("huge-picture.mp3")
    size = os.path.getsize(large) >> 20
    peaks = {}
    with tempfile.TemporaryDirectory(dir=WORK) as out:
        pairs = library.pairs_file("large", [large] * 200, out)
        for age, build in (("old", OLD), ("new", NEW)):
            with open(pairs, "rb") as feed:
                subprocess.run(["/usr/bin/time", "-f", "%M", "-o", os.path.join(WORK, "peak"),
                                os.path.join(build, "vantrell-batch")], stdin=feed, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, check=True)
            peaks[age] = int(open(os.path.join(WORK, "peak")).read().split()[-1])
    print(f"peak memory, 200 pairs of a {size} MiB file's picture: " +
          ", ".join(f"{age} {kib:,} KiB" for age, kib in peaks.items()))
    row("peak memory, 200 large pictures: new / old", f"{peaks['new'] / peaks['old']:.2f}×",
        lambda shown: float(shown[:-1]) <= 1.25)


def main():
    os.makedirs(WORK, exist_ok=True)
    library.setup(WORK, NEW, NEW)
    files = library.make_library()
    suite = library.suite_files()
    only = sys.argv[4:]
    for name, part in [("far", lambda: far_servers(suite)), ("small", lambda: small_server(suite)),
                       ("local", lambda: local(files)), ("mixed", lambda: mixed(files, suite)), ("memory", memory)]:
        if not only or name in only:
            part()
    print_rows(rows)


if __name__ == "__main__":
    main()
