#!/usr/bin/env python3
"""Every container the suite makes, read as a local file, through pipe:0 and over loopback HTTP."""
import os
import re
import shutil
import subprocess
import unittest

from harness import (BATCH_COMMAND, HIDDEN, MANIFEST, SLOWDOWN, VANTRELL_COMMAND, WINDOWS, LoopbackServer, VantrellCase,
                     media, picture_of, read, report, run, success_line)

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "README.md")


def marked_by_the_library(path):
    """Whether libavformat marks a picture in the file, as the ffprobe tool built on the same library says."""
    streams = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                              "stream=index:disposition=attached_pic", "-of", "csv=p=0", path],
                             capture_output=True, text=True).stdout.split()  # none in what it cannot open
    return any(stream.endswith(",1") for stream in streams)


class Containers(VantrellCase):
    def test_byte_exact_from_every_source(self):
        routes = {"/" + entry["file"]: {"body": read(media(entry["file"]))} for entry in MANIFEST}
        with LoopbackServer(routes) as server:
            for entry in MANIFEST:
                picture = picture_of(entry["picture"])
                sources = {"file": (media(entry["file"]), None), "pipe": ("pipe:0", media(entry["file"])),
                           "http": (server.url("/" + entry["file"]), None)}
                for how, (uri, stdin) in sources.items():
                    with self.subTest(container=entry["container"], source=how):
                        out = self.scratch(f"{entry['container']}-{how}.img")
                        if how == "pipe" and entry["tag_at_end"]:
                            self.assertRefused(run(uri, out, stdin=stdin), uri, None, out, None)
                        else:
                            self.assertExtracted(run(uri, out, stdin=stdin), uri, out, picture)
        print(f"verified {len(MANIFEST)} containers: " + ", ".join(e["container"] for e in MANIFEST))

    def test_covers_that_only_tag_readers_see(self):
        """Each row: a cover that libavformat hides or drops, or what is no picture however it is stored; as a
        path, over HTTP with range requests, and through pipe:0, which cannot be read twice and so gives only
        what libavformat itself shows (newer versions mark some of these pictures themselves). Slow runners
        (checkers, emulators) take every third kind, valgrind every sixth."""
        kinds = HIDDEN[::1 if SLOWDOWN == 1 else 3 if SLOWDOWN < 20 else 6]
        routes = {"/" + entry["file"]: {"body": read(media(entry["file"]))} for entry in kinds}
        with LoopbackServer(routes) as server:
            for entry in kinds:
                through_pipe = entry["unmarked"] or marked_by_the_library(media(entry["file"]))
                if through_pipe and not entry["unmarked"]:
                    report(f"{entry['file']}: this library marks the picture itself")
                sources = {"file": (media(entry["file"]), None), "http": (server.url("/" + entry["file"]), None),
                           "pipe": ("pipe:0", media(entry["file"]))}
                for how, (uri, stdin) in sources.items():
                    with self.subTest(kind=entry["kind"], source=how):
                        out = self.scratch(f"{entry['file']}-{how}.img")
                        result = run(uri, out, stdin=stdin)
                        if entry["picture"] and (how != "pipe" or through_pipe):
                            self.assertExtracted(result, uri, out, picture_of(entry["picture"]))
                        else:
                            self.assertClean(result)
                            self.assertEqual(result.lines[:1], [f"Opening {uri}"], result)
                            self.assertNotIn(success_line(out), result.lines)
                            self.assertFileHolds(out, None)
        print(f"verified {len(kinds)} of {len(HIDDEN)} hidden kinds: " + ", ".join(e["kind"] for e in kinds))

    def test_what_the_library_in_use_exposes(self):
        """two-pictures.mp3, on which library versions differ: libavformat 58 lists ID3v2 frames last to first, so
        the lowest-index picture differs; the ffmpeg tool built on the same library says what to expect."""
        pictures = {picture_of(name): name for name in ("cover.jpg", "second.png")}
        source, out = media("two-pictures.mp3"), self.scratch("two-pictures.img")
        lowest = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", source, "-map", "0:v:0", "-c", "copy",
                                 "-f", "rawvideo", "-"], capture_output=True, check=True).stdout
        self.assertIn(lowest, pictures)
        report(f"two-pictures.mp3: this library's lowest-index picture is {pictures[lowest]}")
        self.assertExtracted(run(source, out), source, out, lowest)

    def test_existing_file_is_replaced(self):
        out = self.scratch("cover.img", b"old contents that are longer than nothing" * 200)
        self.assertExtracted(run(media("song.flac"), out), media("song.flac"), out, picture_of("cover.jpg"))

    def test_names_as_users_write_them(self):
        """Each row: uri, filename, and where that file is on this machine (relative to the working folder)."""
        shutil.copy(media("-leading-hyphen.flac"), self.dir)
        album = self.scratch("Björk – Homogenic")
        os.makedirs(album)
        shutil.copy(media("song.flac"), os.path.join(album, "01 Jóga.flac"))
        names = [(media("sample with spaces.flac"), self.scratch("album art.jpg"), self.scratch("album art.jpg")),
                 ("-leading-hyphen.flac", "-cover.jpg", "-cover.jpg"),
                 (os.path.join(album, "01 Jóga.flac"), os.path.join(album, "封面.jpg"), os.path.join(album, "封面.jpg"))]
        if WINDOWS:  # the same folder named as Windows programs name it, through wine's Z: drive
            names += [("Björk – Homogenic\\01 Jóga.flac", "Björk – Homogenic\\封面 2.jpg", os.path.join(album, "封面 2.jpg")),
                      ("Z:" + album.replace("/", "\\") + "\\01 Jóga.flac", "Z:" + album + "/封面 3.jpg",
                       os.path.join(album, "封面 3.jpg"))]
        for uri, out, written in names:
            with self.subTest(uri=uri, out=out):
                result = run(uri, out, cwd=self.dir)
                self.assertClean(result)
                self.assertEqual(result.lines, [f"Opening {uri}", success_line(out)], result)
                self.assertEqual(read(os.path.join(self.dir, written)), picture_of("cover.jpg"))


