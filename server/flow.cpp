#include "flow.hpp"

#include <algorithm>
#include <cerrno>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>

namespace {

using namespace std::chrono_literals;

// What a queued 32-byte datagram is charged in its receiver's queue: 832
// bytes when sent alone and 863 as a segment of an offloaded batch on Linux
// 6.x, far more than its 32 bytes. Doubled whenever the receiver still drops.
constexpr std::size_t DATAGRAM_COST = 896;
constexpr std::size_t MOST_DATAGRAM_COST = 64 * 1024;

// A stream waits at least this long between looks, and at most this long,
// so that a receiver that pauses is served again soon after it resumes.
constexpr std::chrono::microseconds SHORTEST_WAIT = 20us;
constexpr std::chrono::milliseconds LONGEST_WAIT = 500ms;
// A receiver that read nothing for this long is slowing down; before, it may
// only not have been scheduled yet.
constexpr std::chrono::milliseconds SLOWING_AFTER = 1ms;
// How much faster a receiver that emptied its queue is taken to read.
constexpr double SPEEDUP = 4;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Finds the queue figures in one inet_diag answer.
Lookup readAnswer(const nlmsghdr* msg, QueueState& state) {
    if (msg->nlmsg_type == NLMSG_ERROR) {
        auto* err = static_cast<const nlmsgerr*>(NLMSG_DATA(msg));
        return err->error == -ENOENT ? Lookup::Missing : Lookup::Unavailable;
    }
    auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(msg));
    int len = static_cast<int>(msg->nlmsg_len - NLMSG_LENGTH(sizeof *diag));
    auto* attr = reinterpret_cast<const rtattr*>(diag + 1);
    for (; RTA_OK(attr, len); attr = RTA_NEXT(attr, len)) {
        if (attr->rta_type != INET_DIAG_SKMEMINFO ||
            RTA_PAYLOAD(attr) < (SK_MEMINFO_DROPS + 1) * sizeof(std::uint32_t))
            continue;
        auto* mem = static_cast<const std::uint32_t*>(RTA_DATA(attr));
        std::uint64_t cookie = diag->id.idiag_cookie[1];
        state = {diag->idiag_rqueue,
                 mem[SK_MEMINFO_RMEM_ALLOC],
                 mem[SK_MEMINFO_RCVBUF],
                 mem[SK_MEMINFO_DROPS],
                 cookie << 32 | diag->id.idiag_cookie[0],
                 diag->idiag_uid};
        return Lookup::Found;
    }
    return Lookup::Unavailable;
}

} // namespace

ReceiverQueues::ReceiverQueues(Clock::duration patience, std::uint16_t port)
    : patience_(patience), port_(port),
      netlink_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)),
      loopbackIndex_(if_nametoindex("lo")) {
    // A kernel without UDP diagnostics and a socket that is not there give
    // the same answer; a socket of our own tells them apart.
    sockaddr_in addr;
    Fd own = loopbackSocket(addr);
    QueueState ignored;
    available_ = own.valid() &&
                 query(serviceAddress(htonl(INADDR_LOOPBACK)), addr, ignored) == Lookup::Found;
}

