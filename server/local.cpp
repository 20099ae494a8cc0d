#include "local.hpp"

#include <algorithm>
#include <cerrno>

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

namespace {

// Without news from the kernel, how long a list of addresses is trusted.
constexpr std::chrono::seconds REREAD_INTERVAL{1};

Fd subscribe() {
    Fd sock{socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE)};
    if (!sock.valid())
        return sock;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_IPV4_IFADDR;
    if (bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return Fd{};
    return sock;
}

} // namespace

// Subscribed first, so that a change made while the list is read is news.
LocalAddresses::LocalAddresses() : news_(subscribe()) {
    read();
}

void LocalAddresses::read() {
    readAt_ = Clock::now();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return; // the list as it was is the best guess
    addresses_.clear();
    for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next)
        if (ifa->ifa_addr && ifa->ifa_addr->sa_family == AF_INET)
            addresses_.push_back(reinterpret_cast<sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr);
    freeifaddrs(list);
}

void LocalAddresses::refresh() {
    if (!news_.valid()) {
        if (Clock::now() - readAt_ >= REREAD_INTERVAL)
            read();
        return;
    }
    // Which address changed does not matter: the whole list is read again.
    // ENOBUFS says news was lost, which is news too.
    bool changed = false;
    for (;;) {
        char message[256];
        ssize_t got = recv(news_.get(), message, sizeof message, MSG_DONTWAIT | MSG_TRUNC);
        if (got >= 0 || errno == ENOBUFS)
            changed = true;
        else if (errno != EINTR)
            break;
    }
    if (changed)
        read();
}

bool LocalAddresses::local(in_addr addr) const {
    if (loopback(addr))
        return true;
    return std::find(addresses_.begin(), addresses_.end(), addr.s_addr) != addresses_.end();
}