class Libraries(VantrellCase):
    def test_readme_recipes_cover_every_file(self):
        """The README's recipes, run as written on a tree of awkward names; each case: the cover each source gets."""
        with open(README) as f:
            recipes = dict(re.findall(r"<!-- tested: (.+?) -->\n```sh\n(.*?)```", f.read(), re.S))
        self.assertEqual(sorted(recipes), ["per file", "per folder"])
        bin_dir = self.scratch("bin")
        os.makedirs(bin_dir)
        for program, command in [("vantrell", VANTRELL_COMMAND), ("vantrell-batch", BATCH_COMMAND)]:
            with open(os.path.join(bin_dir, program), "w") as wrapper:
                wrapper.write("#!/bin/sh\nexec " + " ".join(f"'{word}'" for word in command) + ' "$@"\n')
            os.chmod(os.path.join(bin_dir, program), 0o755)
        cases = {"per file": lambda source: os.path.splitext(source)[0] + ".jpg",
                 "per folder": lambda source: os.path.join(os.path.dirname(source), "cover.jpg")}
        for name, cover_of in cases.items():
            with self.subTest(name):
                music = self.scratch(f"Music {name}")
                sources = []
                for n, entry in enumerate(e for e in MANIFEST if e["picture"] == "cover.jpg"):
                    # Windows names can hold neither quotes nor newlines.
                    artist, album = (f"Artist's {n % 3}", f"Album {n}") if WINDOWS else (
                        f"Artist's \"{n % 3}\"", f"Album {n}\nwith a newline")
                    album = os.path.join(music, artist, album)
                    os.makedirs(album, exist_ok=True)
                    sources.append(os.path.join(album, f"0{n} it's $HOME & more{os.path.splitext(entry['file'])[1]}"))
                    shutil.copy(media(entry["file"]), sources[-1])
                # A cover the user chose by hand, in a folder whose file holds another: it must stay.
                chosen = os.path.join(music, "Chosen by hand", "Album")
                os.makedirs(chosen)
                shutil.copy(media("two-pictures.mp3"), os.path.join(chosen, "01 track.mp3"))
                hand_made = self.scratch(os.path.join(chosen, "cover.jpg"), b"a cover the user picked\n" * 100)
                script = recipes[name].replace("~/Music", "\"$MUSIC\"")
                subprocess.run(["sh", "-c", script], check=True, capture_output=True, timeout=60 * SLOWDOWN,
                               env=dict(os.environ, MUSIC=music, PATH=bin_dir + os.pathsep + os.environ["PATH"]))
                for source in sources:
                    self.assertEqual(read(cover_of(source)), picture_of("cover.jpg"), cover_of(source))
                self.assertEqual(read(hand_made), b"a cover the user picked\n" * 100, "a chosen cover was replaced")
                print(f"{name}: {len(sources)} covers from {len(sources)} sources")


if __name__ == "__main__":
    unittest.main(verbosity=2)
