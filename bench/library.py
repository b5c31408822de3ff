#!/usr/bin/env python3
"""Whole libraries: files per second for every tool over one library, and what vantrell-batch does with
more cores, far servers and many pairs.

Usage: library.py WORKDIR DEFAULT_BUILD STATIC_BUILD [CHART.svg]
The build folders hold vantrell and vantrell-batch. Every tool runs pinned to one core (taskset -c 0)
unless its name says otherwise; rounds are interleaved, so what the machine does meanwhile falls on all
tools alike. With python3-matplotlib, draws the files-per-second chart to CHART.svg.
"""
import datetime
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROUNDS = int(os.environ.get("BENCH_ROUNDS", "3"))
COPIES, DAMAGED = 75, 100  # of each of the 12 containers, plus damaged copies: 1,000 files
FAR_SOURCES, FAR_ROUND_TRIP = 400, 0.05
HERE = os.path.dirname(os.path.abspath(__file__))
ONE_CORE = ["taskset", "-c", "0"]
WORK = DEFAULT = STATIC = CHART = MEDIA = LIBRARY = None  # set by setup


def setup(work, default, static, chart=None):
    """Where the library is made and which builds are measured; other benchmarks that import this call it too."""
    global WORK, DEFAULT, STATIC, CHART, MEDIA, LIBRARY
    WORK, DEFAULT, STATIC = work, os.path.abspath(default), os.path.abspath(static)
    CHART = chart or os.path.join(WORK, "whole-library.svg")
    MEDIA, LIBRARY = os.path.join(WORK, "media"), os.path.join(WORK, "library")
    os.environ.update(VANTRELL_COMMAND=os.path.join(STATIC, "vantrell"), VANTRELL_MEDIA=MEDIA,
                      VANTRELL_BATCH_COMMAND=os.path.join(STATIC, "vantrell-batch"))


def without_pictures(entry):
    """The test suite's file of the entry's container with its audio and text tags only, made once."""
    stem, extension = os.path.splitext(entry["file"])
    bare = os.path.join(MEDIA, f"{stem}-bare{extension}")
    if not os.path.exists(bare):
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", os.path.join(MEDIA, entry["file"]), "-map",
                        "0:a", "-c", "copy", bare], check=True)
    return bare


