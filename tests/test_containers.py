#!/usr/bin/env python3
"""Every container the suite makes, read as a local file, through pipe:0 and over loopback HTTP."""
import shutil
import subprocess
import unittest

from harness import MANIFEST, LoopbackServer, VantrellCase, media, picture_of, read, run


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

    def test_only_the_lowest_index_picture_is_written(self):
        # Which of the two tags comes first differs between library versions (libavformat 58 lists ID3v2
        # frames last to first), so the ffmpeg tool built on the same library names the lowest-index one.
        lowest = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", media("two-pictures.mp3"), "-map", "0:v:0",
                                 "-c", "copy", "-f", "rawvideo", "-"], capture_output=True, check=True).stdout
        pictures = {picture_of(name): name for name in ("cover.jpg", "second.png")}
        self.assertIn(lowest, pictures)
        print(f"lowest-index picture of two-pictures.mp3: {pictures[lowest]}")
        out = self.scratch("cover.img")
        self.assertExtracted(run(media("two-pictures.mp3"), out), media("two-pictures.mp3"), out, lowest)

    def test_existing_file_is_replaced(self):
        out = self.scratch("cover.img", b"old contents that are longer than nothing" * 200)
        self.assertExtracted(run(media("song.flac"), out), media("song.flac"), out, picture_of("cover.jpg"))

    def test_names_with_spaces_and_leading_hyphens(self):
        shutil.copy(media("-leading-hyphen.flac"), self.dir)
        for uri, out in [(media("sample with spaces.flac"), self.scratch("album art.jpg")),
                         ("-leading-hyphen.flac", "-cover.jpg")]:
            with self.subTest(uri=uri, out=out):
                self.assertExtracted(run(uri, out, cwd=self.dir), uri, out, picture_of("cover.jpg"), where=self.dir)


if __name__ == "__main__":
    unittest.main(verbosity=2)
