// vantrell: save the embedded album art of a media file or stream, byte for byte.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstdio>
#include <memory>

namespace {

struct InputCloser {
    void operator()(AVFormatContext *input) const { avformat_close_input(&input); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;

struct PacketFreer {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
using Packet = std::unique_ptr<AVPacket, PacketFreer>;

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The first attached picture that holds bytes; an empty one is no picture at all.
const AVPacket *first_picture(const AVFormatContext *input)
{
    for (unsigned i = 0; i < input->nb_streams; i++) {
        const AVStream *stream = input->streams[i];
        if ((stream->disposition & AV_DISPOSITION_ATTACHED_PIC) && stream->attached_pic.size > 0)
            return &stream->attached_pic;
    }
    return nullptr;
}

// One write of the whole picture; success needs the close too, since a full disk may only show there.
bool write_picture(const AVPacket *picture, const char *filename)
{
    File out(std::fopen(filename, "wb"));
    if (!out)
        return false;
    const bool written = std::fwrite(picture->data, picture->size, 1, out.get()) == 1;
    return std::fclose(out.release()) == 0 && written;
}

}  // namespace

void retrieve_album_art(const char *uri, const char *filename)
{
    if (!uri) {
        std::puts("Path is NULL");
        return;
    }

    // The open accepts a null context, and frees this one itself when it fails.
    AVFormatContext *opened = avformat_alloc_context();
    std::printf("Opening %s\n", uri);
    std::fflush(stdout);  // a stalled source should still show what it is waiting on
    if (avformat_open_input(&opened, uri, nullptr, nullptr) != 0) {
        std::puts("avformat_open_input() failed");
        return;
    }
    Input input(opened);

    // A source that stopped early leaves an I/O error behind, or a picture marked as read short.
    const AVPacket *stored = first_picture(input.get());
    if ((input->pb && input->pb->error < 0) || (stored && (stored->flags & AV_PKT_FLAG_CORRUPT))) {
        std::puts("could not read the format header");
        return;
    }
    if (!stored)
        return;

    Packet picture(av_packet_alloc());
    if (!picture || av_packet_ref(picture.get(), stored) < 0) {
        std::printf("could not write album art to %s\n", filename);
        return;
    }
    input.reset();  // the picture is our own reference now

    const bool saved = write_picture(picture.get(), filename);
    av_packet_unref(picture.get());
    if (saved)
        std::printf("Wrote album art to %s\n", filename);
    else
        std::printf("could not write album art to %s\n", filename);
}

int main(int argc, char **argv)
{
    avformat_network_init();
#if LIBAVFORMAT_VERSION_INT < AV_VERSION_INT(58, 9, 100)
    av_register_all();
#endif

    if (argc != 3)
        std::puts("usage: vantrell uri filename");
    else
        retrieve_album_art(argv[1], argv[2]);
    return 0;
}
