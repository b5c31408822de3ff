#!/usr/bin/env python3
"""Sources on a loopback HTTP server, whole and broken."""
import concurrent.futures
import time
import unittest

from harness import (KEEP, SLOWDOWN, WINDOWS, LoopbackServer, VantrellCase, hls_playlist, make_certificates, media, picture_of,
                     read, report, run)

SILENCE_LIMIT = 30  # seconds of silence after which vantrell gives up on a server

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


class Https(VantrellCase):
    @unittest.skipIf(WINDOWS, "wine's Schannel accepts every certificate: it lacks the automatic validation that "
                              "vantrell asks Windows' Schannel for, so wine can show neither acceptance nor refusal")
    def test_certificates(self):
        """Each case: the certificate served, SSL_CERT_FILE (None: unset), whether the picture is written."""
        certificates = make_certificates(self.scratch("certificates"))
        ca = certificates["ca"][0]
        cases = {
            "issued by the CA named in SSL_CERT_FILE": ("trusted", ca, True),
            "same server, the system's CAs only": ("trusted", None, False),
            "signed by itself": ("self-signed", ca, False),
            "issued for another host name": ("other-host", ca, False),
            "expired": ("expired", ca, False),
        }
        flac = read(media("song.flac"))
        for name, (served, trusted, accepted) in cases.items():
            with self.subTest(name), LoopbackServer({"/song.flac": {"body": flac}}, tls=certificates[served]) as server:
                out, uri = self.scratch("cover.jpg", KEEP), server.url("/song.flac")
                result = run(uri, out, env={"SSL_CERT_FILE": trusted})
                if accepted:
                    self.assertExtracted(result, uri, out, picture_of("cover.jpg"))
                else:
                    self.assertRefused(result, uri, "avformat_open_input() failed", out, KEEP)


class SilentServers(VantrellCase):
    def test_silence_ends_the_wait(self):
        """Servers that hold the connection and fall silent: before a byte, inside a picture, and early in a
        file whose demuxer would read on and seek again and again. All run at once, so the suite waits once."""
        flac, m4a, picture = read(media("song.flac")), read(media("song.m4a")), picture_of("cover.jpg")
        routes = {"/silent.flac": {"silent": True},
                  "/stalls-in-picture.flac": {"body": flac, "stall": flac.index(picture) + len(picture) // 2},
                  "/stalls-early.m4a": {"body": m4a, "stall": 64}}
        with LoopbackServer(routes) as server:
            def attempt(path):
                out = self.scratch(f"cover{path.replace('/', '-')}.jpg", KEEP)
                started = time.monotonic()
                result = run(server.url(path), out, timeout=(2 * SILENCE_LIMIT + 15) / SLOWDOWN + 15)
                return out, result, time.monotonic() - started

            with concurrent.futures.ThreadPoolExecutor(len(routes)) as pool:
                outcomes = dict(zip(routes, pool.map(attempt, routes)))
        for path, (out, result, elapsed) in outcomes.items():
            with self.subTest(path):
                self.assertUntouched(result, out)
                self.assertIn(result.lines[1:], [["avformat_open_input() failed"],
                                                 ["could not read the format header"]], result)
                self.assertGreaterEqual(elapsed, SILENCE_LIMIT, "gave up before the server was silent for long")
                # A couple of silences at most (the library may reconnect once to seek), and the runner's start-up.
                self.assertLess(elapsed, 2 * SILENCE_LIMIT + 5 * SLOWDOWN, "waited on for silence after silence")
                report(f"{path}: gave up after {elapsed:.1f} s")

if __name__ == "__main__":
    unittest.main(verbosity=2)
