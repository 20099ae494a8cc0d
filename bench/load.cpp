// load: the request-rate load of bench/run, a closed loop. Each of its
// sockets keeps one request in flight and asks again as soon as the whole
// reply has come, until the given number of replies has come back. Every
// reply is checked against the content expected; a request unanswered for
// a second is sent again and counted as lost. Exits 1 when any reply was
// wrong or lost. Usage: load REQUESTS NAME [EXPECTED_FILE]; without a file
// the reply expected is the one for a missing name.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include "protocol.hpp"

namespace {

constexpr int SOCKETS = 8;
constexpr auto LOST_AFTER = std::chrono::seconds(1);
constexpr long LOST_LIMIT = 10 * SOCKETS; // the server is gone: give up

struct Asker {
    Fd sock;
    std::string got; // the reply so far, deciphered
    Clock::time_point asked;
    bool waiting = false;
};

bool ask(Asker& asker, const Datagram& request) {
    asker.got.clear();
    asker.asked = Clock::now();
    asker.waiting = true;
    return send(asker.sock.get(), request, DATAGRAM_SIZE, 0) == DATAGRAM_SIZE;
}

// Adds a datagram's content to the reply; true once the marker ended it.
bool take(std::string& got, const char* data, ssize_t size) {
    for (ssize_t i = 0; i < size; ++i) {
        if (Cipher(data[i]) == END_MARKER)
            return true;
        got += Cipher(data[i]);
    }
    return false;
}

} // namespace

// One thread polling every socket: with a reply taken and the next request
// sent per wake-up, the load costs less than the servers it measures.
int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || std::strlen(argv[2]) >= DATAGRAM_SIZE) {
        std::fprintf(stderr, "usage: %s REQUESTS NAME [EXPECTED_FILE]\n", argv[0]);
        return 2;
    }
    long total = std::atol(argv[1]), asked = 0, answered = 0, wrong = 0, lost = 0;
    std::string expected(NOT_FOUND_TEXT);
    if (argc == 4) {
        std::ostringstream content;
        content << std::ifstream(argv[3], std::ios::binary).rdbuf();
        expected = content.str();
    }
    Datagram request;
    clearBuf(request);
    std::strcpy(request, argv[2]);
    sockaddr_in server = serviceAddress(inet_addr(SERVER_HOST));

    Asker askers[SOCKETS];
    pollfd polled[SOCKETS];
    for (int i = 0; i < SOCKETS; ++i) {
        askers[i].sock = Fd{socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
        // Connected: only the server's datagrams reach the socket.
        if (!askers[i].sock.valid() ||
            connect(askers[i].sock.get(), reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
            return std::perror("load: socket"), 1;
        polled[i] = {askers[i].sock.get(), POLLIN, 0};
    }
    while (answered < total && lost < LOST_LIMIT) {
        for (int i = 0; i < SOCKETS; ++i) {
            Asker& asker = askers[i];
            char buf[64];
            bool ended = false;
            if (polled[i].revents & POLLIN)
                for (ssize_t n; !ended && (n = recv(asker.sock.get(), buf, sizeof buf, 0)) >= 0;)
                    ended = take(asker.got, buf, n);
            if (ended) {
                ++answered;
                wrong += asker.got != expected;
                asker.waiting = false;
            } else if (asker.waiting && Clock::now() - asker.asked > LOST_AFTER) {
                ++lost;
                asker.waiting = false; // asked again below
                --asked;
            }
            if (!asker.waiting && asked < total) {
                if (!ask(asker, request))
                    return std::perror("load: send"), 1;
                ++asked;
            }
        }
        if (poll(polled, SOCKETS, 100) < 0)
            return std::perror("load: poll"), 1;
    }
    std::fprintf(stderr, "%ld replies, %ld wrong, %ld lost\n", answered, wrong, lost);
    return wrong || lost ? 1 : 0;
}
