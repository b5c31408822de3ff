// vantrell: save the embedded album art of a media file or stream, byte for byte.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>  // before the other Windows headers, which need its definitions

#include <io.h>
#include <shellapi.h>
#else
#include <unistd.h>
#endif

namespace {

struct InputCloser {
    void operator()(AVFormatContext *input) const { avformat_close_input(&input); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;

struct PacketFreer {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
using Packet = std::unique_ptr<AVPacket, PacketFreer>;

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A network read that hears nothing for this long fails, so one silent server cannot stall a batch.
constexpr const char *network_silence_limit_us = "30000000";

#ifdef _WIN32
std::wstring wide(const char *utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring text(length > 0 ? length : 1, L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &text[0], length);
    return text;
}

std::FILE *open_for_writing(const char *filename) { return _wfopen(wide(filename).c_str(), L"wb"); }

// Windows gives main its arguments in the ANSI code page, which cannot hold every name; the wide
// command line can, and the library takes file names in UTF-8.
std::vector<std::string> utf8_arguments()
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> converted;
    for (int i = 0; arguments && i < count; i++) {
        const int length = WideCharToMultiByte(CP_UTF8, 0, arguments[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(length > 0 ? length : 1, '\0');
        if (length > 0)
            WideCharToMultiByte(CP_UTF8, 0, arguments[i], -1, &text[0], length, nullptr, nullptr);
        text.pop_back();
        converted.push_back(text);
    }
    LocalFree(arguments);
    return converted;
}

// Windows has no inode: a file is its volume serial number and its index on that volume.
struct FileIdentity {
    DWORD volume = 0, index_high = 0, index_low = 0;
    bool operator==(const FileIdentity &other) const
    {
        return volume == other.volume && index_high == other.index_high && index_low == other.index_low;
    }
};

bool identify_handle(HANDLE handle, FileIdentity *identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return false;
    *identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

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
#else
std::FILE *open_for_writing(const char *filename) { return std::fopen(filename, "wb"); }

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity &other) const { return device == other.device && inode == other.inode; }
};

bool identify_path(const char *path, FileIdentity *identity)
{
    struct stat info;
    if (stat(path, &info) != 0)
        return false;
    *identity = {info.st_dev, info.st_ino};
    return true;
}

bool identify_descriptor(int fd, FileIdentity *identity)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return false;
    *identity = {info.st_dev, info.st_ino};
    return true;
}
#endif

// The local file that uri reads, if it reads one: a path or file: URL by name, pipe:N by descriptor.
bool identify_source(const char *uri, FileIdentity *identity)
{
    const char *protocol = avio_find_protocol_name(uri);
    if (protocol && std::strcmp(protocol, "file") == 0) {
        const char *path = std::strncmp(uri, "file:", 5) == 0 ? uri + 5 : uri;
        return identify_path(path, identity);
    }
    if (protocol && std::strcmp(protocol, "pipe") == 0) {
        const char *number = std::strchr(uri, ':');
        char *end = nullptr;
        const long fd = number ? std::strtol(number + 1, &end, 10) : 0;
        return identify_descriptor(number && end != number + 1 && !*end ? static_cast<int>(fd) : 0, identity);
    }
    return false;
}

// Writing over the very file being read would replace the song with its cover.
bool is_the_source(const char *uri, const char *filename)
{
    FileIdentity source, target;
    return identify_source(uri, &source) && identify_path(filename, &target) && source == target;
}

#ifndef _WIN32
// The CA bundle to trust: SSL_CERT_FILE when set, else the system's bundle where the usual systems keep
// it. When none is there, the first name still goes to the library, which then trusts nothing at all
// rather than falling back to trusting everyone.
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
#endif

// Every connection the library opens for the source verifies its certificate and gives up on a silent
// peer. Files and pipes are left to wait: their producer is the user's own.
void add_network_options(const char *url, AVDictionary **options)
{
    const char *protocol = avio_find_protocol_name(url);
    if (protocol && (std::strcmp(protocol, "file") == 0 || std::strcmp(protocol, "pipe") == 0))
        return;
    av_dict_set(options, "rw_timeout", network_silence_limit_us, 0);
    av_dict_set(options, "tls_verify", "1", 0);
#ifndef _WIN32  // Windows' own TLS verifies against the Windows certificate store
    av_dict_set(options, "ca_file", ca_bundle(), 0);
#endif
}

using OpenFunction = int (*)(AVFormatContext *, AVIOContext **, const char *, int, AVDictionary **);
OpenFunction library_open;

// The same for what a demuxer opens on its own, such as the parts that a playlist names.
int open_guarded(AVFormatContext *input, AVIOContext **pb, const char *url, int flags, AVDictionary **options)
{
    AVDictionary *own = nullptr;
    AVDictionary **settings = options ? options : &own;
    add_network_options(url, settings);
    const int result = library_open(input, pb, url, flags, settings);
    av_dict_free(&own);
    return result;
}

// What the interrupt callback may look at: the source's I/O context, forgotten before it closes.
struct SourceWatch {
    const AVIOContext *source = nullptr;
    bool failed = false;
};

// Once a read of the source has failed, the most common cause being a server silent for the whole
// limit (a time-out, or an I/O error in newer libraries), give up at once rather than wait again on
// each further read or reconnection that a demuxer tries.
int source_failed(void *opaque)
{
    SourceWatch *watch = static_cast<SourceWatch *>(opaque);
    if (watch->source && watch->source->error < 0)
        watch->failed = true;
    return watch->failed;
}

struct SourceCloser {
    SourceWatch *watch;
    void operator()(AVIOContext *source) const
    {
        watch->source = nullptr;  // the close frees the context before its connection says goodbye
        avio_closep(&source);
    }
};
using Source = std::unique_ptr<AVIOContext, SourceCloser>;

// The first attached picture that holds bytes; an empty one is no picture at all.
const AVPacket *first_picture(const AVFormatContext *input)
{
    for (unsigned i = 0; i < input->nb_streams; i++) {
        const AVStream *stream = input->streams[i];
        if ((stream->disposition & AV_DISPOSITION_ATTACHED_PIC) && stream->attached_pic.size > 0)
            return &stream->attached_pic;
    }
    return nullptr;
}

// One write of the whole picture; success needs the close too, since a full disk may only show there.
bool write_picture(const AVPacket *picture, const char *filename)
{
    File out(open_for_writing(filename));
    if (!out)
        return false;
    const bool written = std::fwrite(picture->data, picture->size, 1, out.get()) == 1;
    return std::fclose(out.release()) == 0 && written;
}

// The lines are a report and the file is the product: a reader that went away must not end the run,
// and a closed standard stream must not lend its number to the source or the output file.
void detach_from_standard_streams()
{
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifndef _WIN32
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) == -1)
            std::_Exit(0);
    }
#endif
}

}  // namespace

