// Hostile traffic, load and faults against the real programs.
#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <random>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "flow.hpp"
#include "receive.hpp"
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

// A process's resident memory, now (VmRSS) or at its peak (VmHWM), from the
// kernel's view of the process.
long residentKiB(pid_t pid, const std::string& field = "VmRSS") {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

std::uintmax_t fileSize(const fs::path& path) {
    std::error_code ignored;
    std::uintmax_t size = fs::file_size(path, ignored);
    return ignored ? 0 : size;
}

// Waits until a client has written at least size bytes to path.
bool waitForOutput(const fs::path& path, std::uintmax_t size) {
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (fileSize(path) < size && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    return fileSize(path) >= size;
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
        if (server && server->running()) {
            Peer owner; // open until the server has seen whose socket asks
            owner.request("quit");
            EXPECT_EQ(server->wait(10s), 0);
        }
    }
    const std::string CANARY = "canary: this must never be served";
    // Under /tmp, so that absolute names into it fit in a request.
    TempDir top{"/tmp"};
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
        "/proc/self/root/etc/passwd",
        "/proc/self/cwd/../canary",
        "/dev/zero",
        "quit/",
    };
    for (const std::string& name : escapes)
        ASSERT_LE(name.size(), DATAGRAM_SIZE) << "cut short, it would be refused for its length";
    // Each peer waits for the answers to one round before it sends the next,
    // so that even a default-sized queue at the server holds every request.
    const int rounds = 240, perRound = 25;
    std::vector<Peer> peers(4);
    std::mt19937 random(42);
    std::size_t sent = 0, answered = 0;
    long rssAfterWarmUp = 0;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::deque<std::string>> expected(peers.size());
        for (std::size_t p = 0; p < peers.size(); ++p)
            for (int i = 0; i < perRound; ++i, ++sent) {
                std::string request;
                if (i % 10 == 0) {
                    request = escapes[random() % escapes.size()];
                    request.resize(DATAGRAM_SIZE, '\0');
                } else {
                    request.resize(random() % 101);
                    for (char& ch : request)
                        ch = static_cast<char>(random());
                    if (request.rfind("quit", 0) == 0)
                        request[0] = 'x';
                }
                peers[p].sendTo(SERVICE_PORT, request);
                expected[p].push_back(notFound(request));
            }
        // Each peer's requests are answered in the order it sent them.
        for (std::size_t p = 0; p < peers.size(); ++p)
            for (; !expected[p].empty(); expected[p].pop_front(), ++answered) {
                auto reply = peers[p].receive(20s);
                ASSERT_TRUE(reply) << answered << " of " << sent << " requests answered";
                ASSERT_EQ(*reply, expected[p].front()) << "request " << answered;
            }
        if (round == rounds / 10)
            rssAfterWarmUp = residentKiB(server->pid());
    }
    EXPECT_EQ(answered, sent);
    for (Peer& peer : peers)
        EXPECT_FALSE(peer.receive(100ms)) << "one reply per request";
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
    // Once a later request is logged, so is the end of every stream before it.
    // 200 requests in a second are more than the log takes from one address,
    // so a request is logged again only once that second is summarised.
    bool logged = false;
    for (int tries = 0; tries < 10 && !logged; ++tries) {
        Peer().request("sub/ok");
        logged = server->waitFor("File Name Received: sub/ok\n", 2s);
    }
    ASSERT_TRUE(logged);
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
        ASSERT_TRUE(waitForOutput(top / "out", 1 << 20)) << "the first MiB did not arrive";
        client->kill(SIGSTOP);
    }
    std::string big = patternBytes(64 << 20, 9);
    std::unique_ptr<Process> client;
};

TEST_F(MidTransfer, ClientTimesOutWhenTheServerDies) {
    server->kill(SIGKILL);
    auto killed = std::chrono::steady_clock::now();
    client->kill(SIGCONT);
    EXPECT_EQ(client->wait(40s), 1);
    // The wait between datagrams, after what was queued, not the far longer
    // one for the first datagram.
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 25s);
    std::string out = readFile(top / "out");
    EXPECT_TRUE(out.ends_with("\nNo reply from server: timed out!\n"));
    std::size_t start = out.find("---\n") + 4;
    std::string got = out.substr(start, out.rfind("\nNo reply") - start);
    EXPECT_TRUE(big.starts_with(got)) << "what arrived before the server died is intact";
}

