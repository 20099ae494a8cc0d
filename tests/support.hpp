// What the tests need to drive the real programs: temporary directories,
// child processes with piped standard streams, and UDP sockets on loopback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <grp.h>
#include <linux/audit.h>
#include <netinet/in.h>
#include <sys/types.h>
#include <unistd.h>

#include "protocol.hpp"

// The architecture a seccomp filter checks for before it reads arguments.
#if defined(__x86_64__)
#define NATIVE_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define NATIVE_AUDIT_ARCH AUDIT_ARCH_AARCH64
#endif

namespace test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class TempDir {
  public:
    // parent is for a path that must stay short, whatever TMPDIR says.
    explicit TempDir(const fs::path& parent = fs::temp_directory_path());
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(std::string_view name) const { return path_ / name; }

  private:
    fs::path path_;
};

void writeFile(const fs::path& path, std::string_view bytes);
std::string readFile(const fs::path& path);

// Bytes of the given size that never contain 0xFF.
std::string patternBytes(std::size_t size, unsigned seed = 1);

// How a child's standard streams are set up: input and output piped to the
// test, or one of the three left closed, or output to a pipe no one reads,
// or to a non-blocking pipe the test starts reading only after half a second.
enum class Stdio { Piped, NoInput, NoOutput, NoErrors, UnreadOutput, PausedNonBlocking };

// A child process with its standard input and output piped to the test. Its
// output is read as it comes, so that a chatty child never blocks on it.
class Process {
  public:
    // inChild runs in the child just before exec; when it fails, the child
    // exits with status 125.
    Process(const std::vector<std::string>& argv, const fs::path& cwd, Stdio stdio = Stdio::Piped,
            const std::function<bool()>& inChild = {});
    ~Process(); // kills the child if it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    void write(std::string_view bytes);
    void closeInput();
    // Reads standard output until it contains text; false on time-out or end.
    bool waitFor(std::string_view text, std::chrono::milliseconds limit = 20s);
    // Everything the child has written so far.
    std::string output();
    bool running();
    // Waits for the exit status; nullopt on time-out (the child is then killed).
    std::optional<int> wait(std::chrono::milliseconds limit = 30s);
    void kill(int signal);

  private:
    void drain();

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::optional<int> status_;
    std::mutex mutex_;
    std::condition_variable grown_;
    std::string output_;
    bool closed_ = false;
    std::thread drainer_;
};

// The real server, started in dir (by command, when given) and waited for
// until it listens.
std::unique_ptr<Process> startServer(const fs::path& dir,
                                     const std::vector<std::string>& command = {TEST_SERVER_BIN});

// Runs program with --help, --version and -x in dir and checks that it
// answers 0, 0 and 2 without opening a socket, that is before its first message.
void checkArguments(const std::string& program, const fs::path& dir);

// From now on the kernel fails system call nr with error, in this process
// and the children it starts, whenever the call's argument arg (counted
// from 0) is at least least; other calls pass. It cannot be undone. False
// where the kernel takes no filter.
bool failCallsFrom(long nr, unsigned arg, std::uint64_t least, int error);

// The user a test acts as when it needs a second one.
inline constexpr uid_t OTHER_USER = 65534;
// Why this process cannot become OTHER_USER, or an empty text when it can:
// as root, or as root of a user namespace that maps that user too.
std::string whyNoOtherUser();
// Makes this process user uid, in that user's group alone: an ordinary
// user's groups would otherwise go with it, into the group class of the
// files that user made. Only system calls, for children forked from threads.
inline bool becomeUser(uid_t uid) {
    return setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0;
}

// A UDP socket on 127.0.0.1 with a port of its own.
class Peer {
  public:
    explicit Peer(std::uint16_t port = 0, const char* host = "127.0.0.1");
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    std::uint16_t port() const;
    sockaddr_in address() const;
    int fd() const { return fd_; }
    void sendTo(std::uint16_t port, std::string_view bytes) const;
    // Sends requestDatagram(name, pad) to the server's port.
    void request(std::string_view name, char pad = 0) const;
    // The next datagram, or nullopt when none comes within limit.
    std::optional<std::string> receive(std::chrono::milliseconds limit = 10s,
                                       sockaddr_in* from = nullptr) const;
    // Datagrams up to and including the one that carries the end marker.
    std::vector<std::string> receiveStream(std::chrono::milliseconds limit = 10s) const;

  private:
    int fd_ = -1;
};

// A peer as plain as the wire allows, not our client: it asks for name
// from a socket of its own, then takes one datagram per blocking receive,
// deciphers it and keeps the content, up to the marker. At the datagram
// counts given it stops reading for the time given, as a reader behind a
// pager does. Nullopt when a datagram does not come within 10 s.
using Pauses = std::vector<std::pair<std::size_t, std::chrono::milliseconds>>;
std::optional<std::string> plainFetch(std::string_view name, const Pauses& pauses = {});
// Sends "quit" as that peer does: the socket is closed right after the send.
void plainQuit();

// The content a stream of reply datagrams carries, deciphered.
std::string decipherStream(const std::vector<std::string>& datagrams);

// A request as a peer would send it: the name, a zero byte, pad up to 32
// bytes; a name of 32 bytes or more is cut there and has no zero byte.
std::string requestDatagram(std::string_view name, char pad = '\0');

// The datagrams a server sends for content, request being the request datagram.
std::vector<std::string> expectedStream(std::string_view content, const std::string& request);

// The one datagram that answers a name the server will not serve. request is
// the datagram as sent: the server takes its first 32 bytes, zero padded.
std::string notFound(std::string request);

} // namespace test
