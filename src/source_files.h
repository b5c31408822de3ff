// The local files that a source reads, found from its uri alone, as the library's protocols would open
// them: the file that a path or file: URL names, the descriptor of pipe:, and whatever a protocol that
// wraps others reads (cache:, async:, crypto:, subfile:, concat:, concatf: with the files that its list
// names, hls+). The supervisor decides from these, and never opens a source to find them.
#pragma once

#include "platform.h"

#include <functional>
#include <string>
#include <vector>

struct SourceFiles {
    std::vector<std::string> paths;
    std::vector<int> descriptors;
    // Some part of the source is read from the network, or from where no file can be named.
    bool network = false;
};

// read_list: the contents of a concatf: list that is a local file, or false where it cannot be had.
SourceFiles files_of(const std::string &uri, const std::function<bool(const std::string &path, std::string *list)> &read_list);

// Whether target is one of the files that uri reads, by whatever name.
bool source_reads(const std::string &uri, const platform::FileIdentity &target);
