"""Shared pieces of the black-box tests: running vantrell, its own lines, the test media, a loopback server."""
import contextlib
import errno
import gzip
import hashlib
import http.server
import json
import os
import re
import shutil
import signal
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

# An emulator or valgrind may stand before the binary.
BATCH_COMMAND = os.environ["VANTRELL_BATCH_COMMAND"].split("|")
# In the batch pass every run is vantrell-batch, fed its one pair on standard input.
BATCH = os.environ.get("VANTRELL_BATCH") == "1"
VANTRELL_COMMAND = os.environ["VANTRELL_COMMAND"].split("|")
COMMAND = BATCH_COMMAND if BATCH else VANTRELL_COMMAND
MEDIA = os.environ["VANTRELL_MEDIA"]
# Emulators and valgrind make every run slower; the limits stretch with them.
SLOWDOWN = float(os.environ.get("VANTRELL_SLOWDOWN", "1"))
# vantrell.exe under wine: Windows text streams end lines in CRLF, and some Unix things have no Windows kind.
WINDOWS = os.environ.get("VANTRELL_WINDOWS") == "1"
EOL = "\r\n" if WINDOWS else "\n"
# The lean FFmpeg of the static and Windows builds has only the protocols that read files, pipes and servers.
LEAN = os.environ.get("VANTRELL_LEAN_FFMPEG") == "1"
with open(os.path.join(MEDIA, "manifest.json")) as manifest:
    MANIFEST = json.load(manifest)
# Covers that only tag readers see, and what is no picture however it is stored (picture None).
with open(os.path.join(MEDIA, "hidden.json")) as manifest:
    HIDDEN = json.load(manifest)

OWN_LINE = re.compile(r"^(usage: vantrell uri filename|usage: vantrell-batch < uri NUL filename NUL \.\.\."
                      r"|usage: vantrell-batch: no filename after .*|Path is NULL|Opening .*|avformat_open_input\(\) failed"
                      r"|could not read the format header|Wrote album art to .*|could not write album art to .*)$")
# What a sanitizer or valgrind prints when it finds something, even where the exit status hides it.
CHECKER_REPORT = re.compile(r"ERROR: (Address|Leak)Sanitizer|LeakSanitizer has encountered|WARNING: ThreadSanitizer|"
                            r"runtime error:|==\d+== (Invalid|Conditional|.*lost in)")


KEEP = b"an older file that must survive\n"  # what a pre-existing filename holds


def report(text):
    """A finding about the platform under test (a library version's behaviour, a time), which CI shows."""
    print(f"report: {text}", flush=True)


def media(name):
    return os.path.join(MEDIA, name)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def picture_of(name):
    return read(media(name))


class Result:
    def __init__(self, completed):
        self.status = completed.returncode
        self.output = completed.stdout.decode(errors="replace")
        # Lines end as the platform's text streams end them, every one of them and nothing else.
        self.lines = self.output.split(EOL)[:-1]
        self.stderr = completed.stderr.decode(errors="replace")

    def well_formed(self):
        return EOL.join(self.lines + [""]) == self.output and not any("\r" in line or "\n" in line
                                                                      for line in self.lines)

    def __repr__(self):
        return f"status {self.status}, lines {self.lines}, stderr tail {self.stderr[-600:]!r}"


def pairs(*names):
    """vantrell-batch's input: the names, each ended by NUL."""
    return b"".join(os.fsencode(name) + b"\0" for name in names)


def invocation(args, stdin):
    """The arguments and standard input that do `vantrell ARGS`: in the batch pass, no arguments and the
    pair on standard input, which therefore cannot hold a source."""
    if not BATCH:
        return list(args), stdin
    if stdin is not None:
        raise unittest.SkipTest("vantrell-batch reads its pairs from standard input, which cannot hold the source too")
    if len(args) != 2:
        raise unittest.SkipTest("vantrell-batch takes no arguments; its pairs come on standard input")
    return [], pairs(*args)


