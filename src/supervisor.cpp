// The supervisor: the first process of a run and the only one that writes. It takes the pairs, hands each
// to a reader (reader.cpp), which opens the source, and does what comes back: the picture into filename,
// whole or not at all, and each pair's lines to standard output in input order. A reader that crashes, or
// uses more processor time than any pair needs, costs only the pair that it was reading.
#include "supervisor.h"

#include "messages.h"
#include "pace.h"
#include "platform.h"
#include "reader.h"
#include "status_line.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Readers at most, and the number to begin with: as many as tools that fetch from one server hold open
// at once, so a small server sees no more than it is used to before the throughput says more pays.
constexpr unsigned most_at_once = 256;
constexpr unsigned first_at_once = 8;

// Filenames in flight at most: what is done waits here for the lines before it, so memory stays flat
// however many pairs come, and a stalled source holds up only this many after it.
constexpr std::size_t most_in_flight = 4 * most_at_once;

// Pairs use milliseconds of processor time, a 20 MB picture well under a second even under emulation:
// one that has used this much is in an endless loop. Waiting on a server or a FIFO uses none. A pair's
// time is counted from the first look that sees it being read, within a look's interval of its start.
constexpr double most_processor_seconds = 10;
constexpr auto processor_check_interval = std::chrono::seconds(1);

// A reader is given its next pair while it still reads one, so that it never waits for the supervisor in
// between. A pair that waits behind one that has taken this long is taken back and goes to another reader:
// a slow source holds up only itself.
constexpr std::size_t pairs_per_reader = 4;
constexpr auto patience = std::chrono::milliseconds(50);

// One filename and its alternatives: consecutive pairs that name it, tried in order until one holds a
// picture.
struct Job {
    std::string filename;
    std::deque<std::string> uris;  // alternatives not yet tried
    bool complete = false;         // no more alternatives will come
    bool started = false, reading = false, done = false;
    bool retrying = false;         // the first of uris went to a reader that ended before it began it
    bool written = false;          // a picture was written to filename
    std::string lines;             // the report so far, each line with its newline
    std::size_t printed = 0;       // how much of lines is out
};
using JobPointer = std::shared_ptr<Job>;

// A pair given to a reader, until its report is in.
struct Assignment {
    JobPointer job;
    std::string uri;
    std::uint64_t number = 0;      // in the reader's count of pairs sent to it
    bool retried = false;          // a reader before this one ended before it began the pair
    bool first_line_in = false;    // the pair's first line has come
    std::string later_lines;       // its lines after the first, which count once the pair is done
    bool has_picture = false, may_write = false;
    std::string picture;
};

// A reader and the pairs that it holds, the front one being read.
struct Slot {
    std::unique_ptr<platform::Reader> reader;
    Inbox inbox;
    bool gone = false;             // the reader has ended
    bool news = false;             // its connection may have something to receive
    std::uint64_t sent = 0;        // pairs sent to it so far
    std::deque<Assignment> held;
    Clock::time_point front_since; // when the front pair became the front
    std::uint64_t looked_at = 0;   // the front pair when the processor time was last looked at
    double processor_then = 0;     // the reader's processor time at that look
};

// One pair as standard input brings it: uri NUL filename NUL, the last name perhaps without its NUL.
struct Pair {
    std::string uri, filename;
    bool paired = true;  // false for a last uri without a filename
};

// Standard input, split into pairs as it comes.
class PairInput {
  public:
    explicit PairInput(std::unique_ptr<platform::Connection> input) : input_(std::move(input)) {}

    platform::Connection &connection() { return *input_; }
    bool ended() const { return ended_; }

    void receive()
    {
        char buffer[16 * 1024];
        const long received = input_->receive(buffer, sizeof buffer, false);
        if (received > 0)
            bytes_.append(buffer, static_cast<std::size_t>(received));
        ended_ = ended_ || received == 0;
    }

    // The next whole pair, if it has come.
    bool next(Pair *pair)
    {
        const std::size_t uri_end = bytes_.find('\0', taken_);
        const std::size_t filename_end = uri_end == std::string::npos ? uri_end : bytes_.find('\0', uri_end + 1);
        if (filename_end != std::string::npos) {
            *pair = {bytes_.substr(taken_, uri_end - taken_), bytes_.substr(uri_end + 1, filename_end - uri_end - 1)};
            taken_ = filename_end + 1;
            if (taken_ > bytes_.size() / 2) {
                bytes_.erase(0, taken_);
                taken_ = 0;
            }
            return true;
        }
        if (!ended_ || taken_ == bytes_.size())
            return false;
        if (uri_end == std::string::npos)
            *pair = {bytes_.substr(taken_), std::string(), false};
        else
            *pair = {bytes_.substr(taken_, uri_end - taken_), bytes_.substr(uri_end + 1), uri_end + 1 < bytes_.size()};
        taken_ = bytes_.size();
        return true;
    }

