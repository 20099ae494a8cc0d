// The system tests' entry point. Each test runs in a network namespace of
// its own, so that a server someone runs on this machine never meets the
// tests, and tests that bind the service port can run side by side.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "protocol.hpp"

namespace {

Fd udpSocket() {
    return Fd{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
}

bool writeProc(const char* path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

// Makes an ordinary user root of a user namespace of its own, where it may
// make network namespaces. Only a single-threaded process may enter one.
bool enterUserNamespace() {
    std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    if (unshare(CLONE_NEWUSER) != 0)
        return false;
    return writeProc("/proc/self/setgroups", "deny") &&
           writeProc("/proc/self/uid_map", "0 " + uid + " 1") &&
           writeProc("/proc/self/gid_map", "0 " + gid + " 1");
}

// A fresh network namespace, its loopback device up. Threads and children
// started afterwards inherit it.
bool enterNetworkNamespace() {
    static bool allowed = geteuid() == 0 || enterUserNamespace();
    if (!allowed || unshare(CLONE_NEWNET) != 0)
        return false;
    Fd sock = udpSocket();
    ifreq lo{};
    std::snprintf(lo.ifr_name, sizeof lo.ifr_name, "lo");
    if (!sock.valid() || ioctl(sock.get(), SIOCGIFFLAGS, &lo) != 0)
        return false;
    lo.ifr_flags |= IFF_UP;
    return ioctl(sock.get(), SIOCSIFFLAGS, &lo) == 0;
}

bool portFree() {
    Fd sock = udpSocket();
    sockaddr_in addr = serviceAddress(htonl(INADDR_ANY));
    return sock.valid() && bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// Where no namespace can be made, the tests share the machine's port one
// at a time, and a port held by another program stops them with one message.
class Isolation : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        if (enterNetworkNamespace())
            return;
        lock_ = Fd{open(PORT_LOCK, O_RDONLY | O_CLOEXEC)};
        if (!lock_.valid())
            lock_ = Fd{open(PORT_LOCK, O_RDONLY | O_CREAT | O_CLOEXEC, 0644)};
        if (!lock_.valid() || flock(lock_.get(), LOCK_EX) != 0)
            std::perror(PORT_LOCK);
        if (portFree())
            return;
        std::fprintf(stderr,
                     "UDP port %u is taken by another program, and no network namespace of its "
                     "own could be made for this test: stop that program, or run the tests as "
                     "root or where unprivileged user namespaces are allowed.\n",
                     SERVICE_PORT);
        std::exit(1);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { lock_.reset(); }
    Fd lock_;
};

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new Isolation);
    return RUN_ALL_TESTS();
}
