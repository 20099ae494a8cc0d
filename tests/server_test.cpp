// The real server process, driven over loopback by test sockets.
#include <gtest/gtest.h>

#include <csignal>

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>

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

TEST_F(Server, AnswersEachSizeDatagramByDatagram) {
    for (std::size_t size : {0, 31, 32, 33, 64, 1000, 100000}) {
        std::string name = "file" + std::to_string(size);
        std::string content = patternBytes(size, static_cast<unsigned>(size));
        writeFile(dir / name, content);
        // A padding that is not zero shows where the tail comes from.
        std::string request = requestDatagram(name, 'p');
        peer.sendTo(SERVICE_PORT, request);
        EXPECT_EQ(peer.receiveStream(), expectedStream(content, request)) << size;
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
    // Asked at another address of ours, the server answers from that one.
    sockaddr_in second = serviceAddress(inet_addr("127.0.0.2")), from{};
    std::string request = requestDatagram("one");
    sendto(peer.fd(), request.data(), DATAGRAM_SIZE, 0, reinterpret_cast<sockaddr*>(&second),
           sizeof second);
    EXPECT_EQ(peer.receive(10s, &from), expectedStream("first file", request)[0]);
    EXPECT_EQ(from.sin_addr.s_addr, second.sin_addr.s_addr);
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
// for a file, for a missing name, or in a third party's name.
TEST_F(Server, AnswersNoOtherHost) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: a veth pair to a network namespace standing for another host";
    writeFile(dir / "big", patternBytes(4 << 20, 3));
    const std::vector<std::string> names = {"big", "missing"};
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
    ASSERT_EQ(write(goOut.get(), "g", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(host, &status, 0), host);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "datagrams sent to the other host";
    for (const char* from : {"198.18.1.2", "198.18.1.9"})
        for (const std::string& name : names)
            EXPECT_TRUE(server->waitFor("\nFile Name Received: " + name + "\n\nFile " +
                                        (name == "big" ? "Successfully opened" : "open failed") +
                                        "!\n\nNo reply sent: the request came from " + from +
                                        ", which is another host!\n"));
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
}

// Run in its own /proc directory, the server finds a file whose reads fail.
TEST(ServerStart, EndsTheStreamWhenAReadFails) {
    auto server = startServer("/proc/self");
    Peer peer;
    std::string request = requestDatagram("mem"); // nothing is mapped at offset 0
    peer.sendTo(SERVICE_PORT, request);
    EXPECT_EQ(peer.receiveStream(), expectedStream("", request));
    EXPECT_TRUE(server->waitFor("\nFile Successfully opened!\n\nFile read failed!\n" + WAITING));
}

// The kernel refuses the reply to a requester whose address has gone; the
// others taken in the same batch of requests are answered all the same.
TEST(ServerStart, AnswersTheRestWhenTheKernelRefusesOneReply) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: adds an address in a private network namespace";
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
    ASSERT_EQ(std::system("ip link set lo up && ip addr add 198.18.0.5/32 dev lo"), 0);
    TempDir dir;
    auto server = startServer(dir.path());
    Fd doomed{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    sockaddr_in addr = serviceAddress(inet_addr("198.18.0.5")),
                to = serviceAddress(htonl(INADDR_LOOPBACK));
    addr.sin_port = 0;
    ASSERT_EQ(bind(doomed.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    server->kill(SIGSTOP); // both requests wait for one receive
    std::string stat;
    while (stat.find(") T ") == std::string::npos)
        stat = readFile("/proc/" + std::to_string(server->pid()) + "/stat");
    std::string request = requestDatagram("missing");
    sendto(doomed.get(), request.data(), DATAGRAM_SIZE, 0, reinterpret_cast<sockaddr*>(&to),
           sizeof to);
    Peer peer;
    peer.request("missing");
    ASSERT_EQ(std::system("ip addr del 198.18.0.5/32 dev lo"), 0);
    server->kill(SIGCONT);
    EXPECT_EQ(peer.receive(), notFound(request));
    EXPECT_TRUE(server->waitFor("\nReply send failed!\n"));
}

// A stream stopped while it waits its turn leaves the receiver's next one
// waiting for the one in flight.
TEST(ServerSlots, KeepsAReceiversOrderWhenAWaitingStreamIsStopped) {
    TempDir dir;
    const std::string big = patternBytes(1 << 20, 12);
    writeFile(dir / "big", big);
    writeFile(dir / "one", "one");
    writeFile(dir / "two", "two");
    auto server =
        startServer(dir.path(), {"/bin/sh", "-c", "ulimit -n 35 && exec " TEST_SERVER_BIN});
    Peer receiver, other;
    for (const char* name : {"big", "one", "two"})
        receiver.request(name);
    // More than a quarter of even a default queue read: the first stream is
    // seen to move after the second came, which makes that one the idlest.
    std::vector<std::string> got;
    for (int i = 0; i < 300; ++i)
        if (auto datagram = receiver.receive())
            got.push_back(*datagram);
    std::this_thread::sleep_for(300ms);
    other.request("big"); // three slots: one must make room
    EXPECT_TRUE(other.receiveStream() == expectedStream(big, requestDatagram("big")));
    for (const std::string& datagram : receiver.receiveStream())
        got.push_back(datagram);
    EXPECT_TRUE(got == expectedStream(big, requestDatagram("big"))) << got.size() << " datagrams";
    EXPECT_EQ(decipherStream(receiver.receiveStream()), "two");
    EXPECT_TRUE(server->waitFor("\nReceiver stalled: transfer stopped! (one to 127.0.0.1:" +
                                std::to_string(receiver.port()) + ")\n"));
}

// Two slots: two requests beyond them stop the two idlest streams. Each of
// those receivers, asking again without having read, is stopped at once.
TEST(ServerSlots, RemembersEveryReceiverItStopped) {
    TempDir dir;
    const std::string big = patternBytes(2 << 20, 11);
    writeFile(dir / "big", big);
    auto server =
        startServer(dir.path(), {"/bin/sh", "-c", "ulimit -n 34 && exec " TEST_SERVER_BIN});
    Peer a, b, c, d;
    for (const Peer* p : {&a, &b, &c, &d})
        p->request("big");
    for (const Peer* p : {&c, &d})
        EXPECT_EQ(decipherStream(p->receiveStream()), big);
    std::string again; // alone in flight, the line names no receiver
    for (const Peer* p : {&a, &b}) {
        p->request("big");
        again += "\nFile Name Received: big\n\nFile Successfully opened!\n"
                 "\nReceiver stalled: transfer stopped!\n" +
                 WAITING;
        EXPECT_TRUE(server->waitFor(again)) << server->output();
    }
}

} // namespace
