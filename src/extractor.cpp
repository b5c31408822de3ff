// The extractor: opens one source with its network guard, finds the first picture and hands it over, and
// tells whether filename is a file that was read for the source.
#include "extractor.h"

#include "image_kind.h"
#include "platform.h"
#include "tag_pictures.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/base64.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct InputCloser {
    void operator()(AVFormatContext *input) const { avformat_close_input(&input); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;

using Clock = std::chrono::steady_clock;

// A network source that delivers fewer bytes than this within the span is given up, so that one server,
// silent or dripping a byte now and then, cannot hold a run, or a batch, for long.
constexpr std::int64_t slow_source_bytes = 1024;
constexpr Clock::duration slow_source_span = std::chrono::seconds(30);

bool uses_protocol(const char *url, const char *name)
{
    const char *protocol = avio_find_protocol_name(url);
    return protocol && std::strcmp(protocol, name) == 0;
}

// Files and pipes are the user's own: their producer may take its time.
bool is_local(const char *url) { return uses_protocol(url, "file") || uses_protocol(url, "pipe"); }

// Every connection the library opens for the source verifies its certificate.
void add_network_options(const char *url, AVDictionary **options)
{
    if (is_local(url))
        return;
    av_dict_set(options, "tls_verify", "1", 0);
    if (const char *bundle = platform::ca_bundle())
        av_dict_set(options, "ca_file", bundle, 0);
}

// The file that filename names, when it holds stored bytes that writing would destroy: a device such as
// /dev/null holds none, however many readers it has.
bool identify_stored_file(const char *filename, platform::FileIdentity *identity)
{
    return platform::identify_path(filename, identity) && !identity->character_device;
}

// Answers by which a server says that it has more than it can take: 429 (a 4xx of its own only in newer
// versions of the library), any 5xx, a connection refused or cut.
bool is_push_back(int error)
{
#ifdef AVERROR_HTTP_TOO_MANY_REQUESTS
    if (error == AVERROR_HTTP_TOO_MANY_REQUESTS)
        return true;
#endif
    return error == AVERROR_HTTP_OTHER_4XX || error == AVERROR_HTTP_SERVER_ERROR || error == AVERROR(ECONNREFUSED) ||
           error == AVERROR(ECONNRESET);
}

// One run's state that the library's callbacks see. The interrupt callback may be called from a thread of
// the library's own (the async protocol's), hence the lock; the source's I/O context is read only on the
// thread that opened it, and forgotten before it closes.
struct Run {
    Run(bool network, const char *filename) : network(network), stored(identify_stored_file(filename, &target)) {}

    std::mutex lock;
    const std::thread::id owner = std::this_thread::get_id();
    const bool network;
    const AVIOContext *source = nullptr;
    std::int64_t delivered = 0;
    std::deque<std::pair<Clock::time_point, std::int64_t>> samples;  // one a second, the last span's
    bool failed = false;
    // filename, as the file that it is when the run begins, if it holds stored bytes; whether it is a file
    // read for the source, by whatever protocol or demuxer read it. Only the opening thread looks.
    platform::FileIdentity target;
    const bool stored;
    bool filename_read = false;

    void watch(const AVIOContext *context)
    {
        std::lock_guard<std::mutex> hold(lock);
        source = context;
    }

    void look_for_filename_among_open_files()
    {
        filename_read = filename_read || (stored && platform::is_open_for_reading(target));
    }

    bool too_slow()
    {
        const Clock::time_point now = Clock::now();
        if (samples.empty() || now - samples.back().first >= std::chrono::seconds(1))
            samples.emplace_back(now, delivered);
        while (samples.size() > 1 && now - samples[1].first >= slow_source_span)
            samples.pop_front();
        return now - samples.front().first >= slow_source_span &&
               delivered - samples.front().second < slow_source_bytes;
    }
};

int give_up(void *opaque)
{
    Run *run = static_cast<Run *>(opaque);
    std::lock_guard<std::mutex> hold(run->lock);
    if (!run->failed && run->source && std::this_thread::get_id() == run->owner) {
        // A read that failed, most often a server gone quiet, ends the run at once rather than after a wait
        // on each further read or reconnection that a demuxer tries.
        run->failed = run->source->error < 0;
        run->delivered = run->source->bytes_read;
    }
    if (!run->failed && run->network)
        run->failed = run->too_slow();
    return run->failed;
}

struct SourceCloser {
    Run *run;
    void operator()(AVIOContext *source) const
    {
        run->watch(nullptr);  // the close frees the context before its connection says goodbye
        avio_closep(&source);
    }
};
using Source = std::unique_ptr<AVIOContext, SourceCloser>;

// What a demuxer opens on its own, such as the parts that a playlist names, is opened as the library
// would open it, with the same network guard, and its files count as the source's.
int open_guarded(AVFormatContext *input, AVIOContext **pb, const char *url, int flags, AVDictionary **options)
{
    AVDictionary *own = nullptr;
    AVDictionary **settings = options ? options : &own;
    add_network_options(url, settings);
    if (input->protocol_whitelist)
        av_dict_set(settings, "protocol_whitelist", input->protocol_whitelist, AV_DICT_DONT_OVERWRITE);
    if (input->protocol_blacklist)
        av_dict_set(settings, "protocol_blacklist", input->protocol_blacklist, AV_DICT_DONT_OVERWRITE);
    const int result = avio_open2(pb, url, flags, &input->interrupt_callback, settings);
    av_dict_free(&own);
    if (result >= 0 && input->interrupt_callback.callback == give_up) {
        Run *run = static_cast<Run *>(input->interrupt_callback.opaque);
        if (std::this_thread::get_id() == run->owner)
            run->look_for_filename_among_open_files();
    }
    return result;
}

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

bool starts_with_word(const char *text, const char *word)
{
    return text && av_strncasecmp(text, word, std::strlen(word)) == 0;
}

// Pictures that libavformat shows without marking them: attachments that are cover items or images (an
// APEv2 cover item whose stored name has no image extension, a Matroska attachment of an image type that
// it does not list, or named cover.*), and pictures left in a comment as base64 text (the legacy COVERART).
std::vector<TagPicture> unmarked_pictures(const AVFormatContext *input)
{
    std::vector<TagPicture> pictures;
    for (unsigned i = 0; i < input->nb_streams; i++) {
        const AVStream *stream = input->streams[i];
        const AVCodecParameters *parameters = stream->codecpar;
        if (parameters->codec_type != AVMEDIA_TYPE_ATTACHMENT || parameters->extradata_size <= 0)
            continue;
        const AVDictionaryEntry *cover_item = av_dict_get(stream->metadata, "Cover Art", nullptr, AV_DICT_IGNORE_SUFFIX);
        const AVDictionaryEntry *type = av_dict_get(stream->metadata, "mimetype", nullptr, 0);
        const AVDictionaryEntry *name = av_dict_get(stream->metadata, "filename", nullptr, 0);
        const bool named_cover = name && starts_with_word(name->value, "cover.");
        if (cover_item || (type && starts_with_word(type->value, "image/")) || named_cover)
            pictures.push_back({std::string(reinterpret_cast<const char *>(parameters->extradata),
                                            static_cast<std::size_t>(parameters->extradata_size)),
                                (cover_item && av_strcasecmp(cover_item->key, "Cover Art (Front)") == 0) || named_cover});
    }
    std::vector<const AVDictionary *> comments = {input->metadata};
    for (unsigned i = 0; i < input->nb_streams; i++)
        comments.push_back(input->streams[i]->metadata);
    for (const AVDictionary *comment : comments) {
        const AVDictionaryEntry *entry = nullptr;
        while ((entry = av_dict_get(comment, "COVERART", entry, 0))) {
            const std::size_t length = std::strlen(entry->value);
            if (length == 0 || length > 4 * (largest_picture / 3 + 1))
                continue;
            std::string bytes(AV_BASE64_DECODE_SIZE(length), '\0');
            const int decoded = av_base64_decode(reinterpret_cast<std::uint8_t *>(&bytes[0]), entry->value,
                                                 static_cast<int>(bytes.size()));
            if (decoded > 0)
                pictures.push_back({bytes.substr(0, static_cast<std::size_t>(decoded))});
        }
    }
    return pictures;
}

// Where libavformat marks no picture: the first whole image among those that libavformat shows unmarked and
// those that TagLib finds in a source that can be read again, in the order that the file stores them.
std::string first_hidden_picture(const AVFormatContext *input, AVIOContext *source, const char *uri)
{
    std::vector<TagPicture> found;
    if (source && (source->seekable & AVIO_SEEKABLE_NORMAL))
        found = pictures_in_tags(source, uri);
    std::vector<TagPicture> unmarked = input ? unmarked_pictures(input) : std::vector<TagPicture>();
    const auto at_end = std::find_if(found.begin(), found.end(), [](const TagPicture &picture) { return picture.at_end; });
    found.insert(at_end, std::make_move_iterator(unmarked.begin()), std::make_move_iterator(unmarked.end()));
    for (TagPicture &picture : found) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(picture.bytes.data());
        if (whole_image_kind(bytes, picture.bytes.size()) != ImageKind::none)
            return std::move(picture.bytes);
    }
    return std::string();
}

