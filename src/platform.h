// What differs by operating system: file identity, the output file, the standard streams, the arguments
// and where the system keeps its CA bundle. One implementation per system: platform_posix.cpp and
// platform_windows.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// One file, however it is named: device and inode, or on Windows volume serial number and file index.
struct FileIdentity {
    std::uint64_t volume = 0, index = 0;
    bool operator==(const FileIdentity &other) const { return volume == other.volume && index == other.index; }
};

bool identify_path(const char *path, FileIdentity *identity);
bool identify_descriptor(int fd, FileIdentity *identity);

// Whether this process holds the file open for reading, whatever opened it and by what name.
bool is_open_for_reading(const FileIdentity &file);

// fopen(filename, "wb") with filename in UTF-8.
std::FILE *open_for_writing(const char *filename);

// The lines are a report and the files are the product: a reader that went away must not end the run,
// and a closed standard stream must not lend its number to a source or an output file.
void detach_from_standard_streams();

// Standard input as bytes, untranslated, for input that holds NUL-separated names.
void binary_standard_input();

// The program's arguments in UTF-8, the program name first.
std::vector<std::string> utf8_arguments(int argc, char **argv);

// The CA bundle for HTTPS to trust, or null where the system's TLS has a store of its own.
const char *ca_bundle();

}  // namespace platform
