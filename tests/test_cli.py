#!/usr/bin/env python3
"""The command line, sources that fail, outputs that fail, and pictures that must not be written."""
import os
import random
import shutil
import signal
import subprocess
import threading
import time
import unittest

from harness import (ATTACKS, BATCH, COMMAND, CRASH, KEEP, LEAN, SLOWDOWN, SPIN, WINDOWS, VantrellCase, descendants, parent_of,
                     fault_environment, hls_playlist, invocation, media, picture_of, read, read_fifo_when_written, report, run,
                     run_ending_the_reader, run_holding_a_fifo, success_line)

NO_DEV_FULL = "Windows has no /dev/full"

class CommandLine(VantrellCase):
    def test_wrong_argument_counts_print_usage_only(self):
        for args in [(), ("a.mp3",), (media("song.flac"), "x.jpg", "extra")]:
            with self.subTest(args=args):
                result = run(*args, cwd=self.dir)
                self.assertClean(result)
                self.assertEqual(result.lines, ["usage: vantrell uri filename"])
                self.assertEqual(os.listdir(self.dir), [], "a file was created")


class Sources(VantrellCase):
    def test_sources_without_a_picture_leave_filename_alone(self):
        """Each case: uri, stdin, the lines that may follow "Opening" (random bytes may pass for some format)."""
        failed, nothing = ["avformat_open_input() failed"], []
        noise = random.Random(7).randbytes(64 * 1024)
        cases = {
            "no picture": (media("no-picture.mp3"), None, [nothing]),
            "missing file": (self.scratch("missing.mp3"), None, [failed]),
            "empty file": (self.scratch("empty.mp3", b""), None, [failed]),
            "directory": (self.dir, None, [failed]),
            "random bytes": (self.scratch("noise.mp3", noise), None, [failed, nothing]),
            "random bytes piped": ("pipe:0", noise, [failed, nothing]),
            "text named .mp3": (self.scratch("notes.mp3", b"Track 1: an intro\n" * 40), None, [failed, nothing]),
            "empty pipe": ("pipe:0", b"", [failed]),
        }
        for name, (uri, stdin, endings) in cases.items():
            with self.subTest(name):
                out = self.scratch("cover.jpg", KEEP)
                result = run(uri, out, stdin=stdin)
                self.assertUntouched(result, out)
                self.assertIn(result.lines, [[f"Opening {uri}"] + ending for ending in endings], result)

    @unittest.skipIf(WINDOWS, "Windows has no FIFOs in its file system")
    def test_fifo_as_uri(self):
        fifo, out = self.scratch("song.flac"), self.scratch("cover.jpg")
        os.mkfifo(fifo)

        def feed():
            with open(fifo, "wb") as writer:
                writer.write(read(media("song.flac")))
        feeder = threading.Thread(target=feed, daemon=True)
        feeder.start()
        self.assertExtracted(run(fifo, out), fifo, out, picture_of("cover.jpg"))
        feeder.join(timeout=10)

    def test_a_fault_while_reading_costs_only_the_pair(self):
        """Each case: how the reading of the source goes wrong (a crash or an endless loop in the library, or
        the reader ended by a signal while it waits on a FIFO). The pair fails with the line of a source
        that broke off, filename keeps its old bytes, standard error names the source, and the exit is 0."""
        cases = {"crash": (CRASH, None), "endless loop": (SPIN, None), "signal while waiting on a FIFO": (None, "fifo")}
        for name, (marker, fifo) in cases.items():
            with self.subTest(name):
                out = self.scratch("cover.jpg", KEEP)
                started = time.monotonic()
                if marker == SPIN and BATCH:
                    self.skipTest("ten seconds of a processor: the batch suite has its own endless loop")
                if fifo:
                    if WINDOWS:
                        self.skipTest("Windows has no FIFOs in its file system")
                    source = self.scratch(f"{name}.flac")
                    os.mkfifo(source)
                    args, feed = invocation([source, out], None)
                    result, held = run_ending_the_reader(COMMAND + args, feed, source)
                    self.assertTrue(held, "nothing held the FIFO")
                else:
                    environment = fault_environment()
                    source = self.scratch(f"{marker}.flac", read(media("song.flac")))
                    result = run(source, out, env=environment, timeout=60)
                self.assertRefused(result, source, "could not read the format header", out, KEEP)
                self.assertEqual([line for line in result.stderr.splitlines() if "gave up on" in line],
                                 [line for line in result.stderr.splitlines() if source in line], result)
                self.assertIn(source, result.stderr)
                if marker == SPIN:
                    report(f"an endless loop in the library ended after {time.monotonic() - started:.1f} s")

    def test_a_hijacked_reader_changes_nothing(self):
        """Each case: what a demuxer that a hostile file has taken over tries on a folder of the user's. Nothing
        there changes and the exit is 0: refused, the reader reads on and writes the picture; running a
        program ends the reader, which costs only the pair."""
        self.skip_unless_confined()
        for act in ATTACKS:
            with self.subTest(act):
                environment, contents = self.victims(act)
                before = contents()
                source = self.scratch(f"attack-{act}.flac", read(media("song.flac")))
                out = self.scratch("cover.jpg", KEEP)
                result = run(source, out, env=environment)
                self.assertEqual(contents(), before, "the hijacked reader changed the folder")
                if act == "run-a-program":
                    self.assertRefused(result, source, "could not read the format header", out, KEEP)
                else:
                    self.assertExtracted(result, source, out, picture_of("cover.jpg"))

    def test_readers_are_confined(self):
        """While a reader waits on a FIFO source, the kernel says it is confined, and neither its supervisor,
        which writes, nor the process that readers come from, which reads nothing. The reader holds no
        capability, even run as root, and no descriptor but its streams, its connection and its source: not
        one that the shell left open."""
        self.skip_unless_confined()
        source, out, log = self.scratch("song.flac"), self.scratch("cover.jpg"), self.scratch("shell.log", b"")
        os.mkfifo(source)
        seen, descriptors = {}, {}  # each role's (Seccomp, NoNewPrivs, capability sets); the reader's descriptors
        def look(supervisor, held, writer):
            for pid in descendants(supervisor):
                with open(f"/proc/{pid}/status") as status:
                    fields = dict(line.split(":", 1) for line in status if ":" in line)
                role = "supervisor" if pid == supervisor else "origin" if parent_of(pid) == supervisor else "reader"
                capabilities = {fields[name].strip() for name in ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb")}
                seen.setdefault(role, []).append((fields["Seccomp"].strip(), fields["NoNewPrivs"].strip(),
                                                  capabilities == {"0000000000000000"}))
                if role == "reader":
                    descriptors.update({int(fd): os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")})
            with os.fdopen(writer, "wb") as rest:
                rest.write(read(media("song.flac"))[4:])
        args, feed = invocation([source, out], None)
        shell = ["sh", "-c", f'exec "$@" 5>>"{log}"', "sh"]
        result, held = run_holding_a_fifo(shell + COMMAND + args, feed, source, look)
        self.assertExtracted(result, source, out, picture_of("cover.jpg"))
        self.assertTrue(held, "nothing held the FIFO")
        self.assertEqual([role[:2] for role in seen["supervisor"]], [("0", "0")], "the supervisor must be free to write")
        self.assertEqual(len(seen["origin"]), 1, seen)
        self.assertEqual(set(seen.get("reader", [])), {("2", "1", True)}, f"confined and without capabilities: {seen}")
        self.assertEqual(sorted(descriptors), [0, 1, 2, 3, 4], descriptors)
        self.assertIn(source, descriptors.values(), descriptors)
        self.assertNotIn(log, descriptors.values(), descriptors)

    def test_a_layer_that_cannot_be_applied_fails_the_pair(self):
        """Each case: the layer of confinement that the kernel offers but that the reader cannot apply. The
        reader reads nothing: the pair fails as a source that cannot be opened, with one line on standard
        error that says why, and filename keeps its bytes."""
        self.skip_unless_confined()
        cases = {"landlock": "could not take Landlock's rules", "seccomp": "could not take its seccomp filter",
                 "capabilities": "could not drop its capabilities"}
        for layer, why in cases.items():
            with self.subTest(layer):
                environment = {**fault_environment(), "VANTRELL_REFUSE_LAYER": layer}
                out = self.scratch("cover.jpg", KEEP)
                result = run(media("song.flac"), out, env=environment)
                self.assertRefused(result, media("song.flac"), "avformat_open_input() failed", out, KEEP)
                self.assertEqual([line for line in result.stderr.splitlines() if "gave up on" in line],
                                 [f"{os.path.basename(COMMAND[-1])}: gave up on {media('song.flac')}: its reader {why}"])

    def test_source_cut_inside_the_picture_is_refused(self):
        """A source that ends inside the picture must never yield a short picture."""
        data, picture = read(media("song.m4a")), picture_of("cover.jpg")
        cut = data[: data.index(picture) + len(picture) // 2]
        source = self.scratch("cut.m4a", cut)
        # Read whole, the cut index hides the picture; through a pipe it arrives short and is refused.
        for uri, stdin, line in [("pipe:0", cut, "could not read the format header"), (source, None, None)]:
            with self.subTest(uri=uri):
                out = self.scratch("cover.jpg", KEEP)
                self.assertRefused(run(uri, out, stdin=stdin), uri, line, out, KEEP)


class Outputs(VantrellCase):
    def test_outputs_that_cannot_be_written(self):
        """A close that fails counts as much as a write that fails; partial files stay, as with cp."""
        cases = {
            "full disk, close fails": ("song.flac", "/dev/full"),
            "full disk, write fails": ("large-picture.mp3", "/dev/full"),
            "missing directory": ("song.flac", self.scratch("no/such/dir/cover.jpg")),
            "directory": ("song.flac", self.dir),
        }
        for name, (source, out) in cases.items():
            with self.subTest(name):
                if WINDOWS and out == "/dev/full":
                    self.skipTest(NO_DEV_FULL)
                self.assertRefused(run(media(source), out), media(source), f"could not write album art to {out}")

    @unittest.skipIf(WINDOWS, "chattr's immutable flag is a Linux file system's; Windows programs cannot see it")
    def test_immutable_file(self):
        out = self.scratch("cover.jpg", KEEP)
        if subprocess.run(["chattr", "+i", out], capture_output=True).returncode != 0:
            self.skipTest("chattr +i is not supported here (needs root and a file system with the flag)")
        self.addCleanup(subprocess.run, ["chattr", "-i", out])
        self.assertRefused(run(media("song.flac"), out), media("song.flac"), f"could not write album art to {out}",
                           out, KEEP)

    def test_the_source_itself_is_never_overwritten(self):
        """Each case: uri, filename, stdin, whether the picture is written: any name for a file that was read
        for the source, through any protocol that wraps it, is refused; a copy is not. The lean FFmpeg has
        no wrapping protocols, so there those names cannot be opened at all."""
        song = self.scratch("song.mp3", read(media("song-v23.mp3")))
        other = self.scratch("other.mp3", read(media("song-v24.mp3")))
        os.link(song, self.scratch("hard link.mp3"))
        os.symlink(song, self.scratch("symbolic link.mp3"))
        cases = {
            "same name": (song, song, None, False),
            "./ before the name": ("song.mp3", "./song.mp3", None, False),
            "hard link": (song, self.scratch("hard link.mp3"), None, False),
            "symbolic link": (song, self.scratch("symbolic link.mp3"), None, False),
            "file: URL": ("file:" + song, song, None, False),
            "pipe:0 from the file": ("pipe:0", song, song, False),
            "cache:": ("cache:" + song, song, None, False),
            "async:": ("async:" + song, song, None, False),
            "subfile:": ("subfile,,start,0,end,0,,:" + song, song, None, False),
            "concat: of the song alone": ("concat:" + song, song, None, False),
            "concat: of another file and the song": (f"concat:{other}|{song}", song, None, False),
            "cache: of a link, written to the link": ("cache:" + self.scratch("hard link.mp3"), song, None, False),
            "a copy of the file": (song, self.scratch("copy.mp3", read(song)), None, True),
            "a copy, read through cache:": ("cache:" + song, self.scratch("cached copy.mp3", read(song)), None, True),
        }
        for name, (uri, out, stdin, written) in cases.items():
            with self.subTest(name), open(stdin or os.devnull, "rb") as feed:
                if WINDOWS and uri == "pipe:0":
                    self.skipTest("wine gives a program its standard input as a handle that Windows' file queries "
                                  "reject, so the file behind it cannot be recognised under wine")
                result = run(uri, out, stdin=feed if stdin else None, cwd=self.dir)
                if LEAN and ":" in uri.split("/")[0] and not uri.startswith(("file:", "pipe:")):
                    self.assertRefused(result, uri, "avformat_open_input() failed")
                elif written:
                    self.assertExtracted(result, uri, out, picture_of("cover.jpg"), where=self.dir)
                else:
                    self.assertRefused(result, uri, f"could not write album art to {out}")
                self.assertEqual(read(song), read(media("song-v23.mp3")), "the source was changed")

    @unittest.skipIf(WINDOWS, "Windows has neither ulimit nor SIGXFSZ")
    def test_a_failed_write_keeps_the_old_file(self):
        """Each case: the shell's words before vantrell that make the write fail partway (a file-size limit of
        64 KiB stands in for a full disk). filename keeps its old bytes, nothing else is left in its folder,
        and the line says that the write failed."""
        cases = {"file-size limit, SIGXFSZ ignored by the shell": 'trap "" XFSZ; ulimit -f 128; exec "$@"',
                 "file-size limit, SIGXFSZ left as it comes": 'ulimit -f 128; exec "$@"'}
        for name, words in cases.items():
            with self.subTest(name):
                folder = self.scratch(name)
                os.makedirs(folder)
                out = self.scratch(os.path.join(name, "cover.png"), KEEP)
                result = run(media("large-picture.mp3"), out, command=["sh", "-c", words, "sh"] + COMMAND)
                self.assertRefused(result, media("large-picture.mp3"), f"could not write album art to {out}", out, KEEP)
                self.assertEqual(os.listdir(folder), ["cover.png"], "a new file was left behind")

    def test_names_that_are_not_plain_files(self):
        """Each case: filename, how it is made, and what must hold afterwards. Devices and FIFOs are written
        in place; a symbolic link stays a link to its target, which gets the picture; the new file has the
        old one's permission bits; a hard link to the old file keeps the old bytes, as after any tool that
        replaces a file whole."""
        picture = picture_of("cover.jpg")

        def fifo(out):
            os.mkfifo(out)
            taken = []
            reader = read_fifo_when_written(out, taken)
            return lambda: reader.join(10) or self.assertEqual(taken, [picture], "the FIFO's reader got otherwise")

        def symbolic_link(out):
            os.makedirs(self.scratch("art"))
            target = self.scratch("art/real.jpg", KEEP)
            os.symlink("art/real.jpg", out)
            return lambda: (self.assertTrue(os.path.islink(out), "the link was replaced"),
                            self.assertEqual(read(target), picture, "the link's target"))

        def permissions(out):
            self.scratch("cover.jpg", KEEP)
            os.chmod(out, 0o640)
            return lambda: (self.assertEqual(os.stat(out).st_mode & 0o7777, 0o640), self.assertEqual(read(out), picture))

        def hard_link(out):
            self.scratch("cover.jpg", KEEP)
            os.link(out, self.scratch("other name.jpg"))
            return lambda: (self.assertEqual(read(out), picture), self.assertFileHolds(self.scratch("other name.jpg"), KEEP))

        def folder_refuses_new_files(out):
            self.scratch("cover.jpg", KEEP)
            if subprocess.run(["chattr", "+i", self.dir], capture_output=True).returncode != 0:
                self.skipTest("chattr +i is not supported here (needs root and a file system with the flag)")
            self.addCleanup(subprocess.run, ["chattr", "-i", self.dir])
            return lambda: self.assertEqual(read(out), picture)

        cases = {
            "/dev/null, with standard input from /dev/null": ("/dev/null", None, os.devnull),
            "a FIFO": ("cover.jpg", fifo, None),
            "a symbolic link": ("cover.jpg", symbolic_link, None),
            "permission bits": ("cover.jpg", permissions, None),
            "a hard link": ("cover.jpg", hard_link, None),
            "a folder that refuses new files": ("cover.jpg", folder_refuses_new_files, None),
        }
        for name, (filename, make, stdin) in cases.items():
            with self.subTest(name):
                if WINDOWS and name != "a hard link":
                    self.skipTest("Windows has no such names, or wine cannot make them")
                out = filename if filename.startswith("/") else self.scratch(filename)
                if os.path.lexists(out) and out != "/dev/null":
                    os.remove(out)
                check = make(out) if make else lambda: None
                before = sorted(os.listdir(self.dir))
                with open(stdin or os.devnull, "rb") as feed:
                    result = run(media("song.flac"), out, stdin=feed if stdin else None)
                self.assertClean(result)
                self.assertEqual(result.lines, [f"Opening {media('song.flac')}", success_line(out)], result)
                check()
                self.assertEqual(sorted(os.listdir(self.dir)), before, "a file was left beside filename")

    def test_standard_output_that_cannot_be_written(self):
        """The file is the product: with standard output gone, full or closed, it is written all the same."""
        reader, writer = os.pipe()
        os.close(reader)  # a reader that quit before the first line
        self.addCleanup(os.close, writer)
        song = self.scratch("song.flac", read(media("song.flac")))
        cases = {"reader gone": writer, "full device": "/dev/full", "closed": None}
        for name, stdout in cases.items():
            with self.subTest(name):
                if WINDOWS and stdout == "/dev/full":
                    self.skipTest(NO_DEV_FULL)
                out = self.scratch("cover.jpg", KEEP)
                # "closed": the shell closes descriptor 1 before it starts vantrell.
                command = ["sh", "-c", 'exec "$@" >&-', "sh"] + COMMAND if stdout is None else COMMAND
                args, feed = invocation([song, out], None)
                with open(stdout if isinstance(stdout, str) else os.devnull, "wb") as device:
                    completed = subprocess.run(command + args, input=feed or b"",
                                               stdout=stdout if isinstance(stdout, int) else device,
                                               stderr=subprocess.PIPE, timeout=20 * SLOWDOWN)
                self.assertEqual(completed.returncode, 0, completed.stderr[-600:])
                self.assertEqual(read(out), picture_of("cover.jpg"), "the picture was not written as stored")
                self.assertEqual(read(song), read(media("song.flac")), "the source was changed")

    def test_a_picture_larger_than_any_cover_is_not_written(self):
        """A picture of 64 MiB and a byte: could not write, one line on standard error, filename as it was."""
        import mutagen.id3
        source = self.scratch("huge.mp3", read(media("song-v23.mp3")))
        tags = mutagen.id3.ID3(source)
        tags.delall("APIC")
        tags.add(mutagen.id3.APIC(encoding=0, mime="image/png", type=3, desc="",
                                  data=picture_of("second.png") + bytes(64 * 1024 * 1024 + 1 - len(picture_of("second.png")))))
        tags.save(v2_version=3)
        out = self.scratch("cover.png", KEEP)
        result = run(source, out, timeout=60)
        self.assertRefused(result, source, f"could not write album art to {out}", out, KEEP)
        self.assertIn("it is larger than 64 MiB", result.stderr)

    def test_links_in_shared_folders(self):
        """Each case: a folder, who owns it and the link at filename in it. A link in a folder that is sticky
        and that everyone may write (as /tmp is) is followed only when it is this user's or the folder owner's,
        as the kernel's own rule (fs.protected_symlinks) would, whatever that rule is set to."""
        if WINDOWS or os.geteuid() != 0:
            self.skipTest("needs root, to give a link to a stranger")
        stranger = 54321
        cases = {"a stranger's link in a sticky folder": (0o1777, 0, stranger, False),
                 "this user's own link there": (0o1777, 0, 0, True),
                 "the folder owner's link there": (0o1777, stranger, stranger, True),
                 "a stranger's link in a folder that is not sticky": (0o777, 0, stranger, True)}
        for name, (mode, folder_owner, link_owner, followed) in cases.items():
            with self.subTest(name):
                folder = self.scratch(name)
                os.makedirs(folder)
                os.chmod(folder, mode)
                os.chown(folder, folder_owner, folder_owner)
                victim = self.scratch(f"{name} victim", KEEP)
                out = os.path.join(folder, "cover.jpg")
                os.symlink(victim, out)
                os.lchown(out, link_owner, link_owner)
                result = run(media("song.flac"), out)
                if followed:
                    self.assertExtracted(result, media("song.flac"), out, picture_of("cover.jpg"))
                else:
                    self.assertRefused(result, media("song.flac"), f"could not write album art to {out}", victim, KEEP)
                    self.assertTrue(os.path.islink(out), "the link itself was replaced")

    def test_empty_picture_is_no_picture(self):
        """A playlist's picture stream arrives without bytes: it must not truncate filename."""
        playlist = self.scratch("song.mp3", hls_playlist(media("song-v23.mp3")))
        out = self.scratch("cover.jpg", KEEP)
        result = run(playlist, out)
        self.assertUntouched(result, out)
        self.assertEqual(result.lines[0], f"Opening {playlist}")
        report(f"an HLS playlist saved as song.mp3: {' / '.join(result.lines[1:]) or 'only Opening'}")


if __name__ == "__main__":
    unittest.main(verbosity=2)
