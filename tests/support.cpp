#include "support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// Runs in the child between fork and exec, before the descriptors past the
// standard three are closed.
void arrangeStdio(Stdio stdio) {
    int unread[2];
    switch (stdio) {
    case Stdio::Piped:
        break;
    case Stdio::NoInput:
        close(STDIN_FILENO);
        break;
    case Stdio::NoOutput:
        close(STDOUT_FILENO);
        break;
    case Stdio::NoErrors:
        close(STDERR_FILENO);
        break;
    case Stdio::UnreadOutput:
        if (pipe(unread) != 0)
            _exit(126);
        dup2(unread[1], STDOUT_FILENO); // both ends go with the descriptors past 2
        break;
    case Stdio::PausedNonBlocking:
        if (fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK) != 0)
            _exit(126);
        break;
    }
}

} // namespace

TempDir::TempDir(const fs::path& parent) {
    std::string pattern = (parent / "udpft-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        fail("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        fail("write " + path.string());
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string patternBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& ch : bytes)
        ch = static_cast<char>(random() % 255); // never 0xFF
    return bytes;
}

Process::Process(const std::vector<std::string>& argv, const fs::path& cwd, Stdio stdio,
                 const std::function<bool()>& inChild) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        fail("pipe2");
    pid_ = fork();
    if (pid_ < 0)
        fail("fork");
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        arrangeStdio(stdio);
        // Only the three standard streams: the programs see what a shell gives them.
        close_range(3, ~0U, 0);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        if (inChild && !inChild())
            _exit(125);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
    drainer_ = std::thread([this, stdio] {
        if (stdio == Stdio::PausedNonBlocking)
            std::this_thread::sleep_for(500ms);
        drain();
    });
}

Process::~Process() {
    if (!status_)
        kill(SIGKILL), wait(1s);
    if (in_ >= 0)
        close(in_);
    drainer_.join();
    close(out_);
}

void Process::drain() {
    char chunk[65536];
    for (;;) {
        ssize_t n = read(out_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        std::lock_guard lock(mutex_);
        if (n <= 0) {
            closed_ = true;
            grown_.notify_all();
            return;
        }
        output_.append(chunk, static_cast<std::size_t>(n));
        grown_.notify_all();
    }
}

void Process::write(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(in_, bytes.data(), bytes.size());
        if (n < 0)
            fail("write to child");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void Process::closeInput() {
    if (in_ >= 0)
        close(in_);
    in_ = -1;
}

bool Process::waitFor(std::string_view text, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return grown_.wait_for(lock, limit, [&] {
        return output_.find(text) != std::string::npos || closed_;
    }) && output_.find(text) != std::string::npos;
}

std::string Process::output() {
    std::lock_guard lock(mutex_);
    return output_;
}

bool Process::running() {
    int status = 0;
    if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return !status_;
}

std::optional<int> Process::wait(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            int status = 0;
            ::kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            status_ = -1;
            return std::nullopt;
        }
        std::this_thread::sleep_for(2ms);
    }
    // Whatever the child wrote before it ended is in the pipe: take all of it.
    std::unique_lock lock(mutex_);
    grown_.wait_for(lock, 10s, [&] { return closed_; });
    return status_;
}

void Process::kill(int signal) {
    ::kill(pid_, signal);
}

std::unique_ptr<Process> startServer(const fs::path& dir, const std::vector<std::string>& command) {
    auto server = std::make_unique<Process>(command, dir);
    if (!server->waitFor("Waiting for file name..."))
        throw std::runtime_error("server did not start: " + server->output());
    return server;
}

void checkArguments(const std::string& program, const fs::path& dir) {
    std::string name = fs::path(program).filename();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string firstLine;
    } cases[] = {
        {{"--help"},
         0,
         "Usage: " + name +
             (name == "server" ? " [--no-quit] [--port N] [DIR]\n" : " [--port N]\n")},
        {{"--version"}, 0, name + " (" PACKAGE_NAME ") " PACKAGE_VERSION "\n"},
        {{"-x"}, 2, ""}, // the refusal goes to standard error
        {{"--help", "x"}, 2, ""},
        {{"--version", "x"}, 2, ""},
    };
    for (Case& c : cases) {
        std::string shown = name + ' ' + c.args.back();
        c.args.insert(c.args.begin(), program);
        Process run(c.args, dir); // input left open: a prompt would wait
        EXPECT_EQ(run.wait(20s), c.status) << shown;
        std::string output = run.output();
        EXPECT_EQ(output.substr(0, output.find('\n') + 1), c.firstLine) << shown;
        EXPECT_EQ(output.find("file descriptor"), std::string::npos) << shown;
    }
}

bool failCallsFrom(long nr, unsigned arg, std::uint64_t least, int error) {
#ifdef NATIVE_AUDIT_ARCH
    const std::uint32_t low = offsetof(seccomp_data, args) + arg * sizeof(std::uint64_t);
    const auto leastHigh = static_cast<std::uint32_t>(least >> 32);
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NATIVE_AUDIT_ARCH, 0, 8),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(nr), 0, 6),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, low + 4), // the high half
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, leastHigh, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, leastHigh, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, low),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, static_cast<std::uint32_t>(least), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
    (void)nr, (void)arg, (void)least, (void)error;
    return false;
#endif
}