TEST_F(MidTransfer, ServerMovesOnWhenTheClientDies) {
    client->kill(SIGKILL);
    client->wait();
    EXPECT_TRUE(server->waitFor("\nReceiver gone: transfer stopped!\n"));
    Peer next;
    next.request("sub/ok");
    EXPECT_EQ(decipherStream(next.receiveStream()), "inside");
}

// A file that shrinks is cut: the size it had when opened was promised.
TEST_F(MidTransfer, ServerSurvivesTheFileShrinkingOrVanishing) {
    fs::resize_file(served / "big", 1 << 20);
    client->kill(SIGCONT);
    EXPECT_EQ(client->wait(30s), 1);
    std::string out = readFile(top / "out");
    std::string got = out.substr(out.find("---\n") + 4);
    EXPECT_LT(got.size(), big.size());
    EXPECT_TRUE(big.starts_with(got)) << "no closing banner, nothing else";
    EXPECT_TRUE(server->waitFor("\nFile shrank while it was sent: big had 67108864 bytes when "
                                "opened, 1048576 when read!"));

    writeFile(served / "doomed", big);
    auto second = fetchInto(top.path(), "doomed", top / "second");
    const std::string opened = "File Name Received: doomed\n\nFile Successfully opened!\n";
    ASSERT_TRUE(server->waitFor(opened));
    ASSERT_TRUE(waitForOutput(top / "second", 1 << 20)) << "the first MiB did not arrive";
    second->kill(SIGSTOP);
    ASSERT_TRUE(fs::remove(served / "doomed"));
    ASSERT_FALSE(fs::exists(served / "doomed"));
    std::string log = server->output();
    ASSERT_EQ(log.find("Waiting", log.find(opened)), std::string::npos) << "the stream had ended";
    second->kill(SIGCONT);
    EXPECT_EQ(second->wait(30s), 0);
    EXPECT_TRUE(content(readFile(top / "second")) == big) << "an open file outlives its name";
}

// Replies in flight at once: a receiver that reads nothing for a while
// holds nobody else, and its own requests are answered in order, whole.
TEST_F(Robust, OverlapsStreamsAndKeepsEachReceiversOrder) {
    std::string big = patternBytes(2 << 20, 11), second = patternBytes(70000, 12);
    writeFile(served / "big", big);
    writeFile(served / "second", second);
    writeFile(served / "cut", "abc\xff");
    Peer paused, quick;
    paused.request("big");
    paused.request("second");
    quick.request("cut");
    EXPECT_EQ(decipherStream(quick.receiveStream()), "abc") << "not held by the paused receiver";
    // Right after its own request, the line needs no name.
    EXPECT_TRUE(server->waitFor("\nFile Name Received: cut\n\nFile Successfully opened!\n"
                                "\nFile truncated at offset 3: it contains the end marker byte "
                                "0xFF!\n"));
    std::this_thread::sleep_for(6s); // longer than a stalled receiver was ever given
    EXPECT_EQ(paused.receiveStream(), expectedStream(big, requestDatagram("big")));
    EXPECT_EQ(paused.receiveStream(), expectedStream(second, requestDatagram("second")));
}

// After "quit" every request is refused, the rest of quit's own batch
// included, but the streams in flight run to their end.
TEST_F(Robust, FinishesTheStreamsInFlightAfterQuit) {
    std::string big = patternBytes(2 << 20, 13);
    writeFile(served / "big", big);
    Peer paused, owner, late;
    paused.request("big");
    ASSERT_TRUE(server->waitFor("File Successfully opened!"));
    server->kill(SIGSTOP); // quit and the next request in one batch
    owner.request("quit");
    late.request("sub/ok");
    server->kill(SIGCONT);
    ASSERT_TRUE(server->waitFor("Exiting..........\n\nFile Name Received: sub/ok\n"
                                "\nNo reply sent: the server is stopping!\n"));
    late.request("sub/ok");
    ASSERT_TRUE(server->waitFor("\nNo reply sent: the server is stopping!\n"
                                "\nFile Name Received: sub/ok\n"
                                "\nNo reply sent: the server is stopping!\n"));
    EXPECT_FALSE(late.receive(200ms)) << "no request is taken after quit";
    EXPECT_TRUE(server->running());
    EXPECT_EQ(paused.receiveStream(), expectedStream(big, requestDatagram("big")));
    EXPECT_EQ(server->wait(20s), 0);
}

