// The supervisor: the first process of a run and the only one that writes. One loop around three units:
// the queue of pairs (pair_queue.h) from the input to the lines, the pool of readers (reader_pool.h), which
// open the sources, and the writing of files (file_writer.h). Every line is composed here from the outcome
// that a reader gives; nothing that a reader sends is printed as it came.
#include "supervisor.h"

#include "extractor.h"
#include "file_writer.h"
#include "pace.h"
#include "pair_queue.h"
#include "platform.h"
#include "reader.h"
#include "reader_pool.h"
#include "source_files.h"
#include "status_line.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// Readers at most, and the number to begin with: as many as tools that fetch from one server hold open
// at once, so a small server sees no more than it is used to before the throughput says more pays.
constexpr unsigned most_at_once = 256;
constexpr unsigned first_at_once = 8;

// Filenames in flight at most: what is done waits here for the lines before it, so memory stays flat
// however many pairs come, and a stalled source holds up only this many after it.
constexpr std::size_t most_in_flight = 4 * most_at_once;

// A reader of a batch is given its next pairs while it still reads one, so that it never waits for the
// supervisor in between.
constexpr std::size_t pairs_per_reader = 4;

constexpr auto processor_check_interval = std::chrono::seconds(1);

// Standard input, split into pairs as it comes: uri NUL filename NUL, the last name perhaps without its NUL.
class PairInput {
  public:
    explicit PairInput(std::unique_ptr<platform::Connection> input) : input_(std::move(input)) {}

    platform::Connection &connection() { return *input_; }
    // Whether more input is welcome: not while a whole pair waits for room in the queue, so that however long
    // the input, no more of it than a read's worth waits here.
    bool wants_more() const { return !ended_ && !waiting_; }

    void receive()
    {
        char buffer[16 * 1024];
        const long received = input_->receive(buffer, sizeof buffer, false);
        if (received > 0)
            bytes_.append(buffer, static_cast<std::size_t>(received));
        ended_ = ended_ || received == 0;
    }

    // Hands the pairs that have come whole to queue, as long as it has room; then, once the input has ended,
    // its last pair, or a last uri without a filename.
    void hand_over(PairQueue &queue)
    {
        waiting_ = false;
        for (;;) {
            const std::size_t uri_end = bytes_.find('\0', taken_);
            const std::size_t filename_end = uri_end == std::string::npos ? uri_end : bytes_.find('\0', uri_end + 1);
            if (filename_end == std::string::npos)
                break;
            if (!queue.add(bytes_.substr(taken_, uri_end - taken_), bytes_.substr(uri_end + 1, filename_end - uri_end - 1))) {
                waiting_ = true;
                return;
            }
            taken_ = filename_end + 1;
            if (taken_ > bytes_.size() / 2) {
                bytes_.erase(0, taken_);
                taken_ = 0;
            }
        }
        if (!ended_ || handed_all_)
            return;
        const std::size_t uri_end = bytes_.find('\0', taken_);
        if (taken_ < bytes_.size()) {
            const bool added = uri_end == std::string::npos || uri_end + 1 == bytes_.size()
                                   ? queue.add_unpaired(bytes_.substr(taken_, uri_end - taken_))
                                   : queue.add(bytes_.substr(taken_, uri_end - taken_), bytes_.substr(uri_end + 1));
            if (!added)
                return;
        }
        handed_all_ = true;
        queue.end_input();
    }

  private:
    std::unique_ptr<platform::Connection> input_;
    std::string bytes_;
    std::size_t taken_ = 0;
    bool ended_ = false, handed_all_ = false, waiting_ = false;
};

// The lines that follow Opening for a pair whose reader gave this outcome, once any picture is written.
std::string line_after_reading(const PairOutcome &outcome)
{
    switch (outcome.extraction.ending) {
    case Ending::open_failed:
    case Ending::unconfined:
        return "avformat_open_input() failed\n";
    case Ending::header_failed:
        return "could not read the format header\n";
    default:
        return "";
    }
}

