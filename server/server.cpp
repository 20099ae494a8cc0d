// server: answers each request datagram on SERVICE_PORT with the named
// file, enciphered, in 32-byte datagrams, until it is sent "quit".
#include <cstdio>
#include <optional>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "arguments.hpp"
#include "flow.hpp"
#include "protocol.hpp"
#include "reader.hpp"
#include "request.hpp"
#include "stream.hpp"

namespace {

bool bindSocket(int sock, const sockaddr_in& addr) {
    if (bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        std::puts("\nBinding Failed!");
        return false;
    }
    std::puts("\nSuccessfully binded!");
    return true;
}

// What the operator is told when a stream ends before the file did.
const char* stopReason(StreamEnd end) {
    switch (end) {
    case StreamEnd::SendFailed:
        return "\nReply send failed!";
    case StreamEnd::ReceiverGone:
        return "\nReceiver gone: transfer stopped!";
    case StreamEnd::ReceiverStalled:
        return "\nReceiver stalled: transfer stopped!";
    case StreamEnd::Sent:
        break;
    }
    return nullptr;
}

// A reply to the service's own port, or to a port below 1024 where echo,
// chargen and name services live, could start a loop between two servers:
// a single forged datagram would keep them answering each other for ever.
bool answerable(const sockaddr_in& peer) {
    std::uint16_t port = ntohs(peer.sin_port);
    return port != SERVICE_PORT && port >= 1024;
}

// Sends the reply stream for one opened (or unopenable) file and tells the
// operator when the copy the requester got is not the whole file.
void serveRequest(int sock, const sockaddr_in& peer, std::optional<Reader>& file,
                  const Datagram& request, SendMethod how, ReceiverQueues& queues) {
    std::puts(file ? "\nFile Successfully opened!" : "\nFile open failed!");
    if (!answerable(peer)) {
        std::printf("\nNo reply sent: the request came from port %u, which is privileged or "
                    "the service's own!\n",
                    ntohs(peer.sin_port));
        return;
    }
    std::fflush(stdout); // a long stream should not hide which request it serves
    Reader* reader = file ? &*file : nullptr;
    Pacer pacer(&queues, peer, sock);
    StreamEnd end = sendStream(sock, peer, reader, request, how, pacer);
    if (const char* reason = stopReason(end))
        std::puts(reason);
    else if (reader && reader->failed())
        std::puts("\nFile read failed!");
    else if (reader && reader->cut())
        std::printf("\nFile truncated at offset %llu: it contains the end marker byte 0xFF!\n",
                    static_cast<unsigned long long>(reader->offset() - 1));
    if (std::uint32_t dropped = pacer.dropped())
        std::printf("\nReceiver dropped %u datagrams!\n", dropped);
}

} // namespace

int main(int argc, char* argv[]) {
    handleArguments(
        argc, argv, "server",
        "Serves the files below its working directory on UDP port 15050 until sent \"quit\".");
    openStandardStreams();
    sockaddr_in addr = serviceAddress(htonl(INADDR_ANY));
    socklen_t addrLen = sizeof addr;

    Fd sock = openSocket();
    if (!sock.valid())
        return 1;
    if (!bindSocket(sock.get(), addr))
        return 1;
    enlargeReceiveBuffer(sock.get());
    SendMethod how = probeSending();
    ReceiverQueues queues;

    Datagram buf;
    for (;;) {
        std::puts("\nWaiting for file name...");
        std::fflush(stdout); // the operator's log sees each request before the next wait
        clearBuf(buf);
        addrLen = sizeof addr;
        if (recvfrom(sock.get(), buf, DATAGRAM_SIZE, 0, reinterpret_cast<sockaddr*>(&addr),
                     &addrLen) < 0)
            continue;
        std::string_view name = requestName(buf);
        std::optional<Reader> file;
        if (Fd fd = openRequested(name); fd.valid())
            file.emplace(std::move(fd));
        std::printf("\nFile Name Received: %s\n", escapeName(name).c_str());
        if (name == "quit") {
            std::puts("Exiting..........");
            return 0;
        }
        serveRequest(sock.get(), addr, file, buf, how, queues);
    }
}
