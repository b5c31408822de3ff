// What differs by operating system: file identity, replacing a file, reader processes and the connections
// to them, the standard streams, the arguments and where the system keeps its CA bundle. One
// implementation per system: platform_linux.cpp and platform_windows.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
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

// Puts data in filename whole or not at all: a new file beside it, under a name that nobody can guess, with
// its permission bits, renamed over it (through a symbolic link, over the link's target, where the kernel
// would follow that link for this user). A name that is not a regular file (a device, a FIFO), or one in a
// folder that refuses new files, is written in place. False, and filename as it was where it was a regular
// file, when any step fails; a signal that ends the run meanwhile leaves no new file.
bool replace_file(const char *filename, const char *data, std::size_t size);
// Whether filename, through its links, names something other than a regular file that writing reaches in
// place, and where a writer may wait: a FIFO, a device.
bool is_special_file(const char *filename);

// The contents of a regular file of at most limit bytes, read without waiting on anything else (a FIFO, a
// device); false for anything else.
bool read_regular_file(const char *path, std::size_t limit, std::string *contents);

// One end of a byte stream between the supervisor and a reader, or standard input as the supervisor reads
// it. A reader's connection carries the word that the gate (gate.h) keeps, shared with the supervisor and
// no other reader, which outlives the reader.
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
    // The gate's word; null for standard input.
    std::atomic<std::uint64_t> *gate_word();
    State &state() { return *state_; }

    // A connection whose state holds these fields; made where the system's unit defines State.
    template <typename... Fields> static std::unique_ptr<Connection> of(Fields &&...fields)
    {
        return std::make_unique<Connection>(std::unique_ptr<State>(new State{std::forward<Fields>(fields)...}));
    }

  private:
    std::unique_ptr<State> state_;
};

// Standard input, read by the supervisor as it comes.
std::unique_ptr<Connection> standard_input();

// Waits until one of the connections has bytes or has ended, or until the time has passed (negative:
// no limit); says which may have news, so that a caller with many need not look at every one.
std::vector<bool> wait_for_activity(const std::vector<Connection *> &connections, int milliseconds);

// A layer of a reader's confinement that the system offers but that could not be applied: such a reader
// reads nothing.
enum class Unconfined : std::uint8_t { no = 0, privileges = 1, capabilities = 2, landlock = 3, seccomp = 4 };

// Where sources are read: a process of its own where the system can fork, so that a crash or an endless
// loop there ends only it; on Windows a thread of this process.
class Reader {
  public:
    struct State;
    explicit Reader(std::unique_ptr<State> state);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    Connection &connection();
    // Processor time the reader has used since it started, where the system tells (0 where it does not).
    double processor_seconds() const;
    // Ends the reader at once: for a reader that has run too long or broken the rules.
    void stop();
    // Closes the connection: a reader that waits for its next pair then ends.
    void hang_up();
    // Closes the connection, waits for the reader to end and says how it ended when that was abnormal
    // ("was killed by signal 11 (Segmentation fault)"); empty when it exited as it should.
    std::string end();

  private:
    std::unique_ptr<State> state_;
};

// What a reader runs: its connection to the supervisor, and the layer of confinement that failed, if any.
using ReaderMain = std::function<void(Connection &supervisor, Unconfined unconfined)>;

// Where readers come from. On Linux, a process started before any pair is read, which holds none of them
// and makes each reader as a copy of itself: a reader holds nothing of the supervisor's, no descriptor but
// its connection, standard error and, where asked, standard input, and confines itself before it reads.
// On Windows, threads of this process.
class ReaderOrigin {
  public:
    struct State;
    // Null when the system refuses the process. keeps_standard_input: readers may read standard input
    // (vantrell's pipe:0).
    static std::unique_ptr<ReaderOrigin> start(ReaderMain reader_main, bool keeps_standard_input);
    explicit ReaderOrigin(std::unique_ptr<State> state);
    ~ReaderOrigin();
    ReaderOrigin(const ReaderOrigin &) = delete;
    ReaderOrigin &operator=(const ReaderOrigin &) = delete;

    // A new reader, with the network where network, else none. Null when the system refuses another.
    std::unique_ptr<Reader> start_reader(bool network);

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

// Starts work on a thread of its own, which leaves to the main thread every signal that ends the run.
std::thread start_thread(std::function<void()> work);

// Other processes of the user, readers among them, may not read this process's memory or descriptors.
void keep_process_private();

// Standard input as bytes, untranslated, for input that holds NUL-separated names.
void binary_standard_input();

// The program's arguments in UTF-8, the program name first.
std::vector<std::string> utf8_arguments(int argc, char **argv);

// The CA bundle for HTTPS to trust, or null where the system's TLS has a store of its own.
const char *ca_bundle();

}  // namespace platform
