#include "stream.hpp"

#include <algorithm>
#include <cerrno>

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>

namespace {

// The most datagrams one segmented message may carry: 128 on current
// kernels, 64 before; and how many messages one system call may take.
constexpr std::size_t MOST_SEGMENTS = 128;
constexpr std::size_t FEWEST_SEGMENTS = 64;
constexpr std::size_t MOST_MESSAGES = 256;
// Datagrams filled before each trip to the kernel: eight segmented
// messages, 32 KiB.
constexpr std::size_t BATCH_DATAGRAMS = 8 * MOST_SEGMENTS;
static_assert(BATCH_DATAGRAMS * DATAGRAM_SIZE <= Reader::BUFFER_BYTES);

// The errors by which a kernel says it lacks a way of sending.
bool unsupported(int error) {
    return error == EINVAL || error == EIO || error == ENOPROTOOPT || error == EOPNOTSUPP ||
           error == ENOSYS;
}

// Stores up to n bytes of file at out, enciphered, up to and including the
// first byte that narrows to the marker: the end of the file, a failed
// read, or a data byte 0xFF. That byte is stored as the enciphered marker
// in its place. Returns the bytes stored; ended tells whether it is there.
// n is at most what the reader buffers, so one run of it is enough.
std::size_t encipherFrom(Reader& file, char* out, std::size_t n, bool& ended) {
    std::string_view run = file.peek(n);
    auto* hit = static_cast<const char*>(std::memchr(run.data(), END_MARKER, run.size()));
    std::size_t take = hit ? static_cast<std::size_t>(hit - run.data()) : run.size();
    cipherBlock(run.data(), take, out);
    if (hit)
        file.cutAfter(take + 1);
    else
        file.consume(take);
    ended = take < n;
    if (ended)
        out[take++] = Cipher(END_MARKER);
    return take;
}

// Sends count datagrams in messages of up to perMessage datagrams each,
// many messages per sendmmsg. With segment, each message is one send that
// the kernel cuts into 32-byte datagrams, which costs it little more than
// one datagram. Returns the datagrams sent; error is the errno that
// stopped it, or 0.
std::size_t sendMessages(int sock, const sockaddr_in& peer, const Datagram* batch,
                         std::size_t count, std::size_t perMessage, bool segment, int& error) {
    using Control = char[CMSG_SPACE(sizeof(std::uint16_t))];
    iovec iov[MOST_MESSAGES];
    mmsghdr msgs[MOST_MESSAGES];
    alignas(cmsghdr) Control control[MOST_MESSAGES];
    std::size_t done = 0;
    while (done < count) {
        unsigned n = 0;
        for (std::size_t at = done; at < count && n < MOST_MESSAGES; at += perMessage, ++n) {
            iov[n] = {const_cast<Datagram*>(batch + at),
                      std::min(perMessage, count - at) * DATAGRAM_SIZE};
            msgs[n] = {};
            msghdr& msg = msgs[n].msg_hdr;
            msg.msg_name = const_cast<sockaddr_in*>(&peer);
            msg.msg_namelen = sizeof peer;
            msg.msg_iov = &iov[n];
            msg.msg_iovlen = 1;
            if (!segment)
                continue;
            msg.msg_control = control[n];
            msg.msg_controllen = sizeof control[n];
            cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
            cmsg->cmsg_level = SOL_UDP;
            cmsg->cmsg_type = UDP_SEGMENT;
            cmsg->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
            std::uint16_t size = DATAGRAM_SIZE;
            std::memcpy(CMSG_DATA(cmsg), &size, sizeof size);
        }
        int sent = sendmmsg(sock, msgs, n, 0);
        if (sent < 0) {
            error = errno;
            return done;
        }
        for (int i = 0; i < sent; ++i)
            done += iov[i].iov_len / DATAGRAM_SIZE;
    }
    error = 0;
    return done;
}

std::size_t sendSingly(int sock, const sockaddr_in& peer, const Datagram* batch, std::size_t count,
                       int& error) {
    for (std::size_t i = 0; i < count; ++i)
        if (sendto(sock, batch[i], DATAGRAM_SIZE, 0, reinterpret_cast<const sockaddr*>(&peer),
                   sizeof peer) < 0) {
            error = errno;
            return i;
        }
    error = 0;
    return count;
}

std::size_t sendWith(const SendMethod& how, int sock, const sockaddr_in& peer,
                     const Datagram* batch, std::size_t count, int& error) {
    switch (how.path) {
    case SendPath::Segmented:
        return sendMessages(sock, peer, batch, count, how.segments, true, error);
    case SendPath::Batched:
        return sendMessages(sock, peer, batch, count, 1, false, error);
    case SendPath::Single:
        break;
    }
    return sendSingly(sock, peer, batch, count, error);
}

} // namespace

