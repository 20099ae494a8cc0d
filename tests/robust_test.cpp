// Hostile traffic, load and faults against the real programs.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include <sys/stat.h>

#include "support.hpp"

namespace {

using namespace test;

#ifdef __SANITIZE_ADDRESS__
// Its quarantine holds freed memory, so resident size says nothing there;
// LeakSanitizer checks the server as it quits instead.
constexpr bool UNDER_ADDRESS_SANITIZER = true;
#else
constexpr bool UNDER_ADDRESS_SANITIZER = false;
#endif

// The server's resident memory, from the kernel's view of the process.
long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

std::uintmax_t fileSize(const fs::path& path) {
    std::error_code ignored;
    std::uintmax_t size = fs::file_size(path, ignored);
    return ignored ? 0 : size;
}

// A client whose standard output goes to a file, so that no pipe holds it back.
std::unique_ptr<Process> fetchInto(const fs::path& dir, const std::string& name,
                                   const fs::path& out) {
    auto client = std::make_unique<Process>(
        std::vector<std::string>{
            "/bin/sh", "-c", std::string("exec ") + TEST_CLIENT_BIN + " > '" + out.string() + "'"},
        dir);
    client->write(name + "\n");
    client->closeInput();
    return client;
}

std::string content(const std::string& output) {
    const std::string open = "---------Data Received---------\n", close = "\n---------------";
    std::size_t from = output.find(open);
    std::size_t to = output.rfind(close);
    if (from == std::string::npos || to == std::string::npos || to < from + open.size())
        return "<no content>";
    return output.substr(from + open.size(), to - from - open.size());
}

class Robust : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(served);
        writeFile(top / "canary", CANARY);
        fs::create_directory(served / "sub");
        writeFile(served / "sub" / "ok", "inside");
        fs::create_symlink(top / "canary", served / "link-out");
        fs::create_symlink("../canary", served / "rel-out");
        fs::create_directory_symlink(top.path(), served / "dir-out");
        mkfifo((served / "fifo").c_str(), 0600);
        server = startServer(served);
    }
    void TearDown() override {
        if (server->running()) {
            Peer().request("quit");
            EXPECT_EQ(server->wait(10s), 0);
        }
    }
    const std::string CANARY = "canary: this must never be served";
    TempDir top;
    fs::path served = top / "served";
    std::unique_ptr<Process> server;
};

TEST_F(Robust, SurvivesHostileDatagramsAndLeaksNothing) {
    std::string canaryPath = (top / "canary").string();
    const std::vector<std::string> escapes = {
        canaryPath,
        "../canary",
        "../../../../../../etc/passwd",
        "sub/../../canary",
        "./../canary",
        "sub/./../../canary",
        "..",
        "../",
        "//etc/passwd",
        "/",
        ".",
        "%2e%2e/canary",
        "..%2fcanary",
        "..\\canary",
        "link-out",
        "link-out/",
        "rel-out",
        "dir-out/canary",
        "sub//..//..//canary",
        "....//canary",
        "sub/../../served/../canary",
        "fifo",
        "sub",
        "\x1b[2J../canary",
        std::string("../canary\0x", 11),
        std::string(31, '.'),
        std::string(32, '/'),
        std::string(32, 'a'),
        "/proc/self/root" + canaryPath,
        "/proc/self/cwd/../canary",
        "/dev/zero",
    };
    std::vector<Peer> peers(4);
    std::mt19937 random(42);
    std::size_t sent = 0, replies = 0;
    long rssAfterWarmUp = 0;
    const int rounds = 12;
    for (int round = 0; round < rounds; ++round) {
        for (Peer& peer : peers)
            for (int i = 0; i < 500; ++i, ++sent) {
                if (i % 10 == 0) {
                    const std::string& name = escapes[random() % escapes.size()];
                    peer.sendTo(SERVICE_PORT,
                                (name + std::string(DATAGRAM_SIZE, '\0')).substr(0, 32));
                    continue;
                }
                std::string junk(random() % 101, '\0');
                for (char& ch : junk)
                    ch = static_cast<char>(random());
                if (junk.rfind("quit", 0) == 0)
                    junk[0] = 'x';
                peer.sendTo(SERVICE_PORT, junk);
            }
        for (Peer& peer : peers)
            // The last round waits longer, so that a slow run leaves no reply behind.
            while (auto reply = peer.receive(round + 1 < rounds ? 100ms : 1000ms)) {
                ++replies;
                ASSERT_EQ(decipherStream({*reply}).find("canary"), std::string::npos);
            }
        if (round == 1)
            rssAfterWarmUp = residentKiB(server->pid());
    }
    EXPECT_GE(replies, sent) << "every request is answered";
    if (!UNDER_ADDRESS_SANITIZER) {
        EXPECT_LE(residentKiB(server->pid()), rssAfterWarmUp + 256);
    }
    Peer normal;
    normal.request("sub/ok");
    EXPECT_EQ(decipherStream(normal.receiveStream()), "inside");
    RecordProperty("hostile_datagrams", static_cast<int>(sent));
}

