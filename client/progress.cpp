#include "progress.hpp"

#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

// Often enough to look alive, seldom enough to cost nothing.
constexpr std::chrono::milliseconds REDRAW_EVERY{100};
constexpr double MIB = 1 << 20;
constexpr const char* CLEAR_LINE = "\r\033[K";

} // namespace

Progress::Progress(int fd)
    : fd_(isatty(fd) ? fd : -1), started_(std::chrono::steady_clock::now()), drawnAt_(started_) {}

void Progress::clear() {
    if (!drawn_)
        return;
    drawn_ = false;
    // Progress is a courtesy: a terminal that refuses it stops nothing.
    [[maybe_unused]] ssize_t n = write(fd_, CLEAR_LINE, std::strlen(CLEAR_LINE));
}

void Progress::update(std::uint64_t bytes) {
    if (fd_ < 0)
        return;
    auto now = std::chrono::steady_clock::now();
    if (now - drawnAt_ < REDRAW_EVERY)
        return;
    drawnAt_ = now;
    double seconds = std::chrono::duration<double>(now - started_).count();
    char line[80];
    int len =
        std::snprintf(line, sizeof line, "%s%.1f MiB received, %.1f MiB/s", CLEAR_LINE,
                      static_cast<double>(bytes) / MIB, static_cast<double>(bytes) / MIB / seconds);
    [[maybe_unused]] ssize_t n = write(fd_, line, static_cast<std::size_t>(len));
    drawn_ = true;
}
