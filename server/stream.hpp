// Filling reply datagrams from a file and sending them to the requester.
#pragma once

#include <cstddef>

#include <netinet/in.h>

#include "protocol.hpp"
#include "reader.hpp"

// Fills buf with the next reply datagram read from file, or with the
// not-found reply when file is null. Returns 1 when buf holds the final
// datagram of the stream, 0 when more follow. length is the number of
// content bytes a datagram carries, at most DATAGRAM_SIZE.
int sendFile(Reader* file, Datagram& buf, std::size_t length);

// How one stream ended, for the operator's log.
enum class StreamEnd { Sent, SendFailed };

// Sends the whole reply stream for one request to peer. request is the
// datagram as received: its bytes are the tail of the first datagram.
StreamEnd sendStream(int sock, const sockaddr_in& peer, Reader* file, const Datagram& request);
