// What differs by operating system: file identity, replacing a file, reader processes and the connections
// to them, the standard streams, the arguments and where the system keeps its CA bundle. One
// implementation per system: platform_posix.cpp and platform_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// One file, however it is named: device and inode, or on Windows volume serial number and file index.
// A character device (a terminal, the null device) holds no stored bytes that writing could destroy.
struct FileIdentity {
    std::uint64_t volume = 0, index = 0;
    bool character_device = false;
    bool operator==(const FileIdentity &other) const { return volume == other.volume && index == other.index; }
};

bool identify_path(const char *path, FileIdentity *identity);
bool identify_descriptor(int fd, FileIdentity *identity);

// Whether this process holds the file open for reading, whatever opened it and by what name.
bool is_open_for_reading(const FileIdentity &file);

// Puts data in filename whole or not at all: a new file beside it, with its permission bits, renamed over
// it (through a symbolic link, over the link's target). A name that is not a regular file (a device, a
// FIFO), or one in a folder that refuses new files, is written in place. False, and filename as it was
// where it was a regular file, when any step fails; a signal that ends the run meanwhile leaves no new file.
bool replace_file(const char *filename, const char *data, std::size_t size);

// One end of a byte stream between the supervisor and a reader, or standard input as the supervisor reads
// it.
class Connection {
  public:
    struct State;
    explicit Connection(std::unique_ptr<State> state);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Sends every byte, waiting as long as it takes; false when the other end is gone.
    bool send(const void *data, std::size_t size);
    // What has come, up to size bytes: 0 at the end of the stream; -1 when nothing has come and the caller
    // would rather not wait.
    long receive(void *data, std::size_t size, bool wait);
    // The gate between a reader and its supervisor. Pairs are numbered from 1 in the order sent; the reader
    // begins each only after passing the gate, and the supervisor may take back pairs that the reader has not
    // begun, for another reader. The gate survives the reader, so the supervisor knows which pair was in
    // progress when it crashed.
    bool begin_pair(std::uint64_t number);  // false: taken back, not to be read here
    // Takes back the pairs after reading, up to through, if the reader is reading that pair just now.
    bool take_back_pairs_after(std::uint64_t reading, std::uint64_t through);
    std::uint64_t pairs_begun() const;
    State &state() { return *state_; }

  private:
    std::unique_ptr<State> state_;
};

// Standard input, read by the supervisor as it comes.
std::unique_ptr<Connection> standard_input();

// Waits until one of the connections has bytes or has ended, or until the time has passed (negative:
// no limit); says which may have news, so that a caller with many need not look at every one.
std::vector<bool> wait_for_activity(const std::vector<Connection *> &connections, int milliseconds);

// Where sources are read: a process of its own where the system can fork, so that a crash or an endless
// loop there ends only it; on Windows a thread of this process.
class Reader {
  public:
    struct State;
    // Starts serve(its connection to the supervisor) in a new reader, which holds standard input only when
    // keeps_standard_input, and none of others (the connections to readers already running). Null when
    // the system refuses another reader.
    static std::unique_ptr<Reader> start(const std::function<void(Connection &)> &serve,
                                         bool keeps_standard_input, const std::vector<Connection *> &others);
    explicit Reader(std::unique_ptr<State> state);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    Connection &connection();
    // Processor time the reader has used since it started, where the system tells (0 where it does not).
    double processor_seconds() const;
    // Ends the reader at once: for a reader that has run too long.
    void stop();
    // Closes the connection: a reader that waits for its next pair then ends.
    void hang_up();
    // Closes the connection, waits for the reader to end and says how it ended when that was abnormal
    // ("was killed by signal 11 (Segmentation fault)"); empty when it exited as it should.
    std::string end();

  private:
    std::unique_ptr<State> state_;
};

// What a run may use to read many sources at once. descriptors raises this process's soft limit on open
// descriptors to its hard limit, as far as it may, and says what the limit now is; processors is the number
// that it may run on; processor_seconds is what it has used itself (on Windows, its readers' too).
unsigned descriptors();
unsigned processors();
double processor_seconds();

// Whether standard error is a terminal that someone watches, and what clears the line its cursor is on.
bool standard_error_is_terminal();
const char *line_clearing();

// Many pairs in one process allocate and free much the same memory for each: keep it for the next rather
// than hand it back to the system and fault it in again.
void reuse_freed_memory();

// Ends the program with status 0 once standard output is out, without the destructors of every library in
// the process: they free nothing that the system would not, and after a fork each page that they write costs
// a fault. LeakSanitizer, where it is built in, first looks for what was lost.
[[noreturn]] void end_program();

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
