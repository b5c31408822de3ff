#include "status_line.h"

#include "platform.h"

#include <cstdio>
#include <string>

StatusLine::StatusLine(bool shown) : shown_(shown) {}

void StatusLine::count(bool written)
{
    done_++;
    pictures_ += written ? 1 : 0;
    stale_ = true;
}

void StatusLine::refresh(Clock::time_point now)
{
    if (shown_ && stale_ && now - written_at_ >= std::chrono::milliseconds(100))
        write(now, "");
}

void StatusLine::make_way()
{
    if (!shown_ || width_ == 0)
        return;
    std::fputs(platform::line_clearing(), stderr);
    width_ = 0;
    stale_ = true;
}

void StatusLine::finish()
{
    if (shown_)
        write(Clock::now(), "\n");
}

void StatusLine::write(Clock::time_point now, const char *end)
{
    const double seconds = std::chrono::duration<double>(now - began_).count();
    char line[160];
    const int length =
        std::snprintf(line, sizeof line, "%zu pairs done, %zu pictures written, %zu failed, %.0f files/s", done_,
                      pictures_, done_ - pictures_, seconds > 0 ? done_ / seconds : 0.0);
    const std::size_t width = length > 0 ? static_cast<std::size_t>(length) : 0;
    // Spaces over what is left of a longer line before; a terminal needs no escape sequence for that.
    std::fprintf(stderr, "\r%s%*s%s", line, static_cast<int>(width_ > width ? width_ - width : 0), "", end);
    std::fflush(stderr);
    width_ = *end ? 0 : width;
    written_at_ = now;
    stale_ = false;
}
