// The queue of pairs, from the input to the lines: every pair in input order until its lines are out.
// Consecutive pairs that name one filename are alternatives, tried in order until one holds a picture; a
// filename that an earlier pair still writes waits, so that the files end as if the pairs had run one after
// another. It neither reads nor writes: the supervisor gives its pairs to readers and tells it how each ended.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>

// One filename and its alternatives.
struct Job {
    std::string filename;
    std::deque<std::string> uris;  // alternatives not yet tried
    bool complete = false;         // no more alternatives will come
    bool started = false, reading = false, done = false;
    bool retrying = false;         // the first of uris went to a reader that ended before it began it
    bool resumed = false;          // the first of uris was given back, its Opening line out already
    bool written = false;          // a picture was written to filename
    std::string lines;             // the report so far, each line with its newline
    std::size_t printed = 0;       // how much of lines is out
};
using JobPointer = std::shared_ptr<Job>;

class PairQueue {
  public:
    // most_in_flight: filenames whose lines are not all out, at most.
    explicit PairQueue(std::size_t most_in_flight) : most_in_flight_(most_in_flight) {}

    // A pair as the input brings it; false when there is no room for it yet.
    bool add(const std::string &uri, const std::string &filename);
    // A last uri without its filename: a line of its own, in its place.
    bool add_unpaired(const std::string &uri);
    void end_input();
    // The input has ended and every line is out.
    bool finished() const { return input_ended_ && in_flight_.empty(); }

    // Calls read(job) for each job that may read its next alternative now, in input order, until read
    // returns false. read begins the pair or fails it at once.
    void for_each_ready(const std::function<bool(const JobPointer &)> &read);
    // The job's next alternative, its Opening line added; retried: a reader before ended before it began it.
    std::string begin(Job &job, bool *retried);
    // A pair begun but not read goes back to be read next; retried: because its reader ended first.
    void give_back(Job &job, std::string uri, bool retried);
    // A pair is done, with these lines after its Opening; one whose source held a picture ends the search.
    void finish(Job &job, const std::string &lines, bool held_picture, bool written);

    // The lines that may be printed now, in input order; counted(written) for each filename whose lines are
    // all out.
    std::string printable(const std::function<void(bool written)> &counted);

  private:
    void settle_if_over(Job &job);

    const std::size_t most_in_flight_;
    std::deque<JobPointer> in_flight_;  // in input order, until their lines are out
    JobPointer last_;                   // the job that the next pair may be an alternative of
    bool input_ended_ = false;
};
