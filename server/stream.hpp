// Filling reply datagrams from a file and sending them to the requester.
#pragma once

#include <cstddef>

#include <netinet/in.h>

#include "flow.hpp"
#include "protocol.hpp"
#include "reader.hpp"

// Fills buf with the next reply datagram read from file, or with the
// not-found reply when file is null. Returns 1 when buf holds the final
// datagram of the stream, 0 when more follow. length is the number of
// content bytes a datagram carries, at most DATAGRAM_SIZE.
int sendFile(Reader* file, Datagram& buf, std::size_t length);

// The ways to hand datagrams to the kernel, fastest first.
enum class SendPath {
    Segmented, // a few messages per sendmmsg, each cut into datagrams by the kernel (UDP_SEGMENT)
    Batched,   // one sendmmsg of many datagrams
    Single,    // one sendto per datagram
};

// How this kernel lets us send: the fastest path, and the most datagrams
// one segmented message may carry.
struct SendMethod {
    SendPath path = SendPath::Single;
    std::size_t segments = 1;
};

// Finds the fastest method once, by sending to a socket of our own.
SendMethod probeSending();

// Sends count datagrams laid end to end in batch to peer. When the kernel
// refuses a path, how moves on to a slower one and the batch goes on after
// what was sent. False when sending failed.
bool sendBatch(int sock, const sockaddr_in& peer, const Datagram* batch, std::size_t count,
               SendMethod& how);

// How one stream ended, for the operator's log.
enum class StreamEnd { Sent, SendFailed, ReceiverGone, ReceiverStalled };

// Sends the whole reply stream for one request to peer, as fast as pacer
// lets it. request is the datagram as received: its bytes are the tail of
// the first datagram. A path refused on the way is given up for this
// stream only: it may be this receiver's route that refuses it.
StreamEnd sendStream(int sock, const sockaddr_in& peer, Reader* file, const Datagram& request,
                     SendMethod how, Pacer& pacer);