const char *layer_name(platform::Unconfined layer)
{
    switch (layer) {
    case platform::Unconfined::privileges:
        return "could not give up gaining privileges";
    case platform::Unconfined::capabilities:
        return "could not drop its capabilities";
    case platform::Unconfined::landlock:
        return "could not take Landlock's rules";
    case platform::Unconfined::seccomp:
        return "could not take its seccomp filter";
    default:
        return "was not confined";
    }
}

class Supervisor {
  public:
    // one_pair: the pair named on the command line, watched as it runs: its reader may take standard input
    // as its source. Otherwise the number of readers at once is chosen as the run goes, up to what ceiling
    // allows, and a terminal on standard error shows a status line.
    Supervisor(const char *program, bool one_pair, unsigned ceiling, platform::ReaderOrigin *origin)
        : program_(program), queue_(most_in_flight),
          pool_(origin,
                {[this](Assignment &assignment, PairOutcome &outcome) { finished(assignment, outcome); },
                 [this](Assignment &assignment, const std::string &why) { failed(assignment, why); },
                 [this](Assignment &assignment, bool retried) {
                     queue_.give_back(*assignment.job, std::move(assignment.uri), retried);
                 }},
                one_pair ? 1 : pairs_per_reader),
          pace_(first_at_once, ceiling, [this] { return pool_.usage(); },
                [this](Clock::time_point since, Clock::time_point until) { return pool_.under_way(since, until); },
                platform::processors()),
          status_(!one_pair && platform::standard_error_is_terminal())
    {
    }

    void run(PairInput *input);
    PairQueue &queue() { return queue_; }

  private:
    void dispatch();
    bool read_next(const JobPointer &job);
    void finished(Assignment &assignment, PairOutcome &outcome);
    void failed(Assignment &assignment, const std::string &why);
    void report();
    int milliseconds_to_wait() const;

    const char *const program_;
    PairQueue queue_;
    FileWriter writer_;
    ReaderPool pool_;
    Pace pace_;
    StatusLine status_;
};

void Supervisor::run(PairInput *input)
{
    Clock::time_point last_check = Clock::now();
    for (;;) {
        if (input)
            input->hand_over(queue_);
        dispatch();
        if (pool_.reading() < pace_.at_once())
            pace_.short_of_work(Clock::now());
        report();
        if (queue_.finished() && !writer_.writing())
            break;
        std::fflush(stdout);
        status_.refresh(Clock::now());

        std::vector<platform::Connection *> watched = pool_.watched();
        const std::size_t readers = watched.size();
        const bool wants_input = input && input->wants_more();
        if (wants_input)
            watched.push_back(&input->connection());
        const std::vector<bool> news = platform::wait_for_activity(watched, milliseconds_to_wait());
        if (wants_input && news.back())
            input->receive();
        pool_.receive(std::vector<bool>(news.begin(), news.begin() + static_cast<std::ptrdiff_t>(readers)));
        pool_.take_back_waiting();
        writer_.collect();
        if (Clock::now() - last_check >= processor_check_interval) {
            pool_.stop_runaways();
            last_check = Clock::now();
        }
    }
    std::fflush(stdout);
    status_.finish();
    pool_.end_all();
}

// While readers read, the supervisor wakes now and then to look at the processor time they use, and sooner
// while a pair waits behind another, a file is written in place, a status line is to be rewritten, or
// pairs wait for a server to recover.
int Supervisor::milliseconds_to_wait() const
{
    std::chrono::milliseconds wait = pool_.next_look();
    if (writer_.writing())
        wait = std::min(wait, std::chrono::milliseconds(10));
    if (status_.shown())
        wait = std::min(wait, std::chrono::milliseconds(100));
    const auto held = std::chrono::ceil<std::chrono::milliseconds>(pace_.holding(Clock::now()));
    if (held.count() > 0)
        wait = std::min(wait, held);
    return wait == std::chrono::milliseconds::max() ? -1 : static_cast<int>(wait.count());
}

void Supervisor::dispatch()
{
    if (pace_.holding(Clock::now()) > Clock::duration::zero())
        return;
    queue_.for_each_ready([this](const JobPointer &job) { return read_next(job); });
}

