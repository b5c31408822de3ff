// What a reader may do: read files and folders, use the network for a network source, allocate memory and
// talk to its supervisor. Nothing it reads can make it change a file, run a program or reach another
// process. Linux only: confinement_linux.cpp.
#pragma once

namespace platform {

// Confines the calling process for good: no new privileges, a seccomp filter and, where the kernel has
// Landlock, a read-only file system. Call it in a reader before it reads a source and before it starts a
// thread. False where the system has no means to (an emulator, an old kernel): the reader then runs as it
// would have before, which is not an error.
bool confine_reader();

}  // namespace platform