def run(*args, stdin=None, timeout=20, cwd=None, command=COMMAND, env=None):
    """Runs vantrell (or command) with these arguments; stdin is a path or bytes, sent through a pipe, or an
    open file, given as it is; env holds variables to set, or to remove where the value is None."""
    args, stdin = invocation(args, stdin)
    if isinstance(stdin, str):
        with open(stdin, "rb") as source:
            stdin = source.read()
    changes = env or {}
    environment = {name: value for name, value in {**os.environ, **changes}.items() if value is not None}
    feed = {"stdin": stdin} if hasattr(stdin, "fileno") else {"input": stdin if stdin is not None else b""}
    def attempt():
        return subprocess.run(command + list(args), capture_output=True, timeout=timeout * SLOWDOWN, cwd=cwd,
                              env=environment, **feed)
    completed = attempt()
    if WINDOWS and completed.returncode == 1 and not completed.stdout and not completed.stderr and "input" in feed:
        # Now and then, under load, wine ends a program with status 1 before it runs: no line, no message.
        # vantrell never exits 1, so this is the emulator's; the run is tried once more, and CI shows it.
        report(f"wine did not start {os.path.basename(command[-1])}; tried again")
        completed = attempt()
    return Result(completed)


def success_line(filename):
    return f"Wrote album art to {filename}"


def hls_playlist(segment):
    """An HLS playlist naming one segment: saved as a .mp3, it must never yield a picture."""
    return b"#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:1,\n" + segment.encode() + b"\n#EXT-X-ENDLIST\n"


class VantrellCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vantrell-test-", dir=os.environ.get("VANTRELL_SCRATCH"))
        self.addCleanup(shutil.rmtree, self.dir, True)

    def scratch(self, name, content=None):
        path = os.path.join(self.dir, name)
        if content is not None:
            with open(path, "wb") as f:
                f.write(content)
        return path

    def assertClean(self, result):
        """Exit 0, no signal, no checker report, and nothing on standard output but the program's own lines."""
        self.assertEqual(result.status, 0, result)
        self.assertIsNone(CHECKER_REPORT.search(result.stderr), result)
        self.assertTrue(result.well_formed(), f"lines must each end in {EOL!r}: {result.output!r}")
        for line in result.lines:
            self.assertRegex(line, OWN_LINE, result)

    def assertExtracted(self, result, uri, out, picture, where=""):
        self.assertClean(result)
        self.assertEqual(result.lines, [f"Opening {uri}", success_line(out)], result)
        self.assertEqual(read(os.path.join(where, out)), picture, f"{out} differs from the stored picture")

    def assertRefused(self, result, uri, line, out=None, kept=None):
        """The failure line after the opening one; out, if given, still holds kept (None: absent)."""
        self.assertClean(result)
        self.assertEqual(result.lines, [f"Opening {uri}"] + ([line] if line else []), result)
        if out is not None:
            self.assertFileHolds(out, kept)

    def assertUntouched(self, result, out):
        """Whatever went wrong, no success line and filename still holds KEEP."""
        self.assertClean(result)
        self.assertNotIn(success_line(out), result.lines)
        self.assertFileHolds(out, KEEP)

    def skip_unless_confined(self):
        if unconfined_reason():
            self.skipTest(unconfined_reason())

    def victims(self, act):
        """A folder holding one file, victim, for a hijacked demuxer to attack with act; the environment that
        sets it on, and a function that tells what the folder holds."""
        folder = self.scratch(f"victims of {act}")
        os.makedirs(folder)
        self.scratch(os.path.join(folder, "victim"), KEEP)
        def contents():
            return {name: read(os.path.join(folder, name)) for name in sorted(os.listdir(folder))}
        return {**fault_environment(), "VANTRELL_VICTIMS": folder}, contents

    def assertFileHolds(self, path, content):
        if content is None:
            self.assertFalse(os.path.lexists(path), f"{path} was created")
        else:
            self.assertEqual(read(path), content, f"{path} was changed")


# A demuxer gone wrong, stood in for by a library that the tests preload: when a file whose name holds one
# of these markers is opened, it crashes, or loops for ever burning the processor, or (attack-ACT) a hijacked
# demuxer tries the act on the file "victim" in the folder that VANTRELL_VICTIMS names, then reads on, or
# (hostile-ACT) a reader taken over by a hostile file does the act once, reports on standard error
# ("hostile ACT: ..."), then reads on.
CRASH, SPIN = "crash-on-open", "spin-on-open"
ATTACKS = ["create", "write", "truncate", "delete", "rename", "run-a-program"]
# forge-other: answers a pair that it does not hold; forge-source: claims that filename may take a picture
# that it makes up, filename being its own source; forge-newline: sends a line that holds a newline; random:
# random bytes; flood: announces a gigabyte and sends it; signal: a signal to the supervisor through
# F_SETOWN; prlimit: shrinks the supervisor's file-size limit; child: leaves a process of its own behind;
# gate: rewrites every word of memory that it shares; probe: tries each call that a reader is refused.
# The forgers speak the supervisor's protocol, whichever it speaks, learnt from the request that they got.
HOSTILE = ["forge-other", "forge-source", "forge-newline", "random", "flood", "signal", "prlimit", "child", "gate",
           "probe"]
