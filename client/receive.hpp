// Receiving a reply stream and printing the content it carries.
#pragma once

#include <cstddef>

#include "protocol.hpp"

// The client's receive queue, asked of the kernel, which doubles it. A sender
// that does not pace itself goes on filling it while the client is kept off
// the CPU; at some 830 bytes charged per 32-byte datagram, 32 MiB hold 40000
// of them, 150 ms of a plain sender at full speed: longer than a loaded
// machine has kept the client waiting in our measurements.
inline constexpr int REPLY_QUEUE_BYTES = 16 << 20;

// Messages taken per receive: each one datagram, or many the kernel merged.
inline constexpr std::size_t RECEIVE_BATCH = 64;

// Collects content bytes and writes them to a descriptor in large writes.
class Output {
  public:
    explicit Output(int fd) : fd_(fd) {}
    // Deciphers n received bytes into what is held.
    void decipher(const char* data, std::size_t n);
    // Writes out what is held; false once the descriptor has refused it.
    bool flush();
    bool failed() const { return failed_; }

  private:
    int fd_;
    bool failed_ = false;
    std::size_t len_ = 0;
    char buf_[64 * 1024];
};

// Deciphers length bytes of one reply datagram, or of several whose bytes all
// count laid back to back, and puts the content before the end marker to out.
// Returns 1 when the end marker was met (the stream has ended), else 0.
int recvFile(const char* buf, std::size_t length, Output& out);

// Handles what one receive returned: size bytes of datagrams of segment
// bytes each (the last may be shorter), of which only the first
// DATAGRAM_SIZE bytes count. Returns 1 when the stream has ended.
int recvSegments(const char* data, std::size_t size, std::size_t segment, Output& out);

// The ways to take datagrams from the kernel, fastest first.
enum class RecvPath {
    Coalesced, // one recvmmsg, datagrams merged by the kernel (UDP_GRO) or not
    Batched,   // one recvmmsg, never merged
    Single,    // one recv per datagram
};

// How a reply stream ended.
enum class Received { Ended, WriteFailed, TimedOut, Refused, Failed };

// Receives reply datagrams on a connected socket until the end marker or
// until out fails to write, starting on path and moving to a slower one if
// the kernel lacks it.
Received recvStream(int sock, Output& out, RecvPath path);
