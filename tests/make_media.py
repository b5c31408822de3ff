#!/usr/bin/env python3
"""Make the test media: one tagged file per container, with the picture bytes each must yield.

Usage: make_media.py DIR. Writes DIR/manifest.json. A container that this machine's tools
cannot make is left out with a printed reason, so older systems still test the rest.
"""
import base64
import json
import os
import random
import shutil
import struct
import subprocess
import sys

OUT = os.path.abspath(sys.argv[1])
FFMPEG = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
TONE = ["-f", "lavfi", "-i", "sine=frequency=440:duration=1"]
ATTACH = ["-c:v", "copy", "-disposition:v", "attached_pic"]


def path(name):
    return os.path.join(OUT, name)


def ffmpeg(*args):
    subprocess.run(FFMPEG + list(args), check=True)


def make_pictures():
    ffmpeg("-f", "lavfi", "-i", "testsrc=size=64x64", "-frames:v", "1", path("cover.jpg"))
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=48x48", "-frames:v", "1", path("second.png"))
    # Noise does not compress: a picture far larger than stdio's buffer, so the write itself fails on a full disk.
    ffmpeg("-f", "lavfi", "-i", "nullsrc=size=320x320,geq=random(1)*255:random(2)*255:128",
           "-frames:v", "1", path("large.png"))


def with_ffmpeg(name, codec, picture, *extra):
    ffmpeg(*TONE, "-i", path(picture), "-map", "0", "-map", "1", "-c:a", *codec, *ATTACH, *extra, path(name))


def tone(name, *codec):
    ffmpeg(*TONE, "-c:a", *codec, path(name))


def flac_picture(picture):
    from mutagen.flac import Picture
    block = Picture()
    block.type, block.mime, block.data = 3, "image/jpeg", open(path(picture), "rb").read()
    return block


def with_mutagen_ogg(name, kind, codec, picture):
    import mutagen.oggopus
    import mutagen.oggvorbis
    tone(name, codec)
    audio = (mutagen.oggvorbis.OggVorbis if kind == "vorbis" else mutagen.oggopus.OggOpus)(path(name))
    audio["metadata_block_picture"] = [base64.b64encode(flac_picture(picture).write()).decode()]
    audio.save()


def with_mutagen_wma(name, picture, mime="image/jpeg"):
    """A picture over 64 KiB goes to the ASF metadata library object, a smaller one to the extended content."""
    from mutagen.asf import ASF, ASFByteArrayAttribute
    tone(name, "wmav2")
    data = open(path(picture), "rb").read()
    wm_picture = (struct.pack("<BI", 3, len(data)) + f"{mime}\0".encode("utf-16-le")
                  + "\0".encode("utf-16-le") + data)
    audio = ASF(path(name))
    audio["WM/Picture"] = [ASFByteArrayAttribute(wm_picture)]
    audio.save()


def with_mutagen_id3(name, codec, picture, opener):
    from mutagen.id3 import APIC
    tone(name, codec)
    audio = opener(path(name))
    if audio.tags is None:
        audio.add_tags()
    audio.tags.add(APIC(encoding=3, mime="image/jpeg", type=3, desc="", data=open(path(picture), "rb").read()))
    audio.save()


def with_mutagen_ape(name, codec, picture):
    from mutagen.apev2 import APEv2, APEValue, BINARY
    tone(name, codec)
    tag = APEv2()
    tag["Cover Art (Front)"] = APEValue(b"cover.jpg\0" + open(path(picture), "rb").read(), BINARY)
    tag.save(path(name))


# Containers whose tag sits after the audio: a source that cannot seek ends before the picture.
TAG_AT_END = {"aiff", "wav", "wavpack"}


def containers():
    import mutagen.trueaudio
    import mutagen.wave
    mp3 = ("libmp3lame",)
    yield "mp3-id3v23", "song-v23.mp3", "cover.jpg", lambda n, p: with_ffmpeg(n, mp3, p, "-id3v2_version", "3")
    yield "mp3-id3v24", "song-v24.mp3", "cover.jpg", lambda n, p: with_ffmpeg(n, mp3, p, "-id3v2_version", "4")
    yield "flac", "song.flac", "cover.jpg", lambda n, p: with_ffmpeg(n, ("flac",), p)
    yield "m4a", "song.m4a", "cover.jpg", lambda n, p: with_ffmpeg(n, ("aac",), p)
    yield "aiff", "song.aiff", "cover.jpg", lambda n, p: with_ffmpeg(n, ("pcm_s16be",), p, "-write_id3v2", "1")
    yield "matroska", "song.mka", "cover.jpg", lambda n, p: ffmpeg(
        *TONE, "-c:a", "flac", "-attach", path(p), "-metadata:s:t", "mimetype=image/jpeg", path(n))
    yield "ogg-vorbis", "song.ogg", "cover.jpg", lambda n, p: with_mutagen_ogg(n, "vorbis", "libvorbis", p)
    yield "ogg-opus", "song.opus", "cover.jpg", lambda n, p: with_mutagen_ogg(n, "opus", "libopus", p)
    yield "wma", "song.wma", "cover.jpg", with_mutagen_wma
    yield "wav", "song.wav", "cover.jpg", lambda n, p: with_mutagen_id3(n, "pcm_s16le", p, mutagen.wave.WAVE)
    yield "tta", "song.tta", "cover.jpg", lambda n, p: with_mutagen_id3(n, "tta", p, mutagen.trueaudio.TrueAudio)
    yield "wavpack", "song.wv", "cover.jpg", lambda n, p: with_mutagen_ape(n, "wavpack", p)


def main():
    import mutagen.mp3
    os.makedirs(OUT, exist_ok=True)
    make_pictures()
    media = []
    for container, name, picture, make in containers():
        try:
            make(name, picture)
        except Exception as error:  # an old tool that cannot make this container: test the others
            print(f"skipped {container}: cannot make it here ({error})")
            continue
        media.append({"container": container, "file": name, "picture": picture,
                      "tag_at_end": container in TAG_AT_END})
    # Two pictures: the lowest-index one is the album art.
    ffmpeg(*TONE, "-i", path("cover.jpg"), "-i", path("second.png"), "-map", "0", "-map", "1", "-map", "2",
           "-c:a", "libmp3lame", *ATTACH, path("two-pictures.mp3"))
    ffmpeg(*TONE, "-i", path("large.png"), "-map", "0", "-map", "1", "-c:a", "libmp3lame", *ATTACH,
           path("large-picture.mp3"))
    # A picture of 4 MiB, long enough to write that a run ended from outside often ends in the middle of it.
    with open(path("big.png"), "wb") as big:
        big.write(b"\x89PNG\r\n\x1a\n" + random.Random(4).randbytes(4 * 1024 * 1024 - 8))
    with_mutagen_id3("big-picture.mp3", "libmp3lame", "big.png", mutagen.mp3.MP3)
    tone("no-picture.mp3", "libmp3lame")
    # Library versions differ on whether this picture is exposed at all.
    with_mutagen_wma("library-picture.wma", "large.png", "image/png")
    shutil.copy(path("song.flac"), path("sample with spaces.flac"))
    shutil.copy(path("song.flac"), path("-leading-hyphen.flac"))
    with open(path("manifest.json"), "w") as manifest:
        json.dump(media, manifest, indent=1)
    print(f"made {len(media)} containers in {OUT}: " + ", ".join(m["container"] for m in media))


if __name__ == "__main__":
    main()
