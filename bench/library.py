#!/usr/bin/env python3
"""Files per second over a whole library, one process per file as users run it (through xargs).

Usage: library.py WORKDIR DEFAULT_VANTRELL STATIC_VANTRELL
Every tool runs pinned to one core (taskset -c 0) except the last row, which spreads the static build
over every core. Rounds are interleaved, so what the machine does meanwhile falls on all tools alike.
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

WORK, DEFAULT, STATIC = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "3"))
COPIES = 84  # of each container: 12 containers make 1,008 files
HERE = os.path.dirname(os.path.abspath(__file__))
MEDIA, LIBRARY = os.path.join(WORK, "media"), os.path.join(WORK, "library")


def make_library():
    subprocess.run([sys.executable, os.path.join(HERE, "..", "tests", "make_media.py"), MEDIA], check=True,
                   stdout=subprocess.DEVNULL)
    shutil.rmtree(LIBRARY, ignore_errors=True)
    with open(os.path.join(MEDIA, "manifest.json")) as manifest:
        entries = json.load(manifest)
    files = []
    for i in range(COPIES):
        album = os.path.join(LIBRARY, f"Artist {i % 12}", f"Album {i} (live)")
        os.makedirs(album, exist_ok=True)
        for n, entry in enumerate(entries):
            path = os.path.join(album, f"{n + 1:02} track {entry['container']}{os.path.splitext(entry['file'])[1]}")
            shutil.copy(os.path.join(MEDIA, entry["file"]), path)
            files.append(path)
    return files


def xargs(files, *command, cores=1):
    """Seconds for one run of command over files: {} is the file, {}.cover beside it the output."""
    listing = os.path.join(WORK, "files")
    with open(listing, "wb") as f:
        f.write(b"".join(os.fsencode(path) + b"\0" for path in files))
    pin = ["taskset", "-c", "0"] if cores == 1 else []
    start = time.perf_counter()
    with open(listing, "rb") as names:
        subprocess.run(pin + ["xargs", "-0", "-P", str(cores), "-I{}", *command], stdin=names,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    os.makedirs(WORK, exist_ok=True)
    files = make_library()
    flac = [f for f in files if f.endswith(".flac")]
    cores = os.cpu_count() or 1
    tools = {
        "vantrell, default build (shared FFmpeg)": lambda: xargs(files, DEFAULT, "{}", "{}.cover"),
        "vantrell, static build": lambda: xargs(files, STATIC, "{}", "{}.cover"),
        f"vantrell, static build, xargs -P {cores}": lambda: xargs(files, STATIC, "{}", "{}.cover", cores=cores),
        "exiftool, one process for all files": lambda: one_process(
            ["exiftool", "-q", "-q", "-b", "-Picture", "-CoverArt", "-w!", "%d%f.%e.exifpic", "-r", LIBRARY]),
        "ffmpeg -i F -map 0:v:0 -c copy (one process per file)": lambda: xargs(
            files, "ffmpeg", "-nostdin", "-v", "quiet", "-y", "-i", "{}", "-map", "0:v:0", "-c", "copy",
            "-f", "rawvideo", "{}.ffmpeg"),
    }
    flac_tools = {"static vantrell on FLAC": lambda: xargs(flac, STATIC, "{}", "{}.cover"),
                  "metaflac --export-picture-to on FLAC": lambda: xargs(
                      flac, "metaflac", "--export-picture-to={}.metaflac", "{}")}
    times = {name: [] for name in {**tools, **flac_tools}}
    for round_number in range(ROUNDS):
        for name, measure in {**tools, **flac_tools}.items():
            remove_outputs(files)
            times[name].append(measure())
        print(f"round {round_number + 1} of {ROUNDS} done", flush=True)
    rate = {name: len(files) / statistics.median(t) for name, t in times.items() if name in tools}
    print(f"\n{len(files)} files ({len(flac)} FLAC) in {LIBRARY}; median of {ROUNDS} rounds; one core unless named")
    print("\n| tool | files per second |\n|---|---|")
    for name, value in rate.items():
        print(f"| {name} | {value:,.0f} |")
    exiftool = rate["exiftool, one process for all files"]
    static = rate["vantrell, static build"]
    flac_ratio = statistics.median(times["static vantrell on FLAC"]) / statistics.median(
        times["metaflac --export-picture-to on FLAC"])
    print("\n| target | figure | |\n|---|---|---|")
    print(f"| static build / exiftool, files per second, one core | {static / exiftool:.2f}× | "
          f"{'met' if static / exiftool >= 1.3 else 'missed'} (≥ 1.3×) |")
    print(f"| static build / metaflac, time on FLAC | {flac_ratio:.2f}× | "
          f"{'met' if flac_ratio <= 1.0 else 'missed'} (≤ 1.0×) |")
    print(f"| default build / static build, time | {static / rate['vantrell, default build (shared FFmpeg)']:.1f}× | |")


def remove_outputs(files):
    for path in files:
        for suffix in (".cover", ".exifpic", ".ffmpeg", ".metaflac"):
            if os.path.exists(path + suffix):
                os.remove(path + suffix)


def one_process(command):
    start = time.perf_counter()
    subprocess.run(["taskset", "-c", "0", *command], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


if __name__ == "__main__":
    main()