void retrieve_album_art(const char *uri, const char *filename)
{
    if (!uri) {
        std::puts("Path is NULL");
        return;
    }

    std::printf("Opening %s\n", uri);
    std::fflush(stdout);  // a stalled source should still show what it is waiting on

    // The source is opened here rather than by the format open, so that it outlives the format context
    // and the interrupt callback only ever looks at memory that is still there.
    SourceWatch watch;
    const AVIOInterruptCB interrupt = {source_failed, &watch};
    AVIOContext *reader = nullptr;
    AVDictionary *options = nullptr;
    add_network_options(uri, &options);
    const int read_result = avio_open2(&reader, uri, AVIO_FLAG_READ, &interrupt, &options);
    av_dict_free(&options);  // what no protocol took: a plain HTTP source has no use for the TLS ones
    Source source(read_result < 0 ? nullptr : reader, SourceCloser{&watch});
    watch.source = source.get();

    // The open frees this context itself when it fails.
    AVFormatContext *opened = source ? avformat_alloc_context() : nullptr;
    if (opened) {
        opened->pb = source.get();
        opened->interrupt_callback = interrupt;
        library_open = opened->io_open;
        opened->io_open = open_guarded;
    }
    if (!opened || avformat_open_input(&opened, uri, nullptr, nullptr) != 0) {
        std::puts("avformat_open_input() failed");
        return;
    }
    Input input(opened);

    // A source that stopped early leaves an I/O error behind, or a picture marked as read short.
    const AVPacket *stored = first_picture(input.get());
    if ((input->pb && input->pb->error < 0) || (stored && (stored->flags & AV_PKT_FLAG_CORRUPT))) {
        std::puts("could not read the format header");
        return;
    }
    if (!stored)
        return;

    Packet picture(av_packet_alloc());
    if (!picture || av_packet_ref(picture.get(), stored) < 0) {
        std::printf("could not write album art to %s\n", filename);
        return;
    }
    input.reset();  // the picture is our own reference now
    source.reset();

    const bool saved = !is_the_source(uri, filename) && write_picture(picture.get(), filename);
    av_packet_unref(picture.get());
    if (saved)
        std::printf("Wrote album art to %s\n", filename);
    else
        std::printf("could not write album art to %s\n", filename);
}

int main(int argc, char **argv)
{
#ifdef _WIN32
    std::vector<std::string> arguments = utf8_arguments();
    std::vector<char *> pointers;
    for (std::string &argument : arguments)
        pointers.push_back(&argument[0]);
    pointers.push_back(nullptr);
    argc = static_cast<int>(arguments.size());
    argv = pointers.data();
#endif
    detach_from_standard_streams();
    avformat_network_init();
#if LIBAVFORMAT_VERSION_INT < AV_VERSION_INT(58, 9, 100)
    av_register_all();
#endif

    if (argc != 3)
        std::puts("usage: vantrell uri filename");
    else
        retrieve_album_art(argv[1], argv[2]);
    return 0;
}
