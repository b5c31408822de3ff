#!/usr/bin/env python3
"""Sources on a loopback HTTP server, whole and broken."""
import unittest

from harness import LoopbackServer, VantrellCase, media, picture_of, run

KEEP = b"an older file that must survive\n"


class Http(VantrellCase):
    def test_body_cut_inside_the_picture(self):
        picture = picture_of("cover.jpg")
        for name in ["song.m4a", "song.flac", "song-v24.mp3", "song.mka"]:
            data = open(media(name), "rb").read()
            cut = data.index(picture) + len(picture) // 2
            with self.subTest(name), LoopbackServer({"/song": {"body": data, "cut": cut}}) as server:
                out = self.scratch("cover.jpg", KEEP)
                uri = server.url("/song")
                result = run(uri, out)
                self.assertClean(result)
                self.assertIn(result.lines[1:], [["could not read the format header"],
                                                 ["avformat_open_input() failed"]], result)
                self.assertFileHolds(out, KEEP)


if __name__ == "__main__":
    unittest.main(verbosity=2)
