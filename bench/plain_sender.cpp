// plain_sender: the benchmark's baseline server. It speaks the same protocol
// as server in the most direct way: fgetc byte by byte, one sendto per
// datagram, default socket buffers and no pacing, so that the bench shows
// what the real server gains over it.
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "protocol.hpp"

namespace {

void sendDatagram(int sock, const sockaddr_in& peer, const Datagram& buf) {
    sendto(sock, buf, DATAGRAM_SIZE, 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
}

// The answer to a name that cannot be opened: the text, then the marker.
void sendNotFound(int sock, const sockaddr_in& peer) {
    Datagram buf;
    clearBuf(buf);
    std::size_t n = NOT_FOUND_TEXT.size();
    NOT_FOUND_TEXT.copy(buf, n);
    buf[n] = END_MARKER;
    for (std::size_t i = 0; i <= n; ++i)
        buf[i] = Cipher(buf[i]);
    sendDatagram(sock, peer, buf);
}

// Sends the file in full datagrams; the marker goes after the last byte, in a
// datagram of its own when the length is a multiple of the datagram size.
void sendFileContent(int sock, const sockaddr_in& peer, std::FILE* file) {
    Datagram buf;
    for (;;) {
        clearBuf(buf);
        for (std::size_t i = 0; i < DATAGRAM_SIZE; ++i) {
            int ch = std::fgetc(file);
            // A data byte 0xFF ends the stream as end of file does: the
            // receiver cannot tell them apart.
            char byte = ch == EOF ? END_MARKER : static_cast<char>(ch);
            buf[i] = Cipher(byte);
            if (byte == END_MARKER) {
                sendDatagram(sock, peer, buf);
                return;
            }
        }
        sendDatagram(sock, peer, buf);
    }
}

void serve(int sock, const sockaddr_in& peer, const char* name) {
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        sendNotFound(sock, peer);
        return;
    }
    sendFileContent(sock, peer, file);
    std::fclose(file);
}

} // namespace

int main() {
    Fd sock{socket(AF_INET, SOCK_DGRAM, 0)};
    if (!sock.valid())
        return 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(SERVICE_PORT);
    // The bench talks over loopback only, so the baseline listens nowhere else.
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("plain_sender: bind");
        return 1;
    }

    Datagram request;
    for (;;) {
        clearBuf(request);
        sockaddr_in peer{};
        socklen_t peerLen = sizeof peer;
        if (recvfrom(sock.get(), request, DATAGRAM_SIZE, 0, reinterpret_cast<sockaddr*>(&peer),
                     &peerLen) < 0)
            continue;
        request[DATAGRAM_SIZE - 1] = '\0'; // a name without its zero byte stays bounded
        if (std::strcmp(request, "quit") == 0)
            return 0;
        serve(sock.get(), peer, request);
    }
}
