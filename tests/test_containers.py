#!/usr/bin/env python3
"""Every container the suite makes, read as a local file, through pipe:0 and over loopback HTTP."""
import shutil
import unittest

from harness import read, MANIFEST, LoopbackServer, VantrellCase, media, picture_of, run


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
        out = self.scratch("cover.img")
        self.assertExtracted(run(media("two-pictures.mp3"), out), media("two-pictures.mp3"), out,
                             picture_of("cover.jpg"))

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
