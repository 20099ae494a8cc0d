// What server and client must agree on: the constants, the cipher and the
// buffer routine, plus the few socket helpers both programs use.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

inline constexpr std::size_t DATAGRAM_SIZE = 32;
inline constexpr std::uint16_t SERVICE_PORT = 15050;
inline constexpr const char* SERVER_HOST = "127.0.0.1";
inline constexpr char CIPHER_KEY = 0x4B;
inline constexpr char END_MARKER = static_cast<char>(0xFF);

// Our server's notice that a data byte 0xFF, not the end of the file, ended
// a reply: every byte after the marker in the final datagram is the
// enciphered marker too, and where the marker is that datagram's last byte,
// a datagram of 32 of them follows in the same send. A receiver that stops
// at the marker never reads it; no whole reply carries it, since a request
// of ours ends with a zero byte and a later datagram's tail is zero.
inline constexpr char CUT_NOTICE = static_cast<char>(END_MARKER ^ CIPHER_KEY);

// The content of the single datagram that answers a name the server will not serve.
inline constexpr std::string_view NOT_FOUND_TEXT = "File Not Found!";

// What a program asks of the kernel for its receive queue unless it says
// otherwise. The kernel doubles it; 8 MiB of queue holds a burst of requests
// at the server.
inline constexpr int RECEIVE_BUFFER_BYTES = 4 << 20;

using Datagram = char[DATAGRAM_SIZE];

inline char Cipher(char ch) {
    return static_cast<char>(ch ^ CIPHER_KEY);
}

// Cipher over n bytes from in to out (which may be the same), a word at a
// time: what moves a file's bytes through at memory speed.
inline void cipherBlock(const char* in, std::size_t n, char* out) {
    constexpr std::uint64_t KEY = 0x0101010101010101ULL * static_cast<unsigned char>(CIPHER_KEY);
    std::size_t i = 0;
    for (; i + sizeof KEY <= n; i += sizeof KEY) {
        std::uint64_t word;
        std::memcpy(&word, in + i, sizeof word);
        word ^= KEY;
        std::memcpy(out + i, &word, sizeof word);
    }
    for (; i < n; ++i)
        out[i] = Cipher(in[i]);
}

inline void clearBuf(Datagram& buf) {
    std::memset(buf, 0, DATAGRAM_SIZE);
}

// Owns one file descriptor and closes it once.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

// The service's address on host (an IPv4 address in network byte order),
// at its port or another it was given.
inline sockaddr_in serviceAddress(in_addr_t host, std::uint16_t port = SERVICE_PORT) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = host;
    return addr;
}

// Opens /dev/null on whichever of descriptors 0, 1 and 2 a careless parent
// left closed, so that the socket opened next can never become a standard
// stream: messages would go out as requests, and input be read from the
// network. Ends the program when even that cannot be done.
inline void openStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free descriptor is fd, the ones below it being open.
        if (open("/dev/null", O_RDWR) != fd)
            std::_Exit(1);
    }
}

// A non-blocking descriptor that is full (a caller's pipe may be one): wait
// for room, as a blocking write would, rather than fail or retry at once.
inline bool awaitRoom(int fd) {
    pollfd pfd{fd, POLLOUT, 0};
    while (poll(&pfd, 1, -1) < 0)
        if (errno != EINTR)
            return false;
    return true;
}

// What both programs say of their socket at start-up.
inline std::string socketReport(const Fd& sock) {
    if (!sock.valid())
        return "\nfile descriptor not received!!\n";
    return "\nfile descriptor " + std::to_string(sock.get()) + " received\n";
}

// Creates the program's IPv4 UDP socket and reports the outcome on to.
inline Fd openSocket(std::FILE* to = stdout) {
    Fd sock{socket(AF_INET, SOCK_DGRAM, 0)};
    std::fputs(socketReport(sock).c_str(), to);
    return sock;
}

// A UDP socket of the program's own on 127.0.0.1, on a port the kernel
// picks, with its address in addr: somewhere to send probes to. Invalid
// when it cannot be had.
inline Fd loopbackSocket(sockaddr_in& addr) {
    Fd sock{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    addr = serviceAddress(htonl(INADDR_LOOPBACK));
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (!sock.valid() || bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(sock.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return Fd{};
    return sock;
}

// Enlarges a socket's receive queue to bytes as far as the system allows:
// past net.core.rmem_max when privileged, up to it otherwise.
inline void enlargeReceiveBuffer(int sock, int bytes = RECEIVE_BUFFER_BYTES) {
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0)
        return;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); // best effort
}
