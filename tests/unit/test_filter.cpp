// The seccomp program that a reader takes, run here on a table of calls and arguments with the answer each
// must get, for the architecture of this build: a wrong jump or row cannot pass unseen.
#include "unit.h"

#include "confinement.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/fs.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <csignal>
#include <sched.h>
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

namespace {

#if defined(__x86_64__)
const std::uint32_t architecture = AUDIT_ARCH_X86_64, other_architecture = AUDIT_ARCH_I386;
#elif defined(__aarch64__)
const std::uint32_t architecture = AUDIT_ARCH_AARCH64, other_architecture = AUDIT_ARCH_ARM;
#elif defined(__arm__)
const std::uint32_t architecture = AUDIT_ARCH_ARM, other_architecture = AUDIT_ARCH_AARCH64;
#endif

// Classic BPF as the kernel runs it on a seccomp_data, with the instructions that the program may use.
std::uint32_t run(const std::vector<sock_filter> &program, const seccomp_data &call, std::string *error)
{
    std::uint32_t accumulator = 0;
    for (std::size_t at = 0; at < program.size(); at++) {
        const sock_filter &instruction = program[at];
        switch (instruction.code) {
        case BPF_LD | BPF_W | BPF_ABS:
            if (instruction.k + 4 > sizeof call) {
                *error = "a load beyond the call's data";
                return 0;
            }
            std::memcpy(&accumulator, reinterpret_cast<const char *>(&call) + instruction.k, 4);
            break;
        case BPF_ALU | BPF_AND | BPF_K:
            accumulator &= instruction.k;
            break;
        case BPF_JMP | BPF_JA | BPF_K:
            at += instruction.k;
            break;
        case BPF_JMP | BPF_JEQ | BPF_K:
            at += accumulator == instruction.k ? instruction.jt : instruction.jf;
            break;
        case BPF_JMP | BPF_JGE | BPF_K:
            at += accumulator >= instruction.k ? instruction.jt : instruction.jf;
            break;
        case BPF_RET | BPF_K:
            return instruction.k;
        default:
            *error = "an instruction that the program should not hold: " + std::to_string(instruction.code);
            return 0;
        }
    }
    *error = "the program ran off its end";
    return 0;
}

constexpr std::uint32_t allow = SECCOMP_RET_ALLOW, ends = SECCOMP_RET_KILL_PROCESS, trap = SECCOMP_RET_TRAP;
constexpr std::uint32_t error(int number) { return SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(number); }

struct Row {
    const char *name;
    long call;
    std::vector<std::uint64_t> arguments;
    std::uint32_t local, network;  // the answer for a reader without the network, and with it
};

constexpr pid_t self = 4321;
constexpr std::uint64_t other = 1;  // init, say
const std::uint64_t thread_flags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD | CLONE_SYSVSEM |
                                   CLONE_SETTLS | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID;

}  // namespace

