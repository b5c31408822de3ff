// vantrell: save the embedded album art of a media file or stream, byte for byte.
#include "extractor.h"
#include "platform.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Each line at once, so that a stalled source still shows what it is waiting on.
void print_now(const std::string &line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> arguments = platform::utf8_arguments(argc, argv);
    platform::detach_from_standard_streams();
    start_media_library();

    if (arguments.size() != 3)
        print_now("usage: vantrell uri filename");
    else
        retrieve_album_art(arguments[1].c_str(), arguments[2].c_str(), print_now);
    return 0;
}
