// The platform layer on Linux.
#include "platform.h"

#include "confinement.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef SYS_close_range
#define SYS_close_range 436  // one number on every architecture, younger than some C libraries built against
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

// Every signal that ends the run by default and that someone else sends (faults of the program's own, such
// as SIGSEGV, cannot wait), in the order of the C library's set.
sigset_t signals_that_end_the_run()
{
    sigset_t signals;
    sigfillset(&signals);
    for (int kept : {SIGKILL, SIGSTOP, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT, SIGCHLD, SIGCONT,
                     SIGURG, SIGWINCH, SIGTSTP, SIGTTIN, SIGTTOU})
        sigdelset(&signals, kept);
    return signals;
}

// The signals that end a run wait while a new file lies under its temporary name, so that they take effect
// only once the name is gone or has become filename. A signal that was already blocked stays the caller's
// business.
class DeferredSignals {
  public:
    DeferredSignals() : deferred_(signals_that_end_the_run()) { pthread_sigmask(SIG_BLOCK, &deferred_, &previous_); }
    ~DeferredSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    DeferredSignals(const DeferredSignals &) = delete;
    DeferredSignals &operator=(const DeferredSignals &) = delete;

    bool pending() const
    {
        sigset_t waiting;
        sigpending(&waiting);
        for (int signal = 1; signal < NSIG; signal++) {
            if (sigismember(&deferred_, signal) == 1 && sigismember(&waiting, signal) == 1 &&
                sigismember(&previous_, signal) != 1)
                return true;
        }
        return false;
    }

  private:
    const sigset_t deferred_;
    sigset_t previous_;
};

// A name that nobody can guess, so that nobody can take it first or wait for it.
std::string unguessable_name()
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char random[16];
    std::size_t got = 0;
    while (got < sizeof random) {
        const ssize_t more = getrandom(random + got, sizeof random - got, 0);
        if (more < 0 && errno == EINTR)
            continue;
        if (more <= 0)
            break;
        got += static_cast<std::size_t>(more);
    }
    if (got < sizeof random) {  // no getrandom: the clock and the process, which at least differ
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count() ^ (std::int64_t(getpid()) << 40);
        for (std::size_t i = 0; i < sizeof random; i++)
            random[i] = static_cast<unsigned char>(now >> (8 * (i % 8))) ^ static_cast<unsigned char>(i * 131);
    }
    std::string name;
    for (const unsigned char byte : random)
        name += letters[byte % (sizeof letters - 1)];
    return name;
}

