// The extractor: the first attached picture of a media source, written byte for byte to a file.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Receives each line of a run, whole and without its newline.
using LineSink = std::function<void(const std::string &line)>;

// Receives the picture that a source stores, and whether filename may receive it: not when filename is a
// file that was read for the source.
using PictureSink = std::function<void(const unsigned char *picture, std::size_t size, bool may_write)>;

// Starts the library's network layer and, where the library needs it, registers its formats.
void start_media_library();

// How a run ended. A server that refused the source or asked for fewer requests (429, a 5xx answer, a
// connection refused or reset) is worth telling apart: it is a sign to read fewer sources at once.
enum class Outcome { picture, no_picture, server_pushed_back };

// Opens uri and finds its first attached picture, which goes to save while the source is still open;
// every other outcome is a line to print.
Outcome retrieve_album_art(const char *uri, const char *filename, const LineSink &print, const PictureSink &save);
