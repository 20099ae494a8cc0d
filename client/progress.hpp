// One line of progress for a long fetch: the bytes received so far and the
// rate, for a user watching a terminal.
#pragma once

#include <chrono>
#include <cstdint>

class Progress {
  public:
    // Draws on fd only when it is a terminal; elsewhere it is silent.
    explicit Progress(int fd);
    ~Progress() { clear(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    // Redraws the line with bytes received, at most ten times a second.
    void update(std::uint64_t bytes);
    // Takes the line away, before the messages that follow the fetch.
    void clear();

  private:
    int fd_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point started_, drawnAt_;
};