TEST_F(Robust, ServesTwoHundredClientsAtOnce) {
    const int clients = 200;
    for (int i = 0; i < clients; ++i)
        writeFile(served / (std::to_string(i) + ".in"), patternBytes(256 * 1024, i));
    TempDir outputs;
    std::vector<std::unique_ptr<Process>> running;
    for (int i = 0; i < clients; ++i)
        running.push_back(fetchInto(outputs.path(), std::to_string(i) + ".in",
                                    outputs / (std::to_string(i) + ".out")));
    for (int i = 0; i < clients; ++i) {
        EXPECT_EQ(running[i]->wait(60s), 0) << i;
        EXPECT_TRUE(content(readFile(outputs / (std::to_string(i) + ".out"))) ==
                    patternBytes(256 * 1024, i))
            << i;
    }
    EXPECT_EQ(server->output().find("dropped"), std::string::npos);
}

// A stopped client stops receiving, which holds a long stream mid-way for
// as long as the test needs (well within the server's stall limit).
class MidTransfer : public Robust {
  protected:
    void SetUp() override {
        Robust::SetUp();
        writeFile(served / "big", big);
        client = fetchInto(top.path(), "big", top / "out");
        // Stopped only once content flows, so that the client is past its
        // long wait for the first datagram.
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (fileSize(top / "out") < (1 << 20) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        client->kill(SIGSTOP);
    }
    std::string big = patternBytes(64 << 20, 9);
    std::unique_ptr<Process> client;
};

TEST_F(MidTransfer, ClientTimesOutWhenTheServerDies) {
    server->kill(SIGKILL);
    auto killed = std::chrono::steady_clock::now();
    client->kill(SIGCONT);
    EXPECT_EQ(client->wait(20s), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 7s);
    std::string out = readFile(top / "out");
    EXPECT_TRUE(out.ends_with("\nNo reply from server: timed out!\n"));
    std::size_t start = out.find("---\n") + 4;
    std::string got = out.substr(start, out.rfind("\nNo reply") - start);
    EXPECT_TRUE(big.starts_with(got)) << "what arrived before the server died is intact";
}

TEST_F(MidTransfer, ServerMovesOnWhenTheClientDies) {
    client->kill(SIGKILL);
    client->wait();
    EXPECT_TRUE(server->waitFor("\nReceiver gone: transfer stopped!\n", 2s));
    Peer next;
    next.request("sub/ok");
    EXPECT_EQ(decipherStream(next.receiveStream()), "inside");
}

TEST_F(MidTransfer, ServerSurvivesTheFileShrinkingOrVanishing) {
    fs::resize_file(served / "big", 1 << 20);
    client->kill(SIGCONT);
    EXPECT_EQ(client->wait(30s), 0);
    std::string got = content(readFile(top / "out"));
    EXPECT_LT(got.size(), big.size());
    EXPECT_TRUE(big.starts_with(got));

    writeFile(served / "doomed", big);
    auto second = fetchInto(top.path(), "doomed", top / "second");
    ASSERT_TRUE(server->waitFor("File Name Received: doomed\n\nFile Successfully opened!\n"));
    second->kill(SIGSTOP);
    fs::remove(served / "doomed");
    second->kill(SIGCONT);
    EXPECT_EQ(second->wait(30s), 0);
    EXPECT_TRUE(content(readFile(top / "second")) == big) << "an open file outlives its name";
}

} // namespace
