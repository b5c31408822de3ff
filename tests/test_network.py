#!/usr/bin/env python3
"""Sources on a loopback HTTP server, whole and broken."""
import unittest

from harness import KEEP, LoopbackServer, VantrellCase, hls_playlist, media, picture_of, read, run

class Http(VantrellCase):
    def test_server_answers(self):
        """Each route: the line after "Opening" (None: the picture is written)."""
        flac = read(media("song.flac"))
        routes = {
            "/missing": ({"status": 404, "body": b"not here"}, "avformat_open_input() failed"),
            "/broken": ({"status": 500, "body": b"oops"}, "avformat_open_input() failed"),
            "/moved": ({"redirect": "/song.flac"}, None),
            "/compressed.flac": ({"body": flac, "gzip": True}, None),
            "/half-a-header": ({"cut_headers": True}, "avformat_open_input() failed"),
        }
        served = {path: route for path, (route, _) in routes.items()}
        served["/song.flac"] = {"body": flac}
        with LoopbackServer(served) as server:
            for path, (_, line) in routes.items():
                with self.subTest(path):
                    out, uri = self.scratch("cover.jpg", KEEP), server.url(path)
                    result = run(uri, out)
                    if line is None:
                        self.assertExtracted(result, uri, out, picture_of("cover.jpg"))
                    else:
                        self.assertRefused(result, uri, line, out, KEEP)

    def test_playlist_does_not_reach_beyond_the_named_file(self):
        """A local file that is really a playlist may not send the library to a server."""
        with LoopbackServer({"/segment.mp3": {"body": read(media("song-v23.mp3"))}}) as server:
            playlist = self.scratch("song.mp3", hls_playlist(server.url("/segment.mp3")))
            out = self.scratch("cover.jpg", KEEP)
            self.assertUntouched(run(playlist, out), out)
            self.assertEqual(server.requests, [], "the playlist made vantrell fetch from the server")

    def test_body_cut_inside_the_picture(self):
        picture = picture_of("cover.jpg")
        for name in ["song.m4a", "song.flac", "song-v24.mp3", "song.mka"]:
            data = read(media(name))
            cut = data.index(picture) + len(picture) // 2
            with self.subTest(name), LoopbackServer({"/song": {"body": data, "cut": cut}}) as server:
                out = self.scratch("cover.jpg", KEEP)
                result = run(server.url("/song"), out)
                self.assertUntouched(result, out)
                self.assertIn(result.lines[1:], [["could not read the format header"],
                                                 ["avformat_open_input() failed"]], result)


if __name__ == "__main__":
    unittest.main(verbosity=2)
