// The status line of a long batch, on a terminal that standard error is: pairs done, pictures written,
// pairs that failed and files per second, rewritten at most ten times a second; at the end it stays, with
// the final figures. Elsewhere nothing is written.
#pragma once

#include <chrono>
#include <cstddef>

class StatusLine {
  public:
    using Clock = std::chrono::steady_clock;

    explicit StatusLine(bool shown);

    bool shown() const { return shown_; }
    // A filename's pairs are reported; written: its picture was written.
    void count(bool written);
    // Rewrites the line, when it is shown and has not been for a tenth of a second.
    void refresh(Clock::time_point now);
    // Clears the line for something else to be written on standard error; the next refresh brings it back.
    void make_way();
    // The line with the final figures, left on the terminal.
    void finish();

  private:
    void write(Clock::time_point now, const char *end);

    const bool shown_;
    const Clock::time_point began_ = Clock::now();
    Clock::time_point written_at_;
    std::size_t done_ = 0, pictures_ = 0;
    std::size_t width_ = 0;  // of the line as it stands on the terminal
    bool stale_ = true;
};
