// A file read by position: the stream that owns it keeps no buffer of its
// own, so that a thousand streams in flight cost a descriptor each, not a
// buffer each. Runs are read straight into the caller's datagrams. Reading
// by position also lets streams of one file share its descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "protocol.hpp"

class Reader {
  public:
    // size is the size the stream promises: the file's own when it was looked at.
    Reader(std::shared_ptr<const Fd> fd, std::uint64_t size);
    // The size the file has now is the size the stream promises.
    explicit Reader(Fd fd);

    // Reads the next bytes of the file into out, at most n, without
    // consuming them; fewer only at the end of the file or after a failed
    // read. An end before the size promised makes the file shrunk.
    std::size_t peek(char* out, std::size_t n);
    // Consumes n of the bytes peek returned.
    void consume(std::size_t n) { offset_ += n; }
    // Consumes n bytes, the last of them the data byte 0xFF that ends the
    // stream early.
    void cutAfter(std::size_t n) {
        consume(n);
        cut_ = true;
    }

    std::uint64_t offset() const { return offset_; }     // bytes consumed so far
    bool cut() const { return cut_; }                    // a data byte 0xFF ended the stream
    bool failed() const { return failed_; }              // a read failed
    bool shrunk() const { return shrunk_; }              // it ended before the size promised
    std::uint64_t promised() const { return promised_; } // its size when opened
    std::uint64_t shrunkTo() const { return shrunkTo_; } // its size when found shrunk

  private:
    std::shared_ptr<const Fd> fd_;
    std::uint64_t offset_ = 0;
    bool cut_ = false;
    bool failed_ = false;
    bool shrunk_ = false;
    std::uint64_t promised_ = 0;
    std::uint64_t shrunkTo_ = 0;
};