FAULT_LIBRARY = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/netlink.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

static void attack(const char *act)
{
    const char *folder = getenv("VANTRELL_VICTIMS");
    char victim[4096], other[4096];
    if (!folder)
        return;
    snprintf(victim, sizeof victim, "%s/victim", folder);
    snprintf(other, sizeof other, "%s/other", folder);
    int fd = -1;
    if (!strncmp(act, "create", 6))
        fd = open(other, O_WRONLY | O_CREAT, 0644);
    else if (!strncmp(act, "write", 5))
        fd = open(victim, O_WRONLY);
    else if (!strncmp(act, "truncate", 8))
        truncate(victim, 0);
    else if (!strncmp(act, "delete", 6))
        unlink(victim);
    else if (!strncmp(act, "rename", 6))
        rename(victim, other);
    else if (!strncmp(act, "run-a-program", 13))
        execl("/bin/sh", "sh", "-c", "echo ran >\"$VANTRELL_VICTIMS/other\"", (char *)NULL);
    if (fd >= 0 && write(fd, "hijacked", 8) == 8)
        close(fd);
}

/* What the reader last received from its supervisor, and where: the forgers answer in kind. */
static int connection = -1;
static unsigned char received[1 << 16];
static size_t received_size;

ssize_t recv(int fd, void *buffer, size_t size, int flags)
{
    static ssize_t (*real)(int, void *, size_t, int);
    if (!real)
        real = (ssize_t (*)(int, void *, size_t, int))dlsym(RTLD_NEXT, "recv");
    const ssize_t got = real(fd, buffer, size, flags);
    if (got > 0) {
        connection = fd;
        received_size = (size_t)got < sizeof received ? (size_t)got : sizeof received;
        memcpy(received, buffer, received_size);
    }
    return got;
}

static void put(char **at, const void *bytes, size_t size) { memcpy(*at, bytes, size); *at += size; }

static void number(char **at, uint64_t value)
{
    for (int i = 0; i < 8; i++)
        *(*at)++ = (char)(value >> (8 * i));
}

