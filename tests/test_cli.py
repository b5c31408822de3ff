#!/usr/bin/env python3
"""The command line, sources that fail, outputs that fail, and pictures that must not be written."""
import os
import unittest

from harness import VantrellCase, media, picture_of, run, success_line

KEEP = b"an older file that must survive\n"


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
        """Each case: uri, stdin, the line after "Opening" (None: none)."""
        cases = {
            "no picture": (media("no-picture.mp3"), None, None),
            "missing file": (self.scratch("missing.mp3"), None, "avformat_open_input() failed"),
            "empty file": (self.scratch("empty.mp3", b""), None, "avformat_open_input() failed"),
        }
        for name, (uri, stdin, line) in cases.items():
            with self.subTest(name):
                out = self.scratch("cover.jpg", KEEP)
                self.assertRefused(run(uri, out, stdin=stdin), uri, line, out, KEEP)

    def test_source_cut_inside_the_picture_is_refused(self):
        """A source that ends inside the picture must never yield a short picture."""
        data, picture = open(media("song.m4a"), "rb").read(), picture_of("cover.jpg")
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
                result = run(media(source), out)
                self.assertRefused(result, media(source), f"could not write album art to {out}")
                self.assertNotIn(success_line(out), result.lines)

    def test_empty_picture_is_no_picture(self):
        """A playlist's picture stream arrives without bytes: it must not truncate filename."""
        playlist = self.scratch("song.mp3", b"#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:1,\n"
                                + media("song-v23.mp3").encode() + b"\n#EXT-X-ENDLIST\n")
        out = self.scratch("cover.jpg", KEEP)
        result = run(playlist, out)
        self.assertClean(result)
        self.assertEqual(result.lines[0], f"Opening {playlist}")
        self.assertNotIn(success_line(out), result.lines)
        self.assertFileHolds(out, KEEP)


if __name__ == "__main__":
    unittest.main(verbosity=2)
