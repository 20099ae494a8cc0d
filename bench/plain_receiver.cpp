// plain_receiver: the benchmark's baseline client. It fetches the file named
// by argv[1] in the most direct way: one recvfrom per datagram, default
// socket buffers, putchar per byte. Its only concession to loss is an idle
// time-out, so that a stream whose marker was dropped still ends. Given
// PAUSE_AT and SECONDS, it stops reading for that long after datagram
// PAUSE_AT, as a reader behind a pager does, and says how long the rest took.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "protocol.hpp"

namespace {

constexpr time_t IDLE_TIMEOUT_SECONDS = 2;

bool sendRequest(int sock, const char* name) {
    Datagram buf;
    clearBuf(buf);
    std::strncpy(buf, name, DATAGRAM_SIZE - 1);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(SERVICE_PORT);
    server.sin_addr.s_addr = inet_addr(SERVER_HOST);
    return sendto(sock, buf, DATAGRAM_SIZE, 0, reinterpret_cast<sockaddr*>(&server),
                  sizeof server) == static_cast<ssize_t>(DATAGRAM_SIZE);
}

// Writes the content of one datagram; true when it held the end marker.
bool printDatagram(const Datagram& buf, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        char ch = Cipher(buf[i]);
        if (ch == END_MARKER)
            return true;
        std::putchar(static_cast<unsigned char>(ch));
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: %s FILE_NAME [PAUSE_AT SECONDS]\n", argv[0]);
        return 2;
    }
    long pauseAt = argc == 4 ? std::atol(argv[2]) : -1;
    std::chrono::duration<double> pause(argc == 4 ? std::atof(argv[3]) : 0);
    Fd sock{socket(AF_INET, SOCK_DGRAM, 0)};
    if (!sock.valid())
        return 1;
    timeval idle{};
    idle.tv_sec = IDLE_TIMEOUT_SECONDS;
    setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);

    Clock::time_point start = Clock::now();
    if (!sendRequest(sock.get(), argv[1]))
        return 1;

    // The time of the last datagram, not of the time-out, so that a lossy run
    // is not charged for the idle wait.
    Clock::time_point last = start, resumed = start;
    bool ended = false;
    Datagram buf;
    for (long count = 0; !ended; ++count) {
        if (count == pauseAt) {
            std::this_thread::sleep_for(pause);
            resumed = Clock::now();
        }
        ssize_t got = recvfrom(sock.get(), buf, DATAGRAM_SIZE, 0, nullptr, nullptr);
        if (got < 0)
            break; // the idle time-out, or a real error: either way, stop
        last = Clock::now();
        ended = printDatagram(buf, static_cast<std::size_t>(got));
    }
    std::fflush(stdout);
    std::fprintf(stderr, "elapsed %.6f\n", std::chrono::duration<double>(last - start).count());
    if (pauseAt >= 0)
        std::fprintf(stderr, "after the pause %.6f\n",
                     std::chrono::duration<double>(last - resumed).count());
    return ended ? 0 : 1;
}
