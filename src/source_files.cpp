#include "source_files.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

// Chains of protocols deeper than any that a person writes are taken for what they cannot name.
constexpr int deepest = 16;
// A concatf: list longer than this is not a list of files that anyone wrote.
constexpr std::size_t longest_list = 1 << 20;

bool starts_with(const std::string &text, const char *prefix, std::string *rest)
{
    const std::size_t length = std::strlen(prefix);
    if (text.compare(0, length, prefix) != 0)
        return false;
    *rest = text.substr(length);
    return true;
}

// subfile,,start,N,end,M,,:URL: the options end where a separator follows a separator.
bool inner_of_subfile(const std::string &uri, std::string *inner)
{
    std::string rest;
    if (starts_with(uri, "subfile:", inner))
        return true;
    if (!starts_with(uri, "subfile,", &rest) || rest.empty())
        return false;
    const char separator = rest[0];
    for (std::size_t at = 1;;) {
        const std::size_t key = rest.find(separator, at);
        if (key == std::string::npos)
            return false;
        if (key == at) {
            *inner = rest.substr(key + 1);
            if (!inner->empty() && (*inner)[0] == ':')
                inner->erase(0, 1);
            return true;
        }
        const std::size_t value = rest.find(separator, key + 1);
        if (value == std::string::npos)
            return false;
        at = value + 1;
    }
}

// Each URL of a concatf: list, one a line, as the library reads them (quotes and escapes included).
std::vector<std::string> list_entries(const std::string &list)
{
    std::vector<std::string> entries;
    const char *cursor = list.c_str();
    while (*cursor) {
        if (!cursor[std::strspn(cursor, " \n\t\r")])
            break;
        char *entry = av_get_token(&cursor, "\r\n");
        if (!entry)
            break;
        entries.emplace_back(entry);
        av_free(entry);
        if (*cursor)
            cursor++;
    }
    return entries;
}

using ListReader = std::function<bool(const std::string &, std::string *)>;

void gather(const std::string &uri, int depth, const ListReader &read_list, SourceFiles *files)
{
    const char *protocol = avio_find_protocol_name(uri.c_str());
    std::string inner;
    if (depth > deepest) {
        files->network = true;
    } else if (protocol && std::strcmp(protocol, "file") == 0) {
        files->paths.push_back(starts_with(uri, "file:", &inner) ? inner : uri);
    } else if (starts_with(uri, "pipe:", &inner)) {
        char *end = nullptr;
        const long fd = std::strtol(inner.c_str(), &end, 10);
        files->descriptors.push_back(end != inner.c_str() && !*end && fd >= 0 && fd < 1 << 20 ? static_cast<int>(fd) : 0);
    } else if (starts_with(uri, "cache:", &inner) || starts_with(uri, "async:", &inner) ||
               starts_with(uri, "crypto+", &inner) || starts_with(uri, "crypto:", &inner) ||
               starts_with(uri, "hls+", &inner) || inner_of_subfile(uri, &inner)) {
        gather(inner, depth + 1, read_list, files);
    } else if (starts_with(uri, "concat:", &inner)) {
        for (std::size_t at = inner.find_first_not_of('|'); at != std::string::npos;) {
            const std::size_t end = std::min(inner.find('|', at), inner.size());
            gather(inner.substr(at, end - at), depth + 1, read_list, files);
            at = inner.find_first_not_of('|', end);
        }
    } else if (starts_with(uri, "concatf:", &inner)) {
        SourceFiles list;
        gather(inner, depth + 1, read_list, &list);
        std::string entries;
        const bool known = !list.network && list.descriptors.empty() && list.paths.size() == 1 &&
                           read_list(list.paths[0], &entries) && entries.size() <= longest_list;
        files->paths.insert(files->paths.end(), list.paths.begin(), list.paths.end());
        files->descriptors.insert(files->descriptors.end(), list.descriptors.begin(), list.descriptors.end());
        files->network = files->network || !known;
        for (const std::string &entry : known ? list_entries(entries) : std::vector<std::string>())
            gather(entry, depth + 1, read_list, files);
    } else if (!starts_with(uri, "data:", &inner)) {
        files->network = true;  // a protocol that reaches a server, or one that no file can be named for
    }
}

}  // namespace

SourceFiles files_of(const std::string &uri, const ListReader &read_list)
{
    SourceFiles files;
    gather(uri, 0, read_list, &files);
    return files;
}

bool source_reads(const std::string &uri, const platform::FileIdentity &target)
{
    const SourceFiles files = files_of(uri, [](const std::string &path, std::string *list) {
        return platform::read_regular_file(path.c_str(), longest_list, list);
    });
    platform::FileIdentity identity;
    for (const std::string &path : files.paths) {
        if (platform::identify_path(path.c_str(), &identity) && identity == target)
            return true;
    }
    for (const int fd : files.descriptors) {
        if (platform::identify_descriptor(fd, &identity) && identity == target)
            return true;
    }
    return false;
}
