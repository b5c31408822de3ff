// The platform layer on Windows.
#define _CRT_RAND_S  // rand_s: the system's random numbers, for names that nobody can guess
#include "platform.h"

#include <windows.h>  // before the other Windows headers, which need its definitions

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform {
namespace {

std::wstring wide(const char *utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring text(length > 0 ? length : 1, L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &text[0], length);
    return text;
}

std::string utf8(const wchar_t *text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string converted(length > 0 ? length : 1, '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &converted[0], length, nullptr, nullptr);
    converted.pop_back();
    return converted;
}

// Windows has no inode: a file is its volume serial number and its index on that volume.
bool identify_handle(HANDLE handle, FileIdentity *identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR) {
        *identity = {0, 0, true};
        return true;
    }
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return false;
    *identity = {info.dwVolumeSerialNumber,
                 (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    return true;
}

// The folder part of a path, with its separator; empty for a name in the working folder.
std::wstring folder_of(const std::wstring &path)
{
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

std::wstring full_path(const std::wstring &path)
{
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(length > 0 ? length : 1, L'\0');
    if (length == 0 || GetFullPathNameW(path.c_str(), length, &full[0], nullptr) == 0)
        return path;
    full.resize(length - 1);
    return full;
}

bool write_in_place(const std::wstring &filename, const char *data, std::size_t size)
{
    std::FILE *out = _wfopen(filename.c_str(), L"wb");
    if (!out)
        return false;
    const bool written = std::fwrite(data, size, 1, out) == 1;
    return std::fclose(out) == 0 && written;
}

// Whether the name is a device, such as NUL, rather than a file on a disk.
bool names_a_device(const std::wstring &filename)
{
    HANDLE handle = CreateFileW(filename.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool device = GetFileType(handle) != FILE_TYPE_DISK;
    CloseHandle(handle);
    return device;
}

// A name that nobody can guess, so that nobody can take it first.
std::wstring unguessable_name()
{
    static const wchar_t letters[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::wstring name;
    for (int i = 0; i < 16; i++) {
        unsigned int random = 0;
        if (rand_s(&random) != 0)
            random = static_cast<unsigned int>(GetTickCount64() * 2654435761u + GetCurrentProcessId() + i);
        name += letters[random % (sizeof letters / sizeof letters[0] - 1)];
    }
    return name;
}

// One direction of an in-memory stream between the supervisor and a reader thread. The event is what the
// supervisor waits on: it is set whenever bytes come or the writing end closes.
struct Pipe {
    std::mutex lock;
    std::condition_variable changed;
    std::string bytes;
    std::size_t taken = 0;
    bool writer_closed = false, reader_closed = false;
    HANDLE arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~Pipe() { CloseHandle(arrived); }

    bool has_news()
    {
        std::lock_guard<std::mutex> hold(lock);
        return taken < bytes.size() || writer_closed;
    }
};

// Handle values are small multiples of four; a process of this size holds far fewer than this many.
constexpr std::uintptr_t highest_handle_value = 4 * 4096;

}  // namespace

bool identify_path(const char *path, FileIdentity *identity)
{
    HANDLE handle = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool known = identify_handle(handle, identity);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return known;
}

bool identify_descriptor(int fd, FileIdentity *identity)
{
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), identity);
}

// Windows lists no handles of a process to the process itself: ask each value that a handle can have.
// The report streams only write, so they are left out.
bool is_open_for_reading(const FileIdentity &file)
{
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE), errors = GetStdHandle(STD_ERROR_HANDLE);
    for (std::uintptr_t value = 4; value <= highest_handle_value; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        FileIdentity identity;
        if (handle != output && handle != errors && GetFileType(handle) == FILE_TYPE_DISK &&
            identify_handle(handle, &identity) && identity == file)
            return true;
    }
    return false;
}

bool replace_file(const char *filename, const char *data, std::size_t size)
{
    const std::wstring target = wide(filename);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && names_a_device(target))
        return write_in_place(target, data, size);
    if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
        return false;

    std::wstring temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
        temporary = folder_of(target) + L".vantrell-" + unguessable_name() + L".part";
        fd = _wopen(temporary.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return exists && errno == EACCES && write_in_place(target, data, size);
    bool written = true;
    for (std::size_t done = 0; written && done < size;) {
        const int chunk = _write(fd, data + done, static_cast<unsigned>(std::min<std::size_t>(size - done, 1 << 20)));
        written = chunk > 0;
        done += written ? static_cast<std::size_t>(chunk) : 0;
    }
    written = _close(fd) == 0 && written;
    // ReplaceFileW keeps the old file's attributes and security, as the rename of other systems keeps its mode;
    // where the file system cannot, a plain replacing move still puts the picture in place whole.
    const bool replaced =
        written && ((exists && ReplaceFileW(full_path(target).c_str(), full_path(temporary).c_str(), nullptr,
                                            REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) ||
                    MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING));
    if (!replaced)
        DeleteFileW(temporary.c_str());
    return replaced;
}

bool is_special_file(const char *filename)
{
    const std::wstring name = wide(filename);
    return GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES && names_a_device(name);
}

bool read_regular_file(const char *path, std::size_t limit, std::string *contents)
{
    HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    bool read_whole = GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) &&
                      static_cast<std::uint64_t>(size.QuadPart) <= limit;
    contents->clear();
    char buffer[16 * 1024];
    for (DWORD got = 1; read_whole && got > 0 && contents->size() <= limit;) {
        read_whole = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0;
        contents->append(buffer, read_whole ? got : 0);
    }
    CloseHandle(file);
    return read_whole && contents->size() <= limit;
}

// Each end holds the pipe that it reads and the one that it writes; closing the end closes both for it.
struct Connection::State {
    std::shared_ptr<Pipe> incoming, outgoing;
    std::shared_ptr<std::atomic<std::uint64_t>> note;
    ~State()
    {
        for (const auto &pipe : {incoming, outgoing}) {
            if (!pipe)
                continue;
            std::lock_guard<std::mutex> hold(pipe->lock);
            (pipe == incoming ? pipe->reader_closed : pipe->writer_closed) = true;
            pipe->changed.notify_all();
            SetEvent(pipe->arrived);
        }
    }
};

Connection::Connection(std::unique_ptr<State> state) : state_(std::move(state)) {}
Connection::~Connection() = default;

bool Connection::send(const void *data, std::size_t size)
{
    Pipe &pipe = *state_->outgoing;
    std::lock_guard<std::mutex> hold(pipe.lock);
    if (pipe.reader_closed)
        return false;
    pipe.bytes.append(static_cast<const char *>(data), size);
    pipe.changed.notify_all();
    SetEvent(pipe.arrived);
    return true;
}

long Connection::receive(void *data, std::size_t size, bool wait)
{
    Pipe &pipe = *state_->incoming;
    std::unique_lock<std::mutex> hold(pipe.lock);
    if (wait)
        pipe.changed.wait(hold, [&] { return pipe.taken < pipe.bytes.size() || pipe.writer_closed; });
    if (pipe.taken == pipe.bytes.size())
        return pipe.writer_closed ? 0 : -1;
    const std::size_t part = std::min(size, pipe.bytes.size() - pipe.taken);
    std::copy_n(pipe.bytes.data() + pipe.taken, part, static_cast<char *>(data));
    pipe.taken += part;
    if (pipe.taken == pipe.bytes.size()) {
        pipe.bytes.clear();
        pipe.taken = 0;
    }
    return static_cast<long>(part);
}

std::atomic<std::uint64_t> *Connection::gate_word() { return state_->note.get(); }

// Windows cannot wait on a console or an anonymous pipe beside other things: a thread of its own reads
// standard input into a pipe of this process.
std::unique_ptr<Connection> standard_input()
{
    auto pipe = std::make_shared<Pipe>();
    std::thread([pipe] {
        char buffer[64 * 1024];
        int got;  // what has come, unlike fread, which would wait for the whole buffer
        while ((got = _read(0, buffer, sizeof buffer)) > 0) {
            std::lock_guard<std::mutex> hold(pipe->lock);
            pipe->bytes.append(buffer, static_cast<std::size_t>(got));
            SetEvent(pipe->arrived);
        }
        std::lock_guard<std::mutex> hold(pipe->lock);
        pipe->writer_closed = true;
        SetEvent(pipe->arrived);
    }).detach();
    return Connection::of(pipe, nullptr, nullptr);
}

std::vector<bool> wait_for_activity(const std::vector<Connection *> &connections, int milliseconds)
{
    std::vector<HANDLE> events;
    bool waiting = true;
    for (Connection *connection : connections) {
        waiting = waiting && !connection->state().incoming->has_news();
        events.push_back(connection->state().incoming->arrived);
    }
    if (waiting && events.empty()) {
        Sleep(milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds));
    } else if (waiting) {
        // A wait takes at most MAXIMUM_WAIT_OBJECTS handles; beyond them, it looks again soon.
        const bool all = events.size() <= MAXIMUM_WAIT_OBJECTS;
        const DWORD limit = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
        WaitForMultipleObjects(static_cast<DWORD>(std::min<std::size_t>(events.size(), MAXIMUM_WAIT_OBJECTS)),
                               events.data(), FALSE, all ? limit : std::min<DWORD>(limit, 10));
    }
    return std::vector<bool>(connections.size(), true);
}

// Without fork, a reader is a thread of this process: it shares the run's fate, so neither a crash nor
// an endless loop in the library can be survived, and it has no processor time of its own to measure.
struct Reader::State {
    std::unique_ptr<Connection> connection;
    std::thread thread;
};

struct ReaderOrigin::State {
    ReaderMain reader_main;
};

std::unique_ptr<ReaderOrigin> ReaderOrigin::start(ReaderMain reader_main, bool)
{
    return std::make_unique<ReaderOrigin>(std::unique_ptr<State>(new State{std::move(reader_main)}));
}

ReaderOrigin::ReaderOrigin(std::unique_ptr<State> state) : state_(std::move(state)) {}

ReaderOrigin::~ReaderOrigin() = default;

std::unique_ptr<Reader> ReaderOrigin::start_reader(bool)
{
    auto to_reader = std::make_shared<Pipe>(), to_supervisor = std::make_shared<Pipe>();
    auto note = std::make_shared<std::atomic<std::uint64_t>>(0);
    auto supervisor_end = Connection::of(to_supervisor, to_reader, note);
    std::thread thread([reader_main = state_->reader_main, to_reader, to_supervisor, note] {
        const std::unique_ptr<Connection> reader_end = Connection::of(to_reader, to_supervisor, note);
        reader_main(*reader_end, Unconfined::no);
    });
    return std::make_unique<Reader>(
        std::unique_ptr<Reader::State>(new Reader::State{std::move(supervisor_end), std::move(thread)}));
}

Reader::Reader(std::unique_ptr<State> state) : state_(std::move(state)) {}

Reader::~Reader() { end(); }

Connection &Reader::connection() { return *state_->connection; }

double Reader::processor_seconds() const { return 0; }

void Reader::stop() {}

void Reader::hang_up() { state_->connection.reset(); }

std::string Reader::end()
{
    hang_up();
    if (state_->thread.joinable())
        state_->thread.join();
    return {};
}

// Readers are threads here, and handles are not counted against a small limit.
unsigned descriptors() { return 1u << 14; }

unsigned processors() { return std::max(1u, std::thread::hardware_concurrency()); }

double processor_seconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    const auto seconds = [](const FILETIME &time) {
        return static_cast<double>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

bool standard_error_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

// A console takes escape sequences only when asked to; spaces do the same on any.
const char *line_clearing()
{
    return "\r                                                                               \r";
}

void end_program()
{
    std::fflush(stdout);
    std::exit(0);
}

void reuse_freed_memory() {}

void detach_from_standard_streams() {}

void keep_process_private() {}

std::thread start_thread(std::function<void()> work) { return std::thread(std::move(work)); }

void binary_standard_input() { _setmode(_fileno(stdin), _O_BINARY); }

// Windows gives main its arguments in the ANSI code page, which cannot hold every name; the wide
// command line can, and the library takes file names in UTF-8.
std::vector<std::string> utf8_arguments(int, char **)
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> converted;
    for (int i = 0; arguments && i < count; i++)
        converted.push_back(utf8(arguments[i]));
    LocalFree(arguments);
    return converted;
}

// Schannel verifies against the Windows certificate store.
const char *ca_bundle() { return nullptr; }

}  // namespace platform