// The local file that uri names, if it names one: a path or file: URL by name, pipe:N by descriptor.
bool identify_named_source(const char *uri, platform::FileIdentity *identity)
{
    if (uses_protocol(uri, "file"))
        return platform::identify_path(std::strncmp(uri, "file:", 5) == 0 ? uri + 5 : uri, identity);
    if (uses_protocol(uri, "pipe")) {
        const char *number = std::strchr(uri, ':');
        char *end = nullptr;
        const long fd = number ? std::strtol(number + 1, &end, 10) : 0;
        return platform::identify_descriptor(number && end != number + 1 && !*end ? static_cast<int>(fd) : 0,
                                             identity);
    }
    return false;
}

// Whether target is the file that uri itself names; the files read for it are the run's to find.
bool is_the_named_source(const char *uri, const platform::FileIdentity &target)
{
    platform::FileIdentity named;
    return identify_named_source(uri, &named) && named == target;
}

// On a terminal, where vantrell-batch keeps a status line, each line of the library's begins by clearing
// that line, so that the two never run together; the status line comes back below it. Whether the last
// message ended its line is the one thing carried from message to message, and messages come from any
// thread.
void log_on_a_line_of_its_own(void *context, int level, const char *format, va_list arguments)
{
    static std::atomic<bool> at_line_start{true};
    if (level > av_log_get_level())
        return;
    va_list copy;
    va_copy(copy, arguments);
    char text[1024];
    const int length = std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    const bool ends_line = length > 0 && static_cast<std::size_t>(length) < sizeof text && text[length - 1] == '\n';
    if (at_line_start.exchange(ends_line))
        std::fputs(platform::line_clearing(), stderr);
    av_log_default_callback(context, level, format, arguments);
}

}  // namespace

