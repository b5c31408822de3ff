#include "reader_pool.h"

#include "gate.h"

#include <algorithm>
#include <utility>

namespace {

// Pairs use milliseconds of processor time, a 20 MB picture well under a second even under emulation:
// one that has used this much is in an endless loop. Waiting on a server or a FIFO uses none. A pair's
// time is counted from the first look that sees it being read, within a look's interval of its start.
constexpr double most_processor_seconds = 10;

// A pair that waits behind one that has taken this long is taken back and goes to another reader: a slow
// source holds up only itself. So does a pair that a reader, done with the one before, has not begun.
constexpr auto patience = std::chrono::milliseconds(50);

}  // namespace

struct ReaderPool::Slot {
    std::unique_ptr<platform::Reader> reader;
    bool network = false;
    OutcomeInbox inbox;
    bool gone = false;             // the reader has ended
    bool news = false;             // its connection may have something to receive
    std::uint64_t sent = 0;        // pairs sent to it so far
    std::deque<Assignment> held;   // the front one being read
    std::uint64_t begun_seen = 0;  // the last pair that its gate has said was begun
    std::uint64_t taken_back = 0;  // the last pair that the pool has taken back through its gate
    std::uint64_t looked_at = 0;   // the front pair when the processor time was last looked at
    double processor_then = 0;     // the reader's processor time at that look

    Gate gate() { return Gate(reader->connection().gate_word()); }

    // Whether the gate says what an honest reader's could: the pool's own take-back, and a last pair begun
    // that has only grown and was sent.
    bool gate_is_honest()
    {
        Gate word = gate();
        const std::uint64_t begun = word.begun();
        if (word.taken_back() != taken_back || begun < begun_seen || begun > sent)
            return false;
        begun_seen = begun;
        return true;
    }
};

ReaderPool::ReaderPool(platform::ReaderOrigin *origin, Events events, std::size_t pairs_per_reader)
    : origin_(origin), events_(std::move(events)), pairs_per_reader_(pairs_per_reader)
{
}

ReaderPool::~ReaderPool() { end_all(); }

void ReaderPool::let_go(Slot &slot)
{
    processor_seconds_of_ended_readers_ += slot.reader->processor_seconds();
    slot.reader->hang_up();
    slot.gone = true;
}

// Ended readers are forgotten, and idle ones beyond the number at once are let go, told side by side.
void ReaderPool::fit(unsigned at_once)
{
    std::size_t extra = slots_.size() > at_once ? slots_.size() - at_once : 0;
    for (const auto &slot : slots_) {
        if (extra > 0 && !slot->gone && slot->held.empty()) {
            let_go(*slot);
            extra--;
        }
    }
    slots_.erase(std::remove_if(slots_.begin(), slots_.end(), [](const auto &slot) { return slot->gone; }),
                 slots_.end());
}

ReaderPool::Slot *ReaderPool::slot_for(bool network, unsigned at_once)
{
    fit(at_once);
    for (const auto &slot : slots_) {
        if (slot->network == network && slot->held.empty())
            return slot.get();
    }
    // A reader of the other kind that waits makes way, where no more may run.
    if (slots_.size() >= at_once) {
        const auto idle = std::find_if(slots_.begin(), slots_.end(), [](const auto &slot) { return slot->held.empty(); });
        if (idle != slots_.end()) {
            let_go(**idle);
            fit(at_once);
        }
    }
    if (slots_.size() < at_once && origin_) {
        if (std::unique_ptr<platform::Reader> reader = origin_->start_reader(network)) {
            slots_.push_back(std::make_unique<Slot>());
            slots_.back()->reader = std::move(reader);
            slots_.back()->network = network;
            return slots_.back().get();
        }
    }
    const Clock::time_point now = Clock::now();
    Slot *chosen = nullptr;
    for (const auto &slot : slots_) {
        if (slot->network == network && slot->held.size() < pairs_per_reader_ &&
            now - slot->held.front().began < patience / 2 && (!chosen || slot->held.size() < chosen->held.size()))
            chosen = slot.get();
    }
    return chosen;
}

