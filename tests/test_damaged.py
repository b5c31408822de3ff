#!/usr/bin/env python3
"""Truncated and corrupted copies of every test file, read as a path and through pipe:0; the covers that only
tag readers see, cut inside their picture.

Whatever the damage, vantrell must exit 0 with only its own lines, and either write exactly the stored
picture or leave an existing filename as it was. VANTRELL_SWEEP_SEED picks the corrupted positions;
VANTRELL_SWEEP_SAMPLE, when set, runs that many of the damaged inputs (for slow runners).
"""
import collections
import concurrent.futures
import os
import random
import subprocess
import unittest

from harness import BATCH, HIDDEN, KEEP, MANIFEST, VantrellCase, media, picture_of, read, run, success_line

SEED = int(os.environ.get("VANTRELL_SWEEP_SEED", "20261208"))
SAMPLE = int(os.environ.get("VANTRELL_SWEEP_SAMPLE", "0"))
CUTS_ACROSS, CUTS_IN_PICTURE, CORRUPTIONS_ACROSS, CORRUPTIONS_IN_TAG, HIDDEN_CUTS = 32, 16, 20, 20, 8
OUTCOMES = {"Wrote album art to": "wrote", "could not read the format header": "header refused",
            "avformat_open_input() failed": "open failed", "could not write album art": "write failed"}


def damaged_copies(data, picture_at, picture_size, rng):
    """Yields (class, description, bytes): cuts across the file and inside the picture, and overwritten
    bytes across the file and inside the tag that holds the picture (its header and the picture itself)."""
    for i in range(1, CUTS_ACROSS + 1):
        cut = len(data) * i // (CUTS_ACROSS + 1)
        yield "cut across", f"cut at {cut}", data[:cut]
    if picture_at >= 0:
        for i in range(CUTS_IN_PICTURE):
            cut = picture_at + picture_size * i // CUTS_IN_PICTURE
            yield "cut in picture", f"cut at {cut}", data[:cut]
    tag_start = max(picture_at - 512, 0) if picture_at >= 0 else 0
    tag_end = picture_at + picture_size if picture_at >= 0 else min(len(data), 4096)
    for klass, low, high, count in [("corrupt across", 0, len(data), CORRUPTIONS_ACROSS),
                                    ("corrupt in tag", tag_start, tag_end, CORRUPTIONS_IN_TAG)]:
        for _ in range(count):
            at = rng.randrange(low, high)
            kind = rng.choice(["flip", "ones", "zeros"])
            damaged = bytearray(data)
            if kind == "flip":
                damaged[at] ^= 0xFF
            else:
                damaged[at:at + 4] = (b"\xff" if kind == "ones" else b"\0") * len(damaged[at:at + 4])
            yield klass, f"{kind} at {at}", bytes(damaged)


class DamagedInputs(VantrellCase):
    def test_sweep(self):
        rng = random.Random(SEED)
        inputs = []
        for entry in MANIFEST:
            data, picture = read(media(entry["file"])), picture_of(entry["picture"])
            picture_at = data.find(picture)
            for klass, what, damaged in damaged_copies(data, picture_at, len(picture), rng):
                inputs.append((entry, klass, what, damaged, picture, picture_at))
        for entry in (e for e in HIDDEN if e["picture"]):
            data, picture = read(media(entry["file"])), picture_of(entry["picture"])
            picture_at = data.find(picture)
            for i in range(HIDDEN_CUTS if picture_at >= 0 else 0):
                cut = picture_at + len(picture) * i // HIDDEN_CUTS
                inputs.append(({**entry, "container": entry["kind"]}, "hidden cut", f"cut at {cut}", data[:cut],
                               picture, picture_at))
        total = len(inputs)
        if SAMPLE and SAMPLE < total:
            inputs = random.Random(SEED).sample(inputs, SAMPLE)
        print(f"damaged-input sweep: seed {SEED}, {len(inputs)} of {total} damaged inputs, "
              f"each as a path{'' if BATCH else ' and through pipe:0'}", flush=True)

        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
            results = list(pool.map(lambda args: self.try_damaged(*args), enumerate(inputs)))

        tally = collections.Counter()
        failures = []
        for (entry, klass, what, *_), runs in zip(inputs, results):
            for how, outcome, problem in runs:
                tally[klass, outcome] += 1
                if problem:
                    failures.append(f"{entry['container']} {klass} {what} via {how}: {problem}")
        for (klass, outcome), count in sorted(tally.items()):
            print(f"  {klass:15} {outcome:15} {count:5}")
        self.assertEqual(failures, [], f"{len(failures)} damaged runs went wrong:\n" + "\n".join(failures[:40]))

    def try_damaged(self, index, case):
        entry, _, _, damaged, picture, picture_at = case
        source = self.scratch(f"damaged-{index}-{entry['file']}", damaged)
        # The picture as the damaged file stores it: a flipped byte inside it is part of what is stored.
        stored = damaged[picture_at:picture_at + len(picture)] if picture_at >= 0 else picture
        if len(stored) < len(picture):
            stored = picture
        runs = []
        # vantrell-batch's standard input holds its pairs, so it reads damaged files by path only.
        for how, uri, stdin in [("path", source, None), ("pipe", "pipe:0", damaged)][:1 if BATCH else 2]:
            out = self.scratch(f"out-{index}-{how}", KEEP)
            try:
                result = run(uri, out, stdin=stdin, timeout=10)
            except subprocess.TimeoutExpired:
                runs.append((how, "hung", "no exit within the time limit"))
                continue
            outcome = next((name for prefix, name in OUTCOMES.items()
                            if any(line.startswith(prefix) for line in result.lines)), "no picture")
            runs.append((how, outcome, self.problem(result, uri, out, {picture, stored})))
            os.remove(out)
        os.remove(source)
        return runs

    def problem(self, result, uri, out, acceptable):
        try:
            self.assertClean(result)
            self.assertEqual(result.lines[:1], [f"Opening {uri}"], result)
            written = read(out)
            if success_line(out) in result.lines:
                self.assertIn(written, acceptable, "wrote a picture that is not the stored one")
            else:
                self.assertEqual(written, KEEP, "changed filename without reporting success")
        except AssertionError as error:
            return str(error)[:400]
        return None


if __name__ == "__main__":
    unittest.main(verbosity=2)
