// server: answers each request datagram on SERVICE_PORT with the named
// file, enciphered, in 32-byte datagrams, until it is sent "quit".
#include <cstdio>
#include <optional>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

// Sends the reply stream for one opened (or unopenable) file and tells the
// operator when the copy the requester got is not the whole file.
void serveRequest(int sock, const sockaddr_in& peer, std::optional<Reader>& file,
                  const Datagram& request) {
    std::puts(file ? "\nFile Successfully opened!" : "\nFile open failed!");
    Reader* reader = file ? &*file : nullptr;
    if (sendStream(sock, peer, reader, request) == StreamEnd::SendFailed)
        std::puts("\nReply send failed!");
    if (!reader) return;
    if (reader->failed())
        std::puts("\nFile read failed!");
    else if (!reader->ended())
        std::printf("\nFile truncated at offset %llu: it contains the end marker byte 0xFF!\n",
                    static_cast<unsigned long long>(reader->offset() - 1));
}

} // namespace

int main() {
    sockaddr_in addr{};
    socklen_t addrLen = sizeof addr;
    addr.sin_family = AF_INET;
    addr.sin_port = htons(SERVICE_PORT);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);

    Fd sock = openSocket();
    if (!sock.valid()) return 1;
    if (!bindSocket(sock.get(), addr)) return 1;
    enlargeReceiveBuffer(sock.get());

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
        if (Fd fd = openRequested(name); fd.valid()) file.emplace(std::move(fd));
        std::printf("\nFile Name Received: %s\n", escapeName(name).c_str());
        if (name == "quit") {
            std::puts("Exiting..........");
            return 0;
        }
        serveRequest(sock.get(), addr, file, buf);
    }
}