void ReaderPool::new_front(Slot &slot) { slot.held.front().began = Clock::now(); }

bool ReaderPool::give(Slot &slot, Assignment assignment)
{
    assignment.number = ++slot.sent;
    const PairRequest request{assignment.number, assignment.uri, assignment.job->filename};
    slot.held.push_back(std::move(assignment));
    if (slot.held.size() == 1)
        new_front(slot);
    if (send_request(slot.reader->connection(), request))
        return true;
    lose(slot);
    return false;
}

unsigned ReaderPool::reading() const
{
    return static_cast<unsigned>(
        std::count_if(slots_.begin(), slots_.end(), [](const auto &slot) { return !slot->held.empty(); }));
}

std::chrono::milliseconds ReaderPool::next_look() const
{
    bool reading = false;
    for (const auto &slot : slots_) {
        if (slot->held.size() > 1 || (slot->held.size() == 1 && slot->begun_seen > 0 && slot->begun_seen < slot->held.front().number))
            return patience;
        reading = reading || !slot->held.empty();
    }
    return reading ? std::chrono::milliseconds(1000) : std::chrono::milliseconds::max();
}

std::vector<platform::Connection *> ReaderPool::watched()
{
    slots_.erase(std::remove_if(slots_.begin(), slots_.end(), [](const auto &slot) { return slot->gone; }),
                 slots_.end());
    std::vector<platform::Connection *> connections;
    for (const auto &slot : slots_)
        connections.push_back(&slot->reader->connection());
    return connections;
}

void ReaderPool::receive(const std::vector<bool> &news)
{
    for (std::size_t i = 0; i < slots_.size() && i < news.size(); i++) {
        Slot &slot = *slots_[i];
        if (slot.gone || !news[i])
            continue;
        long received;
        std::string broken;
        while (broken.empty() && (received = slot.inbox.receive(slot.reader->connection())) > 0)
            broken = take_outcomes(slot);
        if (!broken.empty())
            fault(slot, broken, !slot.inbox.answered_again());
        else if (received == 0)
            lose(slot);
    }
}

// The outcomes that have come whole, each for the pair being read; anything else is the rule that the
// reader broke.
std::string ReaderPool::take_outcomes(Slot &slot)
{
    for (;;) {
        if (slot.held.empty())
            return slot.inbox.holds_bytes() ? "sent what it was not asked for" : "";
        PairOutcome outcome;
        std::string why;
        const OutcomeInbox::Result result = slot.inbox.next(slot.held.front().number, &outcome, &why);
        if (result == OutcomeInbox::Result::waiting)
            return "";
        if (result == OutcomeInbox::Result::fault)
            return why;
        if (!slot.gate_is_honest())
            return "wrote into its gate what no reader writes";
        if (slot.begun_seen < outcome.number)
            return "answered a pair that it had not begun";
        Assignment assignment = std::move(slot.held.front());
        slot.held.pop_front();
        if (!slot.held.empty())
            new_front(slot);
        events_.finished(assignment, outcome);
    }
}

void ReaderPool::fault(Slot &slot, const std::string &why, bool blame_reading)
{
    slot.reader->stop();
    lose(slot, why + ", and was stopped", false, blame_reading);
}

