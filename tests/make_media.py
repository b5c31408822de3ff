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


def make_hidden_pictures():
    ffmpeg("-f", "lavfi", "-i", "testsrc=size=40x40", "-frames:v", "1", path("cover.gif"))
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=40x40", "-frames:v", "1", "-c:v", "libwebp", path("cover.webp"))


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


def with_mutagen_ape(name, codec, picture, stored_name=b"cover.jpg", data=None, kind=None):
    from mutagen.apev2 import APEv2, APEValue, BINARY
    tone(name, codec)
    tag = APEv2()
    data = open(path(picture), "rb").read() if data is None else data
    tag["Cover Art (Front)"] = APEValue(stored_name + b"\0" + data, BINARY if kind is None else kind)
    tag.save(path(name))


def with_id3_picture(name, mime, data, codec="libmp3lame"):
    """An MP3 whose one APIC frame declares mime and holds data, which libavformat may drop."""
    import mutagen.mp3
    from mutagen.id3 import APIC
    tone(name, codec)
    audio = mutagen.mp3.MP3(path(name))
    if audio.tags is None:
        audio.add_tags()
    audio.tags.add(APIC(encoding=3, mime=mime, type=3, desc="", data=data))
    audio.save()


def with_compressed_id3_picture(name, picture):
    """An ID3v2.4 tag whose APIC frame is zlib-compressed (flags: compression, data length indicator), of a MIME
    type that libavformat does not know."""
    import zlib
    tone(name, "libmp3lame")
    body = b"\3application/octet-stream\0\3\0" + open(path(picture), "rb").read()
    packed = syncsafe(len(body)) + zlib.compress(body)
    frame = b"APIC" + syncsafe(len(packed)) + b"\x00\x09" + packed
    audio = open(path(name), "rb").read()
    with open(path(name), "wb") as out:
        out.write(b"ID3\4\0\0" + syncsafe(len(frame)) + frame + audio)


def syncsafe(number):
    return bytes((number >> shift) & 0x7F for shift in (21, 14, 7, 0))


def with_flac_picture(name, mime, picture):
    from mutagen.flac import FLAC, Picture
    tone(name, "flac")
    block = Picture()
    block.type, block.mime, block.data = 3, mime, open(path(picture), "rb").read()
    audio = FLAC(path(name))
    audio.add_picture(block)
    audio.save()


def with_mp4_cover(name, kind, picture):
    from mutagen.mp4 import MP4, MP4Cover
    tone(name, "aac")
    audio = MP4(path(name))
    audio["covr"] = [MP4Cover(open(path(picture), "rb").read(), imageformat=kind)]
    audio.save()


def with_attachment(name, picture, mime, stored_name):
    ffmpeg(*TONE, "-c:a", "flac", "-attach", path(picture), "-metadata:s:t", f"mimetype={mime}",
           "-metadata:s:t", f"filename={stored_name}", path(name))


def with_cover_comment(name, value):
    import mutagen.oggvorbis
    tone(name, "libvorbis")
    audio = mutagen.oggvorbis.OggVorbis(path(name))
    audio["coverart"], audio["coverartmime"] = [value], ["image/jpeg"]
    audio.save()


def with_ape_before_id3v1(name, picture):
    with_mutagen_ape(name, "libmp3lame", picture)
    with open(path(name), "ab") as out:
        out.write(b"TAG" + b"A Title".ljust(30, b"\0") + b"\0" * 94 + b"\xff")


def with_one_frame(name, picture):
    """An ID3v2 tag before the start of one MP3 frame: too little audio for libavformat to take it as MP3."""
    tone(name, "libmp3lame")
    audio = open(path(name), "rb").read()
    frame = audio.find(b"\xff\xfb")
    with open(path(name), "wb") as out:
        out.write(audio[frame:frame + 40])
    with_id3_picture_on(name, "image/jpeg", open(path(picture), "rb").read())


def with_id3_picture_on(name, mime, data):
    from mutagen.id3 import APIC, ID3
    tag = ID3()
    tag.add(APIC(encoding=3, mime=mime, type=3, desc="", data=data))
    tag.save(path(name))