// SIGTERM and SIGINT begin the goodbye "quit" begins, and SIGHUP nothing:
// later requests are refused, the stream in flight runs to its end.
TEST_F(Robust, FinishesTheStreamsInFlightAfterAStopSignal) {
    std::string big = patternBytes(2 << 20, 13);
    writeFile(served / "big", big);
    for (int signal : {SIGTERM, SIGINT}) {
        Peer paused, late;
        paused.request("big");
        ASSERT_TRUE(server->waitFor("File Successfully opened!"));
        server->kill(SIGHUP);
        server->kill(signal);
        ASSERT_TRUE(server->waitFor("\nStop signal received: the server is stopping!\n"));
        late.request("sub/ok");
        ASSERT_TRUE(server->waitFor("\nFile Name Received: sub/ok\n"
                                    "\nNo reply sent: the server is stopping!\n"));
        EXPECT_EQ(paused.receiveStream(), expectedStream(big, requestDatagram("big")));
        EXPECT_EQ(server->wait(20s), 0) << strsignal(signal);
        server = startServer(served);
    }
}

// In the journal each line carries its priority, a blank one info, and a
// failed open its reason; "quit" is refused under --no-quit, even from root.
TEST_F(Robust, MarksEachLineWithItsPriorityForTheJournal) {
    Peer owner;
    owner.request("quit"); // the fixture's server makes way
    ASSERT_EQ(server->wait(10s), 0);
    auto journal = startServer(served, {"/bin/sh", "-c",
                                        "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) exec " +
                                            std::string(TEST_SERVER_BIN) + " --no-quit"});
    Peer peer;
    for (const char* name : {"sub", "missing", "link-out"}) {
        peer.request(name);
        ASSERT_TRUE(peer.receive(5s)) << name; // each request in a batch of its own
    }
    peer.request("quit");
    EXPECT_EQ(decipherStream(peer.receiveStream(5s)), "Quit refused: managed service!");
    ASSERT_TRUE(journal->waitFor("manager!\n<6>\n<6>Waiting for file name...\n"));
    journal->kill(SIGTERM);
    EXPECT_EQ(journal->wait(10s), 0);
    const std::string waiting = "<6>\n<6>Waiting for file name...\n";
    auto received = [&](const std::string& name) {
        return "<6>\n<6>File Name Received: " + name + "\n<6>\n";
    };
    EXPECT_EQ(journal->output(),
              "<6>\n<6>file descriptor 3 received\n<6>\n<6>Successfully binded!\n" + waiting +
                  received("sub") + "<3>File open failed! (Is a directory)\n" + waiting +
                  received("missing") + "<3>File open failed! (No such file or directory)\n" +
                  waiting + received("link-out") +
                  "<3>File open failed! (it leads out of the served directory)\n" + waiting +
                  received("quit") +
                  "<4>Quit refused: this server is stopped by its service manager!\n" + waiting +
                  "<6>\n<6>Stop signal received: the server is stopping!\n");
}

// With every slot taken, a new stream stops the one whose receiver has taken
// nothing for longest; a descriptor limit of 36 leaves four slots.
TEST_F(Robust, StopsTheIdlestStreamWhenSlotsRunOut) {
    writeFile(served / "big", patternBytes(2 << 20, 14));
    Peer owner;
    owner.request("quit"); // the fixture's server makes way
    ASSERT_EQ(server->wait(10s), 0);
    auto limited = startServer(served, {"/bin/sh", "-c", "ulimit -n 36 && exec " TEST_SERVER_BIN});
    std::vector<Peer> idle(4);
    for (Peer& peer : idle) {
        peer.request("big");
        ASSERT_TRUE(peer.receive(10s)) << "its stream began";
        if (&peer == &idle[0])
            std::this_thread::sleep_for(300ms); // the others take their datagram later
    }
    Peer normal, small;
    normal.request("big");
    auto first = normal.receive(); // its stream is in flight: every slot is taken again
    ASSERT_TRUE(first);
    small.request("sub/ok"); // a reply of one datagram needs no slot: nobody is stopped for it
    EXPECT_EQ(decipherStream(small.receiveStream()), "inside");
    std::vector<std::string> rest = normal.receiveStream();
    rest.insert(rest.begin(), *first);
    EXPECT_EQ(decipherStream(rest), readFile(served / "big"));
    EXPECT_TRUE(limited->waitFor("\nToo many streams: transfer stopped! (big to 127.0.0.1:" +
                                 std::to_string(idle[0].port()) + ")\n"));
    for (std::size_t i = 1; i < idle.size(); ++i)
        EXPECT_EQ(limited->output().find(std::to_string(idle[i].port())), std::string::npos);
}

