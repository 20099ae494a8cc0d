#include "stream.hpp"

#include <cerrno>

#include <sys/socket.h>

namespace {

// Datagrams filled before each trip to the kernel.
constexpr std::size_t BATCH_DATAGRAMS = 64;

// Sends count datagrams laid end to end in batch, one call each.
bool sendBatch(int sock, const sockaddr_in& peer, const Datagram* batch, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        ssize_t sent;
        do
            sent = sendto(sock, batch[i], DATAGRAM_SIZE, 0,
                          reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
        while (sent < 0 && errno == EINTR);
        if (sent < 0) return false;
    }
    return true;
}

} // namespace

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
        if (ch == END_MARKER) return 1;
    }
    return 0;
}

StreamEnd sendStream(int sock, const sockaddr_in& peer, Reader* file, const Datagram& request) {
    Datagram batch[BATCH_DATAGRAMS] = {};
    // The first datagram is filled over the request, so that a stream that
    // ends there carries the request's bytes in its tail, as peers expect.
    std::memcpy(batch[0], request, DATAGRAM_SIZE);
    int ended = 0;
    while (!ended) {
        std::size_t count = 0;
        while (count < BATCH_DATAGRAMS && !ended)
            ended = sendFile(file, batch[count++], DATAGRAM_SIZE);
        if (!sendBatch(sock, peer, batch, count)) return StreamEnd::SendFailed;
        for (std::size_t i = 0; i < count; ++i)
            clearBuf(batch[i]);
    }
    return StreamEnd::Sent;
}
