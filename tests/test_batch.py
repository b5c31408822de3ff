#!/usr/bin/env python3
"""What vantrell-batch does beyond one pair: many pairs in order, alternatives, shared filenames, streaming,
stalled sources among quick ones, and input or output that goes wrong."""
import contextlib
import os
import pty
import random
import re
import shutil
import signal
import subprocess
import threading
import time
import unittest

from harness import (ATTACKS, BATCH_COMMAND, CRASH, HOSTILE, KEEP, MANIFEST, SLOWDOWN, SPIN, VANTRELL_COMMAND, WINDOWS,
                     LoopbackServer, Result, VantrellCase, descendants, fault_environment, media, pairs, picture_of,
                     read, read_fifo_when_written, run, run_ending_the_reader, session_of, unconfined_reason)

SPAN = 30  # seconds in which a network source must deliver 1,024 bytes


def batch(feed, timeout=60, **options):
    return run(command=BATCH_COMMAND, stdin=feed, timeout=timeout, **options)


def started_batch():
    """vantrell-batch with a pipe to feed it by hand."""
    # Unbuffered, so that a line read by hand leaves the rest of the output where communicate finds it.
    return subprocess.Popen(BATCH_COMMAND, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            bufsize=0)


def finish(process, seconds):
    """Closes the input of a started batch and waits for it; its Result."""
    process.stdin.close()
    process.stdin = None  # closed by hand, so communicate only reads
    output, errors = process.communicate(timeout=seconds * SLOWDOWN)
    return Result(subprocess.CompletedProcess(BATCH_COMMAND, process.returncode, output, errors))


def watched_batch(feed, env=None, timeout=60, shell_words=None):
    """Runs vantrell-batch in a session of its own (after shell_words, a shell's redirections, where given);
    its Result, the most memory its supervisor held (KiB), and the processes of its session left once it
    ended."""
    command = BATCH_COMMAND if shell_words is None else ["sh", "-c", f'exec "$@" {shell_words}', "sh"] + BATCH_COMMAND
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env={**os.environ, **(env or {})}, start_new_session=True)
    peak, ended = [0], threading.Event()

    def watch():
        while not ended.is_set():
            try:
                with open(f"/proc/{process.pid}/status") as status:
                    fields = dict(line.split(":", 1) for line in status if ":" in line)
                peak[0] = max(peak[0], int(fields.get("VmHWM", "0 kB").split()[0]))
            except (OSError, ValueError):
                return
            time.sleep(0.01)
    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    try:
        output, errors = process.communicate(feed, timeout=timeout * SLOWDOWN)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
        ended.set()
        watcher.join()
    time.sleep(0.2)  # what ends with the run is given the moment that it takes
    left = [pid for pid in descendants(1) if session_of(pid) == process.pid]
    return Result(subprocess.CompletedProcess(command, process.returncode, output, errors)), peak[0], left


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds * SLOWDOWN
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