Lookup ReceiverQueues::query(const sockaddr_in& from, const sockaddr_in& peer, QueueState& state) {
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
    // The exact lookup names a datagram as the kernel delivers it: from our
    // address and port to the peer, arriving on the loopback device, which
    // matches unbound sockets and sockets bound to that device alike.
    msg.req.id.idiag_src[0] = from.sin_addr.s_addr;
    msg.req.id.idiag_sport = from.sin_port;
    msg.req.id.idiag_dst[0] = peer.sin_addr.s_addr;
    msg.req.id.idiag_dport = peer.sin_port;
    msg.req.id.idiag_if = loopbackIndex_;
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

ReceiverQueues::Stalled* ReceiverQueues::findStalled(const sockaddr_in& peer) {
    return std::find_if(std::begin(stalled_), std::end(stalled_),
                        [&](const Stalled& s) { return s.peer == peerKey(peer); });
}

void ReceiverQueues::rememberStalled(const sockaddr_in& peer, std::uint32_t queued) {
    Stalled* entry = findStalled(peer);
    if (entry == std::end(stalled_))
        entry = &stalled_[nextStalled_++ % std::size(stalled_)];
    *entry = {peerKey(peer), queued};
}

bool ReceiverQueues::stillStalled(const sockaddr_in& peer, std::uint32_t queued) {
    Stalled* entry = findStalled(peer);
    if (entry == std::end(stalled_))
        return false;
    if (queued >= entry->queued)
        return true;
    *entry = {};
    return false;
}

Pacer::Pacer(ReceiverQueues* queues, const sockaddr_in& peer, in_addr local, Clock::time_point now)
    : queues_(queues), peer_(peer), cost_(DATAGRAM_COST), progress_(now), lookedAt_(now), rate_(0),
      due_(now) {
    if (!queues_ || !queues_->available())
        return;
    source_ = serviceAddress(local.s_addr, queues_->port());
    switch (refresh()) {
    case Lookup::Found:
        observed_ = true;
        firstDrops_ = state_.drops;
        cookie_ = state_.cookie;
        stalledBefore_ = queues_->stillStalled(peer_, state_.queued);
        rate_ = fastest(); // until it shows otherwise
        break;
    case Lookup::Missing: // it asked, then closed its socket
        gone_ = true;
        break;
    case Lookup::Unavailable:
        break;
    }
}

Lookup Pacer::refresh() {
    QueueState seen;
    Lookup found = queues_->query(source_, peer_, seen);
    if (found != Lookup::Found)
        return found;
    // Another socket that took the address and port since is not our
    // receiver: not a byte of this stream may reach it.
    if (observed_ && seen.cookie != cookie_)
        return Lookup::Missing;
    // Never above the whole queue, which an empty queue always has room for.
    if (observed_ && seen.drops != state_.drops)
        cost_ = std::min({cost_ * 2, MOST_DATAGRAM_COST, std::size_t{seen.limit}});
    state_ = seen;
    credit_ = state_.limit > state_.charged ? state_.limit - state_.charged : 0;
    return Lookup::Found;
}

// Room for the whole batch, or for a quarter of the queue where the batch is
// larger than that: the kernel frees a reader's queue in quarter steps.
bool Pacer::roomFor(std::size_t count) const {
    return credit_ >= cost_ && (credit_ >= count * cost_ || credit_ >= state_.limit / 4);
}

// Progress is what the receiver takes from its queue, not the room it
// makes: the kernel releases that in steps, long after the reads.
Pace Pacer::look(std::size_t count, Clock::time_point now) {
    std::uint32_t before = state_.queued;
    Lookup found = refresh();
    if (found == Lookup::Missing)
        return Pace::Gone;
    if (found == Lookup::Found)
        follow(before, now);
    lookedAt_ = now;
    return decide(found == Lookup::Found, count, now);
}

// Go when what the kernel last said leaves room for count, or else wait.
Pace Pacer::decide(bool known, std::size_t count, Clock::time_point now) {
    if (known && roomFor(count))
        return Pace::Go;
    if (now - progress_ >= queues_->patience()) {
        giveUp();
        return Pace::Stalled;
    }
    due_ = now + untilHalfRead();
    return Pace::Wait;
}

// What the receiver read since the last look is its pace while it had more
// waiting; where it emptied the queue, it may read faster than we fed it.
void Pacer::follow(std::uint32_t before, Clock::time_point now) {
    double took = seconds(now - lookedAt_);
    std::uint32_t read = before > state_.queued ? before - state_.queued : 0;
    if (read > 0)
        progress_ = now;
    if (took <= 0)
        return;
    if (before > 0 && state_.queued == 0)
        rate_ = std::max(rate_, read / took) * SPEEDUP;
    else if (read > 0)
        rate_ = read / took;
    else if (now - progress_ >= SLOWING_AFTER)
        rate_ /= 2;
    rate_ = std::min(rate_, fastest());
}

// No reader empties its queue faster than we can look.
double Pacer::fastest() const {
    return state_.limit / seconds(SHORTEST_WAIT);
}

Clock::duration Pacer::untilHalfRead() const {
    double wait = state_.queued / 2.0 / rate_; // a rate of 0 waits longest
    if (!(wait < seconds(LONGEST_WAIT)))
        return LONGEST_WAIT;
    return std::max<Clock::duration>(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wait)),
        SHORTEST_WAIT);
}

Pace Pacer::admit(std::size_t& count, Clock::time_point now) {
    if (!observed_)
        return Pace::Go;
    if (stalledBefore_)
        return Pace::Stalled;
    if (now < due_)
        return Pace::Wait;
    // Every turn asks again, credit or not: only the kernel knows whether
    // the socket at that address and port is still the one that asked. The
    // first turn has just asked, as the stream began.
    Pace pace = fresh_ ? decide(true, count, now) : look(count, now);
    fresh_ = false;
    if (pace != Pace::Go)
        return pace;
    progress_ = now;
    std::size_t asked = count;
    count = std::clamp<std::size_t>(credit_ / cost_, 1, count);
    spend(count);
    // Fewer than asked fill the room there is: asking again at once would
    // only learn that.
    if (count < asked)
        due_ = now + untilHalfRead();
    return Pace::Go;
}

void Pacer::spend(std::size_t count) {
    credit_ -= std::min(credit_, count * cost_);
    // What the queue will hold once these are in: what the receiver reads
    // before the next look is measured from there.
    state_.queued += static_cast<std::uint32_t>(count * cost_);
}

void Pacer::giveUp() {
    if (observed_)
        queues_->rememberStalled(peer_, state_.queued);
}

std::uint32_t Pacer::dropped() {
    if (observed_)
        refresh();
    return state_.drops - firstDrops_;
}