static void send_all(const char *bytes, size_t size)
{
    while (size > 0) {
        const ssize_t sent = send(connection, bytes, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        bytes += sent;
        size -= (size_t)sent;
    }
}

/* The request that named path: whether it came in the form with pair numbers, and its number. */
static int request_for(const char *path, uint64_t *pair)
{
    const size_t length = strlen(path);
    for (size_t at = 0; at + length <= received_size; at++) {
        if (memcmp(received + at, path, length) != 0)
            continue;
        if (at >= 17 && received[at - 17] == 'R' && received[at - 1] == 0) {
            *pair = 0;
            for (int i = 0; i < 8; i++)
                *pair |= (uint64_t)received[at - 16 + i] << (8 * i);
            return 1;
        }
        return 0;
    }
    return 0;
}

/* One outcome in the supervisor's form (kind O, number, size, ending, flags, picture), or the older report
   (kind and size, then a line, a picture and an end). */
static size_t outcome(char *out, int numbered, uint64_t pair, const char *uri, char kind, const char *picture,
                      size_t size)
{
    char *at = out;
    if (numbered) {
        put(&at, &kind, 1), number(&at, pair), number(&at, size);
        put(&at, size ? "\4\0" : "\1\0", 2);
        put(&at, picture, size);
        return (size_t)(at - out);
    }
    char line[4200];
    const int length = snprintf(line, sizeof line, "Opening %s", uri);
    put(&at, "L", 1), number(&at, (uint64_t)length), put(&at, line, (size_t)length);
    put(&at, "P", 1), number(&at, size), put(&at, picture, size);
    put(&at, "E", 1), number(&at, 1), put(&at, "0", 1);
    return (size_t)(at - out);
}

/* The supervisor: the highest of the ancestors that run the same program. */
static pid_t supervisor(void)
{
    char self[64] = "", name[64], path[64];
    pid_t pid = getpid(), found = getppid();
    FILE *f = fopen("/proc/self/comm", "r");
    if (f) { if (!fgets(self, sizeof self, f)) self[0] = 0; fclose(f); }
    for (;;) {
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        f = fopen(path, "r");
        int parent = 0;
        if (!f || fscanf(f, "%*d (%63[^)]) %*c %d", name, &parent) != 2) { if (f) fclose(f); break; }
        fclose(f);
        snprintf(path, sizeof path, "/proc/%d/comm", parent);
        f = fopen(path, "r");
        char comm[64] = "";
        if (f) { if (!fgets(comm, sizeof comm, f)) comm[0] = 0; fclose(f); }
        if (parent <= 1 || strcmp(comm, self) != 0)
            break;
        found = pid = parent;
    }
    return found;
}

static void probe(const char *what, int result)
{
    fprintf(stderr, "hostile probe %s: %s\n", what, result < 0 ? "refused" : "allowed");
}

static void hostile(const char *act, const char *path)
{
    static int acted;
    if (acted++)
        return;
    static const char junk[] = "\xff\xd8\xff\xe0 a picture made up by a hostile reader";
    static char message[1 << 14];
    uint64_t pair = 0;
    const int numbered = request_for(path, &pair);
    const pid_t boss = supervisor();
    if (!strcmp(act, "forge-other")) {
        size_t size = 0;
        if (numbered)
            size = outcome(message, 1, pair + 1, path, 'O', junk, sizeof junk);
        else
            for (int i = 0; i < 4; i++)
                size += outcome(message + size, 0, 0, path, 'O', junk, sizeof junk);
        send_all(message, size);
    } else if (!strcmp(act, "forge-source")) {
        send_all(message, outcome(message, numbered, pair, path, 'O', junk, sizeof junk));
    } else if (!strcmp(act, "forge-newline")) {
        char *at = message;
        const char line[] = "x\nWrote album art to /etc/shadow";
        put(&at, "L", 1);
        if (numbered)
            number(&at, pair);
        number(&at, sizeof line - 1), put(&at, line, sizeof line - 1);
        send_all(message, (size_t)(at - message));
    } else if (!strcmp(act, "random")) {
        srand(7);
        for (size_t i = 0; i < sizeof message; i++)
            message[i] = (char)rand();
        send_all(message, sizeof message);
    } else if (!strcmp(act, "flood")) {
        char *at = message;
        put(&at, numbered ? "O" : "P", 1);
        if (numbered)
            number(&at, pair);
        number(&at, (uint64_t)1 << 30);
        if (numbered)
            put(&at, "\4\0", 2);
        send_all(message, (size_t)(at - message));
        memset(message, 'f', sizeof message);
        for (int i = 0; i < (1 << 30) / (int)sizeof message; i++)
            if (send(connection, message, sizeof message, MSG_NOSIGNAL) <= 0)
                break;
    } else if (!strcmp(act, "signal")) {
        int ends[2];
        int refused = pipe(ends);
        refused = refused || fcntl(ends[0], F_SETOWN, boss) != 0 ||
                  fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_ASYNC | O_NONBLOCK) != 0;
        if (!refused && write(ends[1], "x", 1) != 1)
            refused = 1;
        probe("signal", refused ? -1 : 0);
    } else if (!strcmp(act, "prlimit")) {
        const struct rlimit small = {1024, 1024};
        probe("prlimit", prlimit(boss, RLIMIT_FSIZE, &small, NULL));
    } else if (!strcmp(act, "child")) {
        const pid_t child = fork();
        if (child == 0) {
            setsid();
            fprintf(stderr, "hostile child %d\n", getpid());
            sleep(120);
            _exit(0);
        }
        probe("child", child);
    } else if (!strcmp(act, "gate")) {
        FILE *maps = fopen("/proc/self/maps", "r");
        char line[512];
        int written = 0;
        while (maps && fgets(line, sizeof line, maps)) {
            unsigned long start, end;
            char permissions[8];
            /* Shared memory of the process's own making; a debugger's or valgrind's is not the program's. */
            if (sscanf(line, "%lx-%lx %7s", &start, &end, permissions) == 3 && !strcmp(permissions, "rw-s") &&
                strstr(line, "/memfd:")) {
                memset((void *)start, 0xff, 8);
                written++;
            }
        }
        if (maps)
            fclose(maps);
        fprintf(stderr, "hostile gate: %d words rewritten\n", written);
    } else if (!strcmp(act, "probe")) {
        const int fd = open(path, O_RDONLY);
        int flags = 0;
        char name[64];
        probe("socket AF_UNIX", socket(AF_UNIX, SOCK_STREAM, 0));
        probe("socket AF_PACKET", socket(AF_PACKET, SOCK_RAW, 0));
        probe("socket AF_VSOCK", socket(AF_VSOCK, SOCK_STREAM, 0));
        probe("socket AF_NETLINK netfilter", socket(AF_NETLINK, SOCK_RAW, NETLINK_NETFILTER));
        probe("socket AF_INET without the network", socket(AF_INET, SOCK_STREAM, 0));
        probe("ioctl FS_IOC_SETFLAGS", ioctl(fd, FS_IOC_SETFLAGS, &flags));
        probe("flock", flock(fd, LOCK_SH));
        struct flock lock = {.l_type = F_RDLCK, .l_whence = SEEK_SET};
        probe("fcntl F_SETLK", fcntl(fd, F_SETLK, &lock));
        probe("fcntl F_SETOWN", fcntl(fd, F_SETOWN, boss));
        probe("fcntl O_ASYNC", fcntl(fd, F_SETFL, O_ASYNC));
        probe("setsid", setsid());
        probe("setpgid", setpgid(0, 0));
        probe("sethostname", getuid() == 0 ? sethostname("hostile", 7) : -1);
        snprintf(name, sizeof name, "/proc/%d/fd/0", boss);
        probe("the supervisor's standard input", open(name, O_RDONLY));
        probe("a descriptor left open by the shell", write(5, "hostile\n", 8));
        probe("a user namespace", (int)syscall(SYS_clone, CLONE_NEWUSER | SIGCHLD, 0, 0, 0, 0) == 0 ? (_exit(0), 0) : -1);
    }
}

