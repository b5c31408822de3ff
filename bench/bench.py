#!/usr/bin/env python3
"""Times vantrell against its floor, the ffmpeg tool, single-format tools and its own lean build.

Usage: bench.py WORKDIR DEFAULT_BUILD [LEAN_BUILD] [ARMHF_BUILD ARMHF_LEAN_BUILD]
Every figure is a ratio of medians measured in the same run, commands interleaved run by run, so that
what the machine does meanwhile falls on both sides alike.
"""
import os
import re
import statistics
import subprocess
import sys

from timing import RUNS, WARMUP, measure, print_rows

WORK, DEFAULT = sys.argv[1], sys.argv[2]
LEAN = sys.argv[3] if len(sys.argv) > 3 else None
ARMHF = sys.argv[4:6] if len(sys.argv) > 5 else None
MEDIA = os.path.join(WORK, "media")
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
os.environ.setdefault("VANTRELL_COMMAND", os.path.join(DEFAULT, "vantrell"))
os.environ.setdefault("VANTRELL_BATCH_COMMAND", os.path.join(DEFAULT, "vantrell-batch"))
os.environ.setdefault("VANTRELL_MEDIA", MEDIA)
rows = []


def media(name):
    return os.path.join(MEDIA, name)


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *args], check=True)


def make_media():
    subprocess.run([sys.executable, os.path.join(HERE, "..", "tests", "make_media.py"), MEDIA], check=True,
                   stdout=subprocess.DEVNULL)
    if not os.path.exists(media("big.flac")):
        # About 200 MiB: incompressible noise, looped, with the usual cover in front.
        ffmpeg("-f", "lavfi", "-i", "anoisesrc=duration=20:sample_rate=48000", "-ac", "2", "-c:a", "flac",
               media("noise.flac"))
        ffmpeg("-stream_loop", "72", "-i", media("noise.flac"), "-i", media("cover.jpg"), "-map", "0", "-map",
               "1", "-c", "copy", "-disposition:v", "attached_pic", media("big.flac"))
    make_huge_picture()


def make_huge_picture():
    """An MP3 whose picture is a PNG of noise, about 20 MB."""
    if not os.path.exists(media("huge-picture.mp3")):
        ffmpeg("-f", "lavfi", "-i", "nullsrc=size=3000x3000,geq=random(1)*255:random(2)*255:random(3)*255",
               "-frames:v", "1", media("huge.png"))
        ffmpeg("-f", "lavfi", "-i", "sine=duration=1", "-i", media("huge.png"), "-map", "0", "-map", "1",
               "-c:a", "libmp3lame", "-c:v", "copy", "-disposition:v", "attached_pic", media("huge-picture.mp3"))


def row(what, value, target=None, unit="×"):
    shown = f"{value:.2f}{unit}" if unit == "×" else f"{value:,.0f} {unit}"
    verdict = "" if target is None else ("met" if target(value) else "missed")
    rows.append((what, shown, verdict))
    print(f"  {what}: {shown} {verdict}", flush=True)


def out(name):
    return os.path.join(WORK, name)


def vantrell_against_floor_and_tools(build, label):
    v = os.path.join(build, "vantrell")
    commands = {"floor": [os.path.join(build, "vantrell-floor")]}
    for kind, name in [("mp3", "song-v24.mp3"), ("flac", "song.flac"), ("m4a", "song.m4a")]:
        commands[f"vantrell {kind}"] = [v, media(name), out("v.jpg")]
        commands[f"ffmpeg {kind}"] = ["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", media(name), "-an",
                                      "-c:v", "copy", out("f.jpg")]
    commands["vantrell big"] = [v, media("big.flac"), out("b.jpg")]
    medians = measure(commands)
    print(f"{label}: vantrell on FLAC {medians['vantrell flac'] * 1000:.2f} ms, floor {medians['floor'] * 1000:.2f} ms")
    row(f"{label}: vantrell / do-nothing program with the same libraries (FLAC)",
        medians["vantrell flac"] / medians["floor"], lambda r: r <= 1.10)
    for kind in ("mp3", "flac", "m4a"):
        row(f"{label}: vantrell / `ffmpeg -i F -an -c:v copy OUT` ({kind.upper()})",
            medians[f"vantrell {kind}"] / medians[f"ffmpeg {kind}"])
    big = os.path.getsize(media("big.flac")) >> 20
    row(f"{label}: {big} MiB FLAC / 22 KiB FLAC", medians["vantrell big"] / medians["vantrell flac"], lambda r: r <= 1.05)
    return medians


