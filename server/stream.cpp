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
static_assert(BATCH_DATAGRAMS % MOST_SEGMENTS == 0);

// The errors by which a kernel says it lacks a way of sending.
bool unsupported(int error) {
    return error == EINVAL || error == EIO || error == ENOPROTOOPT || error == EOPNOTSUPP ||
           error == ENOSYS;
}

// Reads up to n bytes of file into out and enciphers them, up to and
// including the first byte that narrows to the marker: the end of the file
// or a data byte 0xFF (then cut is set). That byte is stored as the
// enciphered marker in its place. Returns the bytes stored; ended tells
// whether the marker is among them. A failed read stores nothing and is no
// end. Nothing is consumed: the caller does that once the bytes are sent.
std::size_t encipherFrom(Reader& file, char* out, std::size_t n, bool& ended, bool& cut) {
    std::size_t got = file.peek(out, n);
    ended = cut = false;
    if (file.failed()) // a damaged copy must not look whole: no marker
        return 0;
    auto* hit = static_cast<const char*>(std::memchr(out, END_MARKER, got));
    std::size_t take = hit ? static_cast<std::size_t>(hit - out) : got;
    cipherBlock(out, take, out);
    cut = hit != nullptr;
    ended = take < n;
    if (ended)
        out[take++] = Cipher(END_MARKER);
    return take;
}

// Consumes what encipherFrom stored: the marker stands for a file byte only
// when it was a data byte 0xFF.
void consumeStored(Reader& file, std::size_t stored, bool ended, bool cut) {
    if (cut)
        file.cutAfter(stored);
    else
        file.consume(ended ? stored - 1 : stored);
}

using Control = char[CMSG_SPACE(sizeof(std::uint16_t)) + CMSG_SPACE(sizeof(in_pktinfo))];

// Sets the control messages of one send: the segment size for the kernel
// to cut the message by, and the address of ours to send from, so that a
// receiver that asked 127.0.0.2 hears from 127.0.0.2.
void setControl(msghdr& msg, Control& control, const Route& route, bool segment) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    std::size_t used = 0;
    if (segment) {
        cmsg->cmsg_level = SOL_UDP;
        cmsg->cmsg_type = UDP_SEGMENT;
        cmsg->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        std::uint16_t size = DATAGRAM_SIZE;
        std::memcpy(CMSG_DATA(cmsg), &size, sizeof size);
        used += CMSG_SPACE(sizeof size);
        cmsg = CMSG_NXTHDR(&msg, cmsg);
    }
    if (route.local.s_addr != htonl(INADDR_ANY)) {
        cmsg->cmsg_level = IPPROTO_IP;
        cmsg->cmsg_type = IP_PKTINFO;
        cmsg->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst = route.local;
        std::memcpy(CMSG_DATA(cmsg), &info, sizeof info);
        used += CMSG_SPACE(sizeof info);
    }
    msg.msg_controllen = used;
    if (used == 0)
        msg.msg_control = nullptr;
}

// Addresses one message, of the one buffer iov, along route.
void setMessage(msghdr& msg, iovec& iov, Control& control, const Route& route, bool segment) {
    msg.msg_name = const_cast<sockaddr_in*>(&route.peer);
    msg.msg_namelen = sizeof route.peer;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    setControl(msg, control, route, segment);
}

// How many of the rest datagrams the next message carries. A lone last
// datagram may be a cut notice, which goes in one message with the final
// datagram before it, so that the receiver finds the two queued together.
std::size_t nextMessage(std::size_t rest, std::size_t perMessage) {
    if (rest == perMessage + 1 && perMessage > 1)
        return perMessage - 1;
    return std::min(rest, perMessage);
}

// Writes the cut notice into the left bytes after the marker, or, when the
// marker is its datagram's last byte, into the datagram after it. Returns
// the datagrams added.
std::size_t writeCutNotice(char* tail, std::size_t left) {
    std::size_t added = left == 0 ? 1 : 0;
    std::memset(tail, CUT_NOTICE, left + added * DATAGRAM_SIZE);
    return added;
}

