// vantrell-batch: the album art of many sources in one run. Standard input holds pairs, uri NUL filename
// NUL; each pair is what `vantrell uri filename` does, several are read at once, and each pair's lines
// come out together, in input order.
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
    platform::binary_standard_input();
    start_media_library();
    if (arguments.size() != 1)
        std::puts("usage: vantrell-batch < uri NUL filename NUL ...");
    else
        run_pairs_from_standard_input("vantrell-batch");
    platform::end_program();
}