  private:
    std::unique_ptr<platform::Connection> input_;
    std::string bytes_;
    std::size_t taken_ = 0;
    bool ended_ = false;
};

class Supervisor {
  public:
    // one_pair: the pair named on the command line, watched as it runs: its reader may take standard input
    // as its source, and its first line shows at once. Otherwise the number of readers at once is chosen as
    // the run goes, up to what ceiling allows, and a terminal on standard error shows a status line.
    Supervisor(const char *program, bool one_pair, unsigned ceiling)
        : program_(program), one_pair_(one_pair),
          pace_(first_at_once, ceiling, [this] { return usage(); },
                [this](Clock::time_point since, Clock::time_point until) { return under_way(since, until); },
                platform::processors()),
          status_(!one_pair && platform::standard_error_is_terminal())
    {
    }

    // A pair known from the start; there are no others.
    void add_only_pair(const std::string &uri, const std::string &filename)
    {
        JobPointer job = std::make_shared<Job>();
        job->filename = filename;
        job->uris.push_back(uri);
        job->complete = true;
        in_flight_.push_back(job);
        input_ended_ = true;
    }

    void run(PairInput *input);

  private:
    int milliseconds_to_wait(bool queued, bool reading) const;
    void take_pairs(PairInput &input);
    void dispatch();
    void fit_readers_to_pace();
    Pace::Usage usage() const;
    Pace::UnderWay under_way(Clock::time_point since, Clock::time_point until) const;
    Slot *slot_for_next_pair();
    bool give(Slot &slot, const JobPointer &job);
    void cannot_read(Job &job);
    void receive_from_readers();
    void take_message(Slot &slot, Message &message);
    void finish_pair(Slot &slot, bool pushed_back);
    void new_front(Slot &slot);
    void give_back(Assignment &assignment, bool retried);
    void lose_reader(Slot &slot, const std::string &stopped_because = std::string());
    void take_back_waiting_pairs();
    void stop_runaways();
    void report();
    void settle_if_over(Job &job);

    const char *const program_;
    const bool one_pair_;
    std::deque<JobPointer> in_flight_;  // in input order, until their lines are out
    JobPointer last_;                   // the job that the next pair may be an alternative of
    std::unique_ptr<Pair> pending_;     // a pair that waits for room in flight
    bool input_ended_ = false;
    std::vector<std::unique_ptr<Slot>> slots_;
    double processor_seconds_of_ended_readers_ = 0;
    Pace pace_;
    StatusLine status_;
};

void Supervisor::run(PairInput *input)
{
    Clock::time_point last_check = Clock::now();
    for (;;) {
        if (input)
            take_pairs(*input);
        dispatch();
        const auto reading =
            std::count_if(slots_.begin(), slots_.end(), [](const auto &slot) { return !slot->held.empty(); });
        if (static_cast<unsigned>(reading) < pace_.at_once())
            pace_.short_of_work(Clock::now());
        report();
        if (input_ended_ && in_flight_.empty())
            break;
        std::fflush(stdout);
        status_.refresh(Clock::now());

        std::vector<platform::Connection *> watched;
        std::vector<Slot *> watched_slots;
        bool queued = false;
        for (const auto &slot : slots_) {
            if (!slot->held.empty()) {
                watched.push_back(&slot->reader->connection());
                watched_slots.push_back(slot.get());
            }
            queued = queued || slot->held.size() > 1;
        }
        const bool wants_input = input && !input->ended() && !pending_;
        const bool waits_on_readers = !watched.empty();
        if (wants_input)
            watched.push_back(&input->connection());
        const std::vector<bool> news =
            platform::wait_for_activity(watched, milliseconds_to_wait(queued, waits_on_readers || !wants_input));
        for (std::size_t i = 0; i < watched_slots.size(); i++)
            watched_slots[i]->news = news[i];
        if (wants_input)
            input->receive();
        receive_from_readers();
        take_back_waiting_pairs();
        if (Clock::now() - last_check >= processor_check_interval) {
            stop_runaways();
            last_check = Clock::now();
        }
    }
    std::fflush(stdout);
    status_.finish();
    // Every reader is told at once, so that they end side by side.
    for (const auto &slot : slots_)
        slot->reader->hang_up();
    slots_.clear();  // and each is waited for
}

