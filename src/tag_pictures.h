// The pictures that a tag library sees in a source: TagLib reads the tags of the source that the extractor
// has open, through the same guarded input as libavformat, for the covers that libavformat hides or drops.
#pragma once

#include <string>
#include <vector>

extern "C" {
struct AVIOContext;
}

struct TagPicture {
    std::string bytes;
    bool front = false;   // marked as the front cover
    bool at_end = false;  // from a tag after the audio, which comes after what the file stores at its start
};

// The pictures of source's tags in the order that the file stores them; name, the uri, tells TagLib the kind
// of file where its bytes do not. source must be able to seek; it is read from its start.
std::vector<TagPicture> pictures_in_tags(AVIOContext *source, const char *name);
