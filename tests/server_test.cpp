// The real server process, driven over loopback by test sockets.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <regex>

#include <arpa/inet.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include "stream.hpp"
#include "support.hpp"

namespace {

using namespace test;

const std::string WAITING = "\nWaiting for file name...\n";

class Server : public ::testing::Test {
  protected:
    void SetUp() override { server = startServer(dir.path()); }
    void TearDown() override {
        if (server && server->running()) {
            peer.request("quit");
            server->wait(20s);
        }
    }
    TempDir dir;
    Peer peer;
    std::unique_ptr<Process> server;
};

// Every shape of file: each size up to a few datagrams and some far larger,
// and a byte 0xFF at each place of the first two datagrams with more of
// the file after it, which must never leave in a tail.
TEST_F(Server, AnswersEachShapeDatagramByDatagram) {
    std::vector<std::string> contents;
    for (std::size_t size = 0; size <= 100; ++size)
        contents.push_back(patternBytes(size, static_cast<unsigned>(size)));
    for (std::size_t size : {1000, 100000})
        contents.push_back(patternBytes(size, static_cast<unsigned>(size)));
    // A marker in a batch's last place gets its notice in the datagram past the batch.
    for (std::size_t at : {0, 1, 31, 63, 32767, 32799})
        contents.push_back(patternBytes(at, 1) + '\xff' + patternBytes(40000, 2));
    for (std::size_t at = 0; at < 2 * DATAGRAM_SIZE; ++at)
        for (std::size_t size : {at + 1, std::size_t{100}, std::size_t{40000}}) {
            std::string content = patternBytes(size, static_cast<unsigned>(at));
            content[at] = END_MARKER;
            contents.push_back(content);
        }
    for (std::size_t i = 0; i < contents.size(); ++i) {
        std::string name = "file" + std::to_string(i);
        writeFile(dir / name, contents[i]);
        // A padding that is not zero shows where the tail comes from.
        std::string request = requestDatagram(name, 'p');
        peer.sendTo(SERVICE_PORT, request);
        EXPECT_EQ(peer.receiveStream(), expectedStream(contents[i], request))
            << contents[i].size() << " bytes, 0xFF at " << contents[i].find(END_MARKER);
    }
}

// Replies to one socket never overtake or interleave, whether a reply of
// one datagram comes before a long one in the same batch of requests or
// in the next; half the pairs wait for the server to take them together.
TEST_F(Server, KeepsEachSocketsRepliesInOrder) {
    const std::string big = patternBytes(1 << 20, 3), small = "fifteen bytes!!";
    writeFile(dir / "big", big);
    writeFile(dir / "small", small);
    const std::pair<const char*, std::string> shortReplies[] = {
        {"small", expectedStream(small, requestDatagram("small"))[0]},
        {"missing", notFound(requestDatagram("missing"))},
    };
    for (int pair = 0; pair < 20; ++pair) {
        auto& [name, reply] = shortReplies[pair % 2];
        Peer receiver;
        bool together = pair < 10;
        if (together)
            server->kill(SIGSTOP);
        receiver.request(name);
        receiver.request("big");
        if (together)
            server->kill(SIGCONT);
        EXPECT_EQ(receiver.receive(), reply) << "pair " << pair;
        EXPECT_TRUE(receiver.receiveStream() == expectedStream(big, requestDatagram("big")))
            << "pair " << pair;
    }
}

// A socket that takes over a closed receiver's address and port gets its
// own reply, and not a byte of the stream that was going to the other.
TEST_F(Server, NeverSendsAStreamToASocketThatReusedItsPort) {
    writeFile(dir / "big", patternBytes(4 << 20, 4));
    writeFile(dir / "small", "fifteen bytes!!");
    for (int trial = 0; trial < 6; ++trial) {
        std::uint16_t port;
        {
            Peer first;
            port = first.port();
            first.request("big");
            for (int i = 0; i < 2048; ++i)
                ASSERT_TRUE(first.receive());
            std::this_thread::sleep_for(100ms); // its queue fills up again
        }
        Peer second(port);
        second.request("small");
        EXPECT_EQ(second.receive(), expectedStream("fifteen bytes!!", requestDatagram("small"))[0]);
        // Gone before or after the new socket asked: the line names it only
        // when the new request was logged in between.
        auto gone = [&] {
            const std::string GONE = "\nReceiver gone: transfer stopped!", log = server->output();
            int lines = 0;
            for (auto at = log.find(GONE); at != std::string::npos; at = log.find(GONE, at + 1))
                ++lines;
            return lines;
        };
        for (auto until = std::chrono::steady_clock::now() + 20s;
             gone() <= trial && std::chrono::steady_clock::now() < until;)
            std::this_thread::sleep_for(10ms);
        EXPECT_GT(gone(), trial) << server->output();
    }
}

TEST_F(Server, AnswersUnopenableNamesWithNotFound) {
    // Under /tmp, so that its absolute name fits in a request whatever TMPDIR is.
    TempDir outside("/tmp");
    writeFile(outside / "secret", "secret");
    fs::create_directory(dir / "sub");
    fs::create_symlink(outside / "secret", dir / "link-out");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const std::string names[] = {
        "missing",
        "quit/", // only "quit" itself stops the server
        (outside / "secret").string(),
        "../" + outside.path().filename().string() + "/secret",
        "sub/../../etc/passwd",
        "link-out",
        "sub",
        "fifo",
        "",
    };
    for (const std::string& name : names) {
        ASSERT_LT(name.size(), DATAGRAM_SIZE) << name;
        std::string request = requestDatagram(name, 'q');
        peer.sendTo(SERVICE_PORT, request);
        auto reply = peer.receiveStream();
        ASSERT_EQ(reply.size(), 1u) << name;
        EXPECT_EQ(reply[0], notFound(request)) << name;
    }
    EXPECT_TRUE(server->waitFor("\nFile Name Received: fifo\n\nFile open failed!\n"));
}

TEST_F(Server, ServesNamesBelowTheDirectory) {
    fs::create_directories(dir / "a" / "b");
    writeFile(dir / "a" / "b" / "deep.txt", "deep");
    fs::create_symlink("a/b/deep.txt", dir / "near");
    writeFile(dir / "quitx", "deep"); // only "quit" itself stops the server
    for (const char* name : {"a/b/deep.txt", "./a/b/deep.txt", "near", "quitx"}) {
        peer.request(name);
        EXPECT_EQ(decipherStream(peer.receiveStream()), "deep") << name;
    }
}

// A name asked for again may be answered through the file opened for it
// before: each request must still get what the name leads to now, whole.
TEST_F(Server, ServesEachRequestWhatTheNameLeadsToNow) {
    TempDir outside("/tmp");
    writeFile(outside / "secret", "secret");
    const fs::path f = dir / "f";
    const std::string bigger = patternBytes(100, 1);
    fs::path fds = "/proc/" + std::to_string(server->pid()) + "/fd";
    auto held = [&] {
        return std::any_of(fs::directory_iterator(fds), fs::directory_iterator(),
                           [](const auto& fd) {
                               return fs::exists(fd.path()) &&
                                      fs::read_symlink(fd.path()).string().ends_with(" (deleted)");
                           });
    };
    auto check = [&](const char* change, const std::string& content) { // empty: not found
        std::string request = requestDatagram("f");
        peer.sendTo(SERVICE_PORT, request);
        EXPECT_EQ(peer.receiveStream(), content.empty() ? std::vector{notFound(request)}
                                                        : expectedStream(content, request))
            << change;
    };
    writeFile(f, "first");
    check("first", "first");
    writeFile(f, bigger);
    check("grown in place", bigger);
    writeFile(f, "short");
    check("shortened in place", "short");
    writeFile(dir / "g", "other");
    fs::rename(dir / "g", f);
    check("renamed over", "other");
    EXPECT_FALSE(held()) << "the file renamed over is let go of at once";
    fs::remove(f);
    fs::create_symlink(outside / "secret", f);
    check("a link out", "");
    fs::remove(f);
    mkfifo(f.c_str(), 0644);
    check("a FIFO", "");
    fs::remove(f);
    check("removed", "");
    writeFile(f, "back");
    check("back", "back");
    // A file removed unasked is let go of soon, and with it its space.
    fs::remove(f);
    EXPECT_TRUE(held()) << "it was kept open";
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(held());
}

TEST_F(Server, TakesAllThirtyTwoBytesWhenNoZeroEndsTheName) {
    std::string name(DATAGRAM_SIZE, 'n');
    writeFile(dir / name, "long name");
    peer.sendTo(SERVICE_PORT, name);
    EXPECT_EQ(decipherStream(peer.receiveStream()), "long name");
    peer.sendTo(SERVICE_PORT, name + "-overlong datagram");
    EXPECT_EQ(decipherStream(peer.receiveStream()), "long name");
}

TEST_F(Server, AnswersEachSenderAtItsOwnAddress) {
    writeFile(dir / "one", "first file");
    writeFile(dir / "two", "second file");
    Peer other;
    peer.request("one");
    other.request("two");
    EXPECT_EQ(decipherStream(peer.receiveStream()), "first file");
    EXPECT_EQ(decipherStream(other.receiveStream()), "second file");
    EXPECT_FALSE(peer.receive(100ms));
    EXPECT_FALSE(other.receive(100ms));
    // Asked at another address of ours, the server answers from that one,
    // every datagram of a reply of one datagram or of many.
    const std::string many = patternBytes(100000, 9);
    writeFile(dir / "many", many);
    sockaddr_in second = serviceAddress(inet_addr("127.0.0.2"));
    for (const auto& [name, content] :
         {std::pair<std::string, std::string>{"one", "first file"}, {"many", many}}) {
        std::string request = requestDatagram(name);
        sendto(peer.fd(), request.data(), DATAGRAM_SIZE, 0, reinterpret_cast<sockaddr*>(&second),
               sizeof second);
        for (const std::string& datagram : expectedStream(content, request)) {
            sockaddr_in from{};
            ASSERT_EQ(peer.receive(10s, &from), datagram) << name;
            ASSERT_EQ(from.sin_addr.s_addr, second.sin_addr.s_addr) << name;
        }
    }
}

// A receiver gone before its stream's first turn is sent nothing more; one
// whose socket dropped datagrams before its stream began is not said to
// have dropped any of it.
TEST_F(Server, JudgesEachReceiverFromItsStreamsStart) {
    writeFile(dir / "big", patternBytes(32 << 20, 10));
    {
        Peer gone;
        server->kill(SIGSTOP);
        gone.request("big");
    }
    server->kill(SIGCONT);
    EXPECT_TRUE(server->waitFor("\nFile Name Received: big\n\nFile Successfully opened!\n"
                                "\nReceiver gone: transfer stopped!\n" +
                                WAITING));
    Peer dropper;
    int small = 2048;
    setsockopt(dropper.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    for (int i = 0; i < 100; ++i)
        peer.sendTo(dropper.port(), std::string(DATAGRAM_SIZE, 'x'));
    while (dropper.receive(100ms)) {
    }
    writeFile(dir / "mid", patternBytes(200000, 11));
    std::size_t before = server->output().size();
    dropper.request("mid");
    EXPECT_EQ(decipherStream(dropper.receiveStream()), patternBytes(200000, 11));
    EXPECT_TRUE(
        server->waitFor("\nFile Name Received: mid\n\nFile Successfully opened!\n" + WAITING));
    EXPECT_EQ(server->output().substr(before),
              "\nFile Name Received: mid\n\nFile Successfully opened!\n" + WAITING);
}

TEST_F(Server, WarnsWhenTheMarkerByteCutsTheFile) {
    writeFile(dir / "binary", std::string("ab\0c", 4) + "\xff" + std::string(40, 'r'));
    peer.request("binary");
    EXPECT_EQ(decipherStream(peer.receiveStream()), std::string("ab\0c", 4));
    EXPECT_TRUE(server->waitFor(
        "\nFile truncated at offset 4: it contains the end marker byte 0xFF!\n" + WAITING));
}

TEST_F(Server, EscapesNamesInItsLog) {
    peer.request("\x1b]0;owned\x07");
    peer.receiveStream();
    EXPECT_TRUE(server->waitFor("\nFile Name Received: \\x1b]0;owned\\x07\n"));
}

TEST_F(Server, WritesTheExactTranscriptAndQuits) {
    writeFile(dir / "hello.txt", "hello\n");
    peer.request("hello.txt");
    peer.receiveStream();
    peer.request("nothing");
    peer.receiveStream();
    peer.request("quit");
    EXPECT_EQ(server->wait(20s), 0);
    EXPECT_FALSE(peer.receive(100ms)) << "quit is not answered";
    EXPECT_EQ(server->output(), "\nfile descriptor 3 received\n"
                                "\nSuccessfully binded!\n" +
                                    WAITING +
                                    "\nFile Name Received: hello.txt\n"
                                    "\nFile Successfully opened!\n" +
                                    WAITING +
                                    "\nFile Name Received: nothing\n"
                                    "\nFile open failed!\n" +
                                    WAITING +
                                    "\nFile Name Received: quit\n"
                                    "Exiting..........\n");
}

// A reply to the service's own port, or to a privileged one, could start
// a loop between two services: such requests are logged, not answered.
TEST_F(Server, AnswersNoRequestFromTheServicePortOrAPrivilegedOne) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: forges source ports with a raw socket";
    writeFile(dir / "f", "content");
    Fd raw{socket(AF_INET, SOCK_RAW, IPPROTO_UDP)};
    ASSERT_TRUE(raw.valid());
    sockaddr_in to = serviceAddress(htonl(INADDR_LOOPBACK));
    for (std::uint16_t port : {SERVICE_PORT, std::uint16_t{1023}, std::uint16_t{7}}) {
        udphdr head{};
        head.source = htons(port);
        head.dest = htons(SERVICE_PORT);
        head.len = htons(sizeof head + DATAGRAM_SIZE);
        std::string datagram(reinterpret_cast<char*>(&head), sizeof head);
        datagram += requestDatagram("f", '\0');
        ASSERT_GT(sendto(raw.get(), datagram.data(), datagram.size(), 0,
                         reinterpret_cast<sockaddr*>(&to), sizeof to),
                  0);
        EXPECT_TRUE(server->waitFor("\nNo reply sent: the request came from port " +
                                    std::to_string(port) +
                                    ", which is privileged or the service's own!\n" + WAITING));
    }
    peer.request("f");
    EXPECT_EQ(decipherStream(peer.receiveStream()), "content");
    // The reply can arrive before the test has read the line logged ahead of it.
    ASSERT_TRUE(server->waitFor(" 7, which is privileged or the service's own!\n" + WAITING +
                                "\nFile Name Received: f\n\nFile Successfully opened!\n"));
    std::string log = server->output();
    std::size_t requests = 0;
    for (std::size_t at = 0; (at = log.find("File Name Received", at)) != std::string::npos; ++at)
        ++requests;
    EXPECT_EQ(requests, 4u) << "the server never answered itself";
    Peer lowestAnswered(1024);
    lowestAnswered.request("f");
    EXPECT_EQ(decipherStream(lowestAnswered.receiveStream()), "content");
}

// Runs in a child that stands for another host, in a network namespace of
// its own at the far end of a veth pair: asks for each name from the host's
// own address and from a second one, as a forger claiming a victim's would,
// and returns how many datagrams came back to either.
int askFromAnotherHost(int ready, int go, const std::vector<std::string>& names) {
    char byte = 'r';
    if (unshare(CLONE_NEWNET) != 0 || write(ready, &byte, 1) != 1 || read(go, &byte, 1) != 1 ||
        std::system("ip link set lo up && ip link set vb up && ip addr add 198.18.1.2/24 dev vb "
                    "&& ip addr add 198.18.1.9/24 dev vb") != 0)
        return -1;
    int received = 0;
    for (const char* from : {"198.18.1.2", "198.18.1.9"}) {
        Fd sock{socket(AF_INET, SOCK_DGRAM, 0)};
        sockaddr_in addr = serviceAddress(inet_addr(from));
        addr.sin_port = 0;
        sockaddr_in server = serviceAddress(inet_addr("198.18.1.1"));
        if (bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return -1;
        for (const std::string& name : names)
            sendto(sock.get(), requestDatagram(name).data(), DATAGRAM_SIZE, 0,
                   reinterpret_cast<sockaddr*>(&server), sizeof server);
        for (pollfd pfd{sock.get(), POLLIN, 0}; poll(&pfd, 1, 1000) > 0; ++received)
            recv(sock.get(), &byte, 1, 0);
    }
    return received;
}

// Only this machine is answered: another host gets nothing, whether it asks
// for a file, for a missing name, or in a third party's name, and cannot
// stop the server. This machine's own address on that link is this
// machine's, whoever sends to it.
TEST_F(Server, AnswersNoOtherHost) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: a veth pair to a network namespace standing for another host";
    writeFile(dir / "big", patternBytes(4 << 20, 3));
    writeFile(dir / "small", "small");
    const std::vector<std::string> names = {"big", "missing", "quit"};
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        close(go[1]); // the parent's end alone: its close, on a failed step, ends the wait
        _exit(std::min(askFromAnotherHost(ready[1], go[0], names), 100) & 0xff); // -1: 255
    }
    // Held by the parent only, so that a step failed on either side ends the
    // other's wait rather than leave it blocked for ever.
    close(ready[1]);
    close(go[0]);
    Fd readyIn{ready[0]}, goOut{go[1]};
    char byte;
    ASSERT_EQ(read(readyIn.get(), &byte, 1), 1);
    std::string link = "ip link add va type veth peer name vb && ip link set vb netns " +
                       std::to_string(host) +
                       " && ip addr add 198.18.1.1/24 dev va && ip link set va up";
    ASSERT_EQ(std::system(link.c_str()), 0);
    // Each a lone request, from an address added since the server started
    // and from loopback: it learns of the new address before it judges.
    // Both come while the other host still waits, its end of the pair and
    // our address on it still there.
    sockaddr_in ours = serviceAddress(inet_addr("198.18.1.1"));
    for (const char* from : {"198.18.1.1", "127.0.0.1"}) {
        Fd sock{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
        sockaddr_in addr = serviceAddress(inet_addr(from));
        addr.sin_port = 0;
        ASSERT_EQ(bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        timeval limit{10, 0};
        setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string request = requestDatagram("small");
        sendto(sock.get(), request.data(), DATAGRAM_SIZE, 0, reinterpret_cast<sockaddr*>(&ours),
               sizeof ours);
        char reply[DATAGRAM_SIZE];
        EXPECT_EQ(recv(sock.get(), reply, sizeof reply, 0), ssize_t{DATAGRAM_SIZE}) << from;
        EXPECT_EQ(std::string(reply, DATAGRAM_SIZE), expectedStream("small", request)[0]) << from;
        EXPECT_TRUE(server->waitFor("\nFile Name Received: small\n\nFile Successfully opened!\n" +
                                    WAITING));
    }
    ASSERT_EQ(write(goOut.get(), "g", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(host, &status, 0), host);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "datagrams sent to the other host";
    for (const char* from : {"198.18.1.2", "198.18.1.9"})
        for (const std::string& name : names)
            EXPECT_TRUE(server->waitFor("\nFile Name Received: " + name +
                                        "\n\nNo reply sent: the request came from " + from +
                                        ", which is another host!\n"));
    EXPECT_TRUE(server->running());
}

// Started without a standard stream, the server still gets descriptor 3.
// Given an argument, it binds nothing: the port taken is no failure then.
TEST(ServerStart, FailsWhenThePortIsTaken) {
    TempDir dir;
    Peer holder(SERVICE_PORT);
    for (Stdio stdio : {Stdio::Piped, Stdio::NoInput, Stdio::NoErrors}) {
        Process server({TEST_SERVER_BIN}, dir.path(), stdio);
        EXPECT_EQ(server.wait(20s), 1);
        EXPECT_EQ(server.output(), "\nfile descriptor 3 received\n\nBinding Failed!\n");
    }
    checkArguments(TEST_SERVER_BIN, dir.path());
    // The reason, on standard error; in the journal, with the lines' priorities.
    const std::string why = "server: cannot bind UDP port 15050: Address already in use\n";
    Process plain({"/bin/sh", "-c", "exec \"$0\" 2>&1", TEST_SERVER_BIN}, dir.path());
    EXPECT_EQ(plain.wait(20s), 1);
    EXPECT_EQ(plain.output(), "\nfile descriptor 3 received\n\nBinding Failed!\n" + why);
    Process journal({"/bin/sh", "-c",
                     "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) exec \"$0\" 2>&1",
                     TEST_SERVER_BIN},
                    dir.path());
    EXPECT_EQ(journal.wait(20s), 1);
    EXPECT_EQ(journal.output(),
              "<6>\n<6>file descriptor 3 received\n<6>\n<3>Binding Failed!\n<3>" + why);
}

// Given a directory and a port, a server serves that directory from
// wherever it was started, confined to it as to a working directory, on
// that port, beside one on the service's port: each hears only its own
// requests. Its own port, not the service's, is the one never answered, and
// its streams are paced from it.
TEST(ServerStart, ServesTheDirectoryAndPortItIsGiven) {
    TempDir dir, other, outside("/tmp");
    const std::string given = patternBytes(100000, 4); // paced: many turns
    writeFile(dir / "f", given);
    writeFile(other / "f", "default");
    writeFile(outside / "x", "outside");
    fs::create_symlink(outside / "x", dir / "link-out");
    auto server = startServer("/", {TEST_SERVER_BIN, "--port", "15051", dir.path().string()});
    {
        Peer fromServicePort(SERVICE_PORT);
        fromServicePort.sendTo(15051, requestDatagram("f"));
        EXPECT_EQ(decipherStream(fromServicePort.receiveStream()), given);
    }
    Process client(
        {"/bin/sh", "-c", "exec \"$0\" --port 15051 -o - f 2>/dev/null", TEST_CLIENT_BIN},
        other.path()); // connected, so it is found only from the port served
    EXPECT_EQ(client.wait(), 0);
    EXPECT_TRUE(client.output() == given) << "the copy differs";
    auto beside = startServer(other.path());
    Peer peer;
    const std::string climb = "../" + outside.path().filename().string() + "/x";
    struct Case {
        std::uint16_t port;
        std::string name, content;
    } cases[] = {
        {15051, "f", given},
        {SERVICE_PORT, "f", "default"},
        {15051, climb, "File Not Found!"},
        {15051, "/etc/passwd", "File Not Found!"},
        {15051, "link-out", "File Not Found!"},
    };
    for (const Case& c : cases) {
        peer.sendTo(c.port, requestDatagram(c.name));
        EXPECT_EQ(decipherStream(peer.receiveStream()), c.content) << c.port << " " << c.name;
    }
    peer.sendTo(15051, requestDatagram("quit"));
    EXPECT_EQ(server->wait(20s), 0);
    std::string log = server->output();
    EXPECT_NE(log.find("File Name Received: link-out"), std::string::npos);
    std::size_t asked = 0; // for f: from the service's port, the client, the table
    for (std::size_t at = 0; (at = log.find("Received: f\n", at)) != std::string::npos; ++at)
        ++asked;
    EXPECT_EQ(asked, 3u) << "the other server's request never reached it";
    EXPECT_EQ(beside->output().find("link-out"), std::string::npos);
    EXPECT_TRUE(beside->waitFor("File Name Received: f\n"));
    peer.request("quit");
    EXPECT_EQ(beside->wait(20s), 0);
}

// A read that fails ends the stream without its end marker, so that the
// receiver never takes a damaged copy for a whole one, and the log says
// where: at the start of a file whose reads fail (/proc/self/mem of the
// server), and half-way through a file that fails at 1 MiB.
TEST(ServerStart, EndsAStreamWithoutItsMarkerWhenAReadFails) {
#if !defined(__x86_64__)
    GTEST_SKIP() << "the fault is injected by a seccomp filter written for x86_64";
#endif
    // Every pread64 at or past 1 MiB fails, as a disk failing there would.
    ASSERT_TRUE(failCallsFrom(__NR_pread64, 3, 1 << 20, EIO)) << std::strerror(errno);
    Peer peer;
    {
        auto server = startServer("/proc/self");
        peer.request("mem"); // nothing is mapped at offset 0
        EXPECT_EQ(peer.receive(1s), std::nullopt);
        EXPECT_TRUE(server->waitFor(
            "\nFile Successfully opened!\n\nFile read failed at offset 0!\n" + WAITING));
        server->kill(SIGKILL);
        server->wait();
    }
    TempDir dir;
    const std::string content = patternBytes(4 << 20, 5);
    writeFile(dir / "big", content);
    auto server = startServer(dir.path());
    Process client({TEST_CLIENT_BIN}, dir.path());
    client.write("big\n");
    client.closeInput();
    EXPECT_EQ(client.wait(), 1);
    // The first read to fail starts at 1 MiB or a little past, where a read
    // begun below it ended: reads are as long as the receiver has room for.
    ASSERT_TRUE(server->waitFor("\nFile read failed at offset "));
    std::smatch failed;
    std::string log = server->output();
    ASSERT_TRUE(
        std::regex_search(log, failed, std::regex("\nFile read failed at offset (\\d+)!\n")))
        << log;
    std::size_t at = std::stoul(failed[1]);
    EXPECT_GE(at, 1u << 20);
    EXPECT_LT(at, (1u << 20) + BATCH_DATAGRAMS * DATAGRAM_SIZE);
    EXPECT_NE(client.output().find("\n---------Data Received---------\n" + content.substr(0, at) +
                                   "\nNo reply from server: timed out!\n"),
              std::string::npos);
    EXPECT_TRUE(server->waitFor(failed[0].str() + WAITING));
}

// The kernel refuses a reply from an address of ours that has gone since
// the request was sent to it; the others taken in the same batch of
// requests are answered all the same.
TEST(ServerStart, AnswersTheRestWhenTheKernelRefusesOneReply) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: adds an address in a private network namespace";
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
    ASSERT_EQ(std::system("ip link set lo up && ip addr add 198.18.0.5/32 dev lo"), 0);
    TempDir dir;
    auto server = startServer(dir.path());
    Peer doomed;
    sockaddr_in to = serviceAddress(inet_addr("198.18.0.5"));
    server->kill(SIGSTOP); // both requests wait for one receive
    std::string stat;
    while (stat.find(") T ") == std::string::npos)
        stat = readFile("/proc/" + std::to_string(server->pid()) + "/stat");
    std::string request = requestDatagram("missing");
    sendto(doomed.fd(), request.data(), DATAGRAM_SIZE, 0, reinterpret_cast<sockaddr*>(&to),
           sizeof to);
    Peer peer;
    peer.request("missing");
    ASSERT_EQ(std::system("ip addr del 198.18.0.5/32 dev lo"), 0);
    server->kill(SIGCONT);
    EXPECT_EQ(peer.receive(), notFound(request));
    EXPECT_TRUE(server->waitFor("\nReply send failed!\n"));
}

// A child of user uid that asks for name from a socket of its own and then
// never reads; forked from threads, it makes nothing but system calls.
pid_t holdAs(uid_t uid, const std::string& name) {
    const std::string request = requestDatagram(name);
    const sockaddr_in to = serviceAddress(htonl(INADDR_LOOPBACK));
    pid_t child = fork();
    if (child == 0) {
        if (!becomeUser(uid))
            _exit(1);
        int sock = socket(AF_INET, SOCK_DGRAM, 0);
        sendto(sock, request.data(), DATAGRAM_SIZE, 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
        pause();
        _exit(0);
    }
    return child;
}

// With every slot taken, the user who holds the most gives up its idlest
// stream, even where another user's has taken nothing for longer; the
// line says why. A descriptor limit of 35 leaves three slots.
TEST(ServerSlots, StopsTheHeaviestHoldersIdlestStream) {
    if (std::string why = whyNoOtherUser(); !why.empty())
        GTEST_SKIP() << why;
    TempDir dir;
    const std::string big = patternBytes(2 << 20, 12);
    writeFile(dir / "big", big);
    auto server =
        startServer(dir.path(), {"/bin/sh", "-c", "ulimit -n 35 && exec " TEST_SERVER_BIN});
    pid_t other = holdAs(OTHER_USER, "big"); // idlest of all, but alone of its user
    ASSERT_TRUE(server->waitFor("File Successfully opened!"));
    Peer first, second, third;
    for (Peer* peer : {&first, &second}) {
        peer->request("big");
        ASSERT_TRUE(peer->receive()) << "its stream began";
        std::this_thread::sleep_for(200ms);
    }
    third.request("big");
    EXPECT_EQ(decipherStream(third.receiveStream()), big);
    EXPECT_TRUE(server->waitFor("\nToo many streams: transfer stopped! (big to 127.0.0.1:" +
                                std::to_string(first.port()) + ")\n"));
    std::string log = server->output();
    EXPECT_EQ(log.find("transfer stopped!", log.find('\n', log.find("Too many"))),
              std::string::npos)
        << "the other user's stream, or a second one, was stopped: " << log;
    // The lighter user's own request takes its slot from the heavier one.
    Peer fourth;
    fourth.request("big"); // every slot taken again
    ASSERT_TRUE(fourth.receive());
    pid_t another = holdAs(OTHER_USER, "big");
    EXPECT_TRUE(server->waitFor("\nToo many streams: transfer stopped! (big to 127.0.0.1:" +
                                std::to_string(second.port()) + ")\n"))
        << server->output();
    for (pid_t child : {other, another}) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
}

// A socket that floods requests without reading holds one slot and one
// file, however many it sends: 64 wait behind its stream, holding only
// their bytes, and the rest are dropped. Another receiver that pauses gets
// its file whole.
TEST(ServerSlots, KeepsAFloodingSocketToOneSlot) {
    TempDir dir;
    const std::string big = patternBytes(1 << 20, 13);
    writeFile(dir / "big", big);
    auto server =
        startServer(dir.path(), {"/bin/sh", "-c", "ulimit -n 35 && exec " TEST_SERVER_BIN});
    Peer flooder, pauser;
    for (int i = 0; i < 200; ++i)
        flooder.request("big");
    ASSERT_TRUE(server->waitFor("\nRequest dropped: 64 requests from 127.0.0.1:" +
                                std::to_string(flooder.port()) + " wait already!\n"));
    pauser.request("big");
    std::vector<std::string> got;
    for (int i = 0; i < 2048; ++i)
        if (auto datagram = pauser.receive())
            got.push_back(*datagram);
    fs::path fds = "/proc/" + std::to_string(server->pid()) + "/fd";
    auto open = std::distance(fs::directory_iterator(fds), fs::directory_iterator());
    EXPECT_LE(open, 32 + 3) << "descriptors beyond the slots";
    std::this_thread::sleep_for(1s);
    for (const std::string& datagram : pauser.receiveStream())
        got.push_back(datagram);
    EXPECT_TRUE(got == expectedStream(big, requestDatagram("big"))) << got.size() << " datagrams";
    // Of the 100 requests a second that are logged, the 66th to the 100th
    // were dropped; the rest of the flood is only counted.
    std::string log = server->output();
    std::size_t dropped = 0;
    for (std::size_t at = 0; (at = log.find("\nRequest dropped: ", at)) != std::string::npos; ++at)
        ++dropped;
    EXPECT_EQ(dropped, 35u) << log;
    EXPECT_EQ(log.find("transfer stopped!"), std::string::npos) << log;
}

// The content a socket of user uid receives for name, in a child that
// becomes that user and, being forked from threads, makes nothing but
// system calls: the datagrams it gets come back through a pipe.
std::string fetchAs(uid_t uid, const std::string& name) {
    const std::string request = requestDatagram(name);
    const sockaddr_in to = serviceAddress(htonl(INADDR_LOOPBACK));
    int out[2];
    if (pipe(out) != 0)
        return "no pipe";
    pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        if (!becomeUser(uid))
            _exit(1);
        int sock = socket(AF_INET, SOCK_DGRAM, 0);
        sendto(sock, request.data(), DATAGRAM_SIZE, 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
        char datagram[DATAGRAM_SIZE];
        for (pollfd pfd{sock, POLLIN, 0}; poll(&pfd, 1, 5000) == 1;) {
            ssize_t got = recv(sock, datagram, sizeof datagram, 0);
            if (got <= 0 || write(out[1], datagram, static_cast<std::size_t>(got)) != got ||
                std::memchr(datagram, Cipher(END_MARKER), static_cast<std::size_t>(got)))
                break;
        }
        _exit(0);
    }
    close(out[1]);
    std::string raw;
    char chunk[4096];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;)
        raw.append(chunk, static_cast<std::size_t>(n));
    close(out[0]);
    waitpid(child, nullptr, 0);
    return decipherStream({raw});
}

// A file every user could read goes to everyone; any other only to the
// server's own user and root. The one refused learns no more than of a
// missing name, and the log says why. The server runs as root, then as
// another user, each fetching as the server's user, as root and as a third.
TEST(ServerPrivacy, ServesWhatOthersCannotReadOnlyToItsUserAndRoot) {
    if (std::string why = whyNoOtherUser(); !why.empty())
        GTEST_SKIP() << why;
    for (uid_t owner : {uid_t{0}, OTHER_USER}) {
        TempDir dir("/tmp"); // which every user may pass through, whatever TMPDIR is
        fs::create_directory(dir / "locked");
        fs::create_directory(dir / "open");
        struct File {
            fs::path path;
            mode_t mode;
            bool publicly;
        } files[] = {{dir / "pub", 0644, true},           {dir / "secret", 0600, false},
                     {dir / "locked/inner", 0644, false}, {dir / "open/inner", 0644, true},
                     {dir / "locked", 0700, false},       {dir / "open", 0755, false}};
        for (const File& file : files) {
            if (!fs::is_directory(file.path))
                writeFile(file.path,
                          file.path.filename().string() + " of " + std::to_string(owner));
            ASSERT_EQ(chmod(file.path.c_str(), file.mode), 0);
            ASSERT_EQ(chown(file.path.c_str(), owner, owner), 0);
        }
        ASSERT_EQ(chown(dir.path().c_str(), owner, owner), 0); // 0700: not judged
        // A copy, which its user can run wherever the build lies.
        fs::copy_file(TEST_SERVER_BIN, dir / "server");
        Process server({(dir / "server").string()}, dir.path(), Stdio::Piped,
                       [owner] { return becomeUser(owner); });
        ASSERT_TRUE(server.waitFor("Waiting for file name...")) << server.output();
        uid_t third = owner == 0 ? OTHER_USER : OTHER_USER - 1;
        for (const File& file : files) {
            if (fs::is_directory(file.path))
                continue;
            std::string name = fs::relative(file.path, dir.path()).string();
            std::string content = readFile(file.path);
            for (uid_t asker : {owner, uid_t{0}})
                EXPECT_EQ(fetchAs(asker, name), content) << name << " as " << asker;
            EXPECT_EQ(fetchAs(third, name), file.publicly ? content : NOT_FOUND_TEXT)
                << name << " as " << third << " from a server of " << owner;
            if (!file.publicly) {
                EXPECT_TRUE(server.waitFor("\nFile Name Received: " + name +
                                           "\n\nFile open failed! (not publicly readable, and "
                                           "requested by another user (uid " +
                                           std::to_string(third) + "))\n"))
                    << server.output();
            }
        }
        // Taken from others after they fetched it, it is theirs no more.
        ASSERT_EQ(chmod((dir / "pub").c_str(), 0600), 0);
        EXPECT_EQ(fetchAs(third, "pub"), NOT_FOUND_TEXT);
        // Nor does a server go on reading what it could no longer open.
        ASSERT_EQ(chown((dir / "pub").c_str(), 0, 0), 0);
        EXPECT_EQ(fetchAs(owner, "pub"), owner == 0 ? readFile(dir / "pub") : NOT_FOUND_TEXT);
    }
}

} // namespace