int sendFile(Reader* file, Datagram& buf, std::size_t length) {
    if (file == nullptr) {
        std::size_t n = NOT_FOUND_TEXT.size();
        NOT_FOUND_TEXT.copy(buf, n);
        buf[n] = END_MARKER;
        cipherBlock(buf, n + 1, buf);
        return 1;
    }
    // End of file and a data byte 0xFF both narrow to the marker: that is
    // the wire's rule, and peers rely on it.
    bool ended = false;
    encipherFrom(*file, buf, std::min(length, DATAGRAM_SIZE), ended);
    return ended;
}

namespace {

// Fills up to count datagrams laid end to end in batch, as count calls of
// sendFile would. Returns how many it filled; ended is set to 1 when the
// last of them is the final datagram of the stream.
std::size_t fillBatch(Reader* file, Datagram* batch, std::size_t count, int& ended) {
    if (file == nullptr) {
        ended = sendFile(file, batch[0], DATAGRAM_SIZE);
        return 1;
    }
    // The datagrams lie end to end, so the whole batch is one run of the file.
    bool end = false;
    std::size_t stored = encipherFrom(*file, batch[0], count * DATAGRAM_SIZE, end);
    ended = end;
    return (stored + DATAGRAM_SIZE - 1) / DATAGRAM_SIZE;
}

} // namespace

SendMethod probeSending() {
    // The socket sends to itself; what it receives is never read.
    sockaddr_in to;
    Fd sock = loopbackSocket(to);
    if (!sock.valid())
        return {};
    static const Datagram probe[MOST_SEGMENTS] = {};
    int error = 0;
    for (std::size_t segments : {MOST_SEGMENTS, FEWEST_SEGMENTS})
        if (sendMessages(sock.get(), to, probe, segments, segments, true, error) == segments)
            return {SendPath::Segmented, segments};
    if (sendMessages(sock.get(), to, probe, 2, 1, false, error) == 2)
        return {SendPath::Batched, 1};
    return {};
}

bool sendBatch(int sock, const sockaddr_in& peer, const Datagram* batch, std::size_t count,
               SendMethod& how) {
    for (std::size_t done = 0; done < count;) {
        int error = 0;
        done += sendWith(how, sock, peer, batch + done, count - done, error);
        if (error == 0 || error == EINTR)
            continue;
        if (!unsupported(error) || how.path == SendPath::Single)
            return false;
        how.path = how.path == SendPath::Segmented ? SendPath::Batched : SendPath::Single;
    }
    return true;
}

StreamEnd sendStream(int sock, const sockaddr_in& peer, Reader* file, const Datagram& request,
                     SendMethod how, Pacer& pacer) {
    // A receiver we cannot watch gets the plain pace: each datagram filled,
    // then sent on its own.
    std::size_t capacity = BATCH_DATAGRAMS;
    if (!pacer.observed()) {
        how = {};
        capacity = 1;
    }
    Datagram batch[BATCH_DATAGRAMS] = {};
    // The first datagram is filled over the request, so that a stream that
    // ends there carries the request's bytes in its tail, as peers expect.
    std::memcpy(batch[0], request, DATAGRAM_SIZE);
    for (int ended = 0; !ended;) {
        std::size_t count = fillBatch(file, batch, capacity, ended);
        for (std::size_t sent = 0; sent < count;) {
            std::size_t now = count - sent;
            switch (pacer.admit(now)) {
            case Pace::Gone:
                return StreamEnd::ReceiverGone;
            case Pace::Stalled:
                return StreamEnd::ReceiverStalled;
            case Pace::Go:
                break;
            }
            if (!sendBatch(sock, peer, batch + sent, now, how))
                return StreamEnd::SendFailed;
            sent += now;
        }
        std::memset(batch, 0, count * DATAGRAM_SIZE);
    }
    return StreamEnd::Sent;
}
