// The writing of files: a picture goes into filename whole or not at all, and never into a file that the
// pair's source reads, whatever its reader says. A name that is no regular file (a FIFO, a device) is
// written in place by a thread of its own, so that whoever reads it at its own pace holds up only its pair.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class FileWriter {
  public:
    using Done = std::function<void(bool written)>;

    FileWriter() = default;
    ~FileWriter();
    FileWriter(const FileWriter &) = delete;
    FileWriter &operator=(const FileWriter &) = delete;

    // Writes picture to filename, the picture of uri's source; read_by_reader: the reader found filename
    // among the files it read, which refuses the write as well. done(written) is called now, or from
    // collect once a write in place is over.
    void write(const std::string &uri, const std::string &filename, std::string picture, bool read_by_reader,
               Done done);
    // Calls done for the writes in place that have ended.
    void collect();
    bool writing() const { return !under_way_.empty(); }

  private:
    struct InPlace {
        std::thread thread;
        Done done;
        bool ended = false, written = false;
    };
    std::mutex lock_;  // over each InPlace's ended and written, which its thread sets
    std::list<InPlace> under_way_;
};