// A reader that ended: the pair that it was reading fails alone, with the line of a source that broke off;
// those that it had not begun, by the gate, go to a fresh reader. A reader that ended before it began the
// pair in front ended for no pair's fault, and the pairs that it held go again, once. Only the pair in front
// can be the culprit: an honest reader begins no pair before it has answered the one before.
void ReaderPool::lose(Slot &slot, std::string stopped_because, bool believed, bool blame_reading)
{
    slot.gone = true;
    // What an honest reader sent before it ended counts: outcomes of pairs that it finished may still wait.
    while (believed && !slot.held.empty() && slot.inbox.receive(slot.reader->connection()) > 0) {
        const std::string broken = take_outcomes(slot);
        if (!broken.empty()) {
            slot.reader->stop();
            stopped_because = broken + ", and was stopped";
            believed = false;
            blame_reading = !slot.inbox.answered_again();
        }
    }
    const std::uint64_t begun = slot.gate().begun();
    processor_seconds_of_ended_readers_ += slot.reader->processor_seconds();
    const std::string ended = slot.reader->end();
    const std::string how = "its reader " + (!stopped_because.empty() ? stopped_because
                                             : !ended.empty()         ? ended
                                                                      : std::string("ended before it was done"));
    // A reader that answers again a pair that it has answered broke down over that pair, not over the one
    // it reads since: nothing that it holds is to blame, and its pairs go again, as after a crash before a
    // pair began, which a gate word that lies costs no more than.
    const bool culprit_known = blame_reading && !slot.held.empty() && slot.held.front().number <= begun;
    std::deque<Assignment> held = std::move(slot.held);
    slot.held.clear();
    for (Assignment &assignment : held) {
        const bool in_front = &assignment == &held.front();
        if ((in_front && culprit_known) || (!culprit_known && assignment.retried))
            events_.failed(assignment, how);
        else
            events_.given_back(assignment, assignment.retried || !culprit_known);
    }
}

void ReaderPool::take_back_waiting()
{
    const Clock::time_point now = Clock::now();
    for (const auto &slot : slots_) {
        if (slot->gone)
            continue;
        if (!slot->gate_is_honest()) {
            fault(*slot, "wrote into its gate what no reader writes");
            continue;
        }
        if (slot->held.empty() || now - slot->held.front().began < patience)
            continue;
        // The pairs behind the one being read; and that one too when a reader that has read before has not
        // begun it. A new reader may still be starting: the gate takes back every pair up to the last one
        // named, so there is nothing to take back from it but everything.
        const std::uint64_t front = slot->held.front().number;
        if (slot->begun_seen == 0)
            continue;
        const std::uint64_t first = slot->begun_seen >= front ? front + 1 : front;
        if (first > slot->sent || !slot->gate().take_back(first, slot->sent))
            continue;
        slot->taken_back = slot->sent;
        while (!slot->held.empty() && slot->held.back().number >= first) {
            events_.given_back(slot->held.back(), false);
            slot->held.pop_back();
        }
        if (!slot->held.empty() && slot->held.front().number != front)
            new_front(*slot);
    }
}

void ReaderPool::stop_runaways()
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
        lose(*slot, "used " + std::to_string(static_cast<int>(most_processor_seconds)) +
                        " s of processor time and was stopped", true);
    }
}

void ReaderPool::end_all()
{
    // Every reader is told at once, so that they end side by side.
    for (const auto &slot : slots_)
        slot->reader->hang_up();
    slots_.clear();  // and each is waited for
}

// The processor time of the whole run, the supervisor's and every reader's, and the supervisor's alone.
Pace::Usage ReaderPool::usage() const
{
    Pace::Usage used;
    used.supervisor = platform::processor_seconds();
    used.run = used.supervisor + processor_seconds_of_ended_readers_;
    for (const auto &slot : slots_)
        used.run += slot->gone ? 0 : slot->reader->processor_seconds();
    return used;
}

Pace::UnderWay ReaderPool::under_way(Clock::time_point since, Clock::time_point until) const
{
    Pace::UnderWay pairs;
    const Clock::time_point now = Clock::now();
    for (const auto &slot : slots_) {
        if (slot->gone || slot->held.empty())
            continue;
        const Clock::time_point began = slot->held.front().began;
        if (began < since || began > until)
            continue;
        const double seconds = std::chrono::duration<double>(now - began).count();
        pairs.pairs++;
        pairs.seconds += seconds;
        pairs.longest = std::max(pairs.longest, seconds);
    }
    return pairs;
}
