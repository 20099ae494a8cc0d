// Filling reply datagrams from a file and sending them to the requester.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include <netinet/in.h>

#include "flow.hpp"
#include "protocol.hpp"
#include "reader.hpp"

// Puts text (at most 31 bytes of it) and the marker in buf as a reply of one
// datagram; the rest of buf is left as it was.
void fillReply(Datagram& buf, std::string_view text);

// Fills buf with the next reply datagram read from file, or with the
// not-found reply when file is null. Returns 1 when buf holds the final
// datagram of the stream, 0 when more follow, -1 when a read failed: the
// stream cannot go on, and must not end as if whole. length is the number
// of content bytes a datagram carries, at most DATAGRAM_SIZE.
int sendFile(Reader* file, Datagram& buf, std::size_t length);

// The ways to hand datagrams to the kernel, fastest first.
enum class SendPath {
    Segmented, // a few messages per sendmmsg, each cut into datagrams by the kernel (UDP_SEGMENT)
    Batched,   // one sendmmsg of many datagrams
    Single,    // one sendmsg per datagram
};

// How this kernel lets us send: the fastest path, and the most datagrams
// one segmented message may carry.
struct SendMethod {
    SendPath path = SendPath::Single;
    std::size_t segments = 1;
};

// Finds the fastest method once, by sending to a socket of our own.
SendMethod probeSending();

// Where replies go: the requester, and the address of ours it sent its
// request to, which the replies must come from (any: the kernel chooses).
struct Route {
    sockaddr_in peer{};
    in_addr local{};
};

inline bool samePeer(const sockaddr_in& a, const sockaddr_in& b) {
    return peerKey(a) == peerKey(b);
}

// Sends count datagrams laid end to end in batch along route. When the
// kernel refuses a path, how moves on to a slower one and the batch goes on
// after what was sent. False when sending failed.
bool sendBatch(int sock, const Route& route, const Datagram* batch, std::size_t count,
               SendMethod& how);

// One-datagram replies to several requesters (a missing name, a small
// file), gathered while a batch of requests is taken and sent with one
// system call: such a reply then costs little more than its open.
class Outbox {
  public:
    static constexpr std::size_t CAPACITY = 64;
    void add(const Route& route, const Datagram& datagram);
    bool full() const { return count_ == CAPACITY; }
    // Whether a reply to peer waits here.
    bool holds(const sockaddr_in& peer) const;
    // Sends what was gathered and empties the box. Returns how many replies
    // the kernel refused.
    std::size_t send(int sock);

  private:
    Datagram datagrams_[CAPACITY];
    Route routes_[CAPACITY];
    std::size_t count_ = 0;
};

// Datagrams filled for one turn of a stream: 32 KiB, eight segmented messages;
// the batch has room for one more, a cut notice's datagram.
inline constexpr std::size_t BATCH_DATAGRAMS = 1024;
inline constexpr std::size_t BATCH_ROOM = BATCH_DATAGRAMS + 1;

inline constexpr std::uint32_t UNKNOWN_OWNER = ~std::uint32_t{0};

// How one stream ended, for the operator's log.
enum class StreamEnd {
    Sent,
    SendFailed,
    ReadFailed,
    ReceiverGone,
    ReceiverStalled,
    Stopped, // the server is stopping
    Evicted, // its slot went to another user's request
};

// One reply stream in flight. It keeps no buffer: each turn fills the
// server's one batch and sends it before the next stream's turn.
class Stream {
  public:
    // file is the opened file, or none for the not-found reply; request is
    // the datagram as received: its bytes are the tail of the first datagram.
    // queues may be null: a receiver that cannot be watched.
    Stream(const Route& route, std::optional<Reader> file, const Datagram& request, SendMethod how,
           ReceiverQueues* queues);

    // Sends what the receiver has room for, at most one batch, filled in
    // batch, which has room for BATCH_ROOM datagrams. Returns how the stream
    // ended, or nullopt while more is to come.
    // A stream that ends in its first datagram never asks the kernel about
    // its receiver, and leaves that datagram in outbox when there is one.
    std::optional<StreamEnd> turn(int sock, Datagram* batch, Clock::time_point now,
                                  Outbox* outbox = nullptr);
    // When a turn may send again.
    Clock::time_point due() const { return pacer_ ? pacer_->due() : Clock::time_point{}; }
    // When the receiver last took something; for choosing whom to stop.
    Clock::time_point lastProgress() const;
    // The user id that owns the receiver's socket, once a turn has asked the
    // kernel; UNKNOWN_OWNER for a receiver that cannot be watched.
    std::uint32_t owner() const;

    const Route& route() const { return route_; }
    const Reader* file() const { return file_ ? &*file_ : nullptr; }
    std::uint32_t dropped() { return pacer_ ? pacer_->dropped() : 0; }

  private:
    std::size_t fill(Datagram* batch, std::size_t count, bool& ended);
    std::optional<StreamEnd> send(int sock, const Datagram* batch, std::size_t count);
    std::optional<StreamEnd> sendPlainly(int sock, Datagram* batch);

    Route route_;
    std::optional<Reader> file_;
    Datagram request_;
    SendMethod how_;
    ReceiverQueues* queues_;
    std::optional<Pacer> pacer_;
    Clock::time_point started_;
    std::size_t pending_ = 0; // bytes filled, not yet consumed from the file
    bool ended_ = false;      // the bytes filled end with the marker
    bool cut_ = false;        // ... which stands for a data byte 0xFF
};