// A new file in folder, removed again unless it is kept under another name.
class TemporaryFile {
  public:
    explicit TemporaryFile(const std::string &folder)
    {
        for (int attempt = 0; attempt < 100 && fd_ < 0; attempt++) {
            name_ = folder + ".vantrell-" + unguessable_name() + ".part";
            fd_ = open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
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

// The kernel's rule for links (fs.protected_symlinks), kept whatever the system's setting: in a folder
// that is sticky and that everyone may write, such as /tmp, only a link of this user's or of the folder's
// owner is followed, so that nobody can aim a name that this user writes at a file of theirs.
bool may_follow(const std::string &link, const struct stat &info)
{
    struct stat folder;
    const std::string name = folder_of(link);
    if (info.st_uid == geteuid() || stat(name.empty() ? "." : name.c_str(), &folder) != 0)
        return info.st_uid == geteuid();
    return !((folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH)) || folder.st_uid == info.st_uid;
}

// What writing through a path reaches.
struct Destination {
    std::string name;     // path with each symbolic link replaced by its target
    bool refused = false; // a link that this user may not follow stands on the way
    bool exists = false;
    struct stat info = {};
};

Destination follow_links(const char *path)
{
    Destination to;
    to.name = path;
    for (int depth = 0; depth < 40; depth++) {
        char target[4096];
        to.exists = lstat(to.name.c_str(), &to.info) == 0;
        if (!to.exists || !S_ISLNK(to.info.st_mode))
            return to;
        if (!may_follow(to.name, to.info)) {
            to.refused = true;
            return to;
        }
        const ssize_t length = readlink(to.name.c_str(), target, sizeof target);
        if (length <= 0 || static_cast<std::size_t>(length) == sizeof target)
            break;
        const std::string link(target, static_cast<std::size_t>(length));
        to.name = link[0] == '/' ? link : folder_of(to.name) + link;
    }
    to.exists = stat(to.name.c_str(), &to.info) == 0;
    return to;
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

// A FIFO that nobody reads takes nothing rather than hold its writer; one that is read gets every byte.
bool write_in_place(const std::string &name, const char *data, std::size_t size)
{
    const int fd = open(name.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const int flags = fcntl(fd, F_GETFL);
    const bool written = flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 &&
                         write_every_byte(data, size, [fd](const char *bytes, std::size_t left) {
                             return write(fd, bytes, std::min<std::size_t>(left, 1 << 20));
                         });
    return close(fd) == 0 && written;
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
    // Without /proc (an empty root), ask every number that a descriptor of ours can have.
    const long limit = sysconf(_SC_OPEN_MAX);
    for (int fd = 0; fd < (limit > 0 && limit < 65536 ? limit : 65536); fd++) {
        struct stat info;
        const int flags = fcntl(fd, F_GETFL);
        if (flags != -1 && reads(flags) && fstat(fd, &info) == 0 && identity_of(info) == file)
            return true;
    }
    return false;
}

bool is_special_file(const char *filename)
{
    const Destination to = follow_links(filename);
    return !to.refused && to.exists && !S_ISREG(to.info.st_mode);
}

bool replace_file(const char *filename, const char *data, std::size_t size)
{
    const Destination to = follow_links(filename);
    if (to.refused)
        return false;
    if (to.exists && !S_ISREG(to.info.st_mode))
        return write_in_place(to.name, data, size);
    // The file itself must be writable, as for a write in place: read-only and immutable files stay.
    if (to.exists && faccessat(AT_FDCWD, to.name.c_str(), W_OK, AT_EACCESS) != 0)
        return false;

    const DeferredSignals deferred;
    TemporaryFile temporary(folder_of(to.name));
    if (temporary.fd() < 0)
        return to.exists && (errno == EACCES || errno == EPERM) && write_in_place(to.name, data, size);
    struct stat made;
    if (to.exists && fstat(temporary.fd(), &made) == 0) {
        // Another owner's file keeps its owner where the system allows it; its permission bits always.
        const bool other_owner = made.st_uid != to.info.st_uid || made.st_gid != to.info.st_gid;
        if (other_owner && fchown(temporary.fd(), to.info.st_uid, to.info.st_gid) != 0) {
            // Only privilege could give it away: the new file stays ours.
        }
        if ((made.st_mode & 07777) != (to.info.st_mode & 07777) &&
            fchmod(temporary.fd(), to.info.st_mode & 07777) != 0)
            return false;
    }
    return write_file(temporary.fd(), data, size, deferred) && temporary.close_and_rename(to.name);
}

bool read_regular_file(const char *path, std::size_t limit, std::string *contents)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    bool read_whole = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) <= limit;
    contents->clear();
    char buffer[16 * 1024];
    for (ssize_t got = 1; read_whole && got > 0 && contents->size() <= limit;) {
        got = read(fd, buffer, sizeof buffer);
        if (got > 0)
            contents->append(buffer, static_cast<std::size_t>(got));
        read_whole = got >= 0 || errno == EINTR;
    }
    close(fd);
    return read_whole && contents->size() <= limit;
}

// The word of a reader's gate, in memory that the supervisor and that one reader map from a file of memory,
// which the supervisor hands over and which can grow or shrink no more.
class GateMemory {
  public:
    // A new word, and the file that maps it, for the reader.
    static std::unique_ptr<GateMemory> create(int *fd)
    {
        *fd = memfd_create("vantrell-gate", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (*fd < 0)
            return nullptr;
        if (ftruncate(*fd, sizeof(std::uint64_t)) != 0 ||
            fcntl(*fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
            close(*fd);
            return nullptr;
        }
        std::unique_ptr<GateMemory> memory = map(*fd);
        if (!memory)
            close(*fd);
        return memory;
    }
    static std::unique_ptr<GateMemory> map(int fd)
    {
        void *page = mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (page == MAP_FAILED)
            return nullptr;
        return std::unique_ptr<GateMemory>(new GateMemory(static_cast<std::atomic<std::uint64_t> *>(page)));
    }
    ~GateMemory() { munmap(word_, sizeof *word_); }
    GateMemory(const GateMemory &) = delete;
    GateMemory &operator=(const GateMemory &) = delete;

    std::atomic<std::uint64_t> *word() const { return word_; }

  private:
    explicit GateMemory(std::atomic<std::uint64_t> *word) : word_(word) {}
    std::atomic<std::uint64_t> *word_;
};

// A descriptor, and whether it is a socket: standard input is read without changing how it blocks, which
// it shares with other processes. A reader's connection carries its gate.
struct Connection::State {
    int fd;
    bool socket;
    bool owned;
    std::unique_ptr<GateMemory> gate;
    ~State()
    {
        if (owned)
            close(fd);
    }
};

Connection::Connection(std::unique_ptr<State> state) : state_(std::move(state)) {}
Connection::~Connection() = default;

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

std::atomic<std::uint64_t> *Connection::gate_word() { return state_->gate ? state_->gate->word() : nullptr; }

std::unique_ptr<Connection> standard_input() { return Connection::of(0, false, false, nullptr); }

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

namespace {

// What the supervisor asks of the process that readers come from, and what it answers.
enum Request : char { start_request = 'S', reap_request = 'W' };
// A reader that has not ended this long after it was told to is ended.
constexpr auto ending_patience = std::chrono::seconds(10);
// Where a reader finds its connection, and where readers' origin finds its own.
constexpr int connection_fd = 3;

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

// Closes every descriptor from lowest on, but those that the process was asked to keep below it.
void close_descriptors_from(int lowest)
{
    if (syscall(SYS_close_range, static_cast<unsigned>(lowest), ~0u, 0) == 0)
        return;
    std::vector<std::string> names;
    if (list_descriptors(&names)) {
        for (const std::string &name : names) {
            if (std::atoi(name.c_str()) >= lowest)
                close(std::atoi(name.c_str()));
        }
        return;
    }
    const long limit = sysconf(_SC_OPEN_MAX);
    for (int fd = lowest; fd < (limit > 0 && limit < 65536 ? limit : 65536); fd++)
        close(fd);
}

// Standard input only when it may be a source, as an input at its end otherwise; standard output an output
// that nobody reads, not even what stdio held in its buffers at the fork.
void take_reader_streams(bool keeps_standard_input)
{
    int ends[2];
    if (!keeps_standard_input && pipe(ends) == 0) {
        close(ends[1]);
        dup2(ends[0], 0);
        close(ends[0]);
    }
    if (pipe(ends) == 0) {
        close(ends[0]);
        dup2(ends[1], 1);
        close(ends[1]);
    }
}

// A process made here ends with the one that made it.
bool ends_with_parent(pid_t parent)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    return getppid() == parent;
}

// A message of the supervisor's to readers' origin, with descriptors to hand over.
bool send_with_descriptors(int socket, const void *data, std::size_t size, const std::vector<int> &fds)
{
    iovec part = {const_cast<void *>(data), size};
    msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
    if (!fds.empty()) {
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(header), fds.data(), sizeof(int) * fds.size());
    }
    ssize_t sent;
    while ((sent = sendmsg(socket, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return sent == static_cast<ssize_t>(size);
}

// A message and the descriptors that came with it; -1 at the end.
ssize_t receive_with_descriptors(int socket, void *data, std::size_t size, std::vector<int> *fds)
{
    iovec part = {data, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received;
    while ((received = recvmsg(socket, &message, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
    }
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); received >= 0 && header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; i++) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            fds->push_back(fd);
        }
    }
    return received;
}

// Waits for a reader that was told to end, and ends it once it has taken too long; its status.
int reap(pid_t pid)
{
    const auto deadline = std::chrono::steady_clock::now() + ending_patience;
    int status = 0;
    for (auto pause = std::chrono::microseconds(20);; pause = std::min(2 * pause, std::chrono::microseconds(1000))) {
        const pid_t waited = waitpid(pid, &status, WNOHANG);
        if (waited == pid || (waited < 0 && errno != EINTR))
            return waited == pid ? status : 0;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return status;
        }
        std::this_thread::sleep_for(pause);
    }
}

// A reader, just made: it keeps its connection, its gate and the streams it was given, and confines itself
// before it reads.
[[noreturn]] void become_reader(pid_t origin, int connection, int gate_fd, bool network, const ReaderMain &reader_main)
{
    if (!ends_with_parent(origin))
        _exit(0);
    std::unique_ptr<GateMemory> gate = GateMemory::map(gate_fd);
    if (!gate)
        _exit(1);
    dup2(connection, connection_fd);
    close_descriptors_from(connection_fd + 1);
    const Unconfined unconfined = confine_reader(network);
    const std::unique_ptr<Connection> supervisor = Connection::of(connection_fd, true, true, std::move(gate));
    reader_main(*supervisor, unconfined);
    end_program();
}

// Where readers come from: it holds no pair, makes a reader for each request and reaps it when asked, so
// that a reader's number stays its own until the supervisor has done with it.
[[noreturn]] void serve_as_origin(int supervisor, const ReaderMain &reader_main)
{
    const pid_t self = getpid();
    for (;;) {
        char request[16];
        std::vector<int> fds;
        const ssize_t received = receive_with_descriptors(supervisor, request, sizeof request, &fds);
        if (received <= 0)
            _exit(0);
        if (request[0] == start_request && received == 2 && fds.size() == 2) {
            const pid_t pid = fork();
            if (pid == 0) {
                close(supervisor);
                become_reader(self, fds[0], fds[1], request[1] == '1', reader_main);
            }
            const std::int64_t answer = pid;
            if (send(supervisor, &answer, sizeof answer, MSG_NOSIGNAL) != sizeof answer)
                _exit(0);
        } else if (request[0] == reap_request && received == 1 + sizeof(std::int64_t)) {
            std::int64_t pid;
            std::memcpy(&pid, request + 1, sizeof pid);
            const std::int64_t status = reap(static_cast<pid_t>(pid));
            if (send(supervisor, &status, sizeof status, MSG_NOSIGNAL) != sizeof status)
                _exit(0);
        }
        for (const int fd : fds)
            close(fd);
    }
}

}  // namespace

struct ReaderOrigin::State {
    pid_t pid;
    int socket;

    // Sends a request and waits for its answer; false when the origin is gone.
    bool ask(const std::string &request, const std::vector<int> &fds, std::int64_t *answer)
    {
        if (!send_with_descriptors(socket, request.data(), request.size(), fds))
            return false;
        ssize_t received;
        while ((received = recv(socket, answer, sizeof *answer, 0)) < 0 && errno == EINTR) {
        }
        return received == sizeof *answer;
    }
};

struct Reader::State {
    pid_t pid;
    ReaderOrigin::State *origin;
    std::unique_ptr<Connection> connection;
    clockid_t processor_clock;
    bool has_processor_clock;
    bool reaped = false;
    int status = 0;
};

std::unique_ptr<ReaderOrigin> ReaderOrigin::start(ReaderMain reader_main, bool keeps_standard_input)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
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
        if (!ends_with_parent(supervisor))
            _exit(0);
        take_reader_streams(keeps_standard_input);
        dup2(ends[1], connection_fd);
        close_descriptors_from(connection_fd + 1);
        serve_as_origin(connection_fd, reader_main);
    }
    close(ends[1]);
    return std::make_unique<ReaderOrigin>(std::unique_ptr<State>(new State{pid, ends[0]}));
}

ReaderOrigin::ReaderOrigin(std::unique_ptr<State> state) : state_(std::move(state)) {}

ReaderOrigin::~ReaderOrigin()
{
    close(state_->socket);  // the origin ends once it sees that nothing more will come
    while (waitpid(state_->pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

std::unique_ptr<Reader> ReaderOrigin::start_reader(bool network)
{
    int ends[2], gate_fd = -1;
    std::unique_ptr<GateMemory> gate = GateMemory::create(&gate_fd);
    if (!gate)
        return nullptr;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        close(gate_fd);
        return nullptr;
    }
    std::int64_t pid = -1;
    const bool asked = state_->ask(std::string{start_request, network ? '1' : '0'}, {ends[1], gate_fd}, &pid);
    close(ends[1]);
    close(gate_fd);
    if (!asked || pid <= 0) {
        close(ends[0]);
        return nullptr;
    }
    auto connection = Connection::of(ends[0], true, true, std::move(gate));
    clockid_t clock;
    const bool has_clock = clock_getcpuclockid(static_cast<pid_t>(pid), &clock) == 0;
    return std::make_unique<Reader>(std::unique_ptr<Reader::State>(
        new Reader::State{static_cast<pid_t>(pid), state_.get(), std::move(connection), clock, has_clock}));
}

Reader::Reader(std::unique_ptr<State> state) : state_(std::move(state)) {}

Reader::~Reader() { end(); }

Connection &Reader::connection() { return *state_->connection; }

double Reader::processor_seconds() const
{
    return state_->has_processor_clock && !state_->reaped ? seconds_on(state_->processor_clock) : 0;
}

// The reader's number stays its own until it is reaped, which only the supervisor asks for.
void Reader::stop()
{
    if (!state_->reaped)
        kill(state_->pid, SIGKILL);
}

void Reader::hang_up()
{
    if (state_->connection)
        shutdown(state_->connection->state().fd, SHUT_WR);
}

std::string Reader::end()
{
    if (state_->reaped)
        return describe_end(state_->status);
    // A reader that broke down ends by itself; one that waits for a pair ends when it is told that none will
    // come. Its end of the connection closes as it exits: that is waited for, and then its status.
    const auto deadline = std::chrono::steady_clock::now() + ending_patience;
    const int fd = state_->connection->state().fd;
    shutdown(fd, SHUT_WR);
    char rest[4096];
    for (pollfd closing = {fd, POLLIN, 0}; std::chrono::steady_clock::now() < deadline;) {
        if (poll(&closing, 1, 100) > 0 && read(fd, rest, sizeof rest) <= 0)
            break;
    }
    std::string request(1 + sizeof(std::int64_t), reap_request);
    const std::int64_t pid = state_->pid;
    std::memcpy(&request[1], &pid, sizeof pid);
    std::int64_t status = 0;
    if (!state_->origin->ask(request, {}, &status))
        status = 0;
    state_->status = static_cast<int>(status);
    state_->reaped = true;
    state_->connection.reset();
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
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return static_cast<unsigned>(CPU_COUNT(&allowed));
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
    // Up to 16 MiB of freed heap stays for the next pair; blocks of 1 MiB or more, such as large pictures,
    // still go back to the system as soon as they are freed, so memory stays flat.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
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

// A process that may not be dumped has its /proc entries owned by root, out of reach of the user's other
// processes, and of readers, which give up every capability.
void keep_process_private() { prctl(PR_SET_DUMPABLE, 0); }

std::thread start_thread(std::function<void()> work)
{
    sigset_t every, previous;
    sigfillset(&every);
    pthread_sigmask(SIG_BLOCK, &every, &previous);
    std::thread thread(std::move(work));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
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
