// Flow control for receivers on this machine. The protocol has no
// acknowledgement, so a sender that outruns its receiver loses data in the
// receiver's socket queue. For a receiver on loopback the kernel will tell
// us how full that queue is (sock_diag), and we send only what fits.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include <netinet/in.h>

#include "protocol.hpp"

// What the kernel reports of one socket's receive queue.
struct QueueState {
    std::uint32_t used = 0;  // bytes the queued datagrams are charged for
    std::uint32_t limit = 0; // the socket's receive buffer
    std::uint32_t drops = 0; // datagrams the socket has dropped so far
};

enum class Lookup { Found, Gone, Unavailable };

// Asks the kernel about the UDP socket that receives what the server sends.
class ReceiverQueues {
  public:
    ReceiverQueues(); // without sock_diag the queries answer Unavailable
    // The queue of the socket a datagram from our port to peer reaches.
    Lookup query(const sockaddr_in& peer, QueueState& state);

  private:
    Fd netlink_;
    std::uint32_t seq_ = 0;
};

enum class Pace { Go, Gone, Stalled };

// Holds one stream back while its receiver's queue has no room.
class Pacer {
  public:
    // A receiver not on loopback, or one with no queues to ask (null, or
    // a kernel without the diagnostics), is not paced.
    Pacer(ReceiverQueues* queues, const sockaddr_in& peer);
    // Waits until the receiver's queue has room, then lowers count (at
    // least 1) to the datagrams that fit. Anything but Go ends the stream.
    Pace admit(std::size_t& count);
    // Datagrams the receiver dropped since the stream began.
    std::uint32_t dropped();

  private:
    Lookup refresh();
    Pace waitForRoom(std::size_t count);

    ReceiverQueues* queues_;
    sockaddr_in peer_;
    bool active_;
    bool seen_ = false;      // the receiver's socket has been found once
    std::size_t credit_ = 0; // bytes we may still send before asking again
    std::size_t limit_ = 0;  // the receiver's whole queue
    std::size_t cost_;       // what one datagram is charged in the queue
    std::uint32_t firstDrops_ = 0;
    std::uint32_t lastDrops_ = 0;
};

// How long a receiver may leave its queue full before the stream is dropped,
// so that one client that stopped reading does not hold every other one.
inline constexpr std::chrono::seconds STALL_LIMIT{5};
