// A file read through a large buffer: one read(2) per 64 KiB instead of a
// locked stdio call per byte, handed out in runs for block-wise work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol.hpp"

class Reader {
  public:
    static constexpr std::size_t BUFFER_BYTES = 64 * 1024;

    explicit Reader(Fd fd) : fd_(std::move(fd)) {}

    // The next bytes of the file, at most n (no more than the buffer holds),
    // without consuming them: fewer only at the end of the file or after a
    // failed read.
    std::string_view peek(std::size_t n);
    // Consumes n of the bytes peek returned.
    void consume(std::size_t n) {
        pos_ += n;
        offset_ += n;
    }
    // Consumes n bytes, the last of them the data byte 0xFF that ends the
    // stream early.
    void cutAfter(std::size_t n) {
        consume(n);
        cut_ = true;
    }

    std::uint64_t offset() const { return offset_; } // bytes consumed so far
    bool cut() const { return cut_; }                // a data byte 0xFF ended the stream
    bool failed() const { return failed_; }          // a read failed

  private:
    Fd fd_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    std::uint64_t offset_ = 0;
    bool ended_ = false;
    bool cut_ = false;
    bool failed_ = false;
    char buf_[BUFFER_BYTES];
};