// Sends count datagrams in messages of up to perMessage datagrams each,
// many messages per sendmmsg. With segment, each message is one send that
// the kernel cuts into 32-byte datagrams, which costs it little more than
// one datagram. Returns the datagrams sent; error is the errno that
// stopped it, or 0.
std::size_t sendMessages(int sock, const Route& route, const Datagram* batch, std::size_t count,
                         std::size_t perMessage, bool segment, int& error) {
    iovec iov[MOST_MESSAGES];
    mmsghdr msgs[MOST_MESSAGES];
    alignas(cmsghdr) Control control[MOST_MESSAGES];
    std::size_t done = 0;
    while (done < count) {
        unsigned n = 0;
        for (std::size_t at = done, take; at < count && n < MOST_MESSAGES; at += take, ++n) {
            take = nextMessage(count - at, perMessage);
            iov[n] = {const_cast<Datagram*>(batch + at), take * DATAGRAM_SIZE};
            msgs[n] = {};
            msghdr& msg = msgs[n].msg_hdr;
            setMessage(msg, iov[n], control[n], route, segment);
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

std::size_t sendSingly(int sock, const Route& route, const Datagram* batch, std::size_t count,
                       int& error) {
    for (std::size_t i = 0; i < count; ++i) {
        iovec iov{const_cast<Datagram*>(batch + i), DATAGRAM_SIZE};
        msghdr msg{};
        alignas(cmsghdr) Control control;
        setMessage(msg, iov, control, route, false);
        if (sendmsg(sock, &msg, 0) < 0) {
            error = errno;
            return i;
        }
    }
    error = 0;
    return count;
}

std::size_t sendWith(const SendMethod& how, int sock, const Route& route, const Datagram* batch,
                     std::size_t count, int& error) {
    switch (how.path) {
    case SendPath::Segmented:
        return sendMessages(sock, route, batch, count, how.segments, true, error);
    case SendPath::Batched:
        return sendMessages(sock, route, batch, count, 1, false, error);
    case SendPath::Single:
        break;
    }
    return sendSingly(sock, route, batch, count, error);
}

} // namespace

void fillReply(Datagram& buf, std::string_view text) {
    std::size_t n = std::min(text.size(), DATAGRAM_SIZE - 1);
    text.copy(buf, n);
    buf[n] = END_MARKER;
    cipherBlock(buf, n + 1, buf);
}

int sendFile(Reader* file, Datagram& buf, std::size_t length) {
    if (file == nullptr) {
        fillReply(buf, NOT_FOUND_TEXT);
        return 1;
    }
    // End of file and a data byte 0xFF both narrow to the marker: that is
    // the wire's rule, and peers rely on it.
    bool ended = false, cut = false;
    std::size_t stored = encipherFrom(*file, buf, std::min(length, DATAGRAM_SIZE), ended, cut);
    if (file->failed())
        return -1;
    consumeStored(*file, stored, ended, cut);
    return ended;
}

SendMethod probeSending() {
    // The socket sends to itself; what it receives is never read.
    Route to;
    Fd sock = loopbackSocket(to.peer);
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

bool sendBatch(int sock, const Route& route, const Datagram* batch, std::size_t count,
               SendMethod& how) {
    for (std::size_t done = 0; done < count;) {
        int error = 0;
        done += sendWith(how, sock, route, batch + done, count - done, error);
        if (error == 0 || error == EINTR)
            continue;
        if (!unsupported(error) || how.path == SendPath::Single)
            return false;
        how.path = how.path == SendPath::Segmented ? SendPath::Batched : SendPath::Single;
    }
    return true;
}

Stream::Stream(const Route& route, std::optional<Reader> file, const Datagram& request,
               SendMethod how, ReceiverQueues* queues)
    : route_(route), file_(std::move(file)), how_(how), queues_(queues), started_(Clock::now()) {
    std::memcpy(request_, request, DATAGRAM_SIZE);
}

// Fills up to count datagrams laid end to end in batch, as count calls of
// sendFile would, and returns how many it filled; ended is set when the
// stream ends in them. A cut reply gets its notice, which may take one
// datagram more: batch has room for count + 1.
std::size_t Stream::fill(Datagram* batch, std::size_t count, bool& ended) {
    if (!file_) {
        std::memcpy(batch[0], request_, DATAGRAM_SIZE);
        ended = sendFile(nullptr, batch[0], DATAGRAM_SIZE);
        return 1;
    }
    bool first = file_->offset() == 0;
    // The datagrams lie end to end, so the whole batch is one run of the file.
    pending_ = encipherFrom(*file_, batch[0], count * DATAGRAM_SIZE, ended, cut_);
    ended_ = ended;
    std::size_t filled = (pending_ + DATAGRAM_SIZE - 1) / DATAGRAM_SIZE;
    if (!ended)
        return filled;
    // Whatever the read left past the marker is file bytes that must not be
    // sent: the tail is the request's own bytes when the final datagram is
    // also the first, as the buffer of one datagram would hold, else zero.
    char* tail = batch[0] + pending_;
    std::size_t left = filled * DATAGRAM_SIZE - pending_;
    // A file that shrank under us is cut as surely as by a byte 0xFF.
    if (cut_ || file_->shrunk())
        return filled + writeCutNotice(tail, left);
    if (first && filled == 1)
        std::memcpy(tail, request_ + pending_, left);
    else
        std::memset(tail, 0, left);
    return filled;
}

// Sends what fill left in batch, and only then consumes it from the file.
std::optional<StreamEnd> Stream::send(int sock, const Datagram* batch, std::size_t count) {
    if (file_ && file_->failed())
        return StreamEnd::ReadFailed;
    if (!sendBatch(sock, route_, batch, count, how_))
        return StreamEnd::SendFailed;
    if (file_)
        consumeStored(*file_, pending_, ended_, cut_);
    if (ended_ || !file_)
        return StreamEnd::Sent;
    return std::nullopt;
}

// A receiver we cannot watch gets the plain pace: each datagram filled,
// then sent on its own.
std::optional<StreamEnd> Stream::sendPlainly(int sock, Datagram* batch) {
    how_ = {};
    for (std::size_t i = 0; i < BATCH_DATAGRAMS; ++i) {
        bool ended = false;
        std::size_t filled = fill(batch, 1, ended);
        if (auto end = send(sock, batch, filled))
            return end;
    }
    return std::nullopt;
}

std::optional<StreamEnd> Stream::turn(int sock, Datagram* batch, Clock::time_point now,
                                      Outbox* outbox) {
    bool ended = false;
    if (!pacer_) {
        // A reply of one datagram goes out without asking the kernel about
        // its receiver, which would cost more than the reply itself.
        std::size_t filled = fill(batch, 1, ended);
        if (file_ && file_->failed())
            return StreamEnd::ReadFailed;
        // A cut notice of a datagram of its own goes in one send with its reply.
        if (ended && outbox && filled == 1) {
            outbox->add(route_, batch[0]);
            if (file_)
                consumeStored(*file_, pending_, ended_, cut_);
            return StreamEnd::Sent;
        }
        if (ended)
            return send(sock, batch, filled);
        pacer_.emplace(queues_, route_.peer, route_.local, now);
        if (pacer_->gone())
            return StreamEnd::ReceiverGone;
    }
    if (!pacer_->observed())
        return sendPlainly(sock, batch);
    std::size_t count = BATCH_DATAGRAMS;
    switch (pacer_->admit(count, now)) {
    case Pace::Wait:
        return std::nullopt;
    case Pace::Gone:
        return StreamEnd::ReceiverGone;
    case Pace::Stalled:
        return StreamEnd::ReceiverStalled;
    case Pace::Go:
        break;
    }
    std::size_t filled = fill(batch, count, ended);
    if (filled > count)
        pacer_->spend(filled - count); // a cut notice's own datagram
    return send(sock, batch, filled);
}

Clock::time_point Stream::lastProgress() const {
    return pacer_ ? pacer_->lastProgress() : started_;
}

std::uint32_t Stream::owner() const {
    return pacer_ && pacer_->observed() ? pacer_->owner() : UNKNOWN_OWNER;
}

void Outbox::add(const Route& route, const Datagram& datagram) {
    std::memcpy(datagrams_[count_], datagram, DATAGRAM_SIZE);
    routes_[count_++] = route;
}

bool Outbox::holds(const sockaddr_in& peer) const {
    return std::any_of(routes_, routes_ + count_,
                       [&](const Route& route) { return samePeer(route.peer, peer); });
}

std::size_t Outbox::send(int sock) {
    if (count_ == 0)
        return 0;
    mmsghdr msgs[CAPACITY] = {};
    iovec iov[CAPACITY];
    alignas(cmsghdr) Control control[CAPACITY];
    for (std::size_t i = 0; i < count_; ++i) {
        iov[i] = {datagrams_[i], DATAGRAM_SIZE};
        msghdr& msg = msgs[i].msg_hdr;
        setMessage(msg, iov[i], control[i], routes_[i], false);
    }
    // Where the kernel refuses one message, that one goes on its own and
    // the rest go on together.
    std::size_t refused = 0;
    for (std::size_t done = 0; done < count_;) {
        int sent = sendmmsg(sock, msgs + done, static_cast<unsigned>(count_ - done), 0);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        SendMethod single;
        refused += !sendBatch(sock, routes_[done], &datagrams_[done], 1, single);
        ++done;
    }
    count_ = 0;
    return refused;
}
