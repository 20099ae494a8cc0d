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

// The ways to hand datagrams to the kernel, fastest first. A path the
// kernel refuses is left for the next one, for the life of the server.
enum class SendPath {
    Segmented, // one send of many datagrams, cut by the kernel (UDP_SEGMENT)
    Batched,   // one sendmmsg of many datagrams
    Single,    // one sendto per datagram
};

// Sends count datagrams laid end to end in batch to peer, moving path on
// to a slower one when the kernel refuses it. False when sending failed.
bool sendBatch(int sock, const sockaddr_in& peer, const Datagram* batch, std::size_t count,
               SendPath& path);

// How one stream ended, for the operator's log.
enum class StreamEnd { Sent, SendFailed, ReceiverGone, ReceiverStalled };

// Sends the whole reply stream for one request to peer, as fast as pacer
// lets it. request is the datagram as received: its bytes are the tail of
// the first datagram.
StreamEnd sendStream(int sock, const sockaddr_in& peer, Reader* file, const Datagram& request,
                     SendPath& path, Pacer& pacer);
