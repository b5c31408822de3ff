// How many sources a run reads at once, chosen as it goes. Far servers want many at once: each pair waits
// a few round trips, and only overlapping them gives throughput. A small or busy server, a local disk (the
// work is processor time) and large pictures (memory) want few. So the number starts low and doubles while
// each doubling clearly raises the pairs done per second and the processors are not full; it falls back to
// the last number that paid, probes again now and then, and is cut when a server pushes back or the
// throughput falls.
//
// Pairs done per second are measured as the number at once over the mean time that a pair takes (Little's
// law), over pairs begun since the number was last set: counting the pairs that end within a window would
// weigh the window's ends, and pairs of different containers take different numbers of round trips.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

class Pace {
  public:
    using Clock = std::chrono::steady_clock;

    // start: how many at once to begin with; ceiling: the most ever, for what descriptors allow;
    // processor_seconds: what the run has used so far, on all of its processes; processors: how many it may
    // run on.
    Pace(unsigned start, unsigned ceiling, std::function<double()> processor_seconds, unsigned processors);

    unsigned at_once() const;
    // How long no pair may begin: a while after a server pushed back.
    Clock::duration holding(Clock::time_point now) const;

    // There were fewer pairs to read than readers: what is measured meanwhile says nothing of the number,
    // and the window starts again.
    void short_of_work(Clock::time_point now);

    // A pair is done, begun when its reader began it; pushed_back: its server refused or asked for fewer
    // requests; picture_bytes: the size of the picture that it brought, if any.
    void pair_done(Clock::time_point began, Clock::time_point now, bool pushed_back, std::size_t picture_bytes);

  private:
    struct Window {
        Clock::time_point start, processor_since;
        double processor_seconds = 0;  // of the run, at processor_since
        unsigned done = 0;             // pairs begun since the window's start
        double pair_seconds = 0;       // that they took, together
        bool telling = true;
        bool cut = false;  // the number was cut as the window began
    };
    void begin_window(Clock::time_point now);
    void judge_window(Clock::time_point now);
    unsigned memory_allows() const;
    void settle(unsigned level, double rate);

    const unsigned start_;
    const unsigned ceiling_;
    const std::function<double()> processor_seconds_;
    const unsigned processors_;
    unsigned level_;
    bool doubling_ = true;       // growing until a doubling does not pay
    unsigned paid_level_ = 0;    // the last number that paid, and the pairs per second it gave
    double paid_rate_ = 0;
    double last_gain_ = 0;       // what the last doubling gave
    bool settled_ever_ = false;  // once settled or cut, the number only ever doubles
    double typical_pair_seconds_ = 0;
    Clock::time_point cut_until_;  // pairs begun before this that push back were begun before the last cut
    double settled_rate_ = 0;    // of the windows since, smoothed
    unsigned settled_windows_ = 0;
    double largest_picture_ = 0; // of the pairs lately done, decaying
    Window window_;
};
