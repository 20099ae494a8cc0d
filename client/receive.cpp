#include "receive.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

using namespace std::chrono_literals;

// The server may be busy with other requests before it reaches ours; once
// it has started, a gap this long means it has gone.
constexpr std::chrono::seconds FIRST_REPLY_TIMEOUT = 30s;
constexpr std::chrono::seconds NEXT_REPLY_TIMEOUT = 5s;

// Datagrams taken per batched receive.
constexpr std::size_t BATCH_DATAGRAMS = 64;
// Room for the largest datagram the kernel may merge for us.
constexpr std::size_t COALESCED_BYTES = 64 * 1024;

// Switching merging on costs the kernel about half a millisecond, more than a
// small file takes to arrive; so it is switched on only once the stream
// proves longer than one receive. Datagrams queued before then are taken
// one by one, those after merged. recvmmsg, the fallback, is in every
// kernel since 2.6.33.
RecvPath coalesceFromNowOn(int sock, RecvPath path) {
    int on = 1;
    if (path == RecvPath::Coalesced && setsockopt(sock, SOL_UDP, UDP_GRO, &on, sizeof on) != 0)
        return RecvPath::Batched;
    return path;
}

void setReceiveTimeout(int sock, std::chrono::seconds limit) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(limit.count());
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

Received failure(int error) {
    if (error == EAGAIN || error == EWOULDBLOCK)
        return Received::TimedOut;
    if (error == ECONNREFUSED)
        return Received::Refused;
    return Received::Failed;
}

// What one pass of the receive loop saw: -1 failed (errno set), 0 more to
// come, 1 the stream has ended.
int receiveCoalesced(int sock, Output& out) {
    char data[COALESCED_BYTES];
    iovec iov{data, sizeof data};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got = recvmsg(sock, &msg, 0);
    if (got < 0)
        return -1;
    auto size = static_cast<std::size_t>(got);
    std::size_t segment = size; // a datagram the kernel did not merge
    for (cmsghdr* cmsg = CMSG_FIRSTHDR(&msg); cmsg; cmsg = CMSG_NXTHDR(&msg, cmsg))
        if (cmsg->cmsg_level == SOL_UDP && cmsg->cmsg_type == UDP_GRO) {
            int merged;
            std::memcpy(&merged, CMSG_DATA(cmsg), sizeof merged);
            segment = static_cast<std::size_t>(merged);
        }
    return recvSegments(data, size, segment, out);
}

int receiveBatched(int sock, Output& out) {
    Datagram bufs[BATCH_DATAGRAMS];
    iovec iov[BATCH_DATAGRAMS];
    mmsghdr msgs[BATCH_DATAGRAMS] = {};
    for (std::size_t i = 0; i < BATCH_DATAGRAMS; ++i) {
        clearBuf(bufs[i]);
        iov[i] = {bufs[i], DATAGRAM_SIZE};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int got = recvmmsg(sock, msgs, BATCH_DATAGRAMS, MSG_WAITFORONE, nullptr);
    if (got < 0)
        return -1;
    for (int i = 0; i < got; ++i)
        if (recvFile(bufs[i], std::min<std::size_t>(msgs[i].msg_len, DATAGRAM_SIZE), out))
            return 1;
    return 0;
}

int receiveSingle(int sock, Output& out) {
    Datagram buf;
    clearBuf(buf);
    ssize_t got = recv(sock, buf, DATAGRAM_SIZE, 0);
    if (got < 0)
        return -1;
    return recvFile(buf, static_cast<std::size_t>(got), out);
}

} // namespace

bool Output::flush() {
    for (std::size_t done = 0; done < len_ && !failed_;) {
        ssize_t n = write(fd_, buf_ + done, len_ - done);
        if (n >= 0)
            done += static_cast<std::size_t>(n);
        else if (errno != EINTR)
            failed_ = true;
    }
    len_ = 0;
    return !failed_;
}

int recvFile(const char* buf, std::size_t length, Output& out) {
    for (std::size_t i = 0; i < length; ++i) {
        char ch = Cipher(buf[i]);
        if (ch == END_MARKER)
            return 1;
        out.put(ch);
    }
    return 0;
}

int recvSegments(const char* data, std::size_t size, std::size_t segment, Output& out) {
    if (segment == 0)
        segment = size;
    for (std::size_t at = 0; at < size; at += segment)
        if (recvFile(data + at, std::min({segment, size - at, DATAGRAM_SIZE}), out))
            return 1;
    return 0;
}

Received recvStream(int sock, Output& out, RecvPath path) {
    setReceiveTimeout(sock, FIRST_REPLY_TIMEOUT);
    for (bool started = false;; started = true) {
        int ended = -1;
        do {
            switch (path) {
            case RecvPath::Coalesced:
                ended = receiveCoalesced(sock, out);
                break;
            case RecvPath::Batched:
                ended = receiveBatched(sock, out);
                break;
            case RecvPath::Single:
                ended = receiveSingle(sock, out);
                break;
            }
        } while (ended < 0 && errno == EINTR);
        if (ended < 0)
            return failure(errno);
        if (ended)
            return Received::Ended;
        if (out.failed())
            return Received::WriteFailed;
        if (!started) {
            setReceiveTimeout(sock, NEXT_REPLY_TIMEOUT);
            path = coalesceFromNowOn(sock, path);
        }
    }
}
