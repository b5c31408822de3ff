#include "pace.h"

#include <algorithm>
#include <utility>

namespace {

// A doubling pays when the pairs done per second rise by at least this much; twice as many at once gives
// up to twice as many where pairs wait on a far server, and nothing where a server or the processors are
// already full.
constexpr double clear_gain = 1.5;
// Throughput that falls below this share of what the number gave when it was chosen means a server that
// slows down under the load.
constexpr double fall = 0.5;
// Processors busier than this share gain nothing from more at once; nor does a supervisor busier than
// this share of one processor: it writes every file, and on a local disk it is the first to be full.
constexpr double processors_full = 0.75;
constexpr double supervisor_full = 0.3;
// Only a doubling that gave nearly twice as much is followed by another: the pairs took no longer, so
// nothing queued for a server or the processors. A settled number is probed again, by one doubling, after
// this many windows, and only while pairs take no longer than the quickest that the run has seen: a
// server that makes pairs wait for each other is never probed past what it was seen to bear.
constexpr double near_double = 1.6;
constexpr double no_longer = 1.2;
constexpr unsigned probe_after_windows = 3;
// A probe that did not pay waits twice as long for the next, up to this many windows.
constexpr unsigned longest_probe_wait = 96;
// With processors to spare after a doubling that gave twice as much or all but, two doublings at once: a
// far server is reached in fewer steps.
constexpr double fully_double = 1.9;
constexpr double processors_spare = 0.5;
// A window lasts for as many pairs as run at once, at least this many, and at least this long, so that
// one pair's luck does not decide.
constexpr unsigned fewest_pairs_judged = 8;
// The pairs begun as a window opens (new readers start theirs at once) are waited for, unless they take
// this many times as long as the others.
constexpr auto opening = std::chrono::milliseconds(20);
constexpr double straggling = 3;
constexpr auto shortest_window = std::chrono::milliseconds(50);
// Pictures in flight: a reader holds one, and its copy travels to the supervisor, so a number at once whose
// largest pictures would take more than this is not run, beyond the number to start with (which large
// pictures have always had, and which going below would only start readers anew as pictures come and go).
constexpr double picture_memory = 256.0 * 1024 * 1024;

}  // namespace

Pace::Pace(unsigned start, unsigned ceiling, std::function<Usage()> usage,
           std::function<UnderWay(Clock::time_point since, Clock::time_point until)> under_way, unsigned processors)
    : start_(std::max(1u, std::min(start, ceiling))), ceiling_(std::max(1u, ceiling)), usage_(std::move(usage)),
      under_way_(std::move(under_way)), processors_(std::max(1u, processors)), level_(start_),
      probe_wait_(probe_after_windows)
{
    doubling_ = level_ < ceiling_;
    begin_window(Clock::now());
}

unsigned Pace::at_once() const { return std::min(level_, memory_allows()); }

Pace::Clock::duration Pace::holding(Clock::time_point now) const
{
    return cut_until_ > now ? cut_until_ - now : Clock::duration::zero();
}

unsigned Pace::memory_allows() const
{
    if (largest_picture_ <= 0)
        return ceiling_;
    return std::max(start_, static_cast<unsigned>(std::min<double>(ceiling_, picture_memory / (2 * largest_picture_))));
}

void Pace::begin_window(Clock::time_point now)
{
    window_ = Window();
    window_.start = window_.processor_since = now;
    window_.usage = usage_();
}

void Pace::short_of_work(Clock::time_point now)
{
    window_.start = now;
    window_.done = 0;
    window_.pair_seconds = 0;
}