// While readers read, the supervisor wakes now and then to look at the processor time they use, and sooner
// while a pair waits behind another, a status line is to be rewritten, or pairs wait for a server to recover.
int Supervisor::milliseconds_to_wait(bool queued, bool reading) const
{
    std::chrono::milliseconds wait = queued ? patience : reading ? std::chrono::milliseconds(1000)
                                                                 : std::chrono::milliseconds::max();
    if (status_.shown())
        wait = std::min(wait, std::chrono::milliseconds(100));
    const auto held = std::chrono::ceil<std::chrono::milliseconds>(pace_.holding(Clock::now()));
    if (held.count() > 0)
        wait = std::min(wait, held);
    return wait == std::chrono::milliseconds::max() ? -1 : static_cast<int>(wait.count());
}

// Pairs that name the filename of the one before are its alternatives; any other pair starts a job, when
// there is room for one.
void Supervisor::take_pairs(PairInput &input)
{
    for (;;) {
        if (!pending_) {
            Pair pair;
            if (!input.next(&pair))
                break;
            pending_ = std::make_unique<Pair>(std::move(pair));
        }
        if (pending_->paired && last_ && !last_->complete && last_->filename == pending_->filename) {
            if (!last_->done)  // once an alternative held a picture, the rest are not opened
                last_->uris.push_back(std::move(pending_->uri));
            pending_.reset();
            continue;
        }
        if (last_)
            last_->complete = true;
        if (in_flight_.size() >= most_in_flight)
            break;
        last_ = std::make_shared<Job>();
        last_->complete = !pending_->paired;
        if (pending_->paired) {
            last_->filename = std::move(pending_->filename);
            last_->uris.push_back(std::move(pending_->uri));
        } else {
            last_->lines = "usage: vantrell-batch: no filename after " + pending_->uri + '\n';
            last_->started = last_->done = true;
        }
        in_flight_.push_back(last_);
        pending_.reset();
    }
    if (input.ended() && !pending_ && !input_ended_) {
        if (last_)
            last_->complete = true;
        input_ended_ = true;
    }
}

void Supervisor::settle_if_over(Job &job)
{
    if (!job.reading && job.uris.empty() && job.complete)
        job.done = true;
}

// Each job that may read its next alternative gets a reader: never one whose filename an earlier job still
// writes, so that the files end as if the pairs had run one after another.
void Supervisor::dispatch()
{
    if (pace_.holding(Clock::now()) > Clock::duration::zero())
        return;
    // The filenames of the jobs before the one looked at, gathered from the first job not yet started on:
    // most of the time the jobs before it are many and none waits.
    std::unordered_set<std::string_view> being_written;
    bool gathering = false;
    for (std::size_t i = 0; i < in_flight_.size(); i++) {
        Job &job = *in_flight_[i];
        settle_if_over(job);
        if (job.done)
            continue;
        if (!job.started && !gathering) {
            for (std::size_t earlier = 0; earlier < i; earlier++) {
                if (!in_flight_[earlier]->done)
                    being_written.insert(in_flight_[earlier]->filename);
            }
            gathering = true;
        }
        const bool waits = gathering && !being_written.insert(job.filename).second && !job.started;
        if (waits || job.reading || job.uris.empty())
            continue;
        Slot *slot = slot_for_next_pair();
        if (!slot && slots_.empty()) {
            cannot_read(job);
            i--;  // its next alternative, if any
            continue;
        }
        if (!slot)
            return;
        if (!give(*slot, in_flight_[i]))
            i--;  // the pair went back to wait for another reader
    }
}

// Ended readers are forgotten, and idle ones beyond the number at once are let go, told side by side.
void Supervisor::fit_readers_to_pace()
{
    std::size_t extra = slots_.size() > pace_.at_once() ? slots_.size() - pace_.at_once() : 0;
    for (const auto &slot : slots_) {
        if (extra > 0 && !slot->gone && slot->held.empty()) {
            processor_seconds_of_ended_readers_ += slot->reader->processor_seconds();
            slot->reader->hang_up();
            slot->gone = true;
            extra--;
        }
    }
    slots_.erase(std::remove_if(slots_.begin(), slots_.end(), [](const auto &slot) { return slot->gone; }),
                 slots_.end());
}

// The processor time of the whole run, the supervisor's and every reader's, and the supervisor's alone.
Pace::Usage Supervisor::usage() const
{
    Pace::Usage used;
    used.supervisor = platform::processor_seconds();
    used.run = used.supervisor + processor_seconds_of_ended_readers_;
    for (const auto &slot : slots_)
        used.run += slot->gone ? 0 : slot->reader->processor_seconds();
    return used;
}

