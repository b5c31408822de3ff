// The pool of readers: it starts them as the number at once asks, gives them pairs, takes back pairs that
// wait behind a slow one, stops a reader that runs away or breaks the rules, and tells which pair a reader
// that ended was reading. A reader is presumed taken over by what it reads: the pool believes nothing from
// it but the outcome of the pair that it is reading, once (protocol.h), and a gate word that says no more
// than an honest reader's could.
#pragma once

#include "pace.h"
#include "pair_queue.h"
#include "platform.h"
#include "protocol.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A pair given to a reader, until its outcome is in.
struct Assignment {
    JobPointer job;
    std::string uri;
    bool network = false;          // the source is read from the network
    std::uint64_t number = 0;      // in the reader's count of pairs sent to it
    bool retried = false;          // a reader before this one ended before it began the pair
    std::chrono::steady_clock::time_point began;  // when it became the pair that its reader reads
};

class ReaderPool {
  public:
    using Clock = std::chrono::steady_clock;
    struct Slot;

    struct Events {
        std::function<void(Assignment &, PairOutcome &)> finished;
        // The pair that a reader was reading when it ended or was stopped, and why, as "its reader ...".
        std::function<void(Assignment &, const std::string &why)> failed;
        // A pair that its reader did not begin, to be read again; retried: the reader ended first.
        std::function<void(Assignment &, bool retried)> given_back;
    };

    // origin: where readers come from, or null where none can be had; pairs_per_reader: how many a reader
    // holds at once, the one it reads and those it reads next.
    ReaderPool(platform::ReaderOrigin *origin, Events events, std::size_t pairs_per_reader);
    ~ReaderPool();

    // A reader to read a pair of this kind next, with at most at_once readers: one that waits, a new one, or
    // one whose pair has only just begun. Null when none can take it now.
    Slot *slot_for(bool network, unsigned at_once);
    // Whether a reader runs, or could be started.
    bool empty() const { return slots_.empty(); }
    // False: the reader was lost, and the pair given back.
    bool give(Slot &slot, Assignment assignment);
    // Readers that hold pairs.
    unsigned reading() const;
    // How soon the pool wants to look at its readers again: sooner while pairs wait behind others.
    std::chrono::milliseconds next_look() const;

    // The connections of the readers, to wait on, then what came on those that had news, in that order.
    std::vector<platform::Connection *> watched();
    void receive(const std::vector<bool> &news);
    // Pairs that wait behind a pair that takes long go to other readers, if their reader has not begun them.
    void take_back_waiting();
    // A reader whose pair has used more processor time than any pair needs is stopped.
    void stop_runaways();
    // Tells every reader that no pair will come, and waits for them to end.
    void end_all();

    Pace::Usage usage() const;
    Pace::UnderWay under_way(Clock::time_point since, Clock::time_point until) const;

  private:
    void fit(unsigned at_once);
    void let_go(Slot &slot);
    void new_front(Slot &slot);
    std::string take_outcomes(Slot &slot);
    // blame_reading: the pair being read is the one that the reader broke the rules over.
    void fault(Slot &slot, const std::string &why, bool blame_reading = true);
    // stopped_because: why the pool ended it; believed: what it sent before that counts.
    void lose(Slot &slot, std::string stopped_because = std::string(), bool believed = true, bool blame_reading = true);

    platform::ReaderOrigin *const origin_;
    const Events events_;
    const std::size_t pairs_per_reader_;
    std::vector<std::unique_ptr<Slot>> slots_;
    double processor_seconds_of_ended_readers_ = 0;
};
