// A reader: the process that opens sources with the library, one pair at a time, for its supervisor.
#pragma once

#include "platform.h"

// Takes pairs from the supervisor until it hangs up, and answers each with what its source held: the
// picture and how the reading ended. Writes no file. A reader that could not be confined reads nothing.
void serve_pairs(platform::Connection &supervisor, platform::Unconfined unconfined);