Pace::UnderWay Supervisor::under_way(Clock::time_point since, Clock::time_point until) const
{
    Pace::UnderWay pairs;
    const Clock::time_point now = Clock::now();
    for (const auto &slot : slots_) {
        if (slot->gone || slot->held.empty() || slot->front_since < since || slot->front_since > until)
            continue;
        const double seconds = std::chrono::duration<double>(now - slot->front_since).count();
        pairs.pairs++;
        pairs.seconds += seconds;
        pairs.longest = std::max(pairs.longest, seconds);
    }
    return pairs;
}

// A reader that waits for a pair, a new one while there may be more, or else one whose pair in front has
// only just begun, to read next.
Slot *Supervisor::slot_for_next_pair()
{
    fit_readers_to_pace();
    for (const auto &slot : slots_) {
        if (slot->held.empty())
            return slot.get();
    }
    if (slots_.size() < pace_.at_once()) {
        std::vector<platform::Connection *> others;
        for (const auto &slot : slots_)
            others.push_back(&slot->reader->connection());
        if (std::unique_ptr<platform::Reader> reader = platform::Reader::start(serve_pairs, one_pair_, others)) {
            slots_.push_back(std::make_unique<Slot>());
            slots_.back()->reader = std::move(reader);
            return slots_.back().get();
        }
    }
    const Clock::time_point now = Clock::now();
    Slot *chosen = nullptr;
    for (const auto &slot : slots_) {
        if (slot->held.size() < pairs_per_reader && now - slot->front_since < patience / 2 &&
            (!chosen || slot->held.size() < chosen->held.size()))
            chosen = slot.get();
    }
    return chosen;
}

bool Supervisor::give(Slot &slot, const JobPointer &job)
{
    Assignment assignment;
    assignment.job = job;
    assignment.uri = std::move(job->uris.front());
    job->uris.pop_front();
    assignment.retried = job->retrying;
    job->retrying = false;
    job->started = job->reading = true;
    assignment.number = ++slot.sent;
    const std::string pair = (one_pair_ ? "1" : "0") + assignment.uri + '\0' + job->filename;
    slot.held.push_back(std::move(assignment));
    if (slot.held.size() == 1)
        new_front(slot);
    if (send_message(slot.reader->connection(), MessageKind::pair, pair.data(), pair.size()))
        return true;
    lose_reader(slot);
    return false;
}

void Supervisor::new_front(Slot &slot) { slot.front_since = Clock::now(); }

// No reader could be started, and none runs that could take the pair later.
void Supervisor::cannot_read(Job &job)
{
    const std::string uri = std::move(job.uris.front());
    job.uris.pop_front();
    job.started = true;
    job.lines += "Opening " + uri + "\navformat_open_input() failed\n";
    status_.make_way();
    std::fprintf(stderr, "%s: gave up on %s: no process could be started to read it\n", program_, uri.c_str());
}

void Supervisor::receive_from_readers()
{
    for (const auto &slot : slots_) {
        if (slot->held.empty() || slot->gone || !slot->news)
            continue;
        slot->news = false;
        long received;
        while ((received = slot->inbox.receive(slot->reader->connection(), false)) > 0) {
            Message message;
            while (!slot->held.empty() && slot->inbox.next(&message))
                take_message(*slot, message);
            if (slot->held.empty() || slot->gone)
                break;
        }
        if (received == 0 && !slot->gone)
            lose_reader(*slot);
    }
}

void Supervisor::take_message(Slot &slot, Message &message)
{
    Assignment &front = slot.held.front();
    switch (message.kind) {
    case MessageKind::line:
        (front.first_line_in ? front.later_lines : front.job->lines) += message.payload + '\n';
        front.first_line_in = true;
        break;
    case MessageKind::picture:
    case MessageKind::source_picture:
        front.has_picture = true;
        front.may_write = message.kind == MessageKind::picture;
        front.picture = std::move(message.payload);
        break;
    case MessageKind::end:
        finish_pair(slot, message.payload == "1");
        break;
    case MessageKind::pair:  // never sent by a reader that works as it should
        if (!slot.gone) {
            slot.reader->stop();
            lose_reader(slot, "said what no reader says");
        }
        break;
    }
}

// The pair's lines count now; a picture is written, and ends the job whatever its write reported.
void Supervisor::finish_pair(Slot &slot, bool pushed_back)
{
    Assignment &front = slot.held.front();
    Job &job = *front.job;
    pace_.pair_done(slot.front_since, Clock::now(), pushed_back, front.picture.size());
    job.lines += front.later_lines;
    job.reading = false;
    if (front.has_picture) {
        job.written = front.may_write &&
                      platform::replace_file(job.filename.c_str(), front.picture.data(), front.picture.size());
        job.lines += (job.written ? "Wrote album art to " : "could not write album art to ") + job.filename + '\n';
        job.uris.clear();
        job.done = true;
    }
    settle_if_over(job);
    slot.held.pop_front();
    if (!slot.held.empty())
        new_front(slot);
}

