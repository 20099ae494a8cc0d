// Which source addresses are this machine's own. A datagram between two
// addresses of this machine arrives on the interface that holds its
// destination, not always on lo, so the device it came by cannot tell a
// local sender from another host; the source address can, since the kernel
// drops datagrams from outside that claim one of this machine's addresses.
#pragma once

#include <vector>

#include <netinet/in.h>

#include "flow.hpp"
#include "protocol.hpp"

class LocalAddresses {
  public:
    // Reads the addresses, and asks the kernel to tell of every change.
    LocalAddresses();
    // Takes the kernel's news and reads the addresses again when any came:
    // one failed receive when nothing changed. The loop calls it once per
    // batch of requests, so that local() is a plain lookup. Without the
    // kernel's news, the addresses are read again at most once a second.
    void refresh();
    // Every 127.0.0.0/8 address is local: the kernel routes the whole block
    // to lo. Otherwise, whether an interface holds addr as refresh last saw.
    bool local(in_addr addr) const;
    // Whether addr is in 127.0.0.0/8, which local() answers without the list.
    static bool loopback(in_addr addr) { return (ntohl(addr.s_addr) >> 24) == IN_LOOPBACKNET; }
    // False when changes are not reported, only looked for once a second.
    bool watching() const { return news_.valid(); }

  private:
    void read();

    Fd news_; // rtnetlink, subscribed to IPv4 address changes
    std::vector<in_addr_t> addresses_;
    Clock::time_point readAt_;
};
