// A reader: the process that opens sources with the library, one pair at a time, for its supervisor.
#pragma once

#include "platform.h"

// Takes pairs from the supervisor until it hangs up, and sends back for each what the source held: the
// pair's lines, the picture and the verdict on filename. Writes no file.
void serve_pairs(platform::Connection &supervisor);
