// The platform layer on Linux and other POSIX systems.
#include "platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include "confinement.h"

#include <sys/prctl.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace platform {
namespace {

FileIdentity identity_of(const struct stat &info)
{
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino), S_ISCHR(info.st_mode)};
}

struct DirectoryCloser {
    void operator()(DIR *directory) const { closedir(directory); }
};

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

// Output files and redirected reports only write; a descriptor counts when it reads.
bool reads(int flags) { return (flags & O_ACCMODE) != O_WRONLY; }

// The descriptors listed in /proc/self/fd, whose own descriptor is closed again on return; false without /proc.
bool list_descriptors(std::vector<std::string> *names)
{
    std::unique_ptr<DIR, DirectoryCloser> listing(opendir("/proc/self/fd"));
    if (!listing)
        return false;
    while (const dirent *entry = readdir(listing.get())) {
        if (std::strspn(entry->d_name, "0123456789") == std::strlen(entry->d_name))
            names->push_back(entry->d_name);
    }
    return true;
}

// The descriptor by its name in /proc rather than by number, since another thread may close it meanwhile.
bool reads_file(const std::string &fd, const FileIdentity &file)
{
    struct stat info;
    if (stat(("/proc/self/fd/" + fd).c_str(), &info) != 0 || !(identity_of(info) == file))
        return false;
    std::unique_ptr<std::FILE, FileCloser> details(std::fopen(("/proc/self/fdinfo/" + fd).c_str(), "r"));
    char line[128];
    unsigned flags = 0;
    bool known = false;
    while (details && !known && std::fgets(line, sizeof line, details.get()))
        known = std::sscanf(line, "flags: %o", &flags) == 1;
    return known && reads(static_cast<int>(flags));
}

// The signals that end a run when the user asks wait while a new file lies under its temporary name, so
// that they take effect only once the name is gone or has become filename. A signal that was already
// blocked stays the caller's business.
class DeferredSignals {
  public:
    DeferredSignals()
    {
        sigemptyset(&deferred_);
        for (int signal : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&deferred_, signal);
        sigprocmask(SIG_BLOCK, &deferred_, &previous_);
    }
    ~DeferredSignals() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    DeferredSignals(const DeferredSignals &) = delete;
    DeferredSignals &operator=(const DeferredSignals &) = delete;

    bool pending() const
    {
        sigset_t waiting;
        sigpending(&waiting);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            if (sigismember(&waiting, signal) && !sigismember(&previous_, signal))
                return true;
        }
        return false;
    }

  private:
    sigset_t deferred_, previous_;
};

// A new file in folder, removed again unless it is kept under another name.
class TemporaryFile {
  public:
    explicit TemporaryFile(const std::string &folder)
    {
        for (int attempt = 0; attempt < 100 && fd_ < 0; attempt++) {
            name_ = folder + ".vantrell-" + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".part";
            fd_ = open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ < 0 && errno != EEXIST)
                break;
        }
        if (fd_ < 0)
            name_.clear();
    }
    ~TemporaryFile()
    {
        if (fd_ >= 0)
            close(fd_);
        if (!name_.empty())
            unlink(name_.c_str());
    }
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    int fd() const { return fd_; }

    bool close_and_rename(const std::string &target)
    {
        const int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0 || rename(name_.c_str(), target.c_str()) != 0)
            return false;
        name_.clear();
        return true;
    }

  private:
    int fd_ = -1;
    std::string name_;
};

// The folder part of a path, with its slash; empty for a name in the working folder.
std::string folder_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The name that writing through path reaches, path with each symbolic link replaced by its target, and
// whether something is there (what, in info).
std::string follow_links(const char *path, struct stat *info, bool *exists)
{
    std::string followed = path;
    for (int depth = 0; depth < 40; depth++) {
        char target[4096];
        *exists = lstat(followed.c_str(), info) == 0;
        if (!*exists || !S_ISLNK(info->st_mode))
            return followed;
        const ssize_t length = readlink(followed.c_str(), target, sizeof target);
        if (length <= 0 || static_cast<std::size_t>(length) == sizeof target)
            break;
        const std::string link(target, static_cast<std::size_t>(length));
        followed = link[0] == '/' ? link : folder_of(followed) + link;
    }
    *exists = stat(followed.c_str(), info) == 0;
    return followed;
}

bool write_in_place(const char *filename, const char *data, std::size_t size)
{
    std::unique_ptr<std::FILE, FileCloser> out(std::fopen(filename, "wb"));
    if (!out)
        return false;
    const bool written = std::fwrite(data, size, 1, out.get()) == 1;
    return std::fclose(out.release()) == 0 && written;
}

