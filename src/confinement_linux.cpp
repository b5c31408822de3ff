// A reader's confinement on Linux, in four layers, each applied where the kernel offers it:
// - no capabilities, even run as root, the bounding set included;
// - no new privileges, whatever it could start;
// - Landlock: no right to change the file system or run what it holds, whichever call asks; no TCP for a
//   reader without the network and no listening for any; signals and abstract sockets only within itself;
// - a seccomp filter that refuses, by name, what reading never needs: libraries that probe get an error and
//   cope, and what nothing legitimate asks for ends the reader, which costs only its pair. Refusing by name
//   lets every call that a new C library or kernel brings pass.
// The filter is written here as a BPF program, with the call numbers of libseccomp's header: compiling it
// with libseccomp in every reader cost another half a millisecond on top of the kernel taking the filter.
#include "confinement.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/netlink.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

namespace platform {
namespace {

// Where the registers of a trapped call are known, it is answered; elsewhere it is refused outright.
#if defined(__x86_64__) || defined(__aarch64__) || defined(__arm__)
constexpr bool answers_trapped_calls = true;
#else
constexpr bool answers_trapped_calls = false;
#endif

// LeakSanitizer looks for leaks from a helper that shares the reader's memory, made by clone without
// CLONE_THREAD, which traces the reader.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uint32_t sanitizer_helper = CLONE_UNTRACED;
#else
constexpr std::uint32_t sanitizer_helper = 0;
#endif

// One refusal: the call's number on this architecture (negative where the architecture lacks it), what it
// gets, and the conditions on its arguments, all of which must hold.
struct Comparison {
    // (argument & mask) == value; argument & mask != 0; the whole argument != value.
    enum Kind { masked_equal, any_bit_set, not_equal } kind;
    unsigned argument;
    std::uint32_t mask, value;
};

struct Refusal {
    long call;
    std::uint32_t action;
    std::vector<Comparison> conditions;
};

// An int argument: the kernel reads its low 32 bits, whatever the caller left in the others.
Comparison equals(unsigned argument, std::uint32_t value)
{
    return {Comparison::masked_equal, argument, 0xFFFFFFFF, value};
}
Comparison any_of(unsigned argument, std::uint32_t flags) { return {Comparison::any_bit_set, argument, flags, 0}; }
Comparison none_of(unsigned argument, std::uint32_t flags) { return {Comparison::masked_equal, argument, flags, 0}; }
Comparison other_than(unsigned argument, std::uint32_t value) { return {Comparison::not_equal, argument, 0, value}; }

std::uint32_t with_errno(int error)
{
    return SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA);
}

// The numbers of calls younger than some of the C libraries this builds against: from 424 on, one number
// on every architecture.
enum YoungCall : long {
    pidfd_send_signal = 424, io_uring_setup, io_uring_enter, io_uring_register, open_tree, move_mount, fsopen,
    fsconfig, fsmount, fspick, pidfd_open = 434, clone3 = 435, openat2 = 437, pidfd_getfd = 438,
    process_madvise = 440, mount_setattr = 442, memfd_secret = 447, fchmodat2 = 452, lsm_set_self_attr = 460,
    setxattrat = 463, removexattrat = 466, open_tree_attr = 467, file_setattr = 469
};

// The ioctl commands that reading asks for: whether a stream is a terminal (TCGETS2 in newer C libraries)
// and its size, how much a descriptor holds, blocking and close-on-exec, and the interfaces that name
// lookup and IPv6 scopes ask about.
constexpr std::uint32_t tcgets2 = 0x802C542A;  // _IOR('T', 0x2A, struct termios2) on every architecture built
const std::uint32_t ioctls_needed[] = {TCGETS,     tcgets2,      TIOCGWINSZ,    FIONREAD,     FIONBIO,     FIOCLEX,
                                       FIONCLEX,   SIOCGIFCONF,  SIOCGIFFLAGS,  SIOCGIFINDEX, SIOCGIFNAME};

// fcntl commands that reach other processes: a signal through a descriptor, locks and leases that others
// wait on, notices of changes. On 32-bit systems F_SETLK64 and F_SETLKW64 are locks too.
const std::uint32_t fcntl_refused[] = {F_SETOWN, F_SETOWN_EX, F_SETSIG, F_SETLK, F_SETLKW, 13, 14, F_OFD_SETLK,
                                       F_OFD_SETLKW, F_SETLEASE, F_NOTIFY};

std::vector<Refusal> refusals(pid_t self, bool network)
{
    const std::uint32_t refused = with_errno(EPERM), no_access = with_errno(EACCES), unknown = with_errno(ENOSYS),
                        no_such_ioctl = with_errno(ENOTTY), fatal = SECCOMP_RET_KILL_PROCESS,
                        answered = answers_trapped_calls ? SECCOMP_RET_TRAP : with_errno(EACCES);
    std::vector<Refusal> list;
    const auto always = [&list](std::initializer_list<long> calls, std::uint32_t action) {
        for (const long call : calls)
            list.push_back({call, action, {}});
    };
    const auto when = [&list](long call, std::uint32_t action, std::vector<Comparison> conditions) {
        list.push_back({call, action, std::move(conditions)});
    };
    const auto me = static_cast<std::uint32_t>(self);

    // Opening for writing, creating, truncating: the flags are the second argument of open, the third of
    // openat. Every such open is answered in answer_trapped_call.
    const std::uint32_t writing = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;
    when(SCMP_SYS(open), answered, {any_of(1, writing)});
    when(SCMP_SYS(openat), answered, {any_of(2, writing)});
    always({SCMP_SYS(creat)}, no_access);
    // openat2 hides its flags where a filter cannot look; clone3 likewise; io_uring would do on the
    // filter's behalf what the filter refuses; socketcall and ipc hide which call they make. Callers fall
    // back to openat, clone and plain calls.
    always({openat2, clone3, io_uring_setup, io_uring_enter, io_uring_register, SCMP_SYS(socketcall), SCMP_SYS(ipc)},
           unknown);
    // Deleting is answered in answer_trapped_call: a name that is not there is gone already.
    always({SCMP_SYS(unlink), SCMP_SYS(unlinkat)}, answered);
    always({SCMP_SYS(rmdir), SCMP_SYS(rename), SCMP_SYS(renameat), SCMP_SYS(renameat2), SCMP_SYS(link),
            SCMP_SYS(linkat), SCMP_SYS(symlink), SCMP_SYS(symlinkat), SCMP_SYS(mkdir), SCMP_SYS(mkdirat),
            SCMP_SYS(mknod), SCMP_SYS(mknodat), SCMP_SYS(truncate), SCMP_SYS(truncate64), SCMP_SYS(ftruncate),
            SCMP_SYS(ftruncate64), SCMP_SYS(fallocate), SCMP_SYS(chmod), SCMP_SYS(fchmod), SCMP_SYS(fchmodat),
            fchmodat2, SCMP_SYS(chown), SCMP_SYS(chown32), SCMP_SYS(fchown), SCMP_SYS(fchown32),
            SCMP_SYS(lchown), SCMP_SYS(lchown32), SCMP_SYS(fchownat), SCMP_SYS(utime), SCMP_SYS(utimes),
            SCMP_SYS(futimesat), SCMP_SYS(utimensat), SCMP_SYS(utimensat_time64), SCMP_SYS(setxattr),
            SCMP_SYS(lsetxattr), SCMP_SYS(fsetxattr), setxattrat, SCMP_SYS(removexattr), SCMP_SYS(lremovexattr),
            SCMP_SYS(fremovexattr), removexattrat, file_setattr, SCMP_SYS(open_by_handle_at), SCMP_SYS(bpf),
            SCMP_SYS(keyctl), SCMP_SYS(add_key), SCMP_SYS(request_key), SCMP_SYS(flock)},
           refused);
    // No process but itself: no child processes (clone for threads only), no sessions or groups, no
    // namespaces, nothing aimed at another process's limits or scheduling.
    always({SCMP_SYS(fork), SCMP_SYS(vfork), SCMP_SYS(setsid), SCMP_SYS(setpgid), pidfd_open,
            SCMP_SYS(setpriority), SCMP_SYS(ioprio_set), SCMP_SYS(userfaultfd), memfd_secret},
           refused);
    when(SCMP_SYS(clone), refused, {none_of(0, CLONE_THREAD | sanitizer_helper)});
    when(SCMP_SYS(clone), refused,
         {any_of(0, CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID |
                        CLONE_NEWNET | CLONE_NEWTIME)});
    for (const long call : {SCMP_SYS(prlimit64), SCMP_SYS(sched_setaffinity), SCMP_SYS(sched_setscheduler),
                            SCMP_SYS(sched_setparam), SCMP_SYS(sched_setattr)})
        when(call, refused, {other_than(0, 0), other_than(0, me)});
    for (const long call : {SCMP_SYS(fcntl), SCMP_SYS(fcntl64)}) {
        for (const std::uint32_t command : fcntl_refused)
            when(call, refused, {equals(1, command)});
        when(call, refused, {equals(1, F_SETFL), any_of(2, O_ASYNC)});
    }
    // None of root's calls: a reader run as root has given up every capability, and is refused them twice.
    always({SCMP_SYS(sethostname), SCMP_SYS(setdomainname), SCMP_SYS(settimeofday), SCMP_SYS(clock_settime),
            SCMP_SYS(clock_settime64), SCMP_SYS(adjtimex), SCMP_SYS(clock_adjtime), SCMP_SYS(clock_adjtime64),
            SCMP_SYS(stime), SCMP_SYS(syslog), SCMP_SYS(iopl), SCMP_SYS(ioperm), SCMP_SYS(vhangup),
            SCMP_SYS(setuid), SCMP_SYS(setuid32), SCMP_SYS(setgid), SCMP_SYS(setgid32), SCMP_SYS(setreuid),
            SCMP_SYS(setreuid32), SCMP_SYS(setregid), SCMP_SYS(setregid32), SCMP_SYS(setresuid),
            SCMP_SYS(setresuid32), SCMP_SYS(setresgid), SCMP_SYS(setresgid32), SCMP_SYS(setfsuid),
            SCMP_SYS(setfsuid32), SCMP_SYS(setfsgid), SCMP_SYS(setfsgid32), SCMP_SYS(setgroups),
            SCMP_SYS(setgroups32), SCMP_SYS(capset), SCMP_SYS(lookup_dcookie), SCMP_SYS(nfsservctl),
            SCMP_SYS(uselib), SCMP_SYS(fanotify_init), lsm_set_self_attr},
           refused);
    // Nothing that reads a source asks for these.
    always({SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev),
            pidfd_getfd, pidfd_send_signal, process_madvise, SCMP_SYS(kcmp), SCMP_SYS(migrate_pages),
            SCMP_SYS(move_pages), SCMP_SYS(perf_event_open), SCMP_SYS(mount), SCMP_SYS(umount), SCMP_SYS(umount2),
            SCMP_SYS(pivot_root), SCMP_SYS(chroot), SCMP_SYS(unshare), SCMP_SYS(setns), move_mount, open_tree,
            open_tree_attr, fsopen, fsconfig, fsmount, fspick, mount_setattr, SCMP_SYS(init_module),
            SCMP_SYS(finit_module), SCMP_SYS(delete_module), SCMP_SYS(kexec_load), SCMP_SYS(kexec_file_load),
            SCMP_SYS(reboot), SCMP_SYS(swapon), SCMP_SYS(swapoff), SCMP_SYS(acct), SCMP_SYS(quotactl)},
           fatal);
    // Signals and tracing only within the reader itself (LeakSanitizer traces its own process).
    for (const long call : {SCMP_SYS(kill), SCMP_SYS(tkill), SCMP_SYS(tgkill), SCMP_SYS(rt_sigqueueinfo),
                            SCMP_SYS(rt_tgsigqueueinfo)})
        when(call, fatal, {other_than(0, me)});
    when(SCMP_SYS(ptrace), fatal, {other_than(1, me)});
    // Typing into the terminal that standard error may be ends the reader; other ioctls but those that
    // reading needs are refused.
    when(SCMP_SYS(ioctl), fatal, {equals(1, TIOCSTI)});
    when(SCMP_SYS(ioctl), fatal, {equals(1, TIOCLINUX)});
    std::vector<Comparison> unknown_ioctl;
    for (const std::uint32_t command : ioctls_needed)
        unknown_ioctl.push_back(other_than(1, command));
    when(SCMP_SYS(ioctl), no_such_ioctl, unknown_ioctl);
    // Sockets only of the families that reading from the network needs, and none without the network: no
    // local sockets (a session bus, a container daemon), no packets, no netlink beyond routes.
    if (network) {
        when(SCMP_SYS(socket), no_access, {other_than(0, AF_INET), other_than(0, AF_INET6), other_than(0, AF_NETLINK)});
        when(SCMP_SYS(socket), no_access, {equals(0, AF_NETLINK), other_than(2, NETLINK_ROUTE)});
    } else {
        always({SCMP_SYS(socket)}, no_access);
    }
    return list;
}

