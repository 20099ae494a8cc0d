// Receiving a reply stream and printing the content it carries.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "progress.hpp"
#include "protocol.hpp"

// The client's receive queue, asked of the kernel, which doubles it. A sender
// that does not pace itself goes on filling it while the client is kept off
// the CPU; at some 830 bytes charged per 32-byte datagram, 32 MiB hold 40000
// of them, 150 ms of a plain sender at full speed: longer than a loaded
// machine has kept the client waiting in our measurements.
inline constexpr int REPLY_QUEUE_BYTES = 16 << 20;

// Messages taken per receive: each one datagram, or many the kernel merged.
inline constexpr std::size_t RECEIVE_BATCH = 64;

// Content received but not yet written may take this much memory. When it is
// full the receiver stops taking datagrams until the output catches up: our
// server then paces itself by the queue that fills, and loses nothing.
inline constexpr std::size_t UNWRITTEN_BYTES = 64 << 20;

// Collects content bytes and writes them to a descriptor in large writes.
// Once more than one block of content has come, a thread of its own does the
// writing, so that a slow reader of the output never keeps the receiver from
// draining the socket; a short stream, or one written to a regular file, is
// written without one.
class Output {
  public:
    explicit Output(int fd);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    // Deciphers n received bytes into what is held; waits while the memory
    // for unwritten content is full.
    void decipher(const char* data, std::size_t n);
    // Writes out what is held and waits for it; false once the descriptor
    // has refused a write.
    bool flush();
    bool failed() const { return failed_; }
    // Content bytes taken so far.
    std::uint64_t total() const { return total_; }
    // Whether the content taken is exactly bytes, none of it written yet:
    // what is held back until flush when it is shorter than a block.
    bool holdsOnly(std::string_view bytes) const;

  private:
    static constexpr std::size_t BLOCK_BYTES = 64 * 1024;
    struct Block {
        std::size_t len = 0;
        char bytes[BLOCK_BYTES];
    };
    void hand();
    void writeAll(const Block& block);
    void writeHanded();

    int fd_;
    std::uint64_t total_ = 0;
    bool inline_; // the output is a regular file: no thread, each block written as it fills
    std::atomic<bool> failed_ = false;
    std::unique_ptr<Block> filling_;
    std::mutex mutex_; // guards what follows
    std::condition_variable changed_;
    std::deque<std::unique_ptr<Block>> handed_;
    std::vector<std::unique_ptr<Block>> spare_;
    std::size_t blocks_ = 1;    // all there are, filling_ included
    std::size_t unwritten_ = 0; // blocks handed and not yet written
    bool writing_ = false;      // the writer is in a write, started at:
    std::chrono::steady_clock::time_point writeStarted_;
    bool closing_ = false;
    std::thread writer_;
};

// Deciphers length bytes of one reply datagram, or of several whose bytes all
// count laid back to back, and puts the content before the end marker to out.
// Returns 1 when the end marker was met (the stream has ended), else 0.
int recvFile(const char* buf, std::size_t length, Output& out);

// How far what was received takes a reply stream.
enum class Ending {
    More,  // no end marker yet
    Whole, // the end marker, at the end of the file
    Cut,   // the end marker, with our server's notice that a data byte 0xFF made it
    Open,  // the end marker as its datagram's last byte: only a datagram after it can tell
};

// Handles what one receive returned: size bytes of datagrams of segment
// bytes each (the last may be shorter), of which only the first
// DATAGRAM_SIZE bytes count.
Ending recvSegments(const char* data, std::size_t size, std::size_t segment, Output& out);

// The ways to take datagrams from the kernel, fastest first.
enum class RecvPath {
    Coalesced, // one recvmmsg, datagrams merged by the kernel (UDP_GRO) or not
    Batched,   // one recvmmsg, never merged
    Single,    // one recv per datagram
};

// How a reply stream ended.
enum class Received { Ended, Cut, WriteFailed, TimedOut, Refused, Failed };

// How a reply stream ended, and, when it ended at the marker (cut or not),
// how many of its datagrams the kernel had dropped at our socket for want of
// room.
struct Reception {
    Received end;
    std::uint32_t dropped;
};

// Receives reply datagrams on a connected socket until the end marker or
// until out fails to write, starting on path and moving to a slower one if
// the kernel lacks it. Each receive updates progress, when given.
Reception recvStream(int sock, Output& out, RecvPath path, Progress* progress = nullptr);
