// Flow control for receivers on this machine. The protocol has no
// acknowledgement, so a sender that outruns its receiver loses data in the
// receiver's socket queue. For a receiver on this machine the kernel will
// tell us how full that queue is (sock_diag), and we send only what fits.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include <netinet/in.h>

#include "protocol.hpp"

// What the kernel reports of one socket's receive queue.
struct QueueState {
    std::uint32_t queued = 0;  // bytes waiting to be read: falls with every read
    std::uint32_t charged = 0; // what the queue is charged for: released in large steps
    std::uint32_t limit = 0;   // the socket's receive buffer
    std::uint32_t drops = 0;   // datagrams the socket has dropped so far
};

enum class Lookup { Found, Missing, Unavailable };

// Asks the kernel about the UDP sockets on this machine, and remembers the
// receivers whose streams were stopped as stalled.
class ReceiverQueues {
  public:
    ReceiverQueues();
    // False where the kernel cannot report UDP sockets (no sock_diag).
    bool available() const { return available_; }
    // The queue of the socket that a datagram from `from` to peer reaches.
    Lookup query(const sockaddr_in& from, const sockaddr_in& peer, QueueState& state);

    // A receiver whose stream was stopped with queued bytes waiting.
    void rememberStalled(const sockaddr_in& peer, std::uint32_t queued);
    // True while a receiver remembered as stalled has taken nothing since;
    // one that has is forgotten.
    bool stillStalled(const sockaddr_in& peer, std::uint32_t queued);

  private:
    Fd netlink_;
    std::uint32_t seq_ = 0;
    unsigned loopbackIndex_ = 0;
    bool available_ = false;
    // A small table, the oldest entry overwritten first: a receiver
    // forgotten early only costs one more grace period.
    struct Stalled {
        std::uint64_t peer = 0;
        std::uint32_t queued = 0;
    };
    Stalled* findStalled(const sockaddr_in& peer); // the end of stalled_ if absent

    Stalled stalled_[256];
    std::size_t nextStalled_ = 0;
};

enum class Pace { Go, Gone, Stalled };

// Holds one stream back while its receiver's queue has no room.
class Pacer {
  public:
    // sock is the server's socket: requests waiting in it make the pacer
    // less patient with a receiver that takes nothing. -1: nobody waits.
    Pacer(ReceiverQueues* queues, const sockaddr_in& peer, int sock = -1);
    // False for a receiver whose queue cannot be watched (another host, or
    // no diagnostics): it gets the plain pace of one datagram per send.
    bool observed() const { return observed_; }
    // Waits until the receiver's queue has room, then lowers count (at
    // least 1) to the datagrams that fit. Anything but Go ends the stream.
    Pace admit(std::size_t& count);
    // Datagrams the receiver dropped since the stream began.
    std::uint32_t dropped();

  private:
    Lookup refresh();
    bool roomFor(std::size_t count) const;
    bool othersWaiting() const;
    Pace waitForRoom(std::size_t count);

    ReceiverQueues* queues_;
    sockaddr_in peer_;
    sockaddr_in source_{}; // where our datagrams to peer come from
    int sock_;
    bool observed_ = false;
    bool stalledBefore_ = false; // and has taken nothing since: end at once
    QueueState state_;
    std::size_t credit_ = 0; // bytes we may still send before asking again
    std::size_t cost_;       // what one datagram is charged in the queue
    std::uint32_t firstDrops_ = 0;
};

// How long a receiver may take nothing from a full queue before its stream
// is stopped: the stall limit while no one else waits, the grace while
// other requests queue behind it.
inline constexpr std::chrono::seconds STALL_LIMIT{5};
inline constexpr std::chrono::milliseconds STALL_GRACE{100};