void Pace::pair_done(Clock::time_point began, Clock::time_point now, bool pushed_back, std::size_t picture_bytes)
{
    largest_picture_ = std::max(static_cast<double>(picture_bytes), largest_picture_ * 63 / 64);
    level_ = std::min(level_, memory_allows());
    if (pushed_back && began >= cut_until_) {
        // As TCP halves once a round trip: pairs begun before a cut, or so soon after it that the server
        // still had those, may well push back too; only those begun later tell that it was not enough.
        settle(std::max(1u, level_ / 2), 0);
        // Meanwhile no pair begins: a refusal comes at once, and a reader that took pair after pair while the
        // server still had those begun before would see each refused.
        const double drain_seconds = std::min(typical_pair_seconds_ > 0 ? typical_pair_seconds_ : 0.2, 1.0);
        cut_until_ = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(drain_seconds));
        begin_window(now);
        window_.cut = true;
        window_.telling = false;
    }
    // A refusal is quick and brings nothing: it says only that the server has too much.
    if (pushed_back || began < window_.start)
        return;
    const double seconds = std::chrono::duration<double>(now - began).count();
    window_.done++;
    window_.pair_seconds += seconds;
    typical_pair_seconds_ = typical_pair_seconds_ > 0 ? (7 * typical_pair_seconds_ + seconds) / 8 : seconds;
    if (window_.done < std::max(fewest_pairs_judged, at_once()) || now - window_.start < shortest_window)
        return;
    const UnderWay stragglers = under_way_(window_.start, window_.start + opening);
    if (stragglers.pairs == 0 || stragglers.longest > straggling * window_.pair_seconds / window_.done)
        judge_window(now, stragglers);
}

void Pace::judge_window(Clock::time_point now, const UnderWay &stragglers)
{
    const double seconds = std::chrono::duration<double>(now - window_.processor_since).count();
    const Usage used = usage_();
    const double pair_seconds =
        std::max((window_.pair_seconds + stragglers.seconds) / (window_.done + stragglers.pairs), 1e-6);
    const double rate = at_once() / pair_seconds;
    const double processors_busy = (used.run - window_.usage.run) / (seconds * processors_);
    const double supervisor_busy = (used.supervisor - window_.usage.supervisor) / seconds;
    const bool telling = window_.telling;
    begin_window(now);
    if (!telling)
        return;
    quickest_pair_seconds_ = quickest_pair_seconds_ > 0 ? std::min(quickest_pair_seconds_, pair_seconds) : pair_seconds;
    const unsigned most = std::min(ceiling_, memory_allows());
    const bool may_grow = processors_busy < processors_full && supervisor_busy < supervisor_full && level_ * 2 <= most;
    if (doubling_) {
        if (paid_rate_ > 0 && rate < paid_rate_ * clear_gain) {
            settle(paid_level_, paid_rate_);  // the doubling did not pay
            probe_wait_ = std::min(2 * probe_wait_, longest_probe_wait);
            return;
        }
        const double gain = paid_rate_ > 0 ? rate / paid_rate_ : 0;
        paid_level_ = level_;
        paid_rate_ = rate;
        if (!may_grow || (gain > 0 && gain < near_double)) {
            settle(level_, rate);
            return;
        }
        const bool far = !settled_ever_ && gain >= fully_double && processors_busy < processors_spare &&
                         level_ * 4 <= most;
        level_ *= far ? 4 : 2;
        return;
    }
    settled_rate_ = settled_rate_ > 0 ? (3 * settled_rate_ + rate) / 4 : rate;
    paid_rate_ = paid_rate_ > 0 ? paid_rate_ : settled_rate_;
    if (settled_rate_ < paid_rate_ * fall && level_ > start_) {
        // The fixed number that served before is safe enough; pushing back is what goes lower.
        settle(std::max(start_, level_ * 3 / 4), 0);
    } else if (++settled_windows_ >= probe_wait_ && may_grow &&
               pair_seconds <= quickest_pair_seconds_ * no_longer) {
        paid_level_ = level_;
        paid_rate_ = settled_rate_;
        level_ *= 2;
        doubling_ = true;
    }
}

void Pace::settle(unsigned level, double rate)
{
    level_ = level;
    doubling_ = false;
    settled_ever_ = true;
    paid_level_ = level;
    paid_rate_ = settled_rate_ = rate;
    settled_windows_ = 0;
}