UNIT_TEST(filter_answers_each_call_as_it_must)
{
    const std::vector<Row> rows = {
        {"read", SYS_read, {0, 0, 4096}, allow, allow},
        {"write to its connection", SYS_write, {3, 0, 17}, allow, allow},
        {"openat for reading", SYS_openat, {std::uint64_t(AT_FDCWD), 0, O_RDONLY | O_CLOEXEC}, allow, allow},
        {"openat for writing", SYS_openat, {std::uint64_t(AT_FDCWD), 0, O_WRONLY}, trap, trap},
        {"openat creating", SYS_openat, {std::uint64_t(AT_FDCWD), 0, O_RDONLY | O_CREAT}, trap, trap},
        {"openat appending", SYS_openat, {std::uint64_t(AT_FDCWD), 0, O_APPEND}, trap, trap},
        {"openat2", 437, {}, error(ENOSYS), error(ENOSYS)},
        {"unlinkat", SYS_unlinkat, {std::uint64_t(AT_FDCWD), 0, 0}, trap, trap},
        {"renameat", SYS_renameat, {}, error(EPERM), error(EPERM)},
        {"ftruncate", SYS_ftruncate, {5, 0}, error(EPERM), error(EPERM)},
        {"close_range", 436, {3, ~0u, 0}, allow, allow},
        {"a thread", SYS_clone, {thread_flags}, allow, allow},
        {"a child process", SYS_clone, {SIGCHLD}, error(EPERM), error(EPERM)},
        {"a child process as the C library forks", SYS_clone, {CLONE_CHILD_CLEARTID | CLONE_CHILD_SETTID | SIGCHLD},
         error(EPERM), error(EPERM)},
        {"a thread in a new network namespace", SYS_clone, {thread_flags | CLONE_NEWNET}, error(EPERM), error(EPERM)},
        {"a thread in a new user namespace", SYS_clone, {thread_flags | CLONE_NEWUSER}, error(EPERM), error(EPERM)},
        {"clone3", 435, {}, error(ENOSYS), error(ENOSYS)},
        {"setsid", SYS_setsid, {}, error(EPERM), error(EPERM)},
        {"setpgid", SYS_setpgid, {0, 0}, error(EPERM), error(EPERM)},
        {"unshare", SYS_unshare, {CLONE_NEWUSER}, ends, ends},
        {"setns", SYS_setns, {5, 0}, ends, ends},
        {"execve", SYS_execve, {}, ends, ends},
        {"a signal to itself", SYS_kill, {self, SIGSEGV}, allow, allow},
        {"a signal to another process", SYS_kill, {other, SIGTERM}, ends, ends},
        {"a signal to another process, its number in the high half", SYS_kill, {(std::uint64_t(1) << 32) | self, SIGTERM},
         ends, ends},
        {"tgkill of itself", SYS_tgkill, {self, self, SIGABRT}, allow, allow},
        {"tgkill of another", SYS_tgkill, {other, other, SIGABRT}, ends, ends},
        {"tracing another", SYS_ptrace, {16, other}, ends, ends},
        {"its own limits", SYS_prlimit64, {0, RLIMIT_NOFILE, 0, 0}, allow, allow},
        {"its own limits, by number", SYS_prlimit64, {self, RLIMIT_NOFILE, 0, 0}, allow, allow},
        {"another's limits", SYS_prlimit64, {other, RLIMIT_FSIZE, 1, 0}, error(EPERM), error(EPERM)},
        {"another's processors", SYS_sched_setaffinity, {other, 128, 0}, error(EPERM), error(EPERM)},
        {"F_GETFL", SYS_fcntl, {3, F_GETFL}, allow, allow},
        {"F_SETFL without blocking", SYS_fcntl, {3, F_SETFL, O_NONBLOCK}, allow, allow},
        {"F_SETFL with O_ASYNC", SYS_fcntl, {3, F_SETFL, O_NONBLOCK | O_ASYNC}, error(EPERM), error(EPERM)},
        {"F_SETOWN", SYS_fcntl, {3, F_SETOWN, other}, error(EPERM), error(EPERM)},
        {"F_SETOWN_EX", SYS_fcntl, {3, F_SETOWN_EX, 0}, error(EPERM), error(EPERM)},
        {"F_SETSIG", SYS_fcntl, {3, F_SETSIG, SIGKILL}, error(EPERM), error(EPERM)},
        {"F_SETLK", SYS_fcntl, {3, F_SETLK, 0}, error(EPERM), error(EPERM)},
        {"F_OFD_SETLKW", SYS_fcntl, {3, F_OFD_SETLKW, 0}, error(EPERM), error(EPERM)},
        {"F_SETLEASE", SYS_fcntl, {3, F_SETLEASE, 0}, error(EPERM), error(EPERM)},
        {"F_DUPFD_CLOEXEC", SYS_fcntl, {3, F_DUPFD_CLOEXEC, 10}, allow, allow},
        {"flock", SYS_flock, {3, 2}, error(EPERM), error(EPERM)},
        {"whether a stream is a terminal", SYS_ioctl, {2, TCGETS}, allow, allow},
        {"how much a socket holds", SYS_ioctl, {3, FIONREAD}, allow, allow},
        {"a file's flags", SYS_ioctl, {3, FS_IOC_SETFLAGS}, error(ENOTTY), error(ENOTTY)},
        {"a signal through a descriptor", SYS_ioctl, {3, FIOASYNC}, error(ENOTTY), error(ENOTTY)},
        {"an allowed command with its high half set", SYS_ioctl, {2, (std::uint64_t(1) << 32) | TCGETS},
         error(ENOTTY), error(ENOTTY)},
        {"typing into the terminal", SYS_ioctl, {2, TIOCSTI}, ends, ends},
        {"an IPv4 socket", SYS_socket, {AF_INET, SOCK_STREAM, 0}, error(EACCES), allow},
        {"an IPv6 socket", SYS_socket, {AF_INET6, SOCK_DGRAM, 0}, error(EACCES), allow},
        {"routes, for name lookup", SYS_socket, {AF_NETLINK, SOCK_RAW, NETLINK_ROUTE}, error(EACCES), allow},
        {"netfilter", SYS_socket, {AF_NETLINK, SOCK_RAW, NETLINK_NETFILTER}, error(EACCES), error(EACCES)},
        {"a local socket", SYS_socket, {AF_UNIX, SOCK_STREAM, 0}, error(EACCES), error(EACCES)},
        {"packets", SYS_socket, {AF_PACKET, SOCK_RAW, 0}, error(EACCES), error(EACCES)},
        {"vsock", SYS_socket, {AF_VSOCK, SOCK_STREAM, 0}, error(EACCES), error(EACCES)},
        {"sethostname", SYS_sethostname, {0, 4}, error(EPERM), error(EPERM)},
        {"setuid", SYS_setuid, {0}, error(EPERM), error(EPERM)},
        {"capset", SYS_capset, {0, 0}, error(EPERM), error(EPERM)},
        {"bpf", SYS_bpf, {}, error(EPERM), error(EPERM)},
        {"mount", SYS_mount, {}, ends, ends},
        {"io_uring_setup", 425, {}, error(ENOSYS), error(ENOSYS)},
        {"pidfd_open", 434, {other, 0}, error(EPERM), error(EPERM)},
        {"getpid", SYS_getpid, {}, allow, allow},
        {"futex", SYS_futex, {0, 0, 0}, allow, allow},
#ifdef SYS_fork
        {"fork", SYS_fork, {}, error(EPERM), error(EPERM)},
        {"vfork", SYS_vfork, {}, error(EPERM), error(EPERM)},
#endif
#ifdef SYS_mmap
        {"mmap", SYS_mmap, {0, 4096, 3, 0x22}, allow, allow},
#endif
#ifdef SYS_open
        {"open for reading", SYS_open, {0, O_RDONLY}, allow, allow},
        {"open for writing", SYS_open, {0, O_RDWR}, trap, trap},
#endif
#ifdef SYS_fcntl64
        {"fcntl64 F_SETOWN", SYS_fcntl64, {3, F_SETOWN, other}, error(EPERM), error(EPERM)},
        {"fcntl64 F_SETLK64", SYS_fcntl64, {3, 13, 0}, error(EPERM), error(EPERM)},
        {"fcntl64 F_GETFL", SYS_fcntl64, {3, F_GETFL}, allow, allow},
#endif
#ifdef SYS_socketcall
        {"socketcall", SYS_socketcall, {1, 0}, error(ENOSYS), error(ENOSYS)},
#endif
    };
    for (const bool network : {false, true}) {
        const std::vector<sock_filter> program = platform::reader_filter(self, network);
        CHECK(!program.empty() && program.size() <= BPF_MAXINSNS, "a program within the kernel's size");
        for (const Row &row : rows) {
            seccomp_data call = {};
            call.nr = static_cast<int>(row.call);
            call.arch = architecture;
            for (std::size_t i = 0; i < row.arguments.size(); i++)
                call.args[i] = row.arguments[i];
            std::string failure;
            const std::uint32_t answer = run(program, call, &failure);
            const std::uint32_t expected = network ? row.network : row.local;
            CHECK(failure.empty() && answer == expected,
                  std::string(row.name) + (network ? " (with the network)" : "") + ": answered " +
                      std::to_string(answer) + ", not " + std::to_string(expected) + " " + failure);
        }
        seccomp_data foreign = {};
        foreign.nr = SYS_read;
        foreign.arch = other_architecture;
        std::string failure;
        CHECK(run(program, foreign, &failure) == ends, "a call of another architecture ends the reader");
#if defined(__x86_64__)
        seccomp_data x32 = {};
        x32.nr = SYS_read | 0x40000000;
        x32.arch = architecture;
        CHECK(run(program, x32, &failure) == ends, "an x32 call ends the reader");
#endif
    }
}
