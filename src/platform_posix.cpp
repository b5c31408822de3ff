// The platform layer on Linux and other POSIX systems.
#include "platform.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

FileIdentity identity_of(const struct stat &info)
{
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
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

std::FILE *open_for_writing(const char *filename) { return std::fopen(filename, "wb"); }

void detach_from_standard_streams()
{
    std::signal(SIGPIPE, SIG_IGN);
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
