// A file read a byte at a time from a large buffer: one read(2) per 64 KiB
// instead of a locked stdio call per byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol.hpp"

class Reader {
  public:
    static constexpr int END = -1;

    explicit Reader(Fd fd) : fd_(std::move(fd)) {}

    // The next byte as 0..255, or END at the end of the file or on a read error.
    int get() {
        if (pos_ == end_ && !fill())
            return END;
        ++offset_;
        return static_cast<unsigned char>(buf_[pos_++]);
    }

    std::uint64_t offset() const { return offset_; } // bytes handed out so far
    bool ended() const { return ended_; }            // get() has returned END
    bool failed() const { return failed_; }          // ... because a read failed

  private:
    bool fill();

    Fd fd_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    std::uint64_t offset_ = 0;
    bool ended_ = false;
    bool failed_ = false;
    char buf_[64 * 1024];
};
