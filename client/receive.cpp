#include "receive.hpp"

#include <cerrno>
#include <chrono>

#include <sys/socket.h>
#include <sys/time.h>

namespace {

using namespace std::chrono_literals;

// The server may be busy with other requests before it reaches ours; once
// it has started, a gap this long means it has gone.
constexpr std::chrono::seconds FIRST_REPLY_TIMEOUT = 30s;
constexpr std::chrono::seconds NEXT_REPLY_TIMEOUT = 5s;

void setReceiveTimeout(int sock, std::chrono::seconds limit) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(limit.count());
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

Received failure(int error) {
    if (error == EAGAIN || error == EWOULDBLOCK) return Received::TimedOut;
    if (error == ECONNREFUSED) return Received::Refused;
    return Received::Failed;
}

} // namespace

bool Output::flush() {
    std::size_t done = 0;
    while (done < len_) {
        ssize_t n = write(fd_, buf_ + done, len_ - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    len_ = 0;
    return true;
}

int recvFile(const char* buf, std::size_t length, Output& out) {
    for (std::size_t i = 0; i < length; ++i) {
        char ch = Cipher(buf[i]);
        if (ch == END_MARKER) return 1;
        out.put(ch);
    }
    return 0;
}

Received recvStream(int sock, Output& out) {
    setReceiveTimeout(sock, FIRST_REPLY_TIMEOUT);
    bool started = false;
    Datagram buf;
    for (;;) {
        clearBuf(buf);
        ssize_t got = recv(sock, buf, DATAGRAM_SIZE, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return failure(errno);
        if (recvFile(buf, static_cast<std::size_t>(got), out)) return Received::Ended;
        if (!started) setReceiveTimeout(sock, NEXT_REPLY_TIMEOUT);
        started = true;
    }
}
