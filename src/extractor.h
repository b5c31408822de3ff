// The extractor: the first attached picture of a media source, written byte for byte to a file.
#pragma once

#include <functional>
#include <string>

// Receives each line of a run, whole and without its newline.
using LineSink = std::function<void(const std::string &line)>;

// Starts the library's network layer and, where the library needs it, registers its formats.
void start_media_library();

// Opens uri, finds its first attached picture and writes it to filename, reporting every outcome to print.
// True when the source held a picture, whatever its write reported.
bool retrieve_album_art(const char *uri, const char *filename, const LineSink &print);
