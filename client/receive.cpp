#include "receive.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

using namespace std::chrono_literals;

// The server may be busy with other requests before it reaches ours; once
// it has started, a gap this long means it has gone.
constexpr std::chrono::seconds FIRST_REPLY_TIMEOUT = 30s;
constexpr std::chrono::seconds NEXT_REPLY_TIMEOUT = 5s;

// Room for the largest datagram the kernel may merge for us.
constexpr std::size_t COALESCED_BYTES = 64 * 1024;

// A receive that brought fewer datagrams than this says the sender is slower
// than we are. Rather than be woken for each of its datagrams, which costs
// the sender as much as us, we nap and let them gather in the socket queue,
// which holds thousands. Measured with a plain sender: 16 MiB cost the client
// about 1 s of CPU without naps, 0.3 s with naps of 100 us; 200 us did no better.
constexpr int FEW_DATAGRAMS = 16;
constexpr std::chrono::microseconds NAP = 100us;

// Switching merging on costs the kernel some 0.7 ms, and as much again when
// the socket closes: more than a small file takes to arrive. So it is
// switched on only once the stream proves longer than one receive.
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

// The size of the datagrams the kernel merged into msg, or 0 if it did not.
std::size_t mergedSegment(msghdr& msg) {
    for (cmsghdr* cmsg = CMSG_FIRSTHDR(&msg); cmsg; cmsg = CMSG_NXTHDR(&msg, cmsg))
        if (cmsg->cmsg_level == SOL_UDP && cmsg->cmsg_type == UDP_GRO) {
            int segment;
            std::memcpy(&segment, CMSG_DATA(cmsg), sizeof segment);
            return static_cast<std::size_t>(segment);
        }
    return 0;
}

// The buffers of the batched receive, set up once for a stream. Only the
// pages a datagram fills are ever touched, so the room kept for merged
// datagrams costs address space, not memory.
class Batch {
  public:
    Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    // Takes what the queue holds, waiting for the first datagram, and hands
    // it to out. Returns the number of datagrams taken, or -1 (errno set);
    // sets ended at the marker.
    int receive(int sock, Output& out, bool& ended);

  private:
    std::unique_ptr<char[]> data_;
    iovec iov_[RECEIVE_BATCH];
    alignas(cmsghdr) char control_[RECEIVE_BATCH][CMSG_SPACE(sizeof(int))];
    mmsghdr msgs_[RECEIVE_BATCH] = {};
};

Batch::Batch() : data_(new char[RECEIVE_BATCH * COALESCED_BYTES]) {
    for (std::size_t i = 0; i < RECEIVE_BATCH; ++i) {
        iov_[i] = {data_.get() + i * COALESCED_BYTES, COALESCED_BYTES};
        msgs_[i].msg_hdr.msg_iov = &iov_[i];
        msgs_[i].msg_hdr.msg_iovlen = 1;
        msgs_[i].msg_hdr.msg_control = control_[i];
    }
}

int Batch::receive(int sock, Output& out, bool& ended) {
    for (mmsghdr& msg : msgs_)
        msg.msg_hdr.msg_controllen = sizeof control_[0]; // the kernel shrinks it
    int got = recvmmsg(sock, msgs_, RECEIVE_BATCH, MSG_WAITFORONE, nullptr);
    if (got < 0)
        return -1;
    int datagrams = 0;
    for (int i = 0; i < got && !ended; ++i) {
        std::size_t size = msgs_[i].msg_len;
        std::size_t segment = mergedSegment(msgs_[i].msg_hdr);
        datagrams += segment ? static_cast<int>((size + segment - 1) / segment) : 1;
        ended = recvSegments(static_cast<char*>(iov_[i].iov_base), size, segment, out);
    }
    return datagrams;
}

int receiveSingle(int sock, Output& out, bool& ended) {
    Datagram buf;
    ssize_t got = recv(sock, buf, DATAGRAM_SIZE, 0);
    if (got < 0)
        return -1;
    ended = recvFile(buf, static_cast<std::size_t>(got), out);
    return 1;
}

// One receive on path, again when a signal cut it short, and by plain recv
// when the kernel lacks recvmmsg.
int receive(int sock, Batch& batch, RecvPath& path, Output& out, bool& ended) {
    for (;;) {
        int got = path == RecvPath::Single ? receiveSingle(sock, out, ended)
                                           : batch.receive(sock, out, ended);
        bool lacked = got < 0 && errno == ENOSYS && path != RecvPath::Single;
        if (lacked)
            path = RecvPath::Single;
        else if (got >= 0 || errno != EINTR)
            return got;
    }
}

} // namespace

void Output::decipher(const char* data, std::size_t n) {
    while (n > 0) {
        if (len_ == sizeof buf_)
            flush();
        std::size_t take = std::min(n, sizeof buf_ - len_);
        cipherBlock(data, take, buf_ + len_);
        len_ += take;
        data += take;
        n -= take;
    }
}

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
    // Enciphered, the marker is still one byte value: a block search finds it.
    auto marker = static_cast<const char*>(
        std::memchr(buf, static_cast<unsigned char>(Cipher(END_MARKER)), length));
    out.decipher(buf, marker ? static_cast<std::size_t>(marker - buf) : length);
    return marker ? 1 : 0;
}

int recvSegments(const char* data, std::size_t size, std::size_t segment, Output& out) {
    if (segment == 0)
        segment = size;
    // Datagrams no longer than DATAGRAM_SIZE count whole, so they are one block.
    if (segment <= DATAGRAM_SIZE)
        return recvFile(data, size, out);
    for (std::size_t at = 0; at < size; at += segment)
        if (recvFile(data + at, std::min({segment, size - at, DATAGRAM_SIZE}), out))
            return 1;
    return 0;
}

Received recvStream(int sock, Output& out, RecvPath path) {
    Batch batch;
    setReceiveTimeout(sock, FIRST_REPLY_TIMEOUT);
    for (bool started = false;; started = true) {
        bool ended = false;
        int datagrams = receive(sock, batch, path, out, ended);
        if (datagrams < 0)
            return failure(errno);
        if (ended)
            return Received::Ended;
        if (out.failed())
            return Received::WriteFailed;
        if (!started) {
            setReceiveTimeout(sock, NEXT_REPLY_TIMEOUT);
            path = coalesceFromNowOn(sock, path);
        }
        if (datagrams < FEW_DATAGRAMS)
            std::this_thread::sleep_for(NAP);
    }
}