/* A layer of confinement that the kernel offers but that cannot be applied, as VANTRELL_REFUSE_LAYER names
   it: landlock (restricting itself), seccomp (taking a filter) or capabilities (dropping them). */
long syscall(long number, ...)
{
    static long (*real)(long, ...);
    if (!real)
        real = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    va_list rest;
    va_start(rest, number);
    long a[6];
    for (int i = 0; i < 6; i++)
        a[i] = va_arg(rest, long);
    va_end(rest);
    const char *refused = getenv("VANTRELL_REFUSE_LAYER");
    if (refused && ((!strcmp(refused, "landlock") && number == 446) ||
                    (!strcmp(refused, "seccomp") && number == SYS_seccomp && a[0] == 1) ||
                    (!strcmp(refused, "capabilities") && number == SYS_capset))) {
        errno = EPERM;
        return -1;
    }
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

static void misbehave(const char *path)
{
    const char *name = strrchr(path, '/');
    name = name ? name + 1 : path;
    if (strstr(name, "crash-on-open"))
        raise(SIGSEGV);
    if (strstr(name, "spin-on-open"))
        for (volatile unsigned long turns = 0;; turns++)
            ;
    if (strstr(name, "attack-"))
        attack(strstr(name, "attack-") + 7);
    if (strstr(name, "hostile-")) {
        char act[64];
        snprintf(act, sizeof act, "%s", strstr(name, "hostile-") + 8);
        *strchrnul(act, '.') = 0;
        hostile(act, path);
    }
}

#define OPEN(name)                                                         \
    int name(const char *path, int flags, ...)                             \
    {                                                                      \
        static int (*real)(const char *, int, ...);                        \
        int mode = 0;                                                      \
        if (flags & (O_CREAT | O_TMPFILE)) {                               \
            va_list rest;                                                  \
            va_start(rest, flags);                                         \
            mode = va_arg(rest, int);                                      \
            va_end(rest);                                                  \
        }                                                                  \
        if (!real)                                                         \
            real = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, #name); \
        misbehave(path);                                                   \
        return real(path, flags, mode);                                    \
    }
OPEN(open)
OPEN(open64)
"""


def run_under(tool):
    """Whether the suite runs the program under tool (an emulator, a checker), whose name starts so."""
    return any(os.path.basename(word).startswith(tool) for word in COMMAND[:-1])


def unconfined_reason():
    """Why readers run unconfined in this configuration, or None where the kernel confines them."""
    if WINDOWS:
        return "Windows readers are threads of the program, unconfined"
    if run_under("qemu"):
        return "qemu keeps the program's seccomp filter and Landlock rules off"
    if run_under("valgrind"):
        return "valgrind does not let a program install a seccomp filter or Landlock rules"
    return None


def fault_environment():
    """The environment that preloads the fault library into the program, compiled now; skips the test where a
    preloaded library cannot reach the program's opens (Windows, an emulator, a static binary)."""
    program = COMMAND[-1]
    if WINDOWS:
        raise unittest.SkipTest("Windows readers are threads of the program: a crash there ends the run")
    if run_under("qemu"):
        raise unittest.SkipTest("under qemu a preloaded library would go into the emulator, not the program")
    interpreter = subprocess.run(["readelf", "-l", program], capture_output=True, text=True).stdout
    if "program interpreter" not in interpreter:
        raise unittest.SkipTest("a static program has no dynamic loader to preload a library")
    folder = os.environ.get("VANTRELL_SCRATCH") or tempfile.gettempdir()
    library = os.path.join(folder, f"fault-on-open-{hashlib.sha256(FAULT_LIBRARY.encode()).hexdigest()[:12]}.so")
    if not os.path.exists(library):
        source = os.path.join(folder, f"fault-on-open-{os.getpid()}.c")
        with open(source, "w") as f:
            f.write(FAULT_LIBRARY)
        subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", f"{library}.{os.getpid()}", source, "-ldl"], check=True)
        os.replace(f"{library}.{os.getpid()}", library)  # whole, even when suites build it side by side
    # A sanitizer must neither insist on coming first nor report the crash as a finding of its own; valgrind
    # would take what a crashed reader still held for lost.
    options = "verify_asan_link_order=0:handle_segv=0"
    return {"LD_PRELOAD": library, "ASAN_OPTIONS": f"{os.environ.get('ASAN_OPTIONS', '')}:{options}",
            "TSAN_OPTIONS": f"{os.environ.get('TSAN_OPTIONS', '')}:handle_segv=0", "VALGRIND_OPTS": "--leak-check=no"}


def stat_field(pid, field):
    """A number of process pid's line in /proc (3: its parent, 5: its session); None once it has gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[field - 2])
    except (OSError, ValueError, IndexError):
        return None


def parent_of(pid):
    return stat_field(pid, 3)


def session_of(pid):
    return stat_field(pid, 5)


def descendants(pid):
    """pid and every process below it, from /proc."""
    parents = {int(entry): parent_of(entry) for entry in os.listdir("/proc") if entry.isdigit()}
    found, frontier = [pid], [pid]
    while frontier:
        frontier = [child for child, parent in parents.items() if parent in frontier]
        found += frontier
    return found


def holders(pid, path):
    """The processes at or below pid that hold path open."""
    held = []
    for process in descendants(pid):
        try:
            links = [os.readlink(f"/proc/{process}/fd/{fd}") for fd in os.listdir(f"/proc/{process}/fd")]
        except OSError:
            continue
        if path in links:
            held.append(process)
    return held


def read_fifo_when_written(fifo, taken, released=None, timeout=30):
    """Opens fifo for reading now, so that a writer finds a reader there, and starts a thread that, once
    released is set (at once where None) and a writer has written, appends all that it wrote to taken."""
    import select
    end = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)

    def take():
        if released is not None:
            released.wait(timeout * SLOWDOWN)
        waiting = select.poll()
        waiting.register(end, select.POLLIN)
        waiting.poll(timeout * SLOWDOWN * 1000)  # a FIFO that no writer has opened reads as ended
        os.set_blocking(end, True)
        with os.fdopen(end, "rb") as f:
            taken.append(f.read())
    reader = threading.Thread(target=take, daemon=True)
    reader.start()
    return reader


def run_holding_a_fifo(command, feed, fifo, while_held, timeout=30):
    """Runs command with feed on standard input, one of whose sources is the FIFO fifo. Once a process holds
    the FIFO open and waits for the rest of a FLAC header, calls while_held(supervisor's pid, the processes
    that hold the FIFO, the FIFO's writing end). The Result, and the processes that held the FIFO."""
    if os.geteuid() != 0:
        raise unittest.SkipTest("only root sees what a reader holds open: readers may not be looked into")
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdin.write(feed or b"")
    process.stdin.close()
    process.stdin = None  # closed by hand, so communicate only reads
    deadline = time.monotonic() + timeout * SLOWDOWN
    writer = None
    try:
        while writer is None and time.monotonic() < deadline:  # a writer can open once the reader has
            try:
                writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError as error:
                if error.errno != errno.ENXIO:
                    raise
                time.sleep(0.02)
        if writer is None:
            raise AssertionError("no process opened the FIFO")
        os.write(writer, b"fLaC")  # the start of a header, so that the reader waits for the rest
        held = []
        while not held and time.monotonic() < deadline:
            held = holders(process.pid, fifo)
        writer = while_held(process.pid, held, writer)
        output, errors = process.communicate(timeout=timeout * SLOWDOWN)
    finally:
        if writer is not None:
            os.close(writer)
        if process.poll() is None:
            process.kill()
            process.communicate()
    return Result(subprocess.CompletedProcess(process.args, process.returncode, output, errors)), held


def run_ending_the_reader(command, feed, fifo, how=signal.SIGKILL, timeout=30):
    """As run_holding_a_fifo, sending the signal how to the processes that hold the FIFO."""
    def end(_, held, writer):
        for pid in held:
            os.kill(pid, how)
        return writer
    return run_holding_a_fifo(command, feed, fifo, end, timeout)


class LoopbackServer:
    """An HTTP server on 127.0.0.1 that serves a few routes, some of them broken on purpose.

    routes maps a path to a dict: body (bytes), status, cut (bytes of body sent before the connection
    drops), gzip, redirect (a path), cut_headers (drop inside the status line and headers), silent (send
    nothing at all), stall (bytes of body sent before the server falls silent, the connection left open),
    drip ((bytes, seconds): that many bytes of body at once, then one byte every so many seconds), rate
    (bytes of body a second, sent a quarter of that every quarter second), late (seconds before any answer).
    tls, if given, is a (certificate, key) pair: the server then speaks HTTPS. one_at_a_time: the server
    answers one request at a time, as a small one does; busy_above: more requests than this at once are
    answered 503. The most connections and requests it had open at once are kept, and the statuses answered.
    """

    def __init__(self, routes, tls=None, one_at_a_time=False, busy_above=None):
        self.routes = routes
        self.requests = []
        self.statuses = []
        self.released = threading.Event()  # silent and stalled connections stay open until the server stops
        self.count_lock = threading.Lock()
        self.turn = threading.Lock() if one_at_a_time else contextlib.nullcontext()
        self.busy_above = busy_above
        self.connections = self.most_connections = self.in_flight = self.most_in_flight = 0
        server = self

        def count(field, step):
            with server.count_lock:
                setattr(server, field, getattr(server, field) + step)
                most = "most_" + field
                setattr(server, most, max(getattr(server, most), getattr(server, field)))
                return getattr(server, field)

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def setup(self):
                count("connections", 1)
                super().setup()

            def finish(self):
                count("connections", -1)
                super().finish()

            def send_response(self, code, message=None):
                server.statuses.append(code)
                super().send_response(code, message)

            def do_GET(self):
                at_once = count("in_flight", 1)
                try:
                    if server.busy_above is not None and at_once > server.busy_above:
                        return self.reply(503, b"busy")
                    with server.turn:
                        self.answer()
                finally:
                    count("in_flight", -1)

            def answer(self):
                server.requests.append(self.path)
                route = server.routes.get(self.path.split("?")[0])
                if route and route.get("late"):
                    server.released.wait(route["late"])
                if route is None:
                    return self.reply(404, b"not found")
                if "redirect" in route:
                    self.send_response(302)
                    self.send_header("Location", server.url(route["redirect"]))
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                if route.get("silent"):
                    server.released.wait()
                    return
                if route.get("cut_headers"):
                    self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: audio/")
                    self.close_connection = True
                    return
                if "drip" in route or "rate" in route:
                    return self.trickle(route)
                self.reply(route.get("status", 200), route.get("body", b""), route.get("cut", route.get("stall")),
                           route.get("gzip"))
                if "stall" in route:
                    server.released.wait()

            def trickle(self, route):
                """The whole body, slowly: a drip after its first bytes, or a steady rate."""
                start, pause = route["drip"] if "drip" in route else (0, 0.25)
                step = 1 if "drip" in route else max(route["rate"] // 4, 1)
                body, _ = self.send_headers(200, route["body"])
                self.close_connection = True
                try:
                    self.wfile.write(body[:start])
                    for at in range(start, len(body), step):
                        if server.released.wait(pause):
                            return
                        self.wfile.write(body[at:at + step])
                        self.wfile.flush()
                except OSError:  # the client gave up
                    pass

            def range_start(self, body):
                """Where a "Range: bytes=N-" request asks the body to start, when inside it; else None."""
                start = re.match(r"bytes=(\d+)-$", self.headers.get("Range", ""))
                return int(start.group(1)) if start and int(start.group(1)) < len(body) else None

            def send_headers(self, status, body, compress=False):
                """The status line and headers, honouring a range request; the part of body to send, and
                where it starts."""
                offset = self.range_start(body) if status == 200 and not compress else None
                self.send_response(status if offset is None else 206)
                if offset is not None:
                    self.send_header("Content-Range", f"bytes {offset}-{len(body) - 1}/{len(body)}")
                    body = body[offset:]
                self.send_header("Content-Length", str(len(body)))
                if compress:
                    self.send_header("Content-Encoding", "gzip")
                self.end_headers()
                return body, offset or 0

            def reply(self, status, body, cut=None, compress=False):
                body, offset = self.send_headers(status, gzip.compress(body) if compress else body, compress)
                if cut is not None:
                    cut = max(cut - offset, 0)
                try:
                    self.wfile.write(body if cut is None else body[:cut])
                except OSError:  # the client had what it wanted and hung up
                    self.close_connection = True
                if cut is not None:
                    self.close_connection = True

        class Server(http.server.ThreadingHTTPServer):
            request_queue_size = 1024  # clients that connect many at once are not made to wait for a retry

        self.httpd = Server(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.httpd.handle_error = lambda *args: None  # a client that refuses the certificate is expected
        self.scheme = "http"
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            # The handshake happens in the connection's own thread, so a refusing client stalls nobody.
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True,
                                                    do_handshake_on_connect=False)
            self.scheme = "https"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def url(self, path):
        return f"{self.scheme}://127.0.0.1:{self.httpd.server_address[1]}{path}"

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.released.set()
        self.httpd.shutdown()
        self.httpd.server_close()


def make_certificates(folder):
    """A test CA and server certificates made now with the openssl tool: one issued by the CA for 127.0.0.1,
    one for another host name, one expired, and one signed by itself. Returns name -> (certificate, key);
    "ca" -> (CA certificate, None)."""
    def openssl(*args, env=None):
        # The configuration names NAMES, so it must be set even for the steps that do not use it.
        subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=folder,
                       env={**os.environ, "NAMES": "DNS:unused", **(env or {})})

    os.makedirs(folder, exist_ok=True)
    # One configuration for every step, so the system's openssl.cnf adds no extension of its own.
    with open(os.path.join(folder, "ca.cnf"), "w") as config:
        config.write("[req]\ndistinguished_name = dn\n[dn]\n[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\n"
                     "new_certs_dir = .\ncertificate = ca.pem\nprivate_key = ca.key\nserial = serial\n"
                     "default_md = sha256\npolicy = any\nunique_subject = no\n[any]\ncommonName = supplied\n"
                     "[authority]\nbasicConstraints = critical,CA:TRUE\nkeyUsage = critical,keyCertSign,cRLSign\n"
                     "[server]\nbasicConstraints = CA:FALSE\nsubjectAltName = $ENV::NAMES\n")
    open(os.path.join(folder, "index.txt"), "w").close()
    with open(os.path.join(folder, "serial"), "w") as serial:
        serial.write("1000\n")
    new_key = ["-newkey", "rsa:2048", "-nodes", "-config", "ca.cnf"]
    # Both forms of the address: some TLS libraries match an IP address only against DNS names.
    loopback = "IP:127.0.0.1,DNS:127.0.0.1"
    openssl("req", "-x509", *new_key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "30",
            "-subj", "/CN=vantrell test CA", "-extensions", "authority")
    certificates = {"ca": (os.path.join(folder, "ca.pem"), None)}
    for name, names, dates in [("trusted", loopback, ["-days", "30"]),
                               ("other-host", "DNS:music.example", ["-days", "30"]),
                               ("expired", loopback, ["-startdate", "20200101000000Z", "-enddate", "20200201000000Z"])]:
        openssl("req", "-new", *new_key, "-keyout", f"{name}.key", "-out", f"{name}.csr",
                "-subj", f"/CN={names.split(':')[-1]}")
        openssl("ca", "-batch", "-notext", "-config", "ca.cnf", "-extensions", "server", "-in", f"{name}.csr",
                "-out", f"{name}.pem", *dates, env={"NAMES": names})
        certificates[name] = (os.path.join(folder, f"{name}.pem"), os.path.join(folder, f"{name}.key"))
    openssl("req", "-x509", *new_key, "-keyout", "self-signed.key", "-out", "self-signed.pem", "-days", "30",
            "-subj", "/CN=127.0.0.1", "-extensions", "server", env={"NAMES": loopback})
    certificates["self-signed"] = (os.path.join(folder, "self-signed.pem"), os.path.join(folder, "self-signed.key"))
    return certificates
