// The files that a source reads, by its uri alone, as the library's protocols would open them.
#include "unit.h"

#include "source_files.h"

#include <string>
#include <vector>

UNIT_TEST(files_that_a_uri_reads)
{
    struct Row {
        const char *uri;
        std::vector<std::string> paths;
        std::vector<int> descriptors;
        bool network;
    };
    const Row rows[] = {
        {"/music/a.mp3", {"/music/a.mp3"}, {}, false},
        {"song:1.mp3", {}, {}, true},  // a protocol that the library does not know: no file of ours
        {"/music/with:colon.mp3", {"/music/with:colon.mp3"}, {}, false},
        {"file:/music/a.mp3", {"/music/a.mp3"}, {}, false},
        {"file:relative.mp3", {"relative.mp3"}, {}, false},
        {"pipe:0", {}, {0}, false},
        {"pipe:", {}, {0}, false},
        {"pipe:7", {}, {7}, false},
        {"pipe:7x", {}, {0}, false},
        {"cache:/a.mp3", {"/a.mp3"}, {}, false},
        {"async:cache:file:/a.mp3", {"/a.mp3"}, {}, false},
        {"crypto:/a.mp3", {"/a.mp3"}, {}, false},
        {"crypto+file:/a.mp3", {"/a.mp3"}, {}, false},
        {"subfile,,start,10,end,20,,:/a.mp3", {"/a.mp3"}, {}, false},
        {"subfile,|start|10|end|20||:/a.mp3", {"/a.mp3"}, {}, false},
        {"subfile:/a.mp3", {"/a.mp3"}, {}, false},
        {"concat:/a.mp3|/b.mp3||/c.mp3", {"/a.mp3", "/b.mp3", "/c.mp3"}, {}, false},
        {"concat:cache:/a.mp3|http://example.com/b.mp3", {"/a.mp3"}, {}, true},
        {"hls+file:/list.m3u8", {"/list.m3u8"}, {}, false},
        {"http://example.com/a.mp3", {}, {}, true},
        {"https://example.com/a.mp3", {}, {}, true},
        {"cache:https://example.com/a.mp3", {}, {}, true},
        {"data:audio/mpeg;base64,AAAA", {}, {}, false},
        {"concatf:/list.txt", {"/list.txt", "/x.mp3", "/with space.mp3", "/y.mp3"}, {}, false},
        {"concatf:/unreadable.txt", {"/unreadable.txt"}, {}, true},
        {"concatf:http://example.com/list.txt", {}, {}, true},
    };
    const auto read_list = [](const std::string &path, std::string *list) {
        if (path != "/list.txt")
            return false;
        *list = "/x.mp3\n  '/with space.mp3'\r\n\ncache:/y.mp3\n";
        return true;
    };
    for (const Row &row : rows) {
        const SourceFiles files = files_of(row.uri, read_list);
        CHECK(files.paths == row.paths, std::string(row.uri) + ": paths");
        CHECK(files.descriptors == row.descriptors, std::string(row.uri) + ": descriptors");
        CHECK(files.network == row.network, std::string(row.uri) + ": network");
    }
    std::string deep = "/a.mp3";
    for (int i = 0; i < 100; i++)
        deep = "cache:" + deep;
    CHECK(files_of(deep, read_list).network && files_of(deep, read_list).paths.empty(),
          "a chain deeper than anyone writes names no file and counts as what cannot be named");
}