def make_library(covers=True):
    """Album folders of every container the test suite makes, and damaged copies: cut short or overwritten.
    Without covers: the same files with their pictures left out, a library where every file is searched."""
    subprocess.run([sys.executable, os.path.join(HERE, "..", "tests", "make_media.py"), MEDIA], check=True,
                   stdout=subprocess.DEVNULL)
    folder = LIBRARY if covers else LIBRARY + " without covers"
    shutil.rmtree(folder, ignore_errors=True)
    with open(os.path.join(MEDIA, "manifest.json")) as manifest:
        entries = json.load(manifest)
    files, damage = [], random.Random(20261209)
    for i in range(COPIES + DAMAGED // len(entries) + 1):
        album = os.path.join(folder, f"Artist {i % 12}", f"Album {i} (live)")
        os.makedirs(album, exist_ok=True)
        for n, entry in enumerate(entries):
            if len(files) == COPIES * len(entries) + DAMAGED:
                return files
            data = open(os.path.join(MEDIA, entry["file"]) if covers else without_pictures(entry), "rb").read()
            if i >= COPIES:
                at = damage.randrange(len(data))
                data = data[:at] if damage.random() < 0.5 else data[:at] + bytes(16) + data[at + 16:]
            path = os.path.join(album, f"{n + 1:02} track {entry['container']}{os.path.splitext(entry['file'])[1]}")
            with open(path, "wb") as f:
                f.write(data)
            files.append(path)
    return files


def timed(command, stdin=None, pin=True):
    """Seconds for one run; stdin is a file to feed."""
    start = time.perf_counter()
    with open(stdin or os.devnull, "rb") as feed:
        subprocess.run((ONE_CORE if pin else []) + command, stdin=feed, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def listing(files, *suffixes):
    """A file of the names, NUL-ended; with suffixes, the library once for each, each file paired with its
    cover, name + suffix."""
    path = os.path.join(WORK, f"pairs-{len(suffixes)}" if suffixes else "files")
    with open(path, "wb") as f:
        for suffix in suffixes or [None]:
            for name in files:
                f.write(os.fsencode(name) + b"\0" + (os.fsencode(name + suffix) + b"\0" if suffix else b""))
    return path


def per_file(files, *command):
    """xargs, one process per file as the per-file recipes used to run: {} is the file."""
    return timed(["xargs", "-0", "-I{}", *command], stdin=listing(files))


def files_per_second(files):
    pairs = listing(files, ".cover")
    # Cores against one core over a longer run, the library ten times, so that start-up weighs nothing.
    ten_times = listing(files, *[f".cover{n}" for n in range(10)])
    tools = {
        "vantrell-batch, static": lambda: timed([os.path.join(STATIC, "vantrell-batch")], pairs),
        "vantrell-batch, Debian's shared FFmpeg": lambda: timed([os.path.join(DEFAULT, "vantrell-batch")], pairs),
        "vantrell per file, static": lambda: per_file(files, os.path.join(STATIC, "vantrell"), "{}", "{}.cover"),
        "vantrell per file, Debian's shared FFmpeg": lambda: per_file(
            files, os.path.join(DEFAULT, "vantrell"), "{}", "{}.cover"),
        "exiftool, one process": lambda: timed(
            ["exiftool", "-q", "-q", "-b", "-Picture", "-CoverArt", "-w!", "%d%f.%e.exifpic", "-r", LIBRARY]),
        "ffmpeg tool per file": lambda: per_file(files, "ffmpeg", "-nostdin", "-v", "quiet", "-y", "-i", "{}", "-map",
                                                 "0:v:0", "-c", "copy", "-f", "rawvideo", "{}.ffmpeg"),
        f"vantrell-batch, static, all {os.cpu_count()} cores": lambda: timed(
            [os.path.join(STATIC, "vantrell-batch")], pairs, pin=False),
        "ten times: one core": lambda: timed([os.path.join(STATIC, "vantrell-batch")], ten_times) / 10,
        f"ten times: all {os.cpu_count()} cores": lambda: timed(
            [os.path.join(STATIC, "vantrell-batch")], ten_times, pin=False) / 10,
    }
    times = {name: [] for name in tools}
    for round_number in range(ROUNDS):
        for name, measure in tools.items():
            remove_outputs(files)
            times[name].append(measure())
        print(f"round {round_number + 1} of {ROUNDS} done", flush=True)
    return {name: len(files) / statistics.median(t) for name, t in times.items()}


def remove_outputs(files):
    for path in files:
        for suffix in [".cover", ".exifpic", ".ffmpeg"] + [f".cover{n}" for n in range(10)]:
            if os.path.exists(path + suffix):
                os.remove(path + suffix)
    os.sync()  # so that no tool pays for the removal of another's files


def suite_files():
    """The test suite's media, one file of each container, as its manifest lists them."""
    with open(os.path.join(MEDIA, "manifest.json")) as manifest:
        return [os.path.join(MEDIA, entry["file"]) for entry in json.load(manifest)]


def pairs_file(name, uris, out):
    """A file of pairs under WORK: each uri, to a file of its own in out; its path."""
    path = os.path.join(WORK, name)
    with open(path, "wb") as f:
        for n, uri in enumerate(uris):
            f.write(os.fsencode(uri) + b"\0" + os.fsencode(os.path.join(out, f"{n}.img")) + b"\0")
    return path


def far_library(files_of_the_suite, count):
    """A folder for nginx to serve: count copies of the suite's containers in turn; their names."""
    served = os.path.join(WORK, "served")
    os.makedirs(served, exist_ok=True)
    names = []
    for n in range(count):
        source = files_of_the_suite[n % len(files_of_the_suite)]
        names.append(f"{n}{os.path.splitext(source)[1]}")
        shutil.copyfile(source, os.path.join(served, names[-1]))
    return served, names


def far_sources():
    """Seconds for one batch over sources far away: nginx behind a proxy that adds a round trip."""
    from servers import far, nginx
    served, names = far_library(suite_files(), FAR_SOURCES)
    with nginx(served, WORK) as port, far(port, FAR_ROUND_TRIP) as proxy, \
            tempfile.TemporaryDirectory(dir=WORK) as out:
        pairs = pairs_file("far-pairs", [f"http://127.0.0.1:{proxy}/{name}" for name in names], out)
        together = timed([os.path.join(STATIC, "vantrell-batch")], pairs, pin=False)
        written = sum(os.path.exists(os.path.join(out, f"{n}.img")) for n in range(FAR_SOURCES))
    return together, written


def peak_memory(files, count, build=None):
    """Peak resident KiB of vantrell-batch (the static one unless build names another) over count pairs from
    the library, written to 64 names in turn (so that no two consecutive pairs are alternatives)."""
    with tempfile.TemporaryDirectory(dir=WORK) as out:
        pairs = os.path.join(WORK, f"pairs-{count}")
        with open(pairs, "wb") as f:
            for n in range(count):
                f.write(os.fsencode(files[n % len(files)]) + b"\0" + os.fsencode(os.path.join(out, f"{n % 64}")) + b"\0")
        with open(pairs, "rb") as feed:
            subprocess.run(["/usr/bin/time", "-f", "%M", "-o", os.path.join(WORK, "peak"),
                            os.path.join(build or STATIC, "vantrell-batch")], stdin=feed, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True)
    return int(open(os.path.join(WORK, "peak")).read().split()[-1])


def machine():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
                 platform.processor())
    return f"{model}, {os.cpu_count()} cores, {platform.system()} {platform.machine()}"


def draw(rates, caption):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("drew no chart: python3-matplotlib is not installed")
        return
    names = list(reversed(rates))
    figure, axes = plt.subplots(figsize=(9, 4.2))
    bars = axes.barh(names, [rates[n] for n in names],
                     color=["#2b6cb0" if n.startswith("vantrell-batch") else "#a0aec0" for n in names])
    axes.bar_label(bars, labels=[f"{rates[n]:,.0f}" for n in names], padding=3)
    axes.set_xlabel("files per second (more is better)")
    axes.set_title("Album art from a library of 1,000 files", loc="left")
    axes.spines[["top", "right"]].set_visible(False)
    axes.set_xlim(0, max(rates.values()) * 1.15)
    figure.text(0.01, 0.01, caption, fontsize=8, color="#4a5568")
    figure.tight_layout(rect=(0, 0.05, 1, 1))
    figure.savefig(CHART, format="svg", metadata={"Date": None})
    print(f"drew {CHART}")


def main():
    os.makedirs(WORK, exist_ok=True)
    files = make_library()
    rates = files_per_second(files)
    together, written = far_sources()
    far_row = f"vantrell-batch, static, {FAR_SOURCES} sources {FAR_ROUND_TRIP * 1000:.0f} ms away, both cores"
    rates[far_row] = FAR_SOURCES / together
    small, large = peak_memory(files, 200), peak_memory(files, 20000)
    when = datetime.date.today().isoformat()
    print(f"\n{len(files)} files ({COPIES} of each of 12 containers, {DAMAGED} damaged) in {LIBRARY}; "
          f"median of {ROUNDS} rounds; one core unless named; {machine()}; {when}")
    ten_times = {name: rates.pop(name) for name in list(rates) if name.startswith("ten times")}
    print("\n| tool | files per second |\n|---|---|")
    for name, value in rates.items():
        print(f"| {name} | {value:,.0f} |")
    exiftool, cores = rates["exiftool, one process"], f"ten times: all {os.cpu_count()} cores"
    checks = [
        ("vantrell-batch, Debian's FFmpeg / exiftool, files per second", rates["vantrell-batch, Debian's shared FFmpeg"]
         / exiftool, "×", lambda r: r >= 2),
        ("vantrell-batch, static / exiftool, files per second", rates["vantrell-batch, static"] / exiftool, "×",
         lambda r: r >= 3),
        (f"vantrell-batch, static, the library ten times: all {os.cpu_count()} cores / one core",
         ten_times[cores] / ten_times["ten times: one core"], "×", lambda r: r >= 1.6),
        (f"{FAR_SOURCES} sources {FAR_ROUND_TRIP * 1000:.0f} ms away (nginx behind bench/latency_proxy.py), one batch "
         f"({written} written)", together, " s", None),
        ("peak memory, 200 pairs", small, " KiB", None),
        ("peak memory, 20,000 pairs", large, " KiB", None),
        ("peak memory, 20,000 pairs / 200 pairs", large / small, "×", lambda r: r <= 1.3),
    ]
    print("\n| measure | figure | target |\n|---|---|---|")
    for what, value, unit, target in checks:
        shown = f"{value:,.0f}{unit}" if unit == " KiB" else f"{value:.2f}{unit}"
        print(f"| {what} | {shown} | {'' if target is None else 'met' if target(value) else 'missed'} |")
    draw(rates, f"{machine()}; measured {when} by bench/library.sh; one core unless named")


if __name__ == "__main__":
    setup(*sys.argv[1:5])
    main()