// A pair that a reader will not read goes back to its job, to be read next by another.
void Supervisor::give_back(Assignment &assignment, bool retried)
{
    Job &job = *assignment.job;
    job.uris.push_front(std::move(assignment.uri));
    job.retrying = retried;
    job.reading = false;
}

// A reader that ended: the pair that it was reading fails alone, with the line of a source that broke off;
// those that it had not begun, by the gate's note, go to a fresh reader. A reader that ended before it began
// any pair ended for no pair's fault, and the pairs that it held go again, once.
void Supervisor::lose_reader(Slot &slot, const std::string &stopped_because)
{
    slot.gone = true;
    // What it sent before it ended counts: reports of pairs that it finished may still wait to be read.
    Message message;
    for (bool more = true; more && !slot.held.empty();) {
        if (slot.inbox.next(&message))
            take_message(slot, message);
        else
            more = slot.inbox.receive(slot.reader->connection(), false) > 0;
    }
    const std::uint64_t begun = slot.reader->connection().pairs_begun();
    processor_seconds_of_ended_readers_ += slot.reader->processor_seconds();
    const std::string ended = slot.reader->end();
    const std::string &how = stopped_because.empty() ? ended : stopped_because;
    const bool culprit_known = !slot.held.empty() && slot.held.front().number <= begun;
    for (Assignment &assignment : slot.held) {
        if (assignment.number > begun && (culprit_known || !assignment.retried)) {
            give_back(assignment, assignment.retried || !culprit_known);
            continue;
        }
        Job &job = *assignment.job;
        job.reading = false;
        if (!assignment.first_line_in)
            job.lines += "Opening " + assignment.uri + '\n';
        job.lines += "could not read the format header\n";
        status_.make_way();
        std::fprintf(stderr, "%s: gave up on %s: its reader %s\n", program_, assignment.uri.c_str(),
                     how.empty() ? "ended before it was done" : how.c_str());
        settle_if_over(job);
    }
    slot.held.clear();
}

// Pairs that wait behind a pair that takes long go to other readers, if the reader has not begun them.
void Supervisor::take_back_waiting_pairs()
{
    const Clock::time_point now = Clock::now();
    for (const auto &slot : slots_) {
        if (slot->gone || slot->held.size() < 2 || now - slot->front_since < patience ||
            !slot->reader->connection().take_back_pairs_after(slot->held.front().number, slot->sent))
            continue;
        while (slot->held.size() > 1) {
            give_back(slot->held.back(), false);
            slot->held.pop_back();
        }
    }
}

void Supervisor::stop_runaways()
{
    for (const auto &slot : slots_) {
        if (slot->held.empty() || slot->gone)
            continue;
        const double used = slot->reader->processor_seconds();
        if (slot->looked_at != slot->held.front().number) {
            slot->looked_at = slot->held.front().number;
            slot->processor_then = used;
        }
        if (used - slot->processor_then < most_processor_seconds)
            continue;
        slot->reader->stop();
        lose_reader(*slot, "used " + std::to_string(static_cast<int>(most_processor_seconds)) +
                               " s of processor time and was stopped");
    }
}

// The lines of the job in front as they come, then those of each job after it, in input order.
void Supervisor::report()
{
    while (!in_flight_.empty()) {
        Job &front = *in_flight_.front();
        if (front.printed < front.lines.size()) {
            std::fwrite(front.lines.data() + front.printed, 1, front.lines.size() - front.printed, stdout);
            front.printed = front.lines.size();
        }
        if (!front.done)
            return;
        status_.count(front.written);
        in_flight_.pop_front();
    }
}

}  // namespace

void run_one_pair(const char *program, const std::string &uri, const std::string &filename)
{
    Supervisor supervisor(program, true, 1);
    supervisor.add_only_pair(uri, filename);
    supervisor.run(nullptr);
}

void run_pairs_from_standard_input(const char *program)
{
    // A reader takes one descriptor here, and a file written one more for a moment; a few stay for the rest.
    const unsigned descriptors = platform::descriptors();
    const unsigned ceiling = std::min(most_at_once, descriptors > 64 ? (descriptors - 32) / 2 : 16);
    Supervisor supervisor(program, false, ceiling);
    PairInput input(platform::standard_input());
    supervisor.run(&input);
}
