// How many sources a run reads at once, chosen as it goes. Far servers want many at once: each pair waits
// a few round trips, and only overlapping them gives throughput. A small or busy server, a local disk (the
// work is processor time) and large pictures (memory) want few. So the number starts low and doubles while
// each doubling clearly raises the pairs done per second and the processors are not full; it falls back to
// the last number that paid, probes again now and then, and is cut when a server pushes back or the
// throughput falls.
//
// Pairs done per second are measured as the number at once over the mean time that a pair takes (Little's
// law), over pairs begun since the number was last set: counting the pairs that end within a window would
// weigh the window's ends, and pairs of different containers take different numbers of round trips. A
// window is judged only once the pairs begun as it opened have ended (or have taken three times as long as
// the others, and count with the time taken so far): judged on the quick pairs that end first, a busy
// server that makes some pairs wait would look idle.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

class Pace {
  public:
    using Clock = std::chrono::steady_clock;

    // Processor seconds used so far, by the whole run and by the supervisor alone.
    struct Usage {
        double run = 0, supervisor = 0;
    };
    // The pairs under way that began between two times, and the longest that one of them has taken so far.
    struct UnderWay {
        unsigned pairs = 0;
        double seconds = 0, longest = 0;
    };

    // start: how many at once to begin with; ceiling: the most ever, for what descriptors allow; usage: what
    // the run has used so far; under_way: the pairs being read; processors: how many it may run on.
    Pace(unsigned start, unsigned ceiling, std::function<Usage()> usage,
         std::function<UnderWay(Clock::time_point since, Clock::time_point until)> under_way, unsigned processors);

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
        Usage usage;                   // at processor_since
        unsigned done = 0;             // pairs begun since the window's start
        double pair_seconds = 0;       // that they took, together
        bool telling = true;
        bool cut = false;  // the number was cut as the window began
    };
    void begin_window(Clock::time_point now);
    void judge_window(Clock::time_point now, const UnderWay &stragglers);
    unsigned memory_allows() const;
    void settle(unsigned level, double rate);

    const unsigned start_;
    const unsigned ceiling_;
    const std::function<Usage()> usage_;
    const std::function<UnderWay(Clock::time_point, Clock::time_point)> under_way_;
    const unsigned processors_;
    unsigned level_;
    bool doubling_ = true;       // growing until a doubling does not pay
    unsigned paid_level_ = 0;    // the last number that paid, and the pairs per second it gave
    double paid_rate_ = 0;
    double quickest_pair_seconds_ = 0;  // the shortest mean time of a window's pairs so far
    bool settled_ever_ = false;  // once settled or cut, the number only ever doubles
    double typical_pair_seconds_ = 0;
    Clock::time_point cut_until_;  // pairs begun before this that push back were begun before the last cut
    double settled_rate_ = 0;    // of the windows since, smoothed
    unsigned settled_windows_ = 0;
    unsigned probe_wait_;        // windows before a settled number is probed
    double largest_picture_ = 0; // of the pairs lately done, decaying
    Window window_;
};
