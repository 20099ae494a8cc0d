// The real server process, driven over loopback by test sockets.
#include <gtest/gtest.h>

#include <netinet/udp.h>
#include <sys/stat.h>

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
}

TEST_F(Server, WarnsWhenTheMarkerByteCutsTheFile) {
    writeFile(dir / "binary", std::string("ab\0c", 4) + "\xff" + "rest");
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

} // namespace
