#!/usr/bin/env python3
"""Sources on a loopback HTTP server, whole and broken."""
import concurrent.futures
import time
import unittest

from harness import (KEEP, SLOWDOWN, WINDOWS, LoopbackServer, VantrellCase, hls_playlist, make_certificates, media, picture_of,
                     read, report, run)

SPAN = 30  # seconds in which a network source must deliver 1,024 bytes, or be given up

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


class SlowServers(VantrellCase):
    def test_too_slow_ends_the_wait(self):
        """Each route: what the server does, and whether the picture comes out. Servers that hold the
        connection and send nothing, or drip a byte every few seconds, must be given up within about a
        minute; an honest server at 4 KiB a second, slower than the span, must not. All run at once, so the
        suite waits once."""
        flac, m4a, picture = read(media("song.flac")), read(media("song.m4a")), picture_of("cover.jpg")
        large = read(media("large-picture.mp3"))
        routes = {"/silent.flac": ({"silent": True}, False),
                  "/stalls-in-picture.flac": ({"body": flac, "stall": flac.index(picture) + len(picture) // 2}, False),
                  "/stalls-early.m4a": ({"body": m4a, "stall": 64}, False),
                  "/drips-in-header.flac": ({"body": flac, "drip": (100, 3)}, False),
                  "/drips-in-picture.flac": ({"body": flac, "drip": (flac.index(picture) + 100, 2)}, False),
                  "/honest-but-slow.mp3": ({"body": large, "rate": 4096}, True)}
        with LoopbackServer({path: route for path, (route, _) in routes.items()}) as server:
            def attempt(path):
                out = self.scratch(f"cover{path.replace('/', '-')}.jpg", KEEP)
                started = time.monotonic()
                result = run(server.url(path), out, timeout=(len(large) / 4096 + 2 * SPAN + 15) / SLOWDOWN + 15)
                return out, result, time.monotonic() - started

            with concurrent.futures.ThreadPoolExecutor(len(routes)) as pool:
                outcomes = dict(zip(routes, pool.map(attempt, routes)))
        for path, (out, result, elapsed) in outcomes.items():
            with self.subTest(path):
                report(f"{path}: ended after {elapsed:.1f} s")
                if routes[path][1]:
                    self.assertExtracted(result, server.url(path), out, picture_of("large.png"))
                    self.assertGreater(elapsed, SPAN, "the honest server was faster than the span: it proves nothing")
                    continue
                self.assertUntouched(result, out)
                self.assertIn(result.lines[1:], [["avformat_open_input() failed"],
                                                 ["could not read the format header"]], result)
                self.assertGreaterEqual(elapsed, SPAN, "gave up before the span was over")
                # The span once, or twice where the library reconnects to seek, and the runner's start-up.
                self.assertLess(elapsed, 2 * SPAN + 5 * SLOWDOWN, "waited on for span after span")


if __name__ == "__main__":
    unittest.main(verbosity=2)
