#include "file_writer.h"

#include "platform.h"
#include "source_files.h"

namespace {

// Whether writing filename would destroy a file that uri's source reads; a device such as /dev/null holds
// no stored bytes, however many readers it has.
bool is_a_file_of_the_source(const std::string &uri, const std::string &filename)
{
    platform::FileIdentity target;
    return platform::identify_path(filename.c_str(), &target) && !target.character_device && source_reads(uri, target);
}

}  // namespace

FileWriter::~FileWriter()
{
    for (InPlace &write : under_way_)
        write.thread.join();
}

void FileWriter::write(const std::string &uri, const std::string &filename, std::string picture, bool read_by_reader,
                       Done done)
{
    if (read_by_reader || is_a_file_of_the_source(uri, filename)) {
        done(false);
        return;
    }
    if (!platform::is_special_file(filename.c_str())) {
        done(platform::replace_file(filename.c_str(), picture.data(), picture.size()));
        return;
    }
    under_way_.emplace_back();
    InPlace &write = under_way_.back();
    write.done = std::move(done);
    write.thread = platform::start_thread([this, &write, filename, picture = std::move(picture)] {
        const bool written = platform::replace_file(filename.c_str(), picture.data(), picture.size());
        std::lock_guard<std::mutex> hold(lock_);
        write.written = written;
        write.ended = true;
    });
}

void FileWriter::collect()
{
    for (auto write = under_way_.begin(); write != under_way_.end();) {
        bool ended, written;
        {
            std::lock_guard<std::mutex> hold(lock_);
            ended = write->ended;
            written = write->written;
        }
        if (!ended) {
            ++write;
            continue;
        }
        write->thread.join();
        const Done done = std::move(write->done);
        write = under_way_.erase(write);
        done(written);
    }
}
