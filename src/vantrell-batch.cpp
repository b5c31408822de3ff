// vantrell-batch: the album art of many sources in one run. Standard input holds pairs, uri NUL filename
// NUL; each pair is what `vantrell uri filename` does, several are read at once, and each pair's lines
// come out together, in input order.
#include "extractor.h"
#include "platform.h"
#include "supervisor.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

// Pairs read at once. Most of a pair's time is waiting on a disk, a share or a server, so several per core
// keep every core busy and overlap the waits (bench/ measures it); more gain nothing.
unsigned side_by_side() { return std::max(8u, 4 * std::thread::hardware_concurrency()); }

}  // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> arguments = platform::utf8_arguments(argc, argv);
    platform::detach_from_standard_streams();
    platform::reuse_freed_memory();
    platform::binary_standard_input();
    start_media_library();
    if (arguments.size() != 1)
        std::puts("usage: vantrell-batch < uri NUL filename NUL ...");
    else
        run_pairs_from_standard_input("vantrell-batch", side_by_side());
    platform::end_program();
}
