#include "service.hpp"

#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>

#include "protocol.hpp"

namespace {

volatile std::sig_atomic_t stops = 0;

void countStop(int) {
    stops = stops + 1; // only this handler writes it, and it cannot nest: both are masked in it
}

} // namespace

void notifyManager(const char* state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    sockaddr_un addr{};
    // A path, or an abstract name written with '@' for its leading zero.
    if (!path || (path[0] != '/' && path[0] != '@') || std::strlen(path) >= sizeof addr.sun_path)
        return;
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path);
    if (path[0] == '@')
        addr.sun_path[0] = '\0';
    Fd sock{socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!sock.valid())
        return;
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(path));
    sendto(sock.get(), state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
           len); // nothing better to do on failure than serve on
}

sigset_t holdStopSignals() {
    sigset_t stop, waiting;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, &waiting); // cannot fail with a valid how
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    struct sigaction act {};
    act.sa_handler = countStop;
    act.sa_mask = stop;
    sigaction(SIGTERM, &act, nullptr); // cannot fail for these signals
    sigaction(SIGINT, &act, nullptr);
    std::signal(SIGHUP, SIG_IGN);
    return waiting;
}

int stopsAsked() {
    return stops;
}
