// Receiving a reply stream and printing the content it carries.
#pragma once

#include <cstddef>

#include "protocol.hpp"

// Collects content bytes and writes them to a descriptor in large writes.
class Output {
  public:
    explicit Output(int fd) : fd_(fd) {}
    void put(char ch) {
        if (len_ == sizeof buf_)
            flush();
        buf_[len_++] = ch;
    }
    // Writes out what is held; false once the descriptor has refused it.
    bool flush();
    bool failed() const { return failed_; }

  private:
    int fd_;
    bool failed_ = false;
    std::size_t len_ = 0;
    char buf_[64 * 1024];
};

// Deciphers one reply datagram of length bytes and puts its content to out.
// Returns 1 when the end marker was met (the stream has ended), else 0.
int recvFile(const char* buf, std::size_t length, Output& out);

// Handles what one receive returned: size bytes of datagrams of segment
// bytes each (the last may be shorter), of which only the first
// DATAGRAM_SIZE bytes count. Returns 1 when the stream has ended.
int recvSegments(const char* data, std::size_t size, std::size_t segment, Output& out);

// The ways to take datagrams from the kernel, fastest first.
enum class RecvPath {
    Coalesced, // many datagrams in one buffer, as the kernel merged them (UDP_GRO)
    Batched,   // one recvmmsg, one datagram per message
    Single,    // one recv per datagram
};

// How a reply stream ended.
enum class Received { Ended, WriteFailed, TimedOut, Refused, Failed };

// Receives reply datagrams on a connected socket until the end marker or
// until out fails to write, starting on path and moving to a slower one if
// the kernel lacks it.
Received recvStream(int sock, Output& out, RecvPath path);
