// A reader's confinement on Linux. The seccomp filter refuses, by name, what reading never needs: libraries
// that probe get an error and cope, and what nothing legitimate asks for ends the reader, which costs only
// its pair. Refusing by name lets every call that a new C library or kernel brings pass; Landlock, where
// the kernel has it, forbids changing the file system a second time, whatever the call.
#include "confinement.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <memory>
#include <vector>

#include <fcntl.h>
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

// One refusal: the call by name, and by number for a call younger than this libseccomp (the numbers from
// 424 on are the same on every architecture); what it gets; and the conditions on its arguments, all of
// which must hold, each on an argument of its own.
struct Refusal {
    const char *call;
    int number_if_unknown;
    std::uint32_t action;
    std::vector<scmp_arg_cmp> conditions;
};

constexpr std::uint64_t low_32_bits = 0xFFFFFFFF;

scmp_arg_cmp flag_set(unsigned argument, std::uint64_t flag) { return {argument, SCMP_CMP_MASKED_EQ, flag, flag}; }
// An int argument: the kernel reads its low 32 bits, whatever the caller left in the others.
scmp_arg_cmp equals(unsigned argument, std::uint64_t value)
{
    return {argument, SCMP_CMP_MASKED_EQ, low_32_bits, value};
}
scmp_arg_cmp other_than(unsigned argument, std::uint64_t value) { return {argument, SCMP_CMP_NE, value, 0}; }

std::vector<Refusal> refusals(pid_t self)
{
    const std::uint32_t refused = SCMP_ACT_ERRNO(EPERM), no_access = SCMP_ACT_ERRNO(EACCES),
                        unknown = SCMP_ACT_ERRNO(ENOSYS), fatal = SCMP_ACT_KILL_PROCESS, answered = SCMP_ACT_TRAP;
    std::vector<Refusal> list;
    const auto always = [&list](const char *call, std::uint32_t action, int number = -1) {
        list.push_back({call, number, action, {}});
    };
    const auto when = [&list](const char *call, std::uint32_t action, std::vector<scmp_arg_cmp> conditions) {
        list.push_back({call, -1, action, std::move(conditions)});
    };
    // Opening for writing, creating, truncating: the flags are the second argument of open, the third of
    // openat. Every such open is answered in answer_trapped_call (rules on one call must agree on the
    // action, or which one applies is left to chance).
    for (const auto &[call, flags] : {std::pair<const char *, unsigned>{"open", 1}, {"openat", 2}}) {
        for (const std::uint64_t flag : {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND})
            when(call, answered, {flag_set(flags, flag)});
    }
    always("creat", no_access);
    // openat2 hides its flags where a filter cannot look; clone3 likewise. Callers fall back to openat, clone.
    always("openat2", unknown, 437);
    always("clone3", unknown, 435);
    // io_uring would do on the filter's behalf what the filter refuses.
    for (const char *call : {"io_uring_setup", "io_uring_enter", "io_uring_register"})
        always(call, unknown);
    // Deleting is answered in answer_trapped_call: a name that is not there is gone already.
    always("unlink", answered);
    always("unlinkat", answered);
    for (const char *call : {"rmdir", "rename", "renameat", "renameat2", "link", "linkat", "symlink", "symlinkat",
                             "mkdir", "mkdirat", "mknod", "mknodat", "truncate", "truncate64", "ftruncate",
                             "ftruncate64", "fallocate", "chmod", "fchmod", "fchmodat", "chown", "chown32",
                             "fchown", "fchown32", "lchown", "lchown32", "fchownat", "utime", "utimes", "futimesat",
                             "utimensat", "utimensat_time64", "setxattr", "lsetxattr", "fsetxattr", "removexattr",
                             "lremovexattr", "fremovexattr", "open_by_handle_at", "bpf", "keyctl", "add_key",
                             "request_key"})
        always(call, refused);
    always("fchmodat2", refused, 452);
    always("setxattrat", refused, 463);
    always("removexattrat", refused, 466);
    always("file_setattr", refused, 469);
    // Nothing that reads a source asks for these.
    for (const char *call : {"execve", "execveat", "process_vm_readv", "process_vm_writev", "pidfd_getfd",
                             "pidfd_send_signal", "mount", "umount", "umount2", "pivot_root", "chroot", "unshare",
                             "setns", "move_mount", "open_tree", "fsopen", "fsconfig", "fsmount", "fspick",
                             "mount_setattr", "init_module", "finit_module", "delete_module", "kexec_load",
                             "kexec_file_load", "reboot", "swapon", "swapoff", "acct", "quotactl"})
        always(call, fatal);
    always("open_tree_attr", fatal, 467);
    // Signals and tracing only within the reader itself (LeakSanitizer traces its own process).
    const auto me = static_cast<std::uint64_t>(self);
    for (const char *call : {"kill", "tkill", "tgkill", "rt_sigqueueinfo", "rt_tgsigqueueinfo"})
        when(call, fatal, {other_than(0, me)});
    when("ptrace", fatal, {other_than(1, me)});
    for (const char *call : {"process_madvise", "kcmp", "migrate_pages", "move_pages", "perf_event_open"})
        always(call, fatal);
    // Typing into the terminal that standard error may be.
    when("ioctl", fatal, {equals(1, TIOCSTI)});
    when("ioctl", fatal, {equals(1, TIOCLINUX)});
    // Local sockets reach other programs (a session bus, a container daemon); the network is the source's.
    when("socket", no_access, {equals(0, AF_UNIX)});
    return list;
}

// Where the registers of a trapped call are known, it is answered; elsewhere it is refused outright.
#if defined(__x86_64__) || defined(__aarch64__) || defined(__arm__)
constexpr bool answers_trapped_calls = true;
#else
constexpr bool answers_trapped_calls = false;
#endif

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

struct FilterReleaser {
    void operator()(void *filter) const { seccomp_release(filter); }
};

bool load_filter()
{
    std::unique_ptr<void, FilterReleaser> filter(seccomp_init(SCMP_ACT_ALLOW));
    if (!filter || seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1) != 0)
        return false;
    for (const Refusal &refusal : refusals(getpid())) {
        int number = seccomp_syscall_resolve_name(refusal.call);
        if (number == __NR_SCMP_ERROR)
            number = refusal.number_if_unknown;
        if (number < 0)
            continue;  // not a call of this architecture
        const std::uint32_t action =
            refusal.action == SCMP_ACT_TRAP && !answers_trapped_calls ? SCMP_ACT_ERRNO(EACCES) : refusal.action;
        const auto count = static_cast<unsigned>(refusal.conditions.size());
        if (seccomp_rule_add_array(filter.get(), action, number, count, refusal.conditions.data()) != 0)
            continue;  // a rule that this libseccomp cannot add leaves its call open, and only that call
    }
    struct sigaction answer = {};
    answer.sa_sigaction = answer_trapped_call;
    answer.sa_flags = SA_SIGINFO;
    return sigaction(SIGSYS, &answer, nullptr) == 0 && seccomp_load(filter.get()) == 0;
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