namespace {

// Whether an id map of /proc (uid_map, gid_map) maps id of this namespace.
bool maps(const char* file, unsigned long id) {
    std::ifstream in(file);
    unsigned long inside = 0, outside = 0, count = 0;
    while (in >> inside >> outside >> count)
        if (id >= inside && id - inside < count)
            return true;
    return false;
}

// Writes why each test skipped where the test command shows it at the end.
class SkipLog : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo& info) override {
        fs::path file =
            fs::path(SKIP_LOG_DIR) / (std::string(info.test_suite_name()) + "." + info.name());
        std::error_code ignored;
        if (!info.result()->Skipped()) {
            fs::remove(file, ignored);
            return;
        }
        std::string why;
        for (int i = 0; i < info.result()->total_part_count(); ++i)
            why += info.result()->GetTestPartResult(i).message();
        fs::create_directories(file.parent_path(), ignored);
        std::ofstream(file) << file.filename().string() << ": " << why << "\n";
    }
};

[[maybe_unused]] const bool skipLogged = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new SkipLog);
    return true;
}();

} // namespace

std::string whyNoOtherUser() {
    if (geteuid() != 0 || !maps("/proc/self/uid_map", OTHER_USER) ||
        !maps("/proc/self/gid_map", OTHER_USER))
        return "needs a second user: run as root, or where newuidmap grants this user "
               "subordinate ids (/etc/subuid)";
    return {};
}

Peer::Peer(std::uint16_t port, const char* host) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        fail("socket");
    sockaddr_in addr = loopback(port);
    addr.sin_addr.s_addr = inet_addr(host);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        fail("bind to port " + std::to_string(port));
    enlargeReceiveBuffer(fd_);
}

Peer::~Peer() {
    close(fd_);
}

std::uint16_t Peer::port() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

sockaddr_in Peer::address() const {
    return loopback(port());
}

void Peer::sendTo(std::uint16_t port, std::string_view bytes) const {
    sockaddr_in to = loopback(port);
    if (sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
        fail("sendto");
}

void Peer::request(std::string_view name, char pad) const {
    sendTo(SERVICE_PORT, requestDatagram(name, pad));
}

std::optional<std::string> Peer::receive(std::chrono::milliseconds limit, sockaddr_in* from) const {
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(limit.count())) <= 0)
        return std::nullopt;
    char buf[256];
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&addr), &len);
    if (n < 0)
        return std::nullopt;
    if (from)
        *from = addr;
    return std::string(buf, static_cast<std::size_t>(n));
}

std::vector<std::string> Peer::receiveStream(std::chrono::milliseconds limit) const {
    std::vector<std::string> datagrams;
    while (auto datagram = receive(limit)) {
        datagrams.push_back(*datagram);
        std::size_t marker = datagram->find(Cipher(END_MARKER));
        if (marker == std::string::npos)
            continue;
        // A cut notice of a datagram of its own follows at once; a datagram
        // that is not one is left for the next stream.
        char next[DATAGRAM_SIZE + 1];
        pollfd pfd{fd_, POLLIN, 0};
        if (marker == DATAGRAM_SIZE - 1 && poll(&pfd, 1, 100) > 0 &&
            recv(fd_, next, sizeof next, MSG_PEEK) == DATAGRAM_SIZE &&
            std::string(next, DATAGRAM_SIZE) == std::string(DATAGRAM_SIZE, CUT_NOTICE))
            datagrams.push_back(*receive());
        break;
    }
    return datagrams;
}

std::optional<std::string> plainFetch(std::string_view name, const Pauses& pauses) {
    Peer peer;
    peer.request(name);
    std::string content;
    auto pause = pauses.begin();
    for (std::size_t count = 0;; ++count) {
        if (pause != pauses.end() && pause->first == count)
            std::this_thread::sleep_for((pause++)->second);
        std::optional<std::string> datagram = peer.receive();
        if (!datagram)
            return std::nullopt;
        for (char ch : *datagram) {
            if (Cipher(ch) == END_MARKER)
                return content;
            content += Cipher(ch);
        }
    }
}

void plainQuit() {
    Peer().request("quit");
}

std::string decipherStream(const std::vector<std::string>& datagrams) {
    std::string content;
    for (const std::string& datagram : datagrams)
        for (char ch : datagram) {
            if (Cipher(ch) == END_MARKER)
                return content;
            content += Cipher(ch);
        }
    return content;
}

std::string requestDatagram(std::string_view name, char pad) {
    std::string datagram(name.substr(0, DATAGRAM_SIZE));
    if (datagram.size() < DATAGRAM_SIZE)
        datagram += '\0';
    datagram.resize(DATAGRAM_SIZE, pad);
    return datagram;
}

std::vector<std::string> expectedStream(std::string_view content, const std::string& request) {
    bool cut = content.find(END_MARKER) != std::string_view::npos;
    content = content.substr(0, content.find(END_MARKER));
    std::vector<std::string> datagrams;
    std::size_t pos = 0;
    for (;;) {
        std::string datagram = datagrams.empty() ? request : std::string(DATAGRAM_SIZE, '\0');
        std::size_t take = std::min(DATAGRAM_SIZE, content.size() - pos);
        for (std::size_t i = 0; i < take; ++i)
            datagram[i] = Cipher(content[pos + i]);
        pos += take;
        if (take < DATAGRAM_SIZE) {
            datagram[take] = Cipher(END_MARKER);
            if (!cut) {
                datagrams.push_back(datagram);
                return datagrams;
            }
            // The notice after the marker; in a datagram of its own after a full one.
            datagram.replace(take + 1, std::string::npos, DATAGRAM_SIZE, CUT_NOTICE);
            datagrams.push_back(datagram.substr(0, DATAGRAM_SIZE));
            if (take + 1 == DATAGRAM_SIZE)
                datagrams.push_back(datagram.substr(DATAGRAM_SIZE));
            return datagrams;
        }
        datagrams.push_back(datagram);
    }
}

std::string notFound(std::string request) {
    request.resize(DATAGRAM_SIZE, '\0');
    return expectedStream(NOT_FOUND_TEXT, request)[0];
}

} // namespace test
