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

    def test_what_the_library_in_use_exposes(self):
        """Files on which library versions differ; the ffmpeg tool built on the same library says what to expect.

        two-pictures.mp3: libavformat 58 lists ID3v2 frames last to first, so the lowest-index picture differs.
        library-picture.wma: a picture in the ASF metadata library object is exposed only by newer versions.
        """
        pictures = {picture_of(name): name for name in ("cover.jpg", "second.png", "large.png")}
        for name in ["two-pictures.mp3", "library-picture.wma"]:
            with self.subTest(name):
                source = media(name)
                streams = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                          "stream=index", "-of", "csv=p=0", source],
                                         capture_output=True, text=True, check=True).stdout.split()
                out = self.scratch(f"{name}.img")
                if not streams:
                    print(f"{name}: this library exposes no picture")
                    self.assertRefused(run(source, out), source, None, out, None)
                    continue
                lowest = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", source, "-map", "0:v:0", "-c",
                                         "copy", "-f", "rawvideo", "-"], capture_output=True, check=True).stdout
                self.assertIn(lowest, pictures)
                print(f"{name}: this library's lowest-index picture is {pictures[lowest]}")
                self.assertExtracted(run(source, out), source, out, lowest)

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