// The job's next alternative goes to a reader of its kind. Where no reader runs and none can be started,
// it fails at once.
bool Supervisor::read_next(const JobPointer &job)
{
    const bool network = files_of(job->uris.front(), [](const std::string &, std::string *) { return false; }).network;
    ReaderPool::Slot *slot = pool_.slot_for(network, pace_.at_once());
    if (!slot && !pool_.empty())
        return false;
    Assignment assignment;
    assignment.job = job;
    assignment.network = network;
    assignment.uri = queue_.begin(*job, &assignment.retried);
    if (!slot) {
        queue_.finish(*job, "avformat_open_input() failed\n", false, false);
        status_.make_way();
        std::fprintf(stderr, "%s: gave up on %s: no process could be started to read it\n", program_,
                     assignment.uri.c_str());
        return true;
    }
    pool_.give(*slot, std::move(assignment));
    return true;
}

// The pair's lines, and its picture written: a picture ends the job whatever its write reported.
void Supervisor::finished(Assignment &assignment, PairOutcome &outcome)
{
    const Extraction &extraction = outcome.extraction;
    pace_.pair_done(assignment.began, Clock::now(), extraction.pushed_back, outcome.picture.size());
    Job &job = *assignment.job;
    if (extraction.ending == Ending::unconfined) {
        status_.make_way();
        std::fprintf(stderr, "%s: gave up on %s: its reader %s\n", program_, assignment.uri.c_str(),
                     layer_name(outcome.unconfined));
    }
    if (extraction.ending == Ending::picture_too_large) {
        status_.make_way();
        std::fprintf(stderr, "%s: did not write the picture of %s: it is larger than %zu MiB\n", program_,
                     assignment.uri.c_str(), largest_picture >> 20);
        queue_.finish(job, "could not write album art to " + job.filename + '\n', true, false);
        return;
    }
    if (extraction.ending != Ending::picture) {
        queue_.finish(job, line_after_reading(outcome), false, false);
        return;
    }
    const JobPointer held = assignment.job;
    writer_.write(assignment.uri, job.filename, std::move(outcome.picture), extraction.filename_read,
                  [this, held](bool written) {
                      queue_.finish(*held, (written ? "Wrote album art to " : "could not write album art to ") +
                                               held->filename + '\n',
                                    true, written);
                  });
}

// A pair whose reader ended while it read it fails alone, with the line of a source that broke off.
void Supervisor::failed(Assignment &assignment, const std::string &why)
{
    queue_.finish(*assignment.job, "could not read the format header\n", false, false);
    status_.make_way();
    std::fprintf(stderr, "%s: gave up on %s: %s\n", program_, assignment.uri.c_str(), why.c_str());
}

// The lines of the job in front as they come, then those of each job after it, in input order.
void Supervisor::report()
{
    const std::string lines = queue_.printable([this](bool written) { status_.count(written); });
    if (!lines.empty())
        std::fwrite(lines.data(), 1, lines.size(), stdout);
}

unsigned ceiling_for_descriptors()
{
    // A reader takes one descriptor here, and a file written one more for a moment; a few stay for the rest.
    const unsigned descriptors = platform::descriptors();
    return std::min(most_at_once, descriptors > 64 ? (descriptors - 32) / 2 : 16);
}

}  // namespace

void run_one_pair(const char *program, const std::string &uri, const std::string &filename)
{
    const std::unique_ptr<platform::ReaderOrigin> origin = platform::ReaderOrigin::start(serve_pairs, true);
    Supervisor supervisor(program, true, 1, origin.get());
    supervisor.queue().add(uri, filename);
    supervisor.queue().end_input();
    supervisor.run(nullptr);
}

void run_pairs_from_standard_input(const char *program)
{
    // Before any pair is read, so that no reader holds one that is not its own.
    const std::unique_ptr<platform::ReaderOrigin> origin = platform::ReaderOrigin::start(serve_pairs, false);
    Supervisor supervisor(program, false, ceiling_for_descriptors(), origin.get());
    PairInput input(platform::standard_input());
    supervisor.run(&input);
}