def http_bytes():
    from harness import LoopbackServer
    with open(media("big.flac"), "rb") as f:
        body = f.read()
    with LoopbackServer({"/big.flac": {"body": body}}) as server:
        trace = out("http.strace")
        subprocess.run(["strace", "-f", "-qq", "-e", "trace=recvfrom,read", "-e", "signal=none", "-o", trace,
                        os.path.join(DEFAULT, "vantrell"), server.url("/big.flac"), out("h.jpg")],
                       check=True, capture_output=True)
    sockets, received = set(), 0
    for line in open(trace):
        call = re.search(r"(recvfrom|read)\((\d+),.*= (\d+)$", line)
        if call and (call.group(1) == "recvfrom" or call.group(2) in sockets):
            received += int(call.group(3))
    row(f"bytes vantrell received over HTTP for the {len(body) >> 20} MiB file", received / 1024, lambda k: k <= 256, "KiB")


def peak_kib(argv, runs=5):
    """Peak resident memory of the command itself: GNU time forks it from a small process, where a child
    of this large Python process would start its count at the parent's size."""
    peaks = []
    for _ in range(runs):
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", out("peak"), *argv], check=True, capture_output=True)
        peaks.append(int(open(out("peak")).read().split()[-1]))
    return statistics.median(peaks)


def memory(build, label):
    v = os.path.join(build, "vantrell")
    peaks = {"small": peak_kib([v, media("song-v24.mp3"), out("m.jpg")]),
             "huge": peak_kib([v, media("huge-picture.mp3"), out("m.png")])}
    size = os.path.getsize(media("huge.png")) / 1024
    row(f"{label}: peak memory, 2 KiB picture", peaks["small"], None, "KiB")
    row(f"{label}: peak memory, {size / 1024:.1f} MiB picture", peaks["huge"], None, "KiB")
    row(f"{label}: memory growth / picture size", (peaks["huge"] - peaks["small"]) / size, lambda r: r <= 1.25)


def lean_against_others(default_medians):
    v = os.path.join(LEAN, "vantrell")
    commands = {"lean flac": [v, media("song.flac"), out("l.jpg")], "lean m4a": [v, media("song.m4a"), out("l2.jpg")],
                "default flac": [os.path.join(DEFAULT, "vantrell"), media("song.flac"), out("d.jpg")],
                "lean floor": [os.path.join(LEAN, "vantrell-floor")]}
    if subprocess.run(["sh", "-c", "command -v metaflac"], capture_output=True).returncode == 0:
        commands["metaflac"] = ["metaflac", f"--export-picture-to={out('mf.jpg')}", media("song.flac")]
    if subprocess.run(["sh", "-c", "command -v AtomicParsley"], capture_output=True).returncode == 0:
        commands["AtomicParsley"] = ["AtomicParsley", media("song.m4a"), "-E"]
    medians = measure(commands)
    print(f"lean: vantrell on FLAC {medians['lean flac'] * 1000:.2f} ms")
    row("default build / lean build (FLAC)", medians["default flac"] / medians["lean flac"], lambda r: r >= 10)
    row("lean: vantrell / do-nothing program (FLAC)", medians["lean flac"] / medians["lean floor"])
    if "metaflac" in medians:
        row("lean vantrell / `metaflac --export-picture-to` (FLAC)", medians["lean flac"] / medians["metaflac"],
            lambda r: r <= 1.25)
    if "AtomicParsley" in medians:
        row("lean vantrell / `AtomicParsley -E` (M4A)", medians["lean m4a"] / medians["AtomicParsley"])
    size = os.path.getsize(v)
    row("lean binary size", size / 1024, lambda k: k < 5 * 1024, "KiB")
    needed = subprocess.run(["sh", "-c", f"readelf -d {v} | sed -n 's/.*NEEDED.*\\[\\(.*\\)\\]/\\1/p'"],
                            capture_output=True, text=True).stdout.split()
    print(f"  lean binary needs: {' '.join(needed)}")
    rows.append(("lean binary's shared libraries", " ".join(needed), ""))


def armhf():
    commands = {name: ["qemu-arm", os.path.join(build, "vantrell"), media("song.flac"), out(f"{name}.jpg")]
                for name, build in zip(("default", "lean"), ARMHF)}
    medians = measure(commands, runs=15)
    row("armhf under qemu: default build / lean build (FLAC)", medians["default"] / medians["lean"])


def main():
    os.makedirs(WORK, exist_ok=True)
    make_media()
    print(f"runs per command: {RUNS} after {WARMUP} warm-up runs; big file {os.path.getsize(media('big.flac')) >> 20} MiB")
    medians = vantrell_against_floor_and_tools(DEFAULT, "default")
    http_bytes()
    memory(DEFAULT, "default")
    if LEAN:
        lean_against_others(medians)
        memory(LEAN, "lean")
    if ARMHF:
        armhf()
    print_rows(rows)


if __name__ == "__main__":
    main()
