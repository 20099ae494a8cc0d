#include "stream.hpp"

#include <cerrno>

#include <netinet/udp.h>
#include <sys/socket.h>

namespace {

// Datagrams filled before each trip to the kernel: 2 KiB, within what the
// kernel cuts from one segmented send on every version that offers it.
constexpr std::size_t BATCH_DATAGRAMS = 64;

// The errors by which a kernel says it lacks a way of sending.
bool unsupported(int error) {
    return error == EINVAL || error == EIO || error == ENOPROTOOPT || error == EOPNOTSUPP ||
           error == ENOSYS;
}

// One send of the whole batch; the kernel cuts it into 32-byte datagrams,
// which costs it little more than one datagram. Returns the errno or 0.
int sendSegmented(int sock, const sockaddr_in& peer, const Datagram* batch, std::size_t count) {
    iovec iov{const_cast<Datagram*>(batch), count * DATAGRAM_SIZE};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr_in*>(&peer);
    msg.msg_namelen = sizeof peer;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_UDP;
    cmsg->cmsg_type = UDP_SEGMENT;
    cmsg->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    std::uint16_t segment = DATAGRAM_SIZE;
    std::memcpy(CMSG_DATA(cmsg), &segment, sizeof segment);
    return sendmsg(sock, &msg, 0) < 0 ? errno : 0;
}

// One system call for the batch, one datagram per message.
int sendBatched(int sock, const sockaddr_in& peer, const Datagram* batch, std::size_t count) {
    iovec iov[BATCH_DATAGRAMS];
    mmsghdr msgs[BATCH_DATAGRAMS] = {};
    for (std::size_t i = 0; i < count; ++i) {
        iov[i] = {const_cast<Datagram*>(&batch[i]), DATAGRAM_SIZE};
        msgs[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&peer);
        msgs[i].msg_hdr.msg_namelen = sizeof peer;
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    for (std::size_t done = 0; done < count;) {
        int sent = sendmmsg(sock, msgs + done, static_cast<unsigned>(count - done), 0);
        if (sent < 0 && errno != EINTR)
            return errno;
        done += sent > 0 ? static_cast<std::size_t>(sent) : 0;
    }
    return 0;
}

int sendSingly(int sock, const sockaddr_in& peer, const Datagram* batch, std::size_t count) {
    for (std::size_t i = 0; i < count;) {
        if (sendto(sock, batch[i], DATAGRAM_SIZE, 0, reinterpret_cast<const sockaddr*>(&peer),
                   sizeof peer) >= 0)
            ++i;
        else if (errno != EINTR)
            return errno;
    }
    return 0;
}

} // namespace

bool sendBatch(int sock, const sockaddr_in& peer, const Datagram* batch, std::size_t count,
               SendPath& path) {
    for (;;) {
        int error = 0;
        switch (path) {
        case SendPath::Segmented:
            error = sendSegmented(sock, peer, batch, count);
            break;
        case SendPath::Batched:
            error = sendBatched(sock, peer, batch, count);
            break;
        case SendPath::Single:
            return sendSingly(sock, peer, batch, count) == 0;
        }
        if (error == 0)
            return true;
        if (error == EINTR)
            continue; // a segmented send is all or nothing: send it again
        if (!unsupported(error))
            return false;
        path = path == SendPath::Segmented ? SendPath::Batched : SendPath::Single;
    }
}

int sendFile(Reader* file, Datagram& buf, std::size_t length) {
    if (file == nullptr) {
        std::size_t n = NOT_FOUND_TEXT.size();
        NOT_FOUND_TEXT.copy(buf, n);
        buf[n] = END_MARKER;
        for (std::size_t i = 0; i <= n; ++i)
            buf[i] = Cipher(buf[i]);
        return 1;
    }
    for (std::size_t i = 0; i < length && i < DATAGRAM_SIZE; ++i) {
        // End of file and a data byte 0xFF both narrow to the marker: that
        // is the wire's rule, and peers rely on it.
        char ch = static_cast<char>(file->get());
        buf[i] = Cipher(ch);
        if (ch == END_MARKER)
            return 1;
    }
    return 0;
}

StreamEnd sendStream(int sock, const sockaddr_in& peer, Reader* file, const Datagram& request,
                     SendPath& path, Pacer& pacer) {
    Datagram batch[BATCH_DATAGRAMS] = {};
    // The first datagram is filled over the request, so that a stream that
    // ends there carries the request's bytes in its tail, as peers expect.
    std::memcpy(batch[0], request, DATAGRAM_SIZE);
    int ended = 0;
    while (!ended) {
        std::size_t count = 0;
        while (count < BATCH_DATAGRAMS && !ended)
            ended = sendFile(file, batch[count++], DATAGRAM_SIZE);
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
            if (!sendBatch(sock, peer, batch + sent, now, path))
                return StreamEnd::SendFailed;
            sent += now;
        }
        for (std::size_t i = 0; i < count; ++i)
            clearBuf(batch[i]);
    }
    return StreamEnd::Sent;
}
