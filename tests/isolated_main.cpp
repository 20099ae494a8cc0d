// The system tests' entry point. Each test runs in a network namespace of
// its own, so that a server someone runs on this machine never meets the
// tests, and tests that bind the service port can run side by side.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <net/if.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
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

// The first subordinate id and their count that file (/etc/subuid or
// /etc/subgid) grants the user with this name or id; a count of 0 if none.
std::pair<unsigned long, unsigned long> subordinateIds(const char* file, const std::string& name,
                                                       unsigned id) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::string owner = line.substr(0, line.find(':'));
        unsigned long first = 0, count = 0;
        if ((owner == name || owner == std::to_string(id)) &&
            std::sscanf(line.c_str() + owner.size(), ":%lu:%lu", &first, &count) == 2)
            return {first, count};
    }
    return {0, 0};
}

// Maps more than our own user into the namespace that process pid has just
// entered, where newuidmap and newgidmap grant it: the tests that need a
// second user then have one. Run in a child forked before the unshare.
[[noreturn]] void mapSubordinateIds(pid_t pid, int ready) {
    char go;
    if (read(ready, &go, 1) != 1)
        _exit(1);
    const passwd* user = getpwuid(getuid());
    auto [uids, uidCount] = subordinateIds("/etc/subuid", user ? user->pw_name : "", getuid());
    auto [gids, gidCount] = subordinateIds("/etc/subgid", user ? user->pw_name : "", getuid());
    if (uidCount == 0 || gidCount == 0)
        _exit(1);
    std::string command = "newuidmap " + std::to_string(pid) + " 0 " + std::to_string(getuid()) +
                          " 1 1 " + std::to_string(uids) + " " + std::to_string(uidCount) +
                          " && newgidmap " + std::to_string(pid) + " 0 " +
                          std::to_string(getgid()) + " 1 1 " + std::to_string(gids) + " " +
                          std::to_string(gidCount) + " 2>/dev/null";
    execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    _exit(1);
}

// Makes an ordinary user root of a user namespace of its own, where it may
// make network namespaces: with the subordinate ids the system grants it,
// or else with its own user alone. Only a single-threaded process may
// enter one.
bool enterUserNamespace() {
    std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return false;
    pid_t self = getpid(), mapper = fork();
    if (mapper == 0)
        mapSubordinateIds(self, ready[0]);
    close(ready[0]);
    bool entered = unshare(CLONE_NEWUSER) == 0;
    int status = 1;
    if (mapper > 0) {
        [[maybe_unused]] ssize_t told = write(ready[1], "y", 1); // a failure shows in status
        close(ready[1]);
        waitpid(mapper, &status, 0);
    }
    if (!entered)
        return false;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
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