// The first three arguments of a trapped call and where its result goes.
void trapped_call(ucontext_t *context, long **arguments_and_result)
{
#if defined(__x86_64__)
    auto *registers = reinterpret_cast<long *>(context->uc_mcontext.gregs);
    const int places[] = {REG_RDI, REG_RSI, REG_RDX, REG_RAX};
#elif defined(__aarch64__)
    auto *registers = reinterpret_cast<long *>(context->uc_mcontext.regs);
    const int places[] = {0, 1, 2, 0};
#elif defined(__arm__)
    auto *registers = reinterpret_cast<long *>(&context->uc_mcontext.arm_r0);
    const int places[] = {0, 1, 2, 0};
#else
    long *registers = nullptr;  // never trapped: answers_trapped_calls
    const int places[] = {0, 0, 0, 0};
    (void)context;
#endif
    for (int i = 0; i < 4; ++i)
        arguments_and_result[i] = &registers[places[i]];
}

bool exists(int folder, const char *path)
{
    struct stat info;
    return fstatat(folder, path, &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

// Opens for writing and deletions. The library makes a temporary file for the cache: protocol (create
// exclusively, then delete the name at once): a file of memory serves, and nothing appears in a folder.
// Deleting a name that is not there succeeds; every other open for writing or deletion is refused.
void answer_trapped_call(int, siginfo_t *call, void *context)
{
    long *argument[4];
    trapped_call(static_cast<ucontext_t *>(context), argument);
    const int saved_errno = errno;
    bool opens = call->si_syscall == SYS_openat, in_folder = true;
#ifdef SYS_open
    if (call->si_syscall == SYS_open)
        opens = true, in_folder = false;
#endif
#ifdef SYS_unlink
    if (call->si_syscall == SYS_unlink)
        in_folder = false;
#endif
    const int folder = in_folder ? static_cast<int>(*argument[0]) : AT_FDCWD;
    const auto *path = reinterpret_cast<const char *>(*argument[in_folder ? 1 : 0]);
    const long flags = *argument[in_folder ? 2 : 1];
    const bool exclusive = (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
    long result = opens ? -EACCES : -EPERM;
    if (opens && exclusive && exists(folder, path)) {
        result = -EEXIST;
    } else if (opens && exclusive) {
        const int fd = memfd_create("vantrell-temporary", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
        result = fd >= 0 ? fd : -errno;
    } else if (!opens && !(in_folder && (flags & AT_REMOVEDIR)) && !exists(folder, path)) {
        result = 0;
    }
    *argument[3] = result;
    errno = saved_errno;
}

// The architecture that the kernel tells the filter, for this build's.
#if defined(__x86_64__)
constexpr std::uint32_t this_architecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t this_architecture = AUDIT_ARCH_AARCH64;
#elif defined(__arm__)
constexpr std::uint32_t this_architecture = AUDIT_ARCH_ARM;
#else
#error "no seccomp filter for this architecture: add its AUDIT_ARCH and its trapped call's registers"
#endif

// The refusals as a classic BPF program: a call of another architecture (or x86_64's x32 numbers) ends the
// reader. A refusal with conditions is a block: the call's number, then its conditions, each of which
// jumps past the block when it fails. Those without come last, each a comparison that jumps to the return
// of its action: a run of at most refusals_per_run comparisons is followed by the return of its action, so
// that no jump has far to go. All that matches no refusal is allowed. A jump of k goes to the (k+1)th
// instruction after it; the kernel takes a filter at about a microsecond and a half an instruction.
constexpr std::size_t refusals_per_run = 128;

std::vector<sock_filter> filter_program(const std::vector<Refusal> &refusals)
{
    std::vector<sock_filter> program;
    bool within_reach = true;
    const auto emit = [&](std::uint16_t code, std::uint32_t k, std::size_t if_true = 0, std::size_t if_false = 0) {
        within_reach = within_reach && if_true <= 255 && if_false <= 255;
        program.push_back({code, static_cast<std::uint8_t>(if_true), static_cast<std::uint8_t>(if_false), k});
    };
    const auto load = [&emit](std::size_t offset) {
        emit(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(offset));
    };
    // Arguments are 64 bits wide; on these little-endian architectures the low half comes first.
    const auto low_half = [](unsigned argument) { return offsetof(seccomp_data, args) + 8 * argument; };
    load(offsetof(seccomp_data, arch));
    emit(BPF_JMP | BPF_JEQ | BPF_K, this_architecture, 1, 0);
    emit(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
    load(offsetof(seccomp_data, nr));
#if defined(__x86_64__)
    emit(BPF_JMP | BPF_JGE | BPF_K, 0x40000000, 0, 1);
    emit(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
#endif
    std::vector<std::vector<const Refusal *>> runs;  // those without conditions, by action
    for (const Refusal &refusal : refusals) {
        if (refusal.call < 0)
            continue;  // not a call of this architecture
        const std::size_t conditions = refusal.conditions.size();
        if (conditions == 0) {
            auto run = std::find_if(runs.begin(), runs.end(), [&](const auto &run) {
                return run.front()->action == refusal.action && run.size() < refusals_per_run;
            });
            if (run == runs.end())
                run = runs.insert(runs.end(), std::vector<const Refusal *>());
            run->push_back(&refusal);
            continue;
        }
        // Its conditions, four instructions each, the return, and a fresh load of the number.
        emit(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(refusal.call), 0, 4 * conditions + 2);
        for (std::size_t i = 0; i < conditions; ++i) {
            const Comparison &condition = refusal.conditions[i];
            const std::size_t after = 4 * (conditions - i - 1) + 2;  // up to the fresh load
            load(low_half(condition.argument));
            if (condition.kind == Comparison::masked_equal) {
                emit(BPF_ALU | BPF_AND | BPF_K, condition.mask);
                emit(BPF_JMP | BPF_JEQ | BPF_K, condition.value, 1, after);
                emit(BPF_JMP | BPF_JA | BPF_K, 0);  // every condition four instructions long
            } else if (condition.kind == Comparison::any_bit_set) {
                emit(BPF_ALU | BPF_AND | BPF_K, condition.mask);
                emit(BPF_JMP | BPF_JEQ | BPF_K, 0, after, 1);
                emit(BPF_JMP | BPF_JA | BPF_K, 0);
            } else {
                emit(BPF_JMP | BPF_JEQ | BPF_K, condition.value, 0, 2);  // another low half: refused
                load(low_half(condition.argument) + 4);
                emit(BPF_JMP | BPF_JEQ | BPF_K, 0, after - 1, 0);
            }
        }
        emit(BPF_RET | BPF_K, refusal.action);
        load(offsetof(seccomp_data, nr));
    }
    for (const auto &run : runs) {
        for (std::size_t i = 0; i < run.size(); ++i)
            emit(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(run[i]->call), run.size() - i, 0);
        emit(BPF_JMP | BPF_JA | BPF_K, 1);
        emit(BPF_RET | BPF_K, run.front()->action);
    }
    emit(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    if (!within_reach || program.size() > BPF_MAXINSNS)
        return {};  // no filter, which the reader takes for one that could not be applied
    return program;
}

// Whether the kernel takes seccomp filters with what this one asks for (4.14 and later); not under an
// emulator or valgrind, which keep them from the program.
bool seccomp_offered()
{
    std::uint32_t action = SECCOMP_RET_KILL_PROCESS;
    return syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0, &action) == 0;
}

bool load_filter(bool network)
{
    std::vector<sock_filter> program = reader_filter(getpid(), network);
    if (program.empty())
        return false;
    sock_fprog filter = {static_cast<unsigned short>(program.size()), program.data()};
    struct sigaction answer = {};
    answer.sa_sigaction = answer_trapped_call;
    answer.sa_flags = SA_SIGINFO;
    return sigaction(SIGSYS, &answer, nullptr) == 0 &&
           syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &filter) == 0;
}

// Landlock's interface, as the kernel defines it, whatever the headers of the machine that built this: the
// rights that a kernel does not know are left out, by the version that the running kernel tells.
namespace landlock {

constexpr long create_ruleset = 444, restrict_self = 446;  // one number on every architecture
constexpr std::uint32_t create_ruleset_version = 1;
enum : std::uint64_t {
    execute = 1 << 0, write_file = 1 << 1, remove_dir = 1 << 4, remove_file = 1 << 5, make_char = 1 << 6,
    make_dir = 1 << 7, make_reg = 1 << 8, make_sock = 1 << 9, make_fifo = 1 << 10, make_block = 1 << 11,
    make_sym = 1 << 12, refer = 1 << 13, truncate = 1 << 14, ioctl_dev = 1 << 15,
};
enum : std::uint64_t { bind_tcp = 1 << 0, connect_tcp = 1 << 1 };
enum : std::uint64_t { abstract_unix_socket = 1 << 0, signal = 1 << 1 };
struct RulesetAttributes {
    std::uint64_t handled_access_fs = 0;
    std::uint64_t handled_access_net = 0;  // version 4 and later
    std::uint64_t scoped = 0;              // version 6 and later
};

}  // namespace landlock

// No right to change the file system or run what it holds, anywhere; reading stays free. A kernel that
// does not know a field is given a shorter set, for the kernel refuses fields that it does not know.
// Unconfined::no where it holds, or where the kernel has no Landlock.
Unconfined forbid_file_system_changes(bool network)
{
    const long version = syscall(landlock::create_ruleset, nullptr, 0, landlock::create_ruleset_version);
    if (version < 1)
        return errno == ENOSYS || errno == EOPNOTSUPP ? Unconfined::no : Unconfined::landlock;
    landlock::RulesetAttributes rules;
    rules.handled_access_fs = landlock::execute | landlock::write_file | landlock::remove_dir |
                              landlock::remove_file | landlock::make_char | landlock::make_dir |
                              landlock::make_reg | landlock::make_sock | landlock::make_fifo |
                              landlock::make_block | landlock::make_sym;
    std::size_t size = offsetof(landlock::RulesetAttributes, handled_access_net);
    if (version >= 2)
        rules.handled_access_fs |= landlock::refer;
    if (version >= 3)
        rules.handled_access_fs |= landlock::truncate;
    if (version >= 4) {
        rules.handled_access_net = network ? landlock::bind_tcp : landlock::bind_tcp | landlock::connect_tcp;
        size = offsetof(landlock::RulesetAttributes, scoped);
    }
    if (version >= 5)
        rules.handled_access_fs |= landlock::ioctl_dev;
    if (version >= 6) {
        rules.scoped = landlock::abstract_unix_socket | landlock::signal;
        size = sizeof rules;
    }
    const long fd = syscall(landlock::create_ruleset, &rules, size, 0);
    if (fd < 0)
        return Unconfined::landlock;
    const bool restricted = syscall(landlock::restrict_self, fd, 0) == 0;
    close(static_cast<int>(fd));
    return restricted ? Unconfined::no : Unconfined::landlock;
}

// Every capability, the bounding set first while the right to drop it is still held; a process without
// that right has none to drop but in its bounding set, which no new privileges makes useless.
bool drop_capabilities()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, sets) != 0)
        return false;
    const bool may_drop_bounding = sets[0].effective & (1u << CAP_SETPCAP);
    for (int capability = 0; may_drop_bounding && capability < 64; capability++) {
        const int held = prctl(PR_CAPBSET_READ, capability, 0, 0, 0);
        if (held < 0)
            break;  // beyond the last capability that the kernel knows
        if (held == 1 && prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0)
            return false;
    }
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
        return false;
    std::memset(sets, 0, sizeof sets);
    return syscall(SYS_capset, &header, sets) == 0;
}

}  // namespace

std::vector<sock_filter> reader_filter(pid_t self, bool network) { return filter_program(refusals(self, network)); }

Unconfined confine_reader(bool network)
{
    if (!drop_capabilities())
        return Unconfined::capabilities;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 && errno != EINVAL)
        return Unconfined::privileges;
    const Unconfined landlock = forbid_file_system_changes(network);
    if (landlock != Unconfined::no)
        return landlock;
    if (seccomp_offered() && !load_filter(network))
        return Unconfined::seccomp;
    return Unconfined::no;
}

}  // namespace platform
