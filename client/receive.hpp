// Receiving a reply stream and printing the content it carries.
#pragma once

#include <cstddef>

#include "protocol.hpp"

// Collects content bytes and writes them to a descriptor in large writes.
class Output {
  public:
    explicit Output(int fd) : fd_(fd) {}
    void put(char ch) {
        if (len_ == sizeof buf_) flush();
        buf_[len_++] = ch;
    }
    // Writes out what is held; false when the descriptor refused it.
    bool flush();

  private:
    int fd_;
    std::size_t len_ = 0;
    char buf_[64 * 1024];
};

// Deciphers one reply datagram of length bytes and puts its content to out.
// Returns 1 when the end marker was met (the stream has ended), else 0.
int recvFile(const char* buf, std::size_t length, Output& out);

// How a reply stream ended.
enum class Received { Ended, TimedOut, Refused, Failed };

// Receives reply datagrams on a connected socket until the end marker.
Received recvStream(int sock, Output& out);
