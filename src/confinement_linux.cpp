// A reader's confinement on Linux. The seccomp filter refuses, by name, what reading never needs: libraries
// that probe get an error and cope, and what nothing legitimate asks for ends the reader, which costs only
// its pair. Refusing by name lets every call that a new C library or kernel brings pass; Landlock, where
// the kernel has it, forbids changing the file system a second time, whatever the call. The filter is
// written here as a BPF program, with the call numbers of libseccomp's header: compiling it with
// libseccomp in every reader cost another half a millisecond, on top of the kernel taking the filter.
#include "confinement.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstdint>
#include <vector>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>
#if __has_include(<linux/landlock.h>)
#include <linux/landlock.h>
#endif

namespace platform {
namespace {

// Where the registers of a trapped call are known, it is answered; elsewhere it is refused outright.
#if defined(__x86_64__) || defined(__aarch64__) || defined(__arm__)
constexpr bool answers_trapped_calls = true;
#else
constexpr bool answers_trapped_calls = false;
#endif

// One refusal: the call's number on this architecture (negative where the architecture lacks it), what it
// gets, and the conditions on its arguments, all of which must hold.
struct Comparison {
    enum Kind { masked_equal, any_bit_set, not_equal } kind;  // (argument & mask) == value, & mask != 0, != value
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
Comparison other_than(unsigned argument, std::uint32_t value) { return {Comparison::not_equal, argument, 0, value}; }

std::uint32_t with_errno(int error)
{
    return SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA);
}

// The numbers of calls younger than some of the C libraries this builds against: from 424 on, one number
// on every architecture.
enum YoungCall : long {
    pidfd_send_signal = 424, io_uring_setup, io_uring_enter, io_uring_register, open_tree, move_mount, fsopen,
    fsconfig, fsmount, fspick, clone3 = 435, openat2 = 437, pidfd_getfd = 438, process_madvise = 440,
    mount_setattr = 442, fchmodat2 = 452, setxattrat = 463, removexattrat = 466, open_tree_attr = 467,
    file_setattr = 469
};

std::vector<Refusal> refusals(pid_t self)
{
    const std::uint32_t refused = with_errno(EPERM), no_access = with_errno(EACCES), unknown = with_errno(ENOSYS),
                        fatal = SECCOMP_RET_KILL_PROCESS,
                        answered = answers_trapped_calls ? SECCOMP_RET_TRAP : with_errno(EACCES);
    std::vector<Refusal> list;
    const auto always = [&list](std::initializer_list<long> calls, std::uint32_t action) {
        for (const long call : calls)
            list.push_back({call, action, {}});
    };
    const auto when = [&list](long call, std::uint32_t action, std::vector<Comparison> conditions) {
        list.push_back({call, action, std::move(conditions)});
    };
    // Opening for writing, creating, truncating: the flags are the second argument of open, the third of
    // openat. Every such open is answered in answer_trapped_call.
    const std::uint32_t writing = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;
    when(SCMP_SYS(open), answered, {any_of(1, writing)});
    when(SCMP_SYS(openat), answered, {any_of(2, writing)});
    always({SCMP_SYS(creat)}, no_access);
    // openat2 hides its flags where a filter cannot look; clone3 likewise; io_uring would do on the
    // filter's behalf what the filter refuses. Callers fall back to openat, clone and plain calls.
    always({openat2, clone3, io_uring_setup, io_uring_enter, io_uring_register}, unknown);
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
            SCMP_SYS(keyctl), SCMP_SYS(add_key), SCMP_SYS(request_key)},
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
    const auto me = static_cast<std::uint32_t>(self);
    for (const long call : {SCMP_SYS(kill), SCMP_SYS(tkill), SCMP_SYS(tgkill), SCMP_SYS(rt_sigqueueinfo),
                            SCMP_SYS(rt_tgsigqueueinfo)})
        when(call, fatal, {other_than(0, me)});
    when(SCMP_SYS(ptrace), fatal, {other_than(1, me)});
    // Typing into the terminal that standard error may be.
    when(SCMP_SYS(ioctl), fatal, {equals(1, TIOCSTI)});
    when(SCMP_SYS(ioctl), fatal, {equals(1, TIOCLINUX)});
    // Local sockets reach other programs (a session bus, a container daemon); the network is the source's.
    when(SCMP_SYS(socket), no_access, {equals(0, AF_UNIX)});
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
constexpr std::uint32_t this_architecture = 0;
#endif

// The refusals as a classic BPF program: a call of another architecture (or x86_64's x32 numbers) ends the
// reader. A refusal with conditions is a block: the call's number, then its conditions, each of which
// jumps past the block when it fails. Those without come last, each a comparison that jumps to the return
// of its action, shared at the end. All that matches no refusal is allowed. A jump of k goes to the
// (k+1)th instruction after it; the kernel takes a filter at about a microsecond and a half an instruction.
std::vector<sock_filter> filter_program(const std::vector<Refusal> &refusals)
{
    std::vector<sock_filter> program;
    const auto emit = [&program](std::uint16_t code, std::uint32_t k, std::uint8_t if_true = 0,
                                 std::uint8_t if_false = 0) { program.push_back({code, if_true, if_false, k}); };
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
    std::vector<const Refusal *> unconditional;
    for (const Refusal &refusal : refusals) {
        if (refusal.call < 0)
            continue;  // not a call of this architecture
        const std::size_t conditions = refusal.conditions.size();
        if (conditions == 0) {
            unconditional.push_back(&refusal);
            continue;
        }
        // Its conditions, four instructions each, the return, and a fresh load of the number.
        emit(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(refusal.call), 0,
             static_cast<std::uint8_t>(4 * conditions + 2));
        for (std::size_t i = 0; i < conditions; ++i) {
            const Comparison &condition = refusal.conditions[i];
            const auto after = static_cast<std::uint8_t>(4 * (conditions - i - 1) + 2);  // up to the fresh load
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
                emit(BPF_JMP | BPF_JEQ | BPF_K, 0, static_cast<std::uint8_t>(after - 1), 0);
            }
        }
        emit(BPF_RET | BPF_K, refusal.action);
        load(offsetof(seccomp_data, nr));
    }
    std::vector<std::uint32_t> actions;
    for (const Refusal *refusal : unconditional) {
        if (std::find(actions.begin(), actions.end(), refusal->action) == actions.end())
            actions.push_back(refusal->action);
    }
    if (unconditional.size() + actions.size() > 255)
        return {};  // beyond a jump's reach: no filter, which the kernel refuses, rather than a wrong one
    for (std::size_t i = 0; i < unconditional.size(); ++i) {
        const auto action = static_cast<std::size_t>(
            std::find(actions.begin(), actions.end(), unconditional[i]->action) - actions.begin());
        // Past the comparisons after this one and the allowing return, to its action's return.
        emit(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(unconditional[i]->call),
             static_cast<std::uint8_t>(unconditional.size() - i + action), 0);
    }
    emit(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    for (const std::uint32_t action : actions)
        emit(BPF_RET | BPF_K, action);
    return program;
}

bool load_filter()
{
    if (this_architecture == 0)
        return false;
    std::vector<sock_filter> program = filter_program(refusals(getpid()));
    sock_fprog filter = {static_cast<unsigned short>(program.size()), program.data()};
    struct sigaction answer = {};
    answer.sa_sigaction = answer_trapped_call;
    answer.sa_flags = SA_SIGINFO;
    return sigaction(SIGSYS, &answer, nullptr) == 0 &&
           syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &filter) == 0;
}

// Landlock: no right to change the file system or run what it holds, anywhere; reading stays free.
void forbid_file_system_changes()
{
#if defined(LANDLOCK_CREATE_RULESET_VERSION) && defined(SYS_landlock_create_ruleset)
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1)
        return;
    landlock_ruleset_attr ruleset = {};
    ruleset.handled_access_fs =
        LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
        LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR |
        LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
        LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
#ifdef LANDLOCK_ACCESS_FS_REFER
    if (abi >= 2)
        ruleset.handled_access_fs |= LANDLOCK_ACCESS_FS_REFER;
#endif
#ifdef LANDLOCK_ACCESS_FS_TRUNCATE
    if (abi >= 3)
        ruleset.handled_access_fs |= LANDLOCK_ACCESS_FS_TRUNCATE;
#endif
    const long fd = syscall(SYS_landlock_create_ruleset, &ruleset, sizeof ruleset, 0);
    if (fd < 0)
        return;
    syscall(SYS_landlock_restrict_self, fd, 0);
    close(static_cast<int>(fd));
#endif
}

}  // namespace

bool confine_reader()
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    forbid_file_system_changes();
    return load_filter();
}

}  // namespace platform