// Content the client cannot write yet is held up to a bound, and then it
// takes no more datagrams: a stream far past the bound, into an output
// nobody reads, leaves its memory bounded. The test plays the server, as
// fast as the client's queue takes it.
TEST(ClientMemory, StaysBoundedWhileItsOutputIsStalled) {
    if (UNDER_ADDRESS_SANITIZER)
        GTEST_SKIP() << "resident size says nothing under the address sanitizer";
    const std::size_t streamBytes = std::size_t{400} << 20;
    const long peakLimitKiB = 100 << 10;
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "out").c_str(), 0600), 0);
    Fd unread{open((dir / "out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    Peer server{SERVICE_PORT};
    auto client = fetchInto(dir.path(), "big", dir / "out");
    sockaddr_in to{};
    ASSERT_TRUE(server.receive(20s, &to)) << "no request";
    // 64 datagrams a message where the kernel segments them, as the server does.
    int segment = DATAGRAM_SIZE;
    bool segmented = setsockopt(server.fd(), SOL_UDP, UDP_SEGMENT, &segment, sizeof segment) == 0;
    std::string content((segmented ? 64 : 1) * DATAGRAM_SIZE, Cipher('x'));
    iovec iov{content.data(), content.size()};
    std::vector<mmsghdr> msgs(64);
    for (mmsghdr& msg : msgs)
        msg.msg_hdr = {&to, sizeof to, &iov, 1, nullptr, 0, 0};
    ReceiverQueues queues;
    std::size_t sent = 0;
    long peak = 0;
    // A client that takes nothing for a while, once past the bound, has stopped.
    for (auto progress = std::chrono::steady_clock::now();
         sent < streamBytes && peak < peakLimitKiB &&
         std::chrono::steady_clock::now() - progress < (sent > UNWRITTEN_BYTES ? 2s : 30s);) {
        QueueState queue;
        ASSERT_EQ(queues.query(server.address(), to, queue), Lookup::Found);
        peak = residentKiB(client->pid(), "VmHWM");
        if (queue.charged > queue.limit / 2) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        int n = sendmmsg(server.fd(), msgs.data(), static_cast<unsigned>(msgs.size()), 0);
        ASSERT_GT(n, 0) << std::strerror(errno);
        sent += static_cast<std::size_t>(n) * content.size();
        progress = std::chrono::steady_clock::now();
    }
    EXPECT_GT(sent, UNWRITTEN_BYTES) << "the stream went past the bound";
    EXPECT_LT(peak, peakLimitKiB) << "KiB at the peak, after " << (sent >> 20) << " MiB";
    RecordProperty("peak_kib", static_cast<int>(peak));
}

// What a program prints to standard output and standard error, and its
// status, for argv after its name, started by the shell command given,
// where ERRORS stands for the file that collects standard error.
struct Answer {
    int status;
    std::string output, errors;
    bool operator==(const Answer&) const = default;
};

void PrintTo(const Answer& a, std::ostream* os) {
    *os << a.status << " '" << a.output << "' '" << a.errors << "'";
}

Answer answer(const std::string& program, std::vector<std::string> argv, std::string shell) {
    TempDir dir;
    shell.replace(shell.find("ERRORS"), 6, (dir / "errors").string());
    argv.insert(argv.begin(), {"/bin/sh", "-c", shell, program});
    Process run(argv, dir.path()); // input left open: a prompt would wait
    std::optional<int> status = run.wait(20s);
    return {status.value_or(-1), run.output(), readFile(dir / "errors")};
}

// Each program names the argument it refuses, and answers --help and
// --version with status 1 when the answer cannot be written.
TEST(CommandLine, AnswersExactlyBeforeServing) {
    const std::string serverHelp =
        "Usage: server [--no-quit] [--port N] [DIR]\nServes the files below DIR, by default its "
        "working directory, on UDP port 15050\nuntil sent \"quit\". Example: server --port 15051 "
        "/srv/files\n  --no-quit  refuse \"quit\" from anyone: a service manager stops this "
        "server\n  --port N   serve on UDP port N instead of 15050\nIt also takes -h (--help) "
        "and --version.\nManual: man server\n";
    const std::string clientHelp =
        "Usage: client [--port N]\n  or:  client [--port N] [-o FILE] [NAME]\n  or:  client "
        "[--port N] [-o - | -O [--output-dir DIR]] NAME...\nFetches the file NAME from the "
        "server at 127.0.0.1, UDP port 15050, and prints it;\nwithout NAME, asks for the name on "
        "standard input. Given several names, fetches\nthem all, up to 8 at once, each printed "
        "or saved in the order named.\nExample: client -O --output-dir copies notes.txt "
        "docs/report.txt\n  -o FILE           write the content to FILE instead, replacing it "
        "only with a whole copy\n  -o -              write the content alone to standard "
        "output, the messages to standard error\n  -O, --remote-name save each under its name's "
        "last component, as -o FILE would\n  --output-dir DIR  with -O, save in DIR instead of "
        "the working directory\n  --port N          ask the server on UDP port N instead of "
        "15050\nIt also takes -h (--help), --version, and -- before a NAME that begins with "
        "'-'.\nManual: man client\n";
    static const std::string RUN = "exec \"$0\" \"$@\" 2>ERRORS";
    auto version = [](const std::string& name) {
        return name + " (" PACKAGE_NAME ") " PACKAGE_VERSION "\n";
    };
    auto refused = [](const std::string& arg) {
        return "server: unexpected argument '" + arg + "' (try server --help)\n";
    };
    auto unserved = [](const std::string& dir, const char* why) {
        return "server: cannot serve " + dir + ": " + why + "\n";
    };
    auto badPort = [](const std::string& program, const std::string& port) {
        return program + ": invalid port '" + port + "': give a number from 1 to 65535\n";
    };
    auto usage = [](const std::string& why) { return "client: " + why + " (try client --help)\n"; };
    auto getopt = [](const std::string& program, const std::string& message) {
        return program + ": " + message + "\nTry '" + program + " --help' for more information.\n";
    };
    struct Case {
        std::string program;
        std::vector<std::string> argv;
        Answer expected;
        std::string shell = RUN;
    } cases[] = {
        {TEST_SERVER_BIN, {"--help"}, {0, serverHelp, ""}},
        {TEST_SERVER_BIN, {"--version"}, {0, version("server"), ""}},
        {TEST_SERVER_BIN, {"--help"}, {1, "", ""}, RUN + " >&-"},
        {TEST_SERVER_BIN, {"--version"}, {1, "", ""}, RUN + " >/dev/full"},
        {TEST_SERVER_BIN, {"-h"}, {0, serverHelp, ""}},
        {TEST_SERVER_BIN, {"--he"}, {0, serverHelp, ""}},
        {TEST_SERVER_BIN, {"-x"}, {2, "", getopt("server", "invalid option -- 'x'")}},
        {TEST_SERVER_BIN, {""}, {1, "", unserved("", "No such file or directory")}},
        {TEST_SERVER_BIN, {"--", "--"}, {1, "", unserved("--", "No such file or directory")}},
        {TEST_SERVER_BIN,
         {"--", "--help"},
         {1, "", unserved("--help", "No such file or directory")}},
        {TEST_SERVER_BIN, {"--no-quit", "-h"}, {2, "", refused("--no-quit")}},
        {TEST_SERVER_BIN, {"--no-quit", "x"}, {1, "", unserved("x", "No such file or directory")}},
        {TEST_SERVER_BIN, {"/etc/passwd"}, {1, "", unserved("/etc/passwd", "Not a directory")}},
        {TEST_SERVER_BIN, {"--port", "0", "/"}, {2, "", badPort("server", "0")}},
        {TEST_SERVER_BIN, {"--port=65536"}, {2, "", badPort("server", "65536")}},
        {TEST_SERVER_BIN, {"--port", "+80"}, {2, "", badPort("server", "+80")}},
        {TEST_SERVER_BIN, {"--port", "15051x"}, {2, "", badPort("server", "15051x")}},
        {TEST_SERVER_BIN,
         {"--port"},
         {2, "", getopt("server", "option '--port' requires an argument")}},
        {TEST_SERVER_BIN, {"--HELP"}, {2, "", getopt("server", "unrecognized option '--HELP'")}},
        {TEST_SERVER_BIN,
         {"--help=x"},
         {2, "", getopt("server", "option '--help' doesn't allow an argument")}},
        {TEST_SERVER_BIN, {"--help", "x"}, {2, "", refused("x")}},
        {TEST_SERVER_BIN, {"--version", "x"}, {2, "", refused("x")}},
        {TEST_SERVER_BIN, {"--help", "--help"}, {2, "", refused("--help")}},
        {TEST_SERVER_BIN, {"--version", "--help", "y"}, {2, "", refused("--help")}},
        {TEST_SERVER_BIN, {"x", "--help"}, {2, "", refused("x")}},
        {TEST_SERVER_BIN, {"x", "y"}, {2, "", refused("y")}},
        {TEST_CLIENT_BIN, {"--help"}, {0, clientHelp, ""}},
        {TEST_CLIENT_BIN, {"--version"}, {0, version("client"), ""}},
        {TEST_CLIENT_BIN, {"-h"}, {0, clientHelp, ""}},
        {TEST_CLIENT_BIN, {"-x"}, {2, "", getopt("client", "invalid option -- 'x'")}},
        {TEST_CLIENT_BIN,
         {"-o", "a", "-o", "b"},
         {2, "", "client: unexpected argument '-o' (try client --help)\n"}},
        {TEST_CLIENT_BIN, {"--port", "x", "f"}, {2, "", badPort("client", "x")}},
        {TEST_CLIENT_BIN, {"-O"}, {2, "", usage("-O needs at least one NAME")}},
        {TEST_CLIENT_BIN, {"-o", "a", "-O", "f"}, {2, "", usage("-o and -O cannot go together")}},
        {TEST_CLIENT_BIN, {"--output-dir", "d", "f"}, {2, "", usage("--output-dir goes with -O")}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(answer(c.program, c.argv, c.shell), c.expected)
            << fs::path(c.program).filename().string() << " " << ::testing::PrintToString(c.argv)
            << c.shell;
}

} // namespace

namespace {

// Sends "quit" from a socket of user uid, in a child that becomes that user
// and, being forked from threads, makes nothing but system calls.
void quitAs(uid_t uid) {
    const std::string request = requestDatagram("quit");
    const sockaddr_in to = serviceAddress(htonl(INADDR_LOOPBACK));
    pid_t child = fork();
    if (child == 0) {
        if (!becomeUser(uid))
            _exit(1);
        int sock = socket(AF_INET, SOCK_DGRAM, 0); // owned by whoever makes it
        if (sendto(sock, request.data(), DATAGRAM_SIZE, 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to) != ssize_t{DATAGRAM_SIZE})
            _exit(1);
        timespec linger{0, 500000000}; // the server sees whose socket asks
        nanosleep(&linger, nullptr);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
}

} // namespace

// Only the server's own user or root may stop it.
TEST_F(Robust, ObeysQuitOnlyFromItsOwnUserOrRoot) {
    if (std::string why = whyNoOtherUser(); !why.empty())
        GTEST_SKIP() << why;
    quitAs(OTHER_USER);
    EXPECT_TRUE(server->waitFor("\nFile Name Received: quit\n\nQuit refused: the sending socket "
                                "belongs to user 65534, not to the server's user or root!\n" +
                                std::string("\nWaiting for file name...\n")));
    EXPECT_TRUE(server->running());
    // Our client hears the refusal and says so. It runs from a copy that
    // user can reach wherever the build lies.
    TempDir bin("/tmp");
    fs::permissions(bin.path(), fs::perms::others_exec, fs::perm_options::add);
    fs::copy_file(TEST_CLIENT_BIN, bin / "client");
    Process refused({(bin / "client").string(), "quit"}, top.path(), Stdio::Piped,
                    [] { return becomeUser(OTHER_USER); });
    EXPECT_EQ(refused.wait(), 1);
    EXPECT_TRUE(refused.output().ends_with("Exiting.....................\n"
                                           "\nQuit refused: not your server!\n"))
        << refused.output();
    EXPECT_TRUE(server->running());
    quitAs(0);
    EXPECT_EQ(server->wait(10s), 0);
    EXPECT_TRUE(server->output().ends_with("\nFile Name Received: quit\nExiting..........\n"));
}

// A peer that sends "quit" and ends at once leaves no socket to judge, and
// is obeyed: nc and socat, a plain peer.
TEST_F(Robust, ObeysQuitFromPeersThatEndAtOnce) {
    struct Row {
        std::string peer;
        std::function<void()> quit;
        std::string missing; // why the row cannot run here
    } rows[] = {
        {"a plain peer", plainQuit, ""},
        // -q0, not -w0: on a busy machine nc -w0 at times ends before it
        // has sent what it read, and reports success.
        {"nc", [] { EXPECT_EQ(std::system("printf 'quit\\0' | nc -u -q0 127.0.0.1 15050"), 0); },
         std::system("command -v nc >/dev/null") ? "nc is not installed" : ""},
        {"socat",
         [] { EXPECT_EQ(std::system("printf 'quit\\0' | socat -u - UDP:127.0.0.1:15050"), 0); },
         std::system("command -v socat >/dev/null") ? "socat is not installed" : ""},
    };
    std::string skipped;
    for (const Row& row : rows) {
        if (!row.missing.empty()) {
            skipped += "; " + row.peer + ": " + row.missing;
            continue;
        }
        if (!server->running())
            server = startServer(served);
        row.quit();
        EXPECT_EQ(server->wait(10s), 0) << row.peer;
        EXPECT_TRUE(server->output().ends_with("\nFile Name Received: quit\nExiting..........\n"))
            << row.peer << ": " << server->output();
    }
    if (!skipped.empty())
        GTEST_SKIP() << "rows not run" << skipped;
}

// nc and socat fetch like any plain peer: the datagrams as they come, the
// content deciphered up to the marker.
TEST_F(Robust, ServesNcAndSocat) {
    std::string file = patternBytes(64 << 10, 21);
    writeFile(served / "f", file);
    std::string skipped;
    for (std::string tool : {"nc -u -w1 127.0.0.1 15050", "socat -t1 - UDP:127.0.0.1:15050"}) {
        std::string name = tool.substr(0, tool.find(' '));
        if (std::system(("command -v " + name + " >/dev/null").c_str()) != 0) {
            skipped += " " + name;
            continue;
        }
        Process fetch({"/bin/sh", "-c", "printf 'f\\0' | " + tool}, served);
        ASSERT_EQ(fetch.wait(20s), 0) << name;
        std::string raw = fetch.output();
        EXPECT_EQ(raw.size() % DATAGRAM_SIZE, 0u) << name;
        EXPECT_EQ(decipherStream({raw}), file) << name;
    }
    if (!skipped.empty())
        GTEST_SKIP() << "not installed:" << skipped;
}

// A plain peer that pauses for 20 s, or every so often as behind a pager,
// is served at its own pace again as soon as it reads: whole, and long
// before the crawl of a pace estimated while it paused.
TEST_F(Robust, ServesAPlainPeerThatPauses) {
    std::string big = patternBytes(4 << 20, 22), paged = patternBytes(1 << 20, 23);
    writeFile(served / "big", big);
    writeFile(served / "paged", paged);
    Pauses pages;
    for (std::size_t at = 4096; at < paged.size() / DATAGRAM_SIZE; at += 4096)
        pages.emplace_back(at, 500ms);
    auto pager = std::async(std::launch::async, [&] { return plainFetch("paged", pages); });
    auto resumed = std::chrono::steady_clock::now() + 20s;
    EXPECT_EQ(plainFetch("big", {{100, 20s}}), big);
    EXPECT_LT(std::chrono::steady_clock::now() - resumed, 30s) << "served at a crawl";
    EXPECT_EQ(pager.get(), paged);
}

// After "quit" a receiver that takes nothing keeps the server at most a
// bounded while; then its stream is stopped and the server ends.
TEST_F(Robust, StopsTheStreamsLeftWhenItsGoodbyeRunsOut) {
    writeFile(served / "big", patternBytes(8 << 20, 15));
    Peer idle, owner;
    idle.request("big");
    ASSERT_TRUE(server->waitFor("File Successfully opened!"));
    owner.request("quit");
    ASSERT_TRUE(server->waitFor("Exiting..........\n"));
    EXPECT_EQ(server->wait(40s), 0);
    EXPECT_TRUE(server->output().ends_with(
        "Exiting..........\n\nServer stopping: transfer stopped! (big to 127.0.0.1:" +
        std::to_string(idle.port()) + ")\n"));
}

// A log nobody reads never stops the serving: the lines that do not fit are
// counted, and said once the log can be written again. Each request comes
// from an address of its own, so that none is kept quiet as a flood.
TEST(ServerLog, KeepsServingWhileItsLogCannotBeWritten) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "log").c_str(), 0600), 0);
    Fd log{open((dir / "log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    ASSERT_TRUE(log.valid());
    Process server({"/bin/sh", "-c", "exec " TEST_SERVER_BIN " >log"}, dir.path());
    Peer first;
    std::optional<std::string> reply;
    for (int i = 0; i < 100 && !reply; ++i) {
        first.request("missing");
        reply = first.receive(100ms);
    }
    ASSERT_TRUE(reply) << "the server did not start";
    const int ADDRESSES = 200, EACH = 100;
    for (int host = 0; host < ADDRESSES; ++host) {
        std::string address = "127.0.1." + std::to_string(host + 1);
        Peer peer(0, address.c_str());
        for (int i = 0; i < EACH; ++i) {
            peer.request("missing");
            ASSERT_EQ(peer.receive(), notFound(requestDatagram("missing"))) << address;
        }
    }
    std::string status = readFile("/proc/" + std::to_string(server.pid()) + "/status");
    std::size_t peak = std::stoul(status.substr(status.find("VmHWM:") + 6));
    if (!UNDER_ADDRESS_SANITIZER) {
        EXPECT_LT(peak, 16u << 10) << "kB: the lines waiting are bounded";
    }
    std::string text;
    char chunk[65536];
    for (int i = 0; i < 200 && text.find("log lines lost") == std::string::npos; ++i) {
        first.request("after");
        first.receive();
        std::this_thread::sleep_for(10ms);
        for (ssize_t got; (got = read(log.get(), chunk, sizeof chunk)) > 0;)
            text.append(chunk, static_cast<std::size_t>(got));
    }
    std::size_t at = text.find(" log lines lost: the log could not be written!\n");
    ASSERT_NE(at, std::string::npos);
    std::size_t start = text.rfind('\n', at) + 1;
    EXPECT_GT(std::stoul(text.substr(start, at - start)), 10000u);
    EXPECT_NE(text.find("\nFile Name Received: after\n", at), std::string::npos);
}

// A sender past a hundred requests a second has the rest of that second's
// requests counted in one line; every request is still answered.
TEST_F(Robust, SummarisesASenderThatFloodsTheLog) {
    Peer flooder;
    const int REQUESTS = 300;
    for (int i = 0; i < REQUESTS; ++i) {
        flooder.request("missing");
        ASSERT_TRUE(flooder.receive());
    }
    ASSERT_TRUE(server->waitFor(" in the last second\n", 5s));
    std::string log = server->output();
    std::size_t logged = 0, counted = 0;
    for (std::size_t at = 0;
         (at = log.find("File Name Received: missing", at)) != std::string::npos; ++at)
        ++logged;
    const std::string SUMMARY = " more requests from 127.0.0.1 in the last second\n";
    for (std::size_t at = 0; (at = log.find(SUMMARY, at)) != std::string::npos; ++at) {
        std::size_t start = log.rfind('\n', at - 1) + 1;
        counted += std::stoul(log.substr(start, at - start));
    }
    EXPECT_EQ(logged + counted, std::size_t{REQUESTS});
    EXPECT_LE(logged, 200u);
}