void start_media_library()
{
    if (platform::standard_error_is_terminal())
        av_log_set_callback(log_on_a_line_of_its_own);
    avformat_network_init();
#if LIBAVFORMAT_VERSION_INT < AV_VERSION_INT(58, 9, 100)
    av_register_all();
#endif
}

Extraction retrieve_album_art(const char *uri, const char *filename, const PictureSink &save)
{
    Extraction extraction;
    // The source is opened here rather than by the format open, so that it outlives the format context
    // and the interrupt callback only ever looks at memory that is still there.
    Run run(!is_local(uri), filename);
    const AVIOInterruptCB interrupt = {give_up, &run};
    AVIOContext *reader = nullptr;
    AVDictionary *options = nullptr;
    add_network_options(uri, &options);
    const int read_result = avio_open2(&reader, uri, AVIO_FLAG_READ, &interrupt, &options);
    av_dict_free(&options);  // what no protocol took: a plain HTTP source has no use for the TLS ones
    Source source(read_result < 0 ? nullptr : reader, SourceCloser{&run});
    run.watch(source.get());

    // The open frees this context itself when it fails.
    AVFormatContext *opened = source ? avformat_alloc_context() : nullptr;
    if (opened) {
        opened->pb = source.get();
        opened->interrupt_callback = interrupt;
        opened->io_open = open_guarded;
    }
    Input input(opened && avformat_open_input(&opened, uri, nullptr, nullptr) == 0 ? opened : nullptr);

    // A source that stopped early leaves an I/O error behind, or a picture marked as read short.
    const AVPacket *stored = input ? first_picture(input.get()) : nullptr;
    if (input && ((input->pb && input->pb->error < 0) || (stored && (stored->flags & AV_PKT_FLAG_CORRUPT)))) {
        extraction.ending = Ending::header_failed;
        return extraction;
    }
    std::string hidden;
    if (!stored)
        hidden = first_hidden_picture(input.get(), source.get(), uri);
    if (!stored && hidden.empty()) {
        if (!input) {
            extraction.ending = Ending::open_failed;
            extraction.pushed_back = is_push_back(read_result);
        } else if (source->error < 0) {
            extraction.ending = Ending::header_failed;
        }
        return extraction;
    }
    const unsigned char *picture = stored ? stored->data : reinterpret_cast<const unsigned char *>(hidden.data());
    const std::size_t size = stored ? static_cast<std::size_t>(stored->size) : hidden.size();
    run.look_for_filename_among_open_files();  // the source's files, whichever protocols hold them
    extraction.filename_read = run.stored && (run.filename_read || is_the_named_source(uri, run.target));
    if (size > largest_picture) {
        extraction.ending = Ending::picture_too_large;
        return extraction;
    }
    extraction.ending = Ending::picture;
    save(extraction, picture, size);
    return extraction;
}
