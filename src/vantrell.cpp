// vantrell: save the embedded album art of a media file or stream, byte for byte.
#include "extractor.h"
#include "platform.h"
#include "supervisor.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    const std::vector<std::string> arguments = platform::utf8_arguments(argc, argv);
    platform::detach_from_standard_streams();
    platform::keep_process_private();
    platform::reuse_freed_memory();
    start_media_library();

    if (arguments.size() != 3)
        std::puts("usage: vantrell uri filename");
    else
        run_one_pair("vantrell", arguments[1], arguments[2]);
    platform::end_program();
}
