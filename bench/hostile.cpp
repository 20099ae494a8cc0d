// hostile: the loads of bench/fairness, as a careless or hostile local
// user would make them against the server on 127.0.0.1. Runs for the given
// seconds, then exits.
//   hostile slow SOCKETS NAME INTERVAL_MS SECONDS [RENEW_MS]
//     each socket asks for NAME, then takes one datagram every INTERVAL_MS
//     (0: never); with RENEW_MS, one socket every RENEW_MS closes and a new
//     one asks again
//   hostile flood NAME SECONDS
//     one socket sends requests for NAME as fast as it can, reading nothing
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include "protocol.hpp"

namespace {

using std::chrono::milliseconds;

Fd ask(const Datagram& request) {
    Fd sock{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    sockaddr_in to = serviceAddress(inet_addr(SERVER_HOST));
    if (!sock.valid() ||
        sendto(sock.get(), request, DATAGRAM_SIZE, 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to) != static_cast<ssize_t>(DATAGRAM_SIZE)) {
        std::perror("hostile: ask");
        std::exit(1);
    }
    return sock;
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int slow(int count, const Datagram& request, milliseconds interval, Clock::time_point end,
         milliseconds renew) {
    std::vector<Fd> socks;
    for (int i = 0; i < count; ++i)
        socks.push_back(ask(request));
    Clock::time_point nextRead = Clock::now(), nextRenew = Clock::now() + renew;
    std::size_t renewed = 0;
    unsigned long long taken = 0;
    char buf[DATAGRAM_SIZE];
    while (Clock::now() < end) {
        if (interval.count() > 0 && Clock::now() >= nextRead) {
            for (Fd& sock : socks)
                taken += recv(sock.get(), buf, sizeof buf, MSG_DONTWAIT) > 0;
            nextRead += interval;
        }
        if (renew.count() > 0 && Clock::now() >= nextRenew) {
            socks[renewed++ % socks.size()] = ask(request);
            nextRenew += renew;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    std::printf("hostile: %d sockets took %llu datagrams\n", count, taken);
    return 0;
}

int flood(const Datagram& request, Clock::time_point end) {
    Fd sock = ask(request);
    sockaddr_in to = serviceAddress(inet_addr(SERVER_HOST));
    constexpr unsigned BATCH = 64;
    mmsghdr msgs[BATCH] = {};
    iovec iov{const_cast<char*>(request), DATAGRAM_SIZE};
    for (mmsghdr& msg : msgs) {
        msg.msg_hdr.msg_name = &to;
        msg.msg_hdr.msg_namelen = sizeof to;
        msg.msg_hdr.msg_iov = &iov;
        msg.msg_hdr.msg_iovlen = 1;
    }
    unsigned long long sent = 0;
    while (Clock::now() < end) {
        int n = sendmmsg(sock.get(), msgs, BATCH, 0);
        if (n > 0)
            sent += static_cast<unsigned>(n);
    }
    std::printf("hostile: flood sent %llu requests\n", sent);
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    std::string mode = argc > 1 ? argv[1] : "";
    Datagram request;
    clearBuf(request);
    if (argc > 2)
        std::strncpy(request, argv[2 + (mode == "slow")], DATAGRAM_SIZE - 1);
    raiseDescriptorLimit();
    if (mode == "slow" && argc >= 6) {
        auto end = Clock::now() + std::chrono::seconds(std::atoi(argv[5]));
        milliseconds renew(argc > 6 ? std::atoi(argv[6]) : 0);
        return slow(std::atoi(argv[2]), request, milliseconds(std::atoi(argv[4])), end, renew);
    }
    if (mode == "flood" && argc == 4)
        return flood(request, Clock::now() + std::chrono::seconds(std::atoi(argv[3])));
    std::fprintf(stderr, "usage: hostile slow SOCKETS NAME INTERVAL_MS SECONDS [RENEW_MS]\n"
                         "       hostile flood NAME SECONDS\n");
    return 2;
}
