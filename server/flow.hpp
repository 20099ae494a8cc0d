// Flow control for receivers on this machine. The protocol has no
// acknowledgement, so a sender that outruns its receiver loses data in the
// receiver's socket queue. For a receiver on this machine the kernel will
// tell us how full that queue is (sock_diag), and we send only what fits.
//
// The pace is one rule: a stream sends what its receiver's queue has room
// for, then looks again when the receiver, at the pace it read since the
// last look, will have read half of what waits. A look that finds the queue
// empty shows a faster reader, whose pace is then taken four times higher;
// one that finds nothing read halves it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include <netinet/in.h>

#include "protocol.hpp"

// What the kernel reports of one socket's receive queue.
struct QueueState {
    std::uint32_t queued = 0;  // what the waiting datagrams are charged: falls with every read
    std::uint32_t charged = 0; // what the queue is charged for: released in large steps
    std::uint32_t limit = 0;   // the socket's receive buffer
    std::uint32_t drops = 0;   // datagrams the socket has dropped so far
    std::uint64_t cookie = 0;  // which socket this is: a port reused by another gets another
    std::uint32_t owner = 0;   // the user id of the socket's owner
};

// One number for a receiver's address and port.
inline std::uint64_t peerKey(const sockaddr_in& peer) {
    return std::uint64_t{peer.sin_addr.s_addr} << 16 | peer.sin_port;
}

// How long a receiver may take nothing from a full queue before its stream
// is stopped. Waiting costs the others nothing, so it is long: a reader
// may leave a pager on one page for a while.
inline constexpr std::chrono::seconds STALL_LIMIT{60};

enum class Lookup { Found, Missing, Unavailable };

// Asks the kernel about the UDP sockets on this machine, and remembers the
// receivers whose streams were stopped as stalled.
class ReceiverQueues {
  public:
    // patience: how long a receiver may take nothing before its stream stops;
    // port: the one the replies come from.
    explicit ReceiverQueues(Clock::duration patience = STALL_LIMIT,
                            std::uint16_t port = SERVICE_PORT);
    Clock::duration patience() const { return patience_; }
    std::uint16_t port() const { return port_; }
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
    Clock::duration patience_;
    std::uint16_t port_;
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

enum class Pace { Go, Wait, Gone, Stalled };

// Holds one stream back while its receiver's queue has no room. It never
// waits itself: the server gives the turn to other streams meanwhile.
class Pacer {
  public:
    // local is our address that peer sent its request to: our replies come
    // from it. A null queues, or a kernel without diagnostics, gives a
    // receiver that cannot be watched: the plain pace of one datagram per send.
    Pacer(ReceiverQueues* queues, const sockaddr_in& peer, in_addr local, Clock::time_point now);
    bool observed() const { return observed_; }
    // The receiver's socket was not there when the stream began.
    bool gone() const { return gone_; }
    // Lowers count (at least 1) to the datagrams that fit now, or says why
    // none may go: Wait, until due(); anything else ends the stream.
    Pace admit(std::size_t& count, Clock::time_point now);
    // Counts count datagrams more as sent: admit counts those it lets go.
    void spend(std::size_t count);
    // When admit may have something new to say.
    Clock::time_point due() const { return due_; }
    // When the receiver last took something, or we last sent it something.
    Clock::time_point lastProgress() const { return progress_; }
    // Remembers the receiver as stalled: its stream is being stopped.
    void giveUp();
    // Datagrams the receiver dropped since the stream began.
    std::uint32_t dropped();
    // The user id that owns the receiver's socket, when it is observed.
    std::uint32_t owner() const { return state_.owner; }

  private:
    Lookup refresh();
    bool roomFor(std::size_t count) const;
    Pace look(std::size_t count, Clock::time_point now);
    Pace decide(bool known, std::size_t count, Clock::time_point now);
    void follow(std::uint32_t before, Clock::time_point now);
    double fastest() const;
    Clock::duration untilHalfRead() const;

    ReceiverQueues* queues_;
    sockaddr_in peer_;
    sockaddr_in source_{}; // where our datagrams to peer come from
    bool observed_ = false;
    bool gone_ = false;
    bool stalledBefore_ = false; // and has taken nothing since: end at once
    bool fresh_ = true;          // the kernel was asked as the stream began, not since
    QueueState state_;
    std::size_t credit_ = 0; // queue bytes we may still fill before asking again
    std::size_t cost_;       // what one datagram is charged in the queue
    std::uint32_t firstDrops_ = 0;
    std::uint64_t cookie_ = 0; // the receiver's socket, as it was when the stream began
    Clock::time_point progress_;
    Clock::time_point lookedAt_; // when the kernel was last asked
    double rate_;                // queue bytes the receiver reads a second, as last seen
    Clock::time_point due_;
};