// Writes every byte through write_some, which writes what it can of what it is given; false when it fails.
template <typename WriteSome> bool write_every_byte(const char *data, std::size_t size, WriteSome write_some)
{
    while (size > 0) {
        const ssize_t written = write_some(data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Between chunks of a large picture, a signal to end the run is looked for.
bool write_file(int fd, const char *data, std::size_t size, const DeferredSignals &deferred)
{
    bool first = true;
    return write_every_byte(data, size, [&](const char *bytes, std::size_t left) -> ssize_t {
        if (!std::exchange(first, false) && deferred.pending()) {
            errno = ECANCELED;
            return -1;
        }
        return write(fd, bytes, std::min<std::size_t>(left, 1 << 20));
    });
}

}  // namespace

bool identify_path(const char *path, FileIdentity *identity)
{
    struct stat info;
    if (stat(path, &info) != 0)
        return false;
    *identity = identity_of(info);
    return true;
}

bool identify_descriptor(int fd, FileIdentity *identity)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return false;
    *identity = identity_of(info);
    return true;
}

bool is_open_for_reading(const FileIdentity &file)
{
    std::vector<std::string> names;
    if (list_descriptors(&names))
        return std::any_of(names.begin(), names.end(), [&](const std::string &fd) { return reads_file(fd, file); });
    // Without /proc (an empty root, some BSDs), ask every number that a descriptor of ours can have.
    const long limit = sysconf(_SC_OPEN_MAX);
    for (int fd = 0; fd < (limit > 0 && limit < 65536 ? limit : 65536); fd++) {
        struct stat info;
        const int flags = fcntl(fd, F_GETFL);
        if (flags != -1 && reads(flags) && fstat(fd, &info) == 0 && identity_of(info) == file)
            return true;
    }
    return false;
}

bool replace_file(const char *filename, const char *data, std::size_t size)
{
    struct stat old;
    bool exists = false;
    const std::string target = follow_links(filename, &old, &exists);
    if (exists && !S_ISREG(old.st_mode))
        return write_in_place(filename, data, size);
    // The file itself must be writable, as for a write in place: read-only and immutable files stay.
    if (exists && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
        return false;

    const DeferredSignals deferred;
    TemporaryFile temporary(folder_of(target));
    if (temporary.fd() < 0)
        return exists && (errno == EACCES || errno == EPERM) && write_in_place(filename, data, size);
    struct stat made;
    if (exists && fstat(temporary.fd(), &made) == 0) {
        // Another owner's file keeps its owner where the system allows it; its permission bits always.
        const bool other_owner = made.st_uid != old.st_uid || made.st_gid != old.st_gid;
        if (other_owner && fchown(temporary.fd(), old.st_uid, old.st_gid) != 0) {
            // Only privilege could give it away: the new file stays ours.
        }
        if ((made.st_mode & 07777) != (old.st_mode & 07777) && fchmod(temporary.fd(), old.st_mode & 07777) != 0)
            return false;
    }
    return write_file(temporary.fd(), data, size, deferred) && temporary.close_and_rename(target);
}

// A word shared by a reader and its supervisor, which survives the reader: the gate of their connection.
struct SharedNote {
    std::atomic<std::uint64_t> *count = nullptr;
    SharedNote()
    {
        void *page = mmap(nullptr, sizeof *count, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (page != MAP_FAILED)
            count = new (page) std::atomic<std::uint64_t>(0);
    }
    ~SharedNote()
    {
        if (count)
            munmap(count, sizeof *count);
    }
    SharedNote(const SharedNote &) = delete;
    SharedNote &operator=(const SharedNote &) = delete;
};

// A descriptor, and whether it is a socket: standard input is read without changing how it blocks, which
// it shares with other processes. A reader's connection carries its note.
struct Connection::State {
    int fd;
    bool socket;
    bool owned;
    std::shared_ptr<SharedNote> note;
    std::atomic<std::uint64_t> *gate() const { return note ? note->count : nullptr; }
    ~State()
    {
        if (owned)
            close(fd);
    }
};

Connection::Connection(std::unique_ptr<State> state) : state_(std::move(state)) {}
Connection::~Connection() = default;

namespace {

// A connection whose state holds these fields.
template <typename... Fields> std::unique_ptr<Connection> connection_of(Fields &&...fields)
{
    return std::make_unique<Connection>(
        std::unique_ptr<Connection::State>(new Connection::State{std::forward<Fields>(fields)...}));
}

}  // namespace

bool Connection::send(const void *data, std::size_t size)
{
    return write_every_byte(static_cast<const char *>(data), size, [this](const char *bytes, std::size_t left) {
        return state_->socket ? ::send(state_->fd, bytes, left, MSG_NOSIGNAL) : write(state_->fd, bytes, left);
    });
}

long Connection::receive(void *data, std::size_t size, bool wait)
{
    if (!wait && !state_->socket) {
        pollfd ready = {state_->fd, POLLIN, 0};
        if (poll(&ready, 1, 0) == 0)
            return -1;
    }
    for (;;) {
        const ssize_t received = state_->socket ? recv(state_->fd, data, size, wait ? 0 : MSG_DONTWAIT)
                                                : read(state_->fd, data, size);
        if (received >= 0)
            return static_cast<long>(received);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        if (errno != EINTR)
            return 0;
    }
}

namespace {

// The gate's word: the number of the last pair begun in the high half; in the low, the last pair taken back,
// which with every pair before it the reader does not begin: pairs are taken back only from behind the one
// being read, and every pair before that one has been begun.
constexpr std::uint64_t low_half = 0xffffffffu;

}  // namespace

bool Connection::begin_pair(std::uint64_t number)
{
    if (!state_->gate())
        return true;
    std::uint64_t gate = state_->gate()->load();
    do {
        if (number <= (gate & low_half))
            return false;
    } while (!state_->gate()->compare_exchange_weak(gate, (number << 32) | (gate & low_half)));
    return true;
}

bool Connection::take_back_pairs_after(std::uint64_t reading, std::uint64_t through)
{
    if (!state_->gate())
        return false;
    std::uint64_t gate = state_->gate()->load();
    do {
        if ((gate >> 32) != reading)
            return false;
    } while (!state_->gate()->compare_exchange_weak(gate, (gate & ~low_half) | (through & low_half)));
    return true;
}

std::uint64_t Connection::pairs_begun() const { return state_->gate() ? state_->gate()->load() >> 32 : 0; }

std::unique_ptr<Connection> standard_input()
{
    return connection_of(0, false, false, nullptr);
}

std::vector<bool> wait_for_activity(const std::vector<Connection *> &connections, int milliseconds)
{
    std::vector<pollfd> watched;
    for (Connection *connection : connections)
        watched.push_back({connection->state().fd, POLLIN, 0});
    int result;
    while ((result = poll(watched.data(), watched.size(), milliseconds)) < 0 && errno == EINTR) {
    }
    std::vector<bool> news(watched.size(), result < 0);
    for (std::size_t i = 0; result > 0 && i < watched.size(); i++)
        news[i] = watched[i].revents != 0;
    return news;
}

struct Reader::State {
    pid_t pid;
    std::unique_ptr<Connection> connection;
    clockid_t processor_clock;
    bool has_processor_clock;
    bool reaped = false;
    int status = 0;
};

namespace {

// What a reader holds of the supervisor's standard streams: standard error, for the library's diagnostics,
// and standard input only when it may be a source. Nothing can write to the supervisor's standard output,
// not even a second time what stdio held in its buffers at the fork.
void take_reader_streams(bool keeps_standard_input)
{
    int ends[2];
    if (!keeps_standard_input && pipe(ends) == 0) {  // an input that is at its end
        close(ends[1]);
        dup2(ends[0], 0);
        close(ends[0]);
    }
    if (pipe(ends) == 0) {  // an output that nobody reads
        close(ends[0]);
        dup2(ends[1], 1);
        close(ends[1]);
    }
}

double seconds_on(clockid_t clock)
{
    timespec used;
    if (clock_gettime(clock, &used) != 0)
        return 0;
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

std::string describe_end(int status)
{
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const char *name = strsignal(signal);
        return "was killed by signal " + std::to_string(signal) + (name ? std::string(" (") + name + ")" : "");
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    return {};
}

}  // namespace

std::unique_ptr<Reader> Reader::start(const std::function<void(Connection &)> &serve, bool keeps_standard_input,
                                      const std::vector<Connection *> &others)
{
    int ends[2];
    auto note = std::make_shared<SharedNote>();
    if (!note->count || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return nullptr;
    std::fflush(nullptr);
    const pid_t supervisor = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(ends[0]);
        close(ends[1]);
        return nullptr;
    }
    if (pid == 0) {
#ifdef __linux__
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // a reader never outlives its supervisor
#endif
        if (getppid() != supervisor)
            _exit(0);
        close(ends[0]);
        for (Connection *other : others)
            close(other->state().fd);
        take_reader_streams(keeps_standard_input);
#ifdef __linux__
        confine_reader();
#endif
        const std::unique_ptr<Connection> connection = connection_of(ends[1], true, true, note);
        serve(*connection);
        end_program();
    }
    close(ends[1]);
    auto connection = connection_of(ends[0], true, true, std::move(note));
    clockid_t clock;
    const bool has_clock = clock_getcpuclockid(pid, &clock) == 0;
    return std::make_unique<Reader>(std::unique_ptr<State>(new State{pid, std::move(connection), clock, has_clock}));
}

Reader::Reader(std::unique_ptr<State> state) : state_(std::move(state)) {}

Reader::~Reader() { end(); }

Connection &Reader::connection() { return *state_->connection; }

double Reader::processor_seconds() const
{
    return state_->has_processor_clock ? seconds_on(state_->processor_clock) : 0;
}

void Reader::stop()
{
    if (!state_->reaped)
        kill(state_->pid, SIGKILL);
}

void Reader::hang_up() { state_->connection.reset(); }

std::string Reader::end()
{
    // A reader that broke down ends by itself, and its status says how; one that waits for a pair ends when
    // it is told that none will come. Its end of the connection closes as it exits: that is waited for, and
    // then the status. One that holds on regardless is ended after a while.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    if (state_->connection && !state_->reaped) {
        const int fd = state_->connection->state().fd;
        shutdown(fd, SHUT_WR);
        char rest[4096];
        for (pollfd closing = {fd, POLLIN, 0}; std::chrono::steady_clock::now() < deadline;) {
            if (poll(&closing, 1, 100) > 0 && read(fd, rest, sizeof rest) <= 0)
                break;
        }
    }
    hang_up();
    for (auto pause = std::chrono::microseconds(20); !state_->reaped;
         pause = std::min(2 * pause, std::chrono::microseconds(1000))) {
        const pid_t waited = waitpid(state_->pid, &state_->status, WNOHANG);
        if (waited == state_->pid || (waited < 0 && errno != EINTR)) {
            state_->reaped = true;
        } else if (std::chrono::steady_clock::now() >= deadline) {
            kill(state_->pid, SIGKILL);
            waitpid(state_->pid, &state_->status, 0);
            state_->reaped = true;
        } else {
            std::this_thread::sleep_for(pause);
        }
    }
    return describe_end(state_->status);
}

unsigned descriptors()
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 256;
    if (limit.rlim_cur < limit.rlim_max) {
        const rlim_t soft = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            limit.rlim_cur = soft;
    }
    return static_cast<unsigned>(std::min<rlim_t>(limit.rlim_cur, 1u << 20));
}

unsigned processors()
{
#ifdef __linux__
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return static_cast<unsigned>(CPU_COUNT(&allowed));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

double processor_seconds() { return seconds_on(CLOCK_PROCESS_CPUTIME_ID); }

bool standard_error_is_terminal() { return isatty(2) == 1; }

const char *line_clearing() { return "\r\033[K"; }

extern "C" void __lsan_do_leak_check() __attribute__((weak));

void end_program()
{
    std::fflush(stdout);
    if (__lsan_do_leak_check)
        __lsan_do_leak_check();
    _exit(0);
}

void reuse_freed_memory()
{
#ifdef __GLIBC__
    // Up to 16 MiB of freed heap stays for the next pair; blocks of 1 MiB or more, such as large pictures,
    // still go back to the system as soon as they are freed, so memory stays flat.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
#endif
}

void detach_from_standard_streams()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);  // a file-size limit makes a write fail, as a full disk does
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) == -1)
            std::_Exit(0);
    }
}

void binary_standard_input() {}

std::vector<std::string> utf8_arguments(int argc, char **argv) { return {argv, argv + argc}; }

// SSL_CERT_FILE when set, else the system's bundle where the usual systems keep it. When none is there,
// the first name still goes to the library, which then trusts nothing at all rather than everyone.
const char *ca_bundle()
{
    const char *chosen = std::getenv("SSL_CERT_FILE");
    if (chosen && *chosen)
        return chosen;
    static const char *const system_bundles[] = {
        "/etc/ssl/certs/ca-certificates.crt",                // Debian, Ubuntu, Alpine, Arch
        "/etc/pki/tls/certs/ca-bundle.crt",                  // Fedora, RHEL
        "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", // Fedora, RHEL
        "/etc/ssl/ca-bundle.pem",                            // openSUSE
        "/etc/ssl/cert.pem",                                 // Alpine, macOS, the BSDs
    };
    for (const char *bundle : system_bundles) {
        if (access(bundle, R_OK) == 0)
            return bundle;
    }
    return system_bundles[0];
}

}  // namespace platform