def cut_in_picture(make, picture):
    """A file made by make, ending in the middle of its picture."""
    def made(name, _):
        make(name, picture)
        data, stored = open(path(name), "rb").read(), open(path(picture), "rb").read()
        with open(path(name), "wb") as out:
            out.write(data[:data.find(stored) + len(stored) // 2])
    return made


# Hidden covers that libavformat shows, unmarked, near the start: a source that cannot seek holds them too.
UNMARKED = {"hidden-mkv-webp.mka", "hidden-mkv-octet.mka", "hidden-coverart.ogg"}


def hidden_covers():
    """Covers that tag readers see and libavformat hides or drops; None where no picture is to be found."""
    def id3(mime, data=None):
        return lambda n, p: with_id3_picture(n, mime, open(path(p), "rb").read() if data is None else data)
    yield "id3v2 no mime type", "hidden-id3-empty.mp3", "cover.jpg", id3("")
    yield "id3v2 mime jpeg", "hidden-id3-jpeg.mp3", "cover.jpg", id3("jpeg")
    yield "id3v2 mime image/pjpeg", "hidden-id3-pjpeg.mp3", "cover.jpg", id3("image/pjpeg")
    yield "id3v2 mime octet-stream", "hidden-id3-octet.mp3", "second.png", id3("application/octet-stream")
    yield "id3v2 webp", "hidden-id3-webp.mp3", "cover.webp", id3("image/webp")
    yield "id3v2 compressed frame", "hidden-id3-compressed.mp3", "second.png", with_compressed_id3_picture
    yield "flac no mime type", "hidden-flac-empty.flac", "cover.jpg", lambda n, p: with_flac_picture(n, "", p)
    yield "flac upper-case mime", "hidden-flac-upper.flac", "cover.jpg", lambda n, p: with_flac_picture(n, "IMAGE/JPEG", p)
    yield "mp4 covr implicit", "hidden-covr-implicit.m4a", "cover.jpg", lambda n, p: with_mp4_cover(n, 0, p)
    yield "mp4 covr gif", "hidden-covr-gif.m4a", "cover.gif", lambda n, p: with_mp4_cover(n, 12, p)
    yield "wma in metadata library", "hidden-library.wma", "large.png", lambda n, p: with_mutagen_wma(n, p, "image/png")
    yield "apev2 name without extension", "hidden-ape-name.wv", "cover.jpg", lambda n, p: with_mutagen_ape(
        n, "wavpack", p, b"front")
    yield "apev2 on mp3", "hidden-ape.mp3", "second.png", lambda n, p: with_mutagen_ape(n, "libmp3lame", p, b"cover")
    yield "apev2 before id3v1", "hidden-ape-id3v1.mp3", "cover.jpg", with_ape_before_id3v1
    yield "matroska webp", "hidden-mkv-webp.mka", "cover.webp", lambda n, p: with_attachment(n, p, "image/webp", "a.webp")
    yield "matroska cover.jpg", "hidden-mkv-octet.mka", "cover.jpg", lambda n, p: with_attachment(
        n, p, "application/octet-stream", "cover.jpg")
    yield "ogg coverart", "hidden-coverart.ogg", "cover.jpg", lambda n, p: with_cover_comment(
        n, base64.b64encode(open(path(p), "rb").read()).decode())
    yield "mp3 audio rejected", "hidden-cut-audio.mp3", "cover.jpg", with_one_frame
    # What is no picture, however it is stored.
    yield "id3v2 url", "false-id3-url.mp3", None, id3("-->", b"http://example.com/cover.jpg")
    yield "id3v2 empty", "false-id3-empty.mp3", None, id3("", b"")
    yield "matroska font", "false-mkv-font.mka", None, lambda n, p: with_attachment(n, "font.ttf", "font/ttf", "cover.ttf")
    yield "apev2 text", "false-ape-text.wv", None, lambda n, p: with_mutagen_ape(
        n, "wavpack", None, b"cover", b"a cover, described in words")
    yield "ogg junk base64", "false-coverart.ogg", None, lambda n, p: with_cover_comment(n, "!!not*base64 at all!!")
    yield "id3v2 cut in picture", "false-id3-cut.mp3", None, cut_in_picture(id3("jpeg"), "cover.jpg")

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
    make_hidden_pictures()
    with open(path("font.ttf"), "wb") as font:  # the start of a TrueType font: version, tables
        font.write(b"\0\1\0\0\0\x0c\0\x80\0\x03\0\x40" + bytes(range(256)) * 8)
    hidden = []
    for kind, name, picture, make in hidden_covers():
        try:
            make(name, picture)
        except Exception as error:
            print(f"skipped {kind}: cannot make it here ({error})")
            continue
        hidden.append({"kind": kind, "file": name, "picture": picture, "unmarked": name in UNMARKED})
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
    shutil.copy(path("song.flac"), path("sample with spaces.flac"))
    shutil.copy(path("song.flac"), path("-leading-hyphen.flac"))
    with open(path("manifest.json"), "w") as manifest:
        json.dump(media, manifest, indent=1)
    with open(path("hidden.json"), "w") as manifest:
        json.dump(hidden, manifest, indent=1)
    print(f"made {len(media)} containers in {OUT}: " + ", ".join(m["container"] for m in media))


if __name__ == "__main__":
    main()