class Pairs(VantrellCase):
    def test_lines_are_vantrells_in_input_order(self):
        """Every container and a few failures, in one run: the lines and files of vantrell, pair by pair."""
        sources = [media(entry["file"]) for entry in MANIFEST] + [
            media("no-picture.mp3"), self.scratch("missing.flac"), media("large-picture.mp3"),
            media("song.flac"), media("song.flac")]
        names = []
        for n, source in enumerate(sources):
            names += [source, self.scratch(f"cover {n}.img")]
        names[-1] = self.scratch("no/such/folder/cover.jpg")
        result = batch(pairs(*names))
        self.assertClean(result)
        expected = []
        for source, out in zip(names[::2], names[1::2]):
            kept = read(out) if os.path.exists(out) else None
            alone = run(source, out, command=VANTRELL_COMMAND)
            expected += alone.lines
            self.assertEqual(read(out) if os.path.exists(out) else None, kept, f"vantrell wrote {out} otherwise")
        self.assertEqual(result.lines, expected)

    def test_alternatives(self):
        """Each case: the sources paired with one filename; the picture it ends with, the lines after
        each Opening (None: no such Opening line). Sources after the first with a picture are not opened."""
        with LoopbackServer({"/never.flac": {"body": read(media("song.flac"))}}) as server:
            never = server.url("/never.flac")
            missing = self.scratch("missing.mp3")
            cases = {
                "no picture, then a picture, then one never opened": (
                    [media("no-picture.mp3"), media("large-picture.mp3"), never], "large.png"),
                "a failed write still ends the search": ([media("song.flac"), never], None),
                "none holds a picture": ([missing, media("no-picture.mp3")], KEEP),
            }
            for name, (sources, ends_with) in cases.items():
                with self.subTest(name):
                    out = self.scratch("folder/cover.jpg") if ends_with is None else self.scratch("cover.jpg", KEEP)
                    result = batch(pairs(*[part for source in sources for part in (source, out)]))
                    self.assertClean(result)
                    opened = [line[len("Opening "):] for line in result.lines if line.startswith("Opening ")]
                    self.assertNotIn(never, opened)
                    self.assertEqual(opened, [s for s in sources if s != never], result)
                    if ends_with is None:
                        self.assertEqual(result.lines[-1], f"could not write album art to {out}")
                    else:
                        self.assertFileHolds(out, ends_with if ends_with == KEEP else picture_of(ends_with))
            self.assertEqual(server.requests, [], "an alternative after the picture was opened")

    def test_one_filename_in_pairs_apart(self):
        """A slow source, another pair, then a quick source for the same filename: the file ends as if the
        pairs ran one after another, so the quick source's picture is the one left."""
        flac = read(media("song.flac"))
        with LoopbackServer({"/slow.flac": {"body": flac, "rate": len(flac) // 3}}) as server:
            out, between = self.scratch("cover.img"), self.scratch("between.jpg")
            result = batch(pairs(server.url("/slow.flac"), out, media("song.m4a"), between,
                                 media("large-picture.mp3"), out))
        self.assertClean(result)
        self.assertEqual(result.lines, [f"Opening {server.url('/slow.flac')}", f"Wrote album art to {out}",
                                        f"Opening {media('song.m4a')}", f"Wrote album art to {between}",
                                        f"Opening {media('large-picture.mp3')}", f"Wrote album art to {out}"])
        self.assertEqual(read(out), picture_of("large.png"))

    def test_streaming(self):
        """The first pair is written, and its lines are out, while the input is still open."""
        first, second = self.scratch("first.jpg"), self.scratch("second.jpg")
        process = started_batch()
        try:
            process.stdin.write(pairs(media("song.flac"), first))
            process.stdin.flush()
            self.assertTrue(wait_for(lambda: os.path.exists(first) and read(first) == picture_of("cover.jpg"), 20),
                            "the first pair waited for the end of the input")
            # A different filename next, so the first pair is known to have no more alternatives.
            process.stdin.write(pairs(media("song.m4a"), second))
            process.stdin.flush()
            self.assertEqual(process.stdout.readline().decode().rstrip("\r\n"), f"Opening {media('song.flac')}")
        finally:
            result = finish(process, 30)
        self.assertClean(result)
        self.assertEqual(read(second), picture_of("cover.jpg"))
        self.assertEqual(result.lines, [f"Wrote album art to {first}", f"Opening {media('song.m4a')}",
                                        f"Wrote album art to {second}"])

    def test_a_long_input_takes_no_more_memory(self):
        """20,000 pairs with long filenames (6 MB of input, 64 names in turn) take the supervisor no more than
        3 MiB beyond what 200 of them take: the input waits in its pipe, not in the supervisor. Only memory is
        measured, so the time allowed is what a machine busy with other work may take."""
        if WINDOWS or SLOWDOWN > 1:
            self.skipTest("measured where /proc shows the supervisor's memory and no checker or emulator keeps "
                          "freed memory from reuse")
        folder = self.scratch("covers")
        os.makedirs(folder)
        outs = [os.path.join(folder, f"{'a long name ' * 16}{n}.jpg") for n in range(64)]
        peaks = []
        for count in (200, 20000):
            result, peak, _ = watched_batch(pairs(*[name for n in range(count)
                                                    for name in (media("song.flac"), outs[n % 64])]), timeout=300)
            self.assertClean(result)
            self.assertEqual(result.lines.count(f"Wrote album art to {outs[0]}"), (count + 63) // 64, result)
            peaks.append(peak)
        self.assertFileHolds(outs[63], picture_of("cover.jpg"))
        self.assertLess(peaks[1] - peaks[0], 3 * 1024, f"the supervisor held {peaks[1]} KiB, {peaks[0]} for 200 pairs")

    def test_a_stalled_source_holds_up_nothing_else(self):
        """A silent server among local pairs, more of them than there are readers, so that some are given to
        the silent one's reader while it waits: those after it are written meanwhile, and its lines come in
        their place when it gives up."""
        with LoopbackServer({"/silent.flac": {"silent": True}}) as server:
            silent = server.url("/silent.flac")
            locals_after = [(media(entry["file"]), self.scratch(f"after {copy} {n}.img"))
                            for copy in range(4) for n, entry in enumerate(MANIFEST) if not entry["tag_at_end"]]
            before = self.scratch("before.img")
            feed = pairs(media("song.flac"), before, silent, self.scratch("silent.img", KEEP),
                         *[name for pair in locals_after for name in pair])
            process = started_batch()
            process.stdin.write(feed)
            process.stdin.flush()
            written = wait_for(lambda: all(os.path.exists(out) for _, out in locals_after), 15)
            still_waiting = process.poll() is None
            result = finish(process, 2 * SPAN + 15)
        self.assertTrue(written and still_waiting, "the pairs after the silent one waited for it")
        self.assertClean(result)
        self.assertEqual(result.lines[:4], [f"Opening {media('song.flac')}", f"Wrote album art to {before}",
                                            f"Opening {silent}", "avformat_open_input() failed"])
        self.assertEqual(len(result.lines), 4 + 2 * len(locals_after))
        self.assertFileHolds(self.scratch("silent.img"), KEEP)


class Faults(VantrellCase):
    """A source on which the library crashes or loops for ever, or whose reader is ended from outside: that
    pair fails alone, every other pair is done as if it were not there."""

    def gave_up_on(self, result):
        return [line for line in result.stderr.splitlines() if "gave up on" in line]

    def test_a_faulty_pair_fails_alone(self):
        """Each case: the faulty source and its place among the suite's containers."""
        last = len(MANIFEST)
        cases = {"crash as the first pair": (CRASH, 0), "crash in the middle": (CRASH, last // 2),
                 "crash as the last pair": (CRASH, last), "endless loop in the middle": (SPIN, last // 2),
                 "reader killed while it waits on a FIFO, in the middle": ("fifo", last // 2)}
        for name, (fault, place) in cases.items():
            with self.subTest(name):
                names = []
                for n, entry in enumerate(MANIFEST):
                    names += [media(entry["file"]), self.scratch(f"{name} {n}.img")]
                faulty, out = self.scratch(f"{fault}.flac"), self.scratch(f"{name} faulty.img", KEEP)
                names[2 * place:2 * place] = [faulty, out]
                started = time.monotonic()
                if fault == "fifo":
                    if WINDOWS:
                        self.skipTest("Windows has no FIFOs in its file system")
                    os.mkfifo(faulty)
                    result, _ = run_ending_the_reader(BATCH_COMMAND, pairs(*names), faulty, signal.SIGTERM, timeout=60)
                else:
                    environment = fault_environment()
                    self.scratch(f"{fault}.flac", read(media("song.flac")))
                    result = batch(pairs(*names), env=environment)
                self.assertClean(result)
                expected = []
                for source, written in zip(names[::2], names[1::2]):
                    expected += [f"Opening {source}", "could not read the format header" if source == faulty
                                 else f"Wrote album art to {written}"]
                self.assertEqual(result.lines, expected, result)
                self.assertFileHolds(out, KEEP)
                for entry, written in zip(MANIFEST, [n for n in names[1::2] if n != out]):
                    self.assertFileHolds(written, picture_of(entry["picture"]))
                self.assertEqual(len(self.gave_up_on(result)), 1, result)
                self.assertIn(faulty, self.gave_up_on(result)[0])
                self.assertLess(time.monotonic() - started, 60 * SLOWDOWN, "the batch took too long")

    def test_a_hijacked_reader_changes_nothing(self):
        """Each case: what a demuxer that a hostile file has taken over tries on a folder of the user's, as one
        pair among twenty. Nothing there changes, the other nineteen pictures are written, the lines come in
        input order; the hijacked pair is read on when its acts are refused, and fails when it runs a program."""
        self.skip_unless_confined()
        song, cover = media("song.flac"), picture_of("cover.jpg")
        for act in ATTACKS:
            with self.subTest(act):
                environment, contents = self.victims(act)
                before = contents()
                hostile = self.scratch(f"attack-{act}.flac", read(song))
                sources = [song] * 10 + [hostile] + [song] * 9
                outs = [self.scratch(f"{act} {n}.jpg") for n in range(20)]
                result = batch(pairs(*[name for pair in zip(sources, outs) for name in pair]), env=environment)
                self.assertEqual(contents(), before, "the hijacked reader changed the folder")
                self.assertClean(result)
                refused = act == "run-a-program"
                expected = []
                for source, out in zip(sources, outs):
                    failed = refused and source == hostile
                    expected += [f"Opening {source}", "could not read the format header" if failed
                                 else f"Wrote album art to {out}"]
                    self.assertFileHolds(out, None if failed else cover)
                self.assertEqual(result.lines, expected, result)

    def test_a_hostile_reader_can_do_no_harm(self):
        """Each case: what a reader that a hostile file has taken over does (harness.HOSTILE), as the seventh
        of thirteen pairs. The run exits 0 with no line that the supervisor did not compose; every other pair
        is written exactly as an honest run writes it; the hostile file, which for forge-source is its own
        filename, is never written over; no process of the run is left; the supervisor's memory stays within
        64 MiB of an honest run's. What breaks the rules ends its reader, as standard error says, and costs
        only its pair; what confinement refuses is refused, and the pair is read on."""
        environment = fault_environment()
        honest = [media("song.flac" if n % 2 else "large-picture.mp3") for n in range(12)]
        # The hostile pair's second line, or None where it is read on and written.
        broken, refused = "could not read the format header", None
        cases = {"forge-other": broken, "forge-source": "could not write album art to {hostile}",
                 "forge-newline": broken, "random": broken, "flood": broken, "gate": broken,
                 "signal": refused, "prlimit": refused, "child": refused, "probe": refused}
        self.assertEqual(sorted(cases), sorted(HOSTILE))
        baseline = None
        for act, second_line in cases.items():
            with self.subTest(act):
                if second_line is refused and unconfined_reason():
                    self.skipTest(unconfined_reason())
                hostile = self.scratch(f"hostile-{act}.flac", read(media("song.flac")))
                outs = [self.scratch(f"{act} {n}.img") for n in range(12)]
                own = hostile if act == "forge-source" else self.scratch(f"{act} hostile.img", KEEP)
                sources = honest[:6] + [hostile] + honest[6:]
                filenames = outs[:6] + [own] + outs[6:]
                feed = pairs(*[name for pair in zip(sources, filenames) for name in pair])
                if baseline is None:
                    _, baseline, _ = watched_batch(pairs(*[x for pair in zip(honest, outs) for x in pair]))
                    for out in outs:
                        os.remove(out)
                log = self.scratch(f"{act}.log", b"")
                result, peak, left = watched_batch(feed, environment, shell_words=f"5>>'{log}'")
                children = [int(line.split()[-1]) for line in result.stderr.splitlines()
                            if line.startswith("hostile child ")]
                self.assertClean(result)
                expected = []
                for source, out in zip(sources, filenames):
                    if source == hostile:
                        expected += [f"Opening {hostile}", second_line.format(hostile=hostile) if second_line
                                     else f"Wrote album art to {own}"]
                        continue
                    expected += [f"Opening {source}", f"Wrote album art to {out}"]
                    self.assertFileHolds(out, picture_of("cover.jpg" if source.endswith(".flac") else "large.png"))
                self.assertEqual(result.lines, expected, result)
                self.assertEqual(read(hostile), read(media("song.flac")), "the hostile file was written over")
                if second_line == broken:
                    self.assertRegex(result.stderr, rf"gave up on {re.escape(hostile)}: its reader .*, and was stopped")
                self.assertNotIn(": allowed", result.stderr, "a call that a reader is refused was allowed")
                self.assertEqual(read(log), b"", "the reader wrote through a descriptor that the shell left open")
                self.assertEqual(left + [pid for pid in children if session_of(pid) is not None], [],
                                 "processes of the run were left")
                self.assertLess(peak, baseline + 64 * 1024, f"the supervisor held {peak} KiB, {baseline} honestly")

    def test_many_faults_in_a_long_batch(self):
        """Ten thousand pairs, every hundredth of them a crash (fewer pairs on slow runners): each crash costs
        its own pair, every other file is written, the lines are in input order."""
        environment = fault_environment()
        count = int(10000 / SLOWDOWN) // 100 * 100
        crash = self.scratch(f"{CRASH}.flac", read(media("song.flac")))
        folder = self.scratch("covers")
        os.makedirs(folder)
        names, expected = [], []
        for n in range(count):
            source, out = (crash if n % 100 == 50 else media("song.flac")), os.path.join(folder, f"{n}.jpg")
            names += [source, out]
            expected += [f"Opening {source}", "could not read the format header" if source == crash
                         else f"Wrote album art to {out}"]
        started = time.monotonic()
        result = batch(pairs(*names), env=environment, timeout=300)
        print(f"{count} pairs, {count // 100} of them crashes, in {time.monotonic() - started:.1f} s")
        self.assertClean(result)
        self.assertEqual(result.lines, expected)
        self.assertEqual(len(self.gave_up_on(result)), count // 100)
        cover = picture_of("cover.jpg")
        for n in range(count):
            self.assertFileHolds(os.path.join(folder, f"{n}.jpg"), None if n % 100 == 50 else cover)


class Outputs(VantrellCase):
    @unittest.skipIf(WINDOWS, "Windows has neither ulimit nor SIGXFSZ")
    def test_a_failed_write_keeps_the_old_file(self):
        """Under a file-size limit of 64 KiB (a stand-in for a full disk), small pictures are written and large
        ones fail, each leaving its old file as it was and nothing else in the folder."""
        folder = self.scratch("covers")
        os.makedirs(folder)
        names, expected = [], []
        for n in range(8):
            source, out = media("large-picture.mp3" if n % 2 else "song.flac"), os.path.join(folder, f"{n}.img")
            self.scratch(out, KEEP)
            names += [source, out]
            expected += [f"Opening {source}", f"{'could not write album art to' if n % 2 else 'Wrote album art to'} {out}"]
        result = run(command=["sh", "-c", 'ulimit -f 128; exec "$@"', "sh"] + BATCH_COMMAND, stdin=pairs(*names))
        self.assertClean(result)
        self.assertEqual(result.lines, expected)
        for n in range(8):
            self.assertFileHolds(os.path.join(folder, f"{n}.img"), KEEP if n % 2 else picture_of("cover.jpg"))
        self.assertEqual(sorted(os.listdir(folder)), [f"{n}.img" for n in range(8)], "a new file was left behind")

    @unittest.skipIf(WINDOWS, "signals are a POSIX thing")
    def test_ended_midway_every_file_is_old_or_whole(self):
        """Each case: the signal that ends a batch of 4 MiB pictures while it writes one. Every file holds its
        old bytes or the whole picture, never a part; after any signal but SIGKILL nothing else is left."""
        big = picture_of("big.png")
        for how in [signal.SIGKILL, signal.SIGTERM, signal.SIGINT, signal.SIGUSR1, signal.SIGQUIT, signal.SIGALRM]:
            with self.subTest(how.name):
                folder = self.scratch(how.name)
                os.makedirs(folder)
                outs = [self.scratch(os.path.join(how.name, f"{n}.png"), KEEP) for n in range(40)]
                process = subprocess.Popen(BATCH_COMMAND, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
                process.stdin.write(pairs(*[name for out in outs for name in (media("big-picture.mp3"), out)]))
                process.stdin.close()
                # The signal comes while a new file lies under its temporary name, as soon as one is seen.
                deadline = time.monotonic() + 30 * SLOWDOWN
                begun = False
                while not begun and time.monotonic() < deadline:
                    begun = any(name.endswith(".part") for name in os.listdir(folder))
                process.send_signal(how)
                process.wait(30 * SLOWDOWN)
                self.assertTrue(begun, "no new file was begun")
                contents = [read(out) for out in outs]
                self.assertEqual([out for out, content in zip(outs, contents) if content not in (KEEP, big)], [],
                                 "files that are neither old nor whole")
                print(f"{how.name}: {sum(c == big for c in contents)} of {len(outs)} pictures written")
                if how != signal.SIGKILL:
                    self.assertEqual(sorted(os.listdir(folder)), sorted(os.path.basename(o) for o in outs),
                                     "a temporary file was left behind")


    @unittest.skipIf(WINDOWS, "Windows has no FIFOs in its file system")
    def test_a_fifo_as_filename_holds_up_nothing_else(self):
        """Each case: who reads the FIFO that is the filename of the second of eight pairs. With nobody, its
        write fails at once; with a reader that takes its time, the pairs after it are written meanwhile and it
        gets the whole picture. The batch ends either way."""
        for reader in ("nobody", "a slow reader"):
            with self.subTest(reader):
                fifo = self.scratch(f"{reader}.fifo")
                os.mkfifo(fifo)
                outs = [self.scratch(f"{reader} {n}.img") for n in range(8)]
                outs[1] = fifo
                taken, released = [], threading.Event()
                if reader == "a slow reader":
                    read_fifo_when_written(fifo, taken, released)
                process = started_batch()
                process.stdin.write(pairs(*[x for out in outs for x in (media("large-picture.mp3"), out)]))
                written = wait_for(lambda: all(os.path.exists(out) for out in outs if out != fifo), 20)
                released.set()
                result = finish(process, 30)
                self.assertTrue(written, "the pairs after the FIFO waited for it")
                self.assertClean(result)
                line = "Wrote album art to" if reader == "a slow reader" else "could not write album art to"
                self.assertEqual(result.lines[2:4], [f"Opening {media('large-picture.mp3')}", f"{line} {fifo}"])
                wait_for(lambda: taken, 10)
                self.assertEqual(taken, [picture_of("large.png")] if reader == "a slow reader" else [])
                for out in outs:
                    if out != fifo:
                        self.assertFileHolds(out, picture_of("large.png"))

    @unittest.skipIf(WINDOWS, "the names of Windows' temporary files are made as on other systems, but wine's "
                              "process numbers cannot be told from here")
    def test_temporary_names_that_someone_made_first(self):
        """Someone who can write the folder makes, as soon as the batch starts, every name that a predictable
        scheme would use for its new files: the pictures are written all the same."""
        folder = self.scratch("shared")
        os.makedirs(folder)
        outs = [os.path.join(folder, f"{n}.jpg") for n in range(4)]
        for out in outs:
            self.scratch(out, KEEP)
        process = started_batch()
        for n in range(200):
            with open(os.path.join(folder, f".vantrell-{process.pid}-{n}.part"), "wb") as taken:
                taken.write(b"someone else's")
        process.stdin.write(pairs(*[x for out in outs for x in (media("song.flac"), out)]))
        result = finish(process, 30)
        self.assertClean(result)
        self.assertEqual(result.lines[1::2], [f"Wrote album art to {out}" for out in outs])
        for out in outs:
            self.assertFileHolds(out, picture_of("cover.jpg"))
        self.assertEqual(len(os.listdir(folder)), 204, "a temporary file was left, or one of someone else's taken")


class BadInput(VantrellCase):
    def test_input_that_is_not_pairs(self):
        """Each case: standard input, the lines (FILE: the file this case writes), arguments."""
        out = self.scratch("cover.jpg")
        with LoopbackServer({"/never.flac": {"body": read(media("song.flac"))}}) as server:
            never = server.url("/never.flac")
            cases = {
                "empty input": (b"", [], ()),
                "a last uri without its filename": (pairs(media("song.flac"), out, never), [
                    f"Opening {media('song.flac')}", f"Wrote album art to {out}",
                    f"usage: vantrell-batch: no filename after {never}"], ()),
                "a last filename without its NUL": (pairs(media("song.flac")) + os.fsencode(out), [
                    f"Opening {media('song.flac')}", f"Wrote album art to {out}"], ()),
                "arguments": (pairs(never, out), ["usage: vantrell-batch < uri NUL filename NUL ..."], ("extra",)),
                "an empty uri": (pairs("", out), ["Opening ", "avformat_open_input() failed"], ()),
                "an empty filename": (pairs(media("song.flac"), ""), [
                    f"Opening {media('song.flac')}", "could not write album art to "], ()),
            }
            for name, (feed, lines, arguments) in cases.items():
                with self.subTest(name):
                    if os.path.exists(out):
                        os.remove(out)
                    result = run(*arguments, command=BATCH_COMMAND, stdin=feed, cwd=self.dir)
                    self.assertClean(result)
                    self.assertEqual(result.lines, lines)
                    self.assertFileHolds(out, picture_of("cover.jpg") if any("Wrote" in l for l in lines) else None)
            self.assertEqual(server.requests, [], "a uri without a pair was opened")

    def test_standard_output_that_cannot_be_written(self):
        """Each case: where standard output goes; every file is written all the same, exit 0."""
        reader, writer = os.pipe()
        os.close(reader)  # a reader that quit before the first line
        self.addCleanup(os.close, writer)
        sources = [media(entry["file"]) for entry in MANIFEST]
        for name, stdout in {"reader gone": writer, "full device": "/dev/full", "closed": None}.items():
            with self.subTest(name):
                if WINDOWS and stdout == "/dev/full":
                    self.skipTest("Windows has no /dev/full")
                outs = [self.scratch(f"{name} {n}.img") for n in range(len(sources))]
                command = ["sh", "-c", 'exec "$@" >&-', "sh"] + BATCH_COMMAND if stdout is None else BATCH_COMMAND
                with open(stdout if isinstance(stdout, str) else os.devnull, "wb") as device:
                    completed = subprocess.run(command, input=pairs(*[n for p in zip(sources, outs) for n in p]),
                                               stdout=stdout if isinstance(stdout, int) else device,
                                               stderr=subprocess.PIPE, timeout=60 * SLOWDOWN)
                self.assertEqual(completed.returncode, 0, completed.stderr[-600:])
                for entry, out in zip(MANIFEST, outs):
                    self.assertEqual(read(out), picture_of(entry["picture"]), out)


def ranged_routes(count, late):
    """count routes, each a source of the suite's containers in turn, answered late seconds after each request."""
    return {f"/{n}-{MANIFEST[n % len(MANIFEST)]['file']}": {"body": read(media(MANIFEST[n % len(MANIFEST)]["file"])),
                                                          "late": late} for n in range(count)}


class AtOnce(VantrellCase):
    """How many pairs are read at once, chosen as the batch goes, and what a long batch shows on a terminal."""

    def test_the_number_at_once_follows_the_server(self):
        """Each case: what the server does, its delay per answer, pairs, and what it must have seen."""
        few = 150 if SLOWDOWN == 1 else 60  # slower runners take fewer pairs
        cases = {
            # Pairs that only wait: more than the eight (and a late connection) that a fixed number ran at once.
            "a far server": ({}, 0.2, 240, lambda server, written: self.assertGreater(server.most_in_flight, 12)),
            # A server that answers one request at a time gains nothing from more, and is not flooded.
            "a small server": ({"one_at_a_time": True}, 0.01, few,
                               lambda server, written: self.assertLessEqual(server.most_connections, 32)),
            # A server that refuses more than four requests at once sees fewer, and most pairs get through:
            # with eight at once for good, nine in ten were refused (a third at most here, under emulation
            # more, as the supervisor's answer comes later).
            "a busy server": ({"busy_above": 4}, 0.05, few, lambda server, written: (
                self.assertLess(server.statuses.count(503), few / 2), self.assertGreater(written, few * 0.4))),
        }
        for name, (behaviour, late, count, check) in cases.items():
            with self.subTest(name):
                if name == "a far server" and SLOWDOWN > 1:
                    self.skipTest("under emulation, a sanitizer or valgrind the processors are full, so the number "
                                  "rightly stays")
                routes = ranged_routes(count, late)
                outs = [self.scratch(f"{name} {n}.img") for n in range(count)]
                with LoopbackServer(routes, **behaviour) as server:
                    result = batch(pairs(*[x for path, out in zip(routes, outs) for x in (server.url(path), out)]),
                                   timeout=120)
                self.assertClean(result)
                written = sum(line.startswith("Wrote album art to ") for line in result.lines)
                print(f"{name}: {written} of {count} written, at most {server.most_connections} connections and "
                      f"{server.most_in_flight} requests at once, {server.statuses.count(503)} refused")
                self.assertEqual([line for line in result.lines if line.startswith("Opening ")],
                                 [f"Opening {server.url(path)}" for path in routes])
                check(server, written)

    def test_a_status_line_only_on_a_terminal(self):
        """On a terminal, one line rewritten at most ten times a second that ends with the final figures;
        elsewhere, nothing of vantrell-batch's own."""
        entries = [entry for entry in MANIFEST for _ in range(3)] + [{"file": "no-picture.mp3"}] * 4
        sources = [media(entry["file"]) for entry in entries]
        for terminal in (True, False):
            with self.subTest(terminal=terminal):
                outs = [self.scratch(f"status {terminal} {n}.img") for n in range(len(sources))]
                feed = pairs(*[x for pair in zip(sources, outs) for x in pair])
                if terminal and WINDOWS:
                    self.skipTest("wine draws its own console on a terminal, an escape sequence to each character")
                if terminal:
                    try:
                        controller, terminal_end = pty.openpty()
                    except OSError as error:  # a chroot without its own /dev/pts
                        self.skipTest(f"no pseudo-terminal here: {error}")
                    started = time.monotonic()
                    process = subprocess.Popen(BATCH_COMMAND, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                               stderr=terminal_end)
                    os.close(terminal_end)
                    output, _ = process.communicate(feed, timeout=60 * SLOWDOWN)
                    seconds = time.monotonic() - started
                    shown = b""
                    with contextlib.suppress(OSError):  # EIO once everything is read
                        while chunk := os.read(controller, 65536):
                            shown += chunk
                    os.close(controller)
                    result = Result(subprocess.CompletedProcess(BATCH_COMMAND, process.returncode, output, b""))
                    status = [line for line in re.split(r"[\r\n]+", shown.decode()) if "pairs done" in line]
                    self.assertTrue(status, shown[-600:])
                    self.assertEqual(status[-1].strip(), f"{len(sources)} pairs done, {len(sources) - 4} pictures "
                                     f"written, 4 failed, " + status[-1].split("failed, ")[1].strip())
                    self.assertRegex(status[-1], r"failed, \d+ files/s *$")
                    self.assertTrue(shown.endswith(b"\n"), "the summary must stay on its own line")
                    self.assertLessEqual(len(status), 10 * seconds + 2, "rewritten more than ten times a second")
                else:
                    result = batch(feed)
                    self.assertNotIn("pairs done", result.stderr)
                self.assertClean(result)
                self.assertEqual(sum(line.startswith("Wrote album art to ") for line in result.lines),
                                 len(sources) - 4)

    def test_the_recipe_for_several_machines(self):
        """The GNU parallel recipe of doc/performance.md, as written, with this machine standing in for the
        hosts, over 1,000 pairs in ten blocks: every pair done once, its lines together, in input order."""
        if WINDOWS or not shutil.which("parallel"):
            self.skipTest("needs GNU parallel and a POSIX shell")
        if SLOWDOWN > 1:
            self.skipTest("the recipe is the same for every build; it runs where the program runs at full speed")
        document = read(os.path.join(os.path.dirname(__file__), "..", "doc", "performance.md")).decode()
        recipe = re.search(r"## More than one machine.*?```sh\n(.*?)```", document, re.S).group(1)
        library, count = self.scratch("library"), 1000
        for n in range(count):
            album = os.path.join(library, f"Album {n // 10}")
            os.makedirs(album, exist_ok=True)
            os.link(media("song.flac"), os.path.join(album, f"{n % 10:02} track.flac"))
        script = recipe.replace("/srv/music", library).replace("host1,host2,:", "2/:").replace(
            "-N 2000", f"-N {count // 5}")  # names: two to a pair, so ten blocks
        self.assertNotEqual(script, recipe.replace("/srv/music", library), "the recipe changed: update this test")
        tools = os.path.dirname(os.path.abspath(BATCH_COMMAND[-1]))
        completed = subprocess.run(["bash", "-c", script], capture_output=True, timeout=300 * SLOWDOWN,
                                   env=dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"]))
        result = Result(completed)
        self.assertClean(result)
        order = subprocess.run(["bash", "-c", f"find {library} -type f -iname '*.flac' -print0"],
                               capture_output=True, check=True).stdout.split(b"\0")[:-1]
        self.assertEqual(len(order), count)
        expected = []
        for source in map(os.fsdecode, order):
            expected += [f"Opening {source}", f"Wrote album art to {os.path.splitext(source)[0]}.jpg"]
        self.assertEqual(result.lines, expected)
        self.assertEqual(read(os.path.splitext(os.fsdecode(order[-1]))[0] + ".jpg"), picture_of("cover.jpg"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
