// answer_only: the request-rate bench's floor. It answers every request
// with the not-found reply and does nothing else: no file, no log, no
// judging, one recvmmsg and one sendmmsg per batch. No server can answer
// a missing name faster on the same machine, so the bench shows how much
// of a request's cost is the kernel's and how far any server could get
// ahead of the plain one.
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include "protocol.hpp"

namespace {

constexpr unsigned BATCH = 64;

} // namespace

int main() {
    Fd sock{socket(AF_INET, SOCK_DGRAM, 0)};
    sockaddr_in addr = serviceAddress(htonl(INADDR_LOOPBACK));
    if (!sock.valid() || bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("answer_only: bind");
        return 1;
    }
    Datagram bufs[BATCH];
    sockaddr_in peers[BATCH];
    iovec iov[BATCH];
    mmsghdr msgs[BATCH];
    for (;;) {
        for (unsigned i = 0; i < BATCH; ++i) {
            iov[i] = {bufs[i], DATAGRAM_SIZE};
            msgs[i] = {};
            msgs[i].msg_hdr = {&peers[i], sizeof peers[i], &iov[i], 1, nullptr, 0, 0};
        }
        pollfd pfd{sock.get(), POLLIN, 0};
        poll(&pfd, 1, -1);
        int got = recvmmsg(sock.get(), msgs, BATCH, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < got; ++i) {
            if (std::strncmp(bufs[i], "quit", DATAGRAM_SIZE) == 0)
                return 0;
            std::size_t n = NOT_FOUND_TEXT.size();
            NOT_FOUND_TEXT.copy(bufs[i], n);
            bufs[i][n] = END_MARKER;
            cipherBlock(bufs[i], n + 1, bufs[i]);
        }
        if (got > 0)
            sendmmsg(sock.get(), msgs, static_cast<unsigned>(got), 0);
    }
}
