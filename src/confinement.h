// What a reader may do: read files and folders, use the network when its source needs it, allocate memory,
// run threads and talk to its supervisor. Nothing it reads can make it change a file, run a program, reach
// another process or gain a privilege. Linux only: confinement_linux.cpp.
#pragma once

#include "platform.h"

#include <linux/filter.h>
#include <sys/types.h>

#include <vector>

namespace platform {

// Confines the calling process for good: no capabilities, no new privileges, Landlock's rules where the
// kernel has Landlock, and a seccomp filter where it has seccomp. Call it in a reader before it reads a
// source and before it starts a thread. A layer that the system does not offer (an emulator, valgrind, an
// old kernel) is passed over, as it was before such layers existed; the layer that the system offers and
// that could not be applied is the answer, and such a reader must not read.
Unconfined confine_reader(bool network);

// The seccomp program of a reader whose number is self, for this build's architecture: network, for one
// whose sources are read from the network. Empty where no program could be made.
std::vector<sock_filter> reader_filter(pid_t self, bool network);

}  // namespace platform
