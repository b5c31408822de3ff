// The extractor: the first attached picture of a media source, handed over byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// Starts the library's network layer and, where the library needs it, registers its formats.
void start_media_library();

// How reading a source ended; the supervisor turns it into the pair's lines.
enum class Ending : std::uint8_t {
    no_picture = 1,         // the source opened and holds no picture
    open_failed = 2,        // the source could not be opened, or is not media that the library knows
    header_failed = 3,      // the source broke off inside its header, or inside its picture
    picture = 4,            // the picture went to the sink
    picture_too_large = 5,  // the source holds a picture larger than any that is written
    unconfined = 6,         // not read: the reader could not be confined
};

// Pictures larger than this are not written: no cover comes near it, and it bounds what a reader may send.
constexpr std::size_t largest_picture = std::size_t(64) << 20;

struct Extraction {
    Ending ending = Ending::no_picture;
    // A server that refused the source or asked for fewer requests (429, a 5xx answer, a connection refused
    // or reset): a sign to read fewer sources at once.
    bool pushed_back = false;
    // filename is a file that the library read for the source, whichever protocol or demuxer opened it.
    bool filename_read = false;
};

// Receives the picture that a source stores, with how the reading ended, while the source that holds the
// picture is still open.
using PictureSink = std::function<void(const Extraction &extraction, const unsigned char *picture, std::size_t size)>;

// Opens uri and finds its first attached picture, which goes to save while the source is still open.
Extraction retrieve_album_art(const char *uri, const char *filename, const PictureSink &save);
