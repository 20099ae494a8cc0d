#include "flow.hpp"

#include <algorithm>
#include <cerrno>
#include <thread>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>

namespace {

using namespace std::chrono_literals;

// What a queued 32-byte datagram is charged in its receiver's queue: 832
// bytes when sent alone and 863 as a segment of an offloaded batch on Linux
// 6.x, far more than its 32 bytes. Doubled whenever the receiver still drops.
constexpr std::size_t DATAGRAM_COST = 896;
constexpr std::size_t MOST_DATAGRAM_COST = 64 * 1024;

// Short naps while the receiver drains: a plain receiver empties a default
// queue in about a millisecond, so longer naps would starve it.
constexpr std::chrono::microseconds FIRST_NAP = 20us;
constexpr std::chrono::microseconds LONGEST_NAP = 200us;

bool onLoopback(const sockaddr_in& peer) {
    return (ntohl(peer.sin_addr.s_addr) >> 24) == 127;
}

// Finds the memory counters in one inet_diag answer.
Lookup readAnswer(const nlmsghdr* msg, QueueState& state) {
    if (msg->nlmsg_type == NLMSG_ERROR) {
        auto* err = static_cast<const nlmsgerr*>(NLMSG_DATA(msg));
        return err->error == -ENOENT ? Lookup::Gone : Lookup::Unavailable;
    }
    auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(msg));
    int len = static_cast<int>(msg->nlmsg_len - NLMSG_LENGTH(sizeof *diag));
    auto* attr = reinterpret_cast<const rtattr*>(diag + 1);
    for (; RTA_OK(attr, len); attr = RTA_NEXT(attr, len)) {
        if (attr->rta_type != INET_DIAG_SKMEMINFO ||
            RTA_PAYLOAD(attr) < (SK_MEMINFO_DROPS + 1) * sizeof(std::uint32_t))
            continue;
        auto* mem = static_cast<const std::uint32_t*>(RTA_DATA(attr));
        state = {mem[SK_MEMINFO_RMEM_ALLOC], mem[SK_MEMINFO_RCVBUF], mem[SK_MEMINFO_DROPS]};
        return Lookup::Found;
    }
    return Lookup::Unavailable;
}

} // namespace

ReceiverQueues::ReceiverQueues()
    : netlink_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}

Lookup ReceiverQueues::query(const sockaddr_in& peer, QueueState& state) {
    if (!netlink_.valid())
        return Lookup::Unavailable;
    struct {
        nlmsghdr head;
        inet_diag_req_v2 req;
    } msg{};
    msg.head.nlmsg_len = sizeof msg;
    msg.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.head.nlmsg_flags = NLM_F_REQUEST;
    msg.head.nlmsg_seq = ++seq_;
    msg.req.sdiag_family = AF_INET;
    msg.req.sdiag_protocol = IPPROTO_UDP;
    msg.req.idiag_ext = 1 << (INET_DIAG_SKMEMINFO - 1);
    msg.req.idiag_states = ~0U;
    // The exact lookup names a datagram as the kernel would deliver it: from
    // our port on 127.0.0.1 (the source loopback routes choose) to the peer.
    msg.req.id.idiag_src[0] = htonl(INADDR_LOOPBACK);
    msg.req.id.idiag_sport = htons(SERVICE_PORT);
    msg.req.id.idiag_dst[0] = peer.sin_addr.s_addr;
    msg.req.id.idiag_dport = peer.sin_port;
    msg.req.id.idiag_cookie[0] = msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (send(netlink_.get(), &msg, sizeof msg, 0) < 0)
        return Lookup::Unavailable;

    // The kernel answers within the send; never wait on it.
    alignas(nlmsghdr) char answer[1024];
    for (;;) {
        ssize_t got = recv(netlink_.get(), answer, sizeof answer, MSG_DONTWAIT);
        if (got < 0)
            return Lookup::Unavailable;
        auto len = static_cast<unsigned>(got);
        for (auto* head = reinterpret_cast<nlmsghdr*>(answer); NLMSG_OK(head, len);
             head = NLMSG_NEXT(head, len))
            if (head->nlmsg_seq == seq_) // skips what an earlier query left
                return readAnswer(head, state);
    }
}

Pacer::Pacer(ReceiverQueues* queues, const sockaddr_in& peer)
    : queues_(queues), peer_(peer), active_(queues && onLoopback(peer)), cost_(DATAGRAM_COST) {}

Lookup Pacer::refresh() {
    QueueState state;
    Lookup found = queues_->query(peer_, state);
    // Never found at all may as well mean the kernel lacks UDP diagnostics.
    if (found == Lookup::Gone && !seen_)
        found = Lookup::Unavailable;
    if (found != Lookup::Found)
        return found;
    if (!seen_)
        firstDrops_ = lastDrops_ = state.drops;
    seen_ = true;
    if (state.drops != lastDrops_)
        cost_ = std::min(cost_ * 2, MOST_DATAGRAM_COST);
    lastDrops_ = state.drops;
    credit_ = state.limit > state.used ? state.limit - state.used : 0;
    limit_ = state.limit;
    return Lookup::Found;
}

Pace Pacer::waitForRoom(std::size_t count) {
    auto start = std::chrono::steady_clock::now();
    auto nap = FIRST_NAP;
    for (std::size_t before = credit_;; before = credit_) {
        switch (refresh()) {
        case Lookup::Gone:
            return Pace::Gone;
        case Lookup::Unavailable:
            active_ = false;
            return Pace::Go;
        case Lookup::Found:
            break;
        }
        // Room for the whole batch, or half the queue free where the batch
        // is larger than that, so that a small queue still streams.
        if (credit_ >= cost_ && (credit_ >= count * cost_ || credit_ >= limit_ / 2))
            return Pace::Go;
        auto now = std::chrono::steady_clock::now();
        if (credit_ > before)
            start = now; // a slow reader is not a stalled one
        if (now - start >= STALL_LIMIT)
            return Pace::Stalled;
        std::this_thread::sleep_for(nap);
        nap = std::min(nap * 2, LONGEST_NAP);
    }
}

Pace Pacer::admit(std::size_t& count) {
    if (active_ && credit_ < count * cost_)
        if (Pace pace = waitForRoom(count); pace != Pace::Go)
            return pace;
    if (active_) {
        count = std::min(count, credit_ / cost_);
        credit_ -= count * cost_;
    }
    return Pace::Go;
}

std::uint32_t Pacer::dropped() {
    if (active_ && seen_)
        refresh();
    return lastDrops_ - firstDrops_;
}
