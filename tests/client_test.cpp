// The real client process, against a test socket that plays the server and
// against the real server.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <optional>
#include <regex>

#include <arpa/inet.h>
#include <fcntl.h>

#include "flow.hpp"
#include "receive.hpp"
#include "support.hpp"

namespace {

using namespace test;

const std::string HEAD = "\nfile descriptor 3 received\n"
                         "\nPlease enter file name to receive: (Enter quit to exit!!)\n";
const std::string DATA_BANNER = "\n---------Data Received---------\n";
const std::string CLOSING_BANNER = "\n-------------------------------\n";

std::unique_ptr<Process> startClient(const fs::path& dir, std::string_view input,
                                     Stdio stdio = Stdio::Piped) {
    auto client = std::make_unique<Process>(std::vector<std::string>{TEST_CLIENT_BIN}, dir, stdio);
    client->write(input);
    client->closeInput();
    return client;
}

// The test socket sits on the server's port and answers as told.
class AgainstPeer : public ::testing::Test {
  protected:
    // Runs the client with input, takes its request, and returns where it came from.
    sockaddr_in ask(std::string_view input, std::string* got = nullptr,
                    Stdio stdio = Stdio::Piped) {
        client = startClient(dir.path(), input, stdio);
        sockaddr_in from{};
        auto datagram = server.receive(20s, &from);
        EXPECT_TRUE(datagram) << "no request";
        if (got && datagram)
            *got = *datagram;
        return from;
    }
    // Sends as a paced server does: each datagram once the client's queue
    // is at most half full, so that an ordinary user's client, whose queue
    // cannot be forced past net.core.rmem_max, loses none.
    void reply(const sockaddr_in& to, const std::vector<std::string>& datagrams) {
        QueueState queue;
        for (const std::string& datagram : datagrams) {
            for (auto until = std::chrono::steady_clock::now() + 5s;
                 queues.query(server.address(), to, queue) == Lookup::Found &&
                 queue.charged > queue.limit / 2 && std::chrono::steady_clock::now() < until;)
                std::this_thread::sleep_for(100us);
            server.sendTo(ntohs(to.sin_port), datagram);
        }
    }
    // Sends as a sender that never waits does.
    void flood(const sockaddr_in& to, const std::vector<std::string>& datagrams) {
        for (const std::string& datagram : datagrams)
            server.sendTo(ntohs(to.sin_port), datagram);
    }
    TempDir dir;
    Peer server{SERVICE_PORT};
    ReceiverQueues queues;
    std::unique_ptr<Process> client;
};

TEST_F(AgainstPeer, PrintsContentBetweenTheBanners) {
    const std::string contents[] = {
        "hello, world\n",           "",
        std::string(64, 'x'),       std::string("zero\0bytes\0", 11),
        "no line break at the end", patternBytes(5000),
    };
    for (const std::string& content : contents) {
        std::string got;
        sockaddr_in from = ask("  \n\t notes.txt trailing words\n", &got);
        EXPECT_EQ(got, requestDatagram("notes.txt"));
        reply(from, expectedStream(content, got));
        EXPECT_EQ(client->wait(), 0);
        EXPECT_EQ(client->output(), HEAD + DATA_BANNER + content + CLOSING_BANNER);
    }
}

TEST_F(AgainstPeer, PrintsOnlyTheBytesOfAShortDatagram) {
    sockaddr_in from = ask("f\n");
    reply(from, {std::string("short"), std::string(1, Cipher(END_MARKER))});
    EXPECT_EQ(client->wait(), 0);
    EXPECT_EQ(client->output(), HEAD + DATA_BANNER + "\x38\x23\x24\x39\x3f" + CLOSING_BANNER);
}

TEST_F(AgainstPeer, IgnoresDatagramsFromOtherSenders) {
    sockaddr_in from = ask("f\n");
    Peer stranger;
    stranger.sendTo(ntohs(from.sin_port), expectedStream("forged", requestDatagram("f"))[0]);
    reply(from, expectedStream("genuine", requestDatagram("f")));
    EXPECT_EQ(client->wait(), 0);
    EXPECT_EQ(client->output(), HEAD + DATA_BANNER + "genuine" + CLOSING_BANNER);
}

// Whatever standard stream the client is started without, its socket is not
// one of them, and a reader that goes away makes a failed write, not a death.
TEST_F(AgainstPeer, KeepsItsSocketApartFromStandardStreams) {
    struct Case {
        Stdio stdio;
        int status;
        std::string output;
        std::string content = "content";
    } cases[] = {
        {Stdio::NoErrors, 0, HEAD + DATA_BANNER + "content" + CLOSING_BANNER},
        {Stdio::UnreadOutput, 1, ""},
        // Long enough for the output thread, whose failure must be waited for.
        {Stdio::UnreadOutput, 1, "", patternBytes(200000)},
    };
    for (const Case& c : cases) {
        std::string got;
        sockaddr_in from = ask("f\n", &got, c.stdio);
        EXPECT_EQ(got, requestDatagram("f"));
        reply(from, expectedStream(c.content, got));
        EXPECT_EQ(client->wait(), c.status);
        EXPECT_EQ(client->output(), c.output);
        EXPECT_FALSE(server.receive(100ms)) << "only the request reaches the server";
    }
}

TEST_F(AgainstPeer, QuitTellsTheServerAndDoesNotWait) {
    std::string got;
    ask("quit\n", &got);
    EXPECT_EQ(got, requestDatagram("quit"));
    EXPECT_EQ(client->wait(20s), 0) << "well before a reply could time out";
    EXPECT_EQ(client->output(), HEAD + "Exiting.....................\n" + DATA_BANNER +
                                    "Exiting.....................\n");
    // A server that refuses says why, in one datagram read as a reply.
    sockaddr_in from = ask("quit\n", &got);
    reply(from, expectedStream("Quit refused: not your server!", got));
    EXPECT_EQ(client->wait(20s), 1);
    EXPECT_EQ(client->output(), HEAD + "Exiting.....................\n" + DATA_BANNER +
                                    "Exiting.....................\n" +
                                    "\nQuit refused: not your server!\n");
}

TEST_F(AgainstPeer, LsListsTheClientsDirectoryThenAsks) {
    writeFile(dir / "alpha", "");
    writeFile(dir / "beta", "");
    std::string got;
    sockaddr_in from = ask("ls\n", &got);
    EXPECT_EQ(got, requestDatagram("ls"));
    reply(from, expectedStream("File Not Found!", got));
    EXPECT_EQ(client->wait(), 0);
    EXPECT_EQ(client->output(),
              HEAD + "alpha\nbeta\nls done!!!" + DATA_BANNER + "File Not Found!" + CLOSING_BANNER);
}

TEST_F(AgainstPeer, RefusesBadInputWithoutSending) {
    struct Case {
        std::string input, message;
        Stdio stdio = Stdio::Piped;
    } cases[] = {
        {std::string(32, 'a') + "\n", "\nFile name too long: at most 31 characters!\n"},
        {"", "\nNo file name given!\n"},
        {" \n\t\n", "\nNo file name given!\n"},
        {"", "\nNo file name given!\n", Stdio::NoInput}, // reads no socket for a name
    };
    for (const Case& c : cases) {
        auto run = startClient(dir.path(), c.input, c.stdio);
        EXPECT_EQ(run->wait(), 1);
        EXPECT_EQ(run->output(), HEAD + c.message);
    }
    checkArguments(TEST_CLIENT_BIN, dir.path());
    EXPECT_FALSE(server.receive(100ms));
}

// Only "quit" itself is quit. The queue is enlarged before the request leaves.
TEST_F(AgainstPeer, TakesAThirtyOneCharacterName) {
    std::string name = "quit" + std::string(27, 'b'), got;
    sockaddr_in from = ask(name + "\n", &got);
    EXPECT_EQ(got, requestDatagram(name));
    QueueState queue;
    ASSERT_EQ(queues.query(server.address(), from, queue), Lookup::Found);
    // Past net.core.rmem_max only where a socket may be forced past it.
    Fd probe{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    int bytes = REPLY_QUEUE_BYTES;
    if (setsockopt(probe.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        std::ifstream("/proc/sys/net/core/rmem_max") >> bytes;
    EXPECT_EQ(queue.limit, 2u * static_cast<std::uint32_t>(std::min(bytes, REPLY_QUEUE_BYTES)));
    reply(from, expectedStream("ok", got));
    EXPECT_EQ(client->wait(), 0);
    EXPECT_EQ(client->output(), HEAD + DATA_BANNER + "ok" + CLOSING_BANNER);
}

TEST_F(AgainstPeer, GivesUpWhenTheServerFallsSilent) {
    sockaddr_in from = ask("f\n");
    reply(from, {expectedStream(std::string(40, 'y'), requestDatagram("f"))[0]});
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client->wait(40s), 1);
    // The wait between datagrams, not the far longer one for the first.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_EQ(client->output(),
              HEAD + DATA_BANNER + std::string(32, 'y') + "\nNo reply from server: timed out!\n");
}

// A busy server reaches a request late: the first reply is awaited far
// longer than the gap allowed between two datagrams, but not for ever.
TEST_F(AgainstPeer, WaitsLongerForTheFirstReply) {
    auto started = std::chrono::steady_clock::now();
    sockaddr_in from = ask("late\n");
    auto unanswered = startClient(dir.path(), "never\n");
    ASSERT_TRUE(server.receive(20s)) << "no request";
    std::this_thread::sleep_for(6s);    // longer than the gap between datagrams
    int askedAgain = 0, neverAsked = 1; // twice a second while nothing came: it may be lost
    while (auto again = server.receive(100ms)) {
        askedAgain += *again == requestDatagram("late");
        neverAsked += *again == requestDatagram("never");
    }
    EXPECT_GE(askedAgain, 4);
    reply(from, expectedStream("heard late", requestDatagram("late")));
    EXPECT_EQ(client->wait(), 0);
    EXPECT_EQ(client->output(), HEAD + DATA_BANNER + "heard late" + CLOSING_BANNER);

    EXPECT_EQ(unanswered->wait(60s), 1);
    while (auto again = server.receive(100ms))
        neverAsked += *again == requestDatagram("never");
    EXPECT_EQ(neverAsked, 10) << "asked ten times in all, then waited";
    EXPECT_GE(std::chrono::steady_clock::now() - started, 25s);
    EXPECT_EQ(unanswered->output(), HEAD + DATA_BANNER + "\nNo reply from server: timed out!\n");
}

// The content of count datagrams, one number in each, so that a hole shows.
std::string numbered(std::size_t count) {
    std::string content;
    for (std::size_t i = 0; i < count; ++i) {
        std::string number = std::to_string(i);
        content += std::string(DATAGRAM_SIZE - number.size(), '.') + number;
    }
    return content;
}

// A sender that overruns the client's queue while the client is stopped:
// what arrived is printed in order, and the loss is reported, not hidden.
TEST_F(AgainstPeer, ReportsDatagramsTheKernelDropped) {
    constexpr std::size_t SENT = 200000; // more than even a forced 16 MiB queue holds
    std::string got, content = numbered(SENT);
    sockaddr_in from = ask("f\n", &got);
    std::vector<std::string> stream = expectedStream(content, got);
    client->kill(SIGSTOP);
    flood(from, {stream.begin(), stream.end() - 1});
    client->kill(SIGCONT);
    std::this_thread::sleep_for(500ms); // room again for the last datagram
    reply(from, {stream.back()});
    EXPECT_EQ(client->wait(), 1);
    std::string output = client->output(), start = HEAD + DATA_BANNER;
    std::size_t message = output.rfind('\n', output.size() - 2);
    ASSERT_EQ(output.compare(0, start.size(), start), 0);
    ASSERT_TRUE(message != std::string::npos && message > start.size());
    std::string printed = output.substr(start.size(), message - start.size());
    std::size_t lost = SENT - printed.size() / DATAGRAM_SIZE;
    EXPECT_GT(lost, 0u);
    std::string report = "\n";
    report += std::to_string(lost) + " datagrams were lost: the copy is incomplete!\n";
    EXPECT_EQ(output.substr(message), report);
    std::size_t at = 0; // each datagram printed is one sent, in the order sent
    for (std::size_t i = 0; i < printed.size(); i += DATAGRAM_SIZE, at += DATAGRAM_SIZE)
        while (at < content.size() && content.compare(at, DATAGRAM_SIZE, printed, i, DATAGRAM_SIZE))
            at += DATAGRAM_SIZE;
    EXPECT_LE(at, content.size()) << "printed out of order or altered";
}

// While nothing reads the client's output, it keeps draining its socket
// into memory: a sender that never waits for it loses nothing.
TEST_F(AgainstPeer, DrainsWhileItsOutputStalls) {
    client = std::make_unique<Process>(
        std::vector<std::string>{"/bin/sh", "-c", "{ \"$0\"; echo status $?; } | { sleep 3; cat; }",
                                 TEST_CLIENT_BIN},
        dir.path());
    client->write("f\n");
    client->closeInput();
    sockaddr_in from{};
    auto got = server.receive(20s, &from);
    ASSERT_TRUE(got) << "no request";
    std::string content = patternBytes(100000 * DATAGRAM_SIZE, 9);
    std::vector<std::string> stream = expectedStream(content, *got);
    // In bursts that even a default queue holds, far faster than a pipe
    // nobody reads takes them.
    for (std::size_t at = 0; at < stream.size(); at += 100) {
        reply(from, {stream.begin() + at, stream.begin() + std::min(at + 100, stream.size())});
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(client->wait(), 0);
    std::string output = client->output();
    std::string expected = HEAD + DATA_BANNER + content + CLOSING_BANNER + "status 0\n";
    EXPECT_EQ(output.size(), expected.size());
    EXPECT_TRUE(output == expected) << "the copy differs"; // too long to show
}

// How the test socket answers a request in the table below.
enum class Answer { Nothing, Whole, CutShort, NotFound, CutAtFF, Lossy };

// The command line's ways, each run through a shell for its redirections,
// with standard error in a file and the copy in a directory of its own.
// Each request is answered as the row says, but one for "missing", which is not found.
TEST_F(AgainstPeer, TakesANameAndAnOutputOnTheCommandLine) {
    const std::string sock = "\nfile descriptor 3 received\n", content = patternBytes(100000, 3);
    const std::string copy = "out/copy", old = "the old copy", wrote = "100000 bytes written to ";
    const std::string toCopy = sock + DATA_BANNER + wrote + copy + CLOSING_BANNER;
    const std::string toStdout = sock + DATA_BANNER + wrote + "standard output" + CLOSING_BANNER;
    const std::string timedOut = sock + DATA_BANNER + "\nNo reply from server: timed out!\n";
    const std::string missing = HEAD + DATA_BANNER + "\nFile Not Found!\n";
    const std::string printed = sock + DATA_BANNER + content + CLOSING_BANNER;
    const std::string tooLong = sock + "\nFile name too long: at most 31 characters!\n";
    const std::string ff = content.substr(0, 5000) + '\xff' + content; // cut at byte 5000
    const std::string cutAtFF =
        "\nFile cut at byte 5000: it holds the byte 0xFF, which this protocol cannot carry!\n";
    const std::string lost =
        sock + DATA_BANNER + "\nN datagrams were lost: the copy is incomplete!\n";
    const std::string whole = DATA_BANNER + content + CLOSING_BANNER;
    const std::string notSaved = DATA_BANNER + "\nFile Not Found!\n";
    const std::string toStdoutOnly = DATA_BANNER + wrote + "standard output" + CLOSING_BANNER;
    const std::string noName = "No file name to save it under: it ends in '/', '.' or '..'!";
    struct Case {
        std::vector<std::string> args;
        std::string redirect, input;
        Answer answer;
        bool existed;
        int status;
        std::optional<std::string> copy; // what out/copy holds after, if it exists
        std::string out, err;
        Stdio stdio = Stdio::Piped;
    } cases[] = {
        {{}, ">&-", "", Answer::Nothing, false, 1, {}, "", "\nStandard output is closed!\n"},
        {{}, ">/dev/full", "f\n", Answer::Whole, false, 1, {}, "", "\nOutput write failed!\n"},
        // The reader stops early, while the last block still waits for room:
        // what it took and the pipe hold less than the content.
        {{"f"},
         "| { sleep 1; head -c 1000 >/dev/null; }",
         "",
         Answer::Whole,
         false,
         0,
         {},
         "",
         "\nOutput write failed!\n"},
        {{"-o", copy, "f"}, "", "", Answer::Whole, false, 0, content, toCopy, ""},
        {{"-o", copy, "f"}, "", "", Answer::CutShort, true, 1, old, timedOut, ""},
        {{"-o", copy, "f"}, "", "", Answer::CutAtFF, true, 1, old, sock + DATA_BANNER, cutAtFF},
        {{"-o", copy, "f"}, "", "", Answer::CutAtFF, false, 1, {}, sock + DATA_BANNER, cutAtFF},
        {{"f"},
         "",
         "",
         Answer::CutAtFF,
         false,
         1,
         {},
         sock + DATA_BANNER + ff.substr(0, 5000),
         cutAtFF},
        {{"-o", copy, "f"}, "", "", Answer::Lossy, true, 1, old, lost, ""},
        {{"-o", "-", "f"}, "", "", Answer::Whole, false, 0, {}, content, toStdout},
        // A full pipe whose writer the caller made non-blocking is waited for.
        {{"-o", "-", "f"},
         "",
         "",
         Answer::Whole,
         false,
         0,
         {},
         content,
         toStdout,
         Stdio::PausedNonBlocking},
        {{"-o", copy}, "", "f\n", Answer::NotFound, false, 1, {}, missing, ""},
        {{"f"}, "", "", Answer::Whole, false, 0, {}, printed, ""},
        {{"--", "f"}, "", "", Answer::Whole, false, 0, {}, printed, ""},
        {{std::string(31, 'a')}, "", "", Answer::Whole, false, 0, {}, printed, ""},
        {{std::string(32, 'a')}, "", "", Answer::Nothing, false, 1, {}, tooLong, ""},
        {{"-o"},
         "",
         "",
         Answer::Nothing,
         false,
         2,
         {},
         "",
         "client: option requires an argument -- 'o'\nTry 'client --help' for more "
         "information.\n"},
        {{"-o", copy, "f", "g"},
         "",
         "",
         Answer::Nothing,
         false,
         2,
         {},
         "",
         "client: -o FILE takes a single NAME (-O or -o - take several) (try client --help)\n"},
        {{"--port", "0", "f"},
         "",
         "",
         Answer::Nothing,
         false,
         2,
         {},
         "",
         "client: invalid port '0': give a number from 1 to 65535\n"},
        {{"--port", "15050", "f"}, "", "", Answer::Whole, false, 0, {}, printed, ""},
        {{"f", "missing", "g"},
         "",
         "",
         Answer::Whole,
         false,
         1,
         {},
         whole + notSaved + whole,
         "client: missing: File Not Found!\n"},
        {{"f", "g"},
         "",
         "",
         Answer::CutAtFF,
         false,
         1,
         {},
         DATA_BANNER + ff.substr(0, 5000) + cutAtFF + DATA_BANNER + ff.substr(0, 5000) + cutAtFF,
         "client: f: " + cutAtFF.substr(1) + "client: g: " + cutAtFF.substr(1)},
        {{"-o", "-", "f", "g"},
         "",
         "",
         Answer::Whole,
         false,
         0,
         {},
         content + content,
         toStdoutOnly + toStdoutOnly},
        {{"-O", "--output-dir", "out", "missing", "x/copy"},
         "",
         "",
         Answer::Whole,
         true,
         1,
         content,
         notSaved + DATA_BANNER + wrote + copy + CLOSING_BANNER,
         "client: missing: File Not Found!\n"},
        {{"-O", "--output-dir=out/", "copy/.."},
         "",
         "",
         Answer::Nothing,
         true,
         1,
         old,
         DATA_BANNER + "\n" + noName + "\n",
         "client: copy/..: " + noName + "\n"},
    };
    const std::string many = numbered(100000); // more than twice what a forced 16 MiB queue holds
    const std::regex lostCount("\n\\d+ datagrams");
    fs::create_directory(dir / "out");
    for (const Case& c : cases) {
        std::string shown = ::testing::PrintToString(c.args) + c.redirect;
        while (server.receive(0ms)) { // a request asked again by a client that waited long
        }
        fs::remove(dir / copy);
        if (c.existed)
            writeFile(dir / copy, old);
        std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>err " + c.redirect,
                                      TEST_CLIENT_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        client = std::make_unique<Process>(argv, dir.path(), c.stdio);
        if (!c.input.empty()) // else input stays open: a client that read it would wait
            client->write(c.input), client->closeInput();
        sockaddr_in from{};
        std::size_t asked = 0;
        for (auto first = c.answer == Answer::Nothing ? 300ms : 20s;
             auto request = server.receive(asked == 0 ? first : 300ms, &from); ++asked) {
            if (c.answer == Answer::NotFound || *request == requestDatagram("missing")) {
                server.sendTo(ntohs(from.sin_port), notFound(*request));
                continue;
            }
            std::vector<std::string> stream = expectedStream(c.answer == Answer::CutAtFF ? ff
                                                             : c.answer == Answer::Lossy ? many
                                                                                         : content,
                                                             *request);
            if (c.answer == Answer::CutShort)
                stream.resize(stream.size() / 2); // as a server killed mid-stream
            if (c.answer == Answer::Lossy) {      // a sender that never waits, the client stopped
                client->kill(SIGSTOP);
                flood(from, {stream.begin(), stream.end() - 1});
                client->kill(SIGCONT);
                std::this_thread::sleep_for(500ms); // room again for the last datagram
                stream.erase(stream.begin(), stream.end() - 1);
            }
            reply(from, stream);
        }
        ASSERT_EQ(asked > 0, c.answer != Answer::Nothing) << shown;
        EXPECT_EQ(client->wait(), c.status) << shown;
        std::string output = std::regex_replace(client->output(), lostCount, "\nN datagrams");
        EXPECT_TRUE(output == c.out) << shown << output.substr(0, 200);
        EXPECT_EQ(readFile(dir / "err"), c.err) << shown;
        EXPECT_EQ(fs::exists(dir / copy), c.copy.has_value()) << shown;
        EXPECT_TRUE(!c.copy || readFile(dir / copy) == *c.copy) << shown;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), {}), c.copy ? 1 : 0)
            << shown << ": no temporary file is left";
    }
}

// With standard error on a terminal, a copy's progress is drawn over one
// line at most ten times a second and wiped before the closing lines; the
// content printed to standard output is never mixed with it.
TEST_F(AgainstPeer, DrawsProgressOnATerminalForACopyOnly) {
    Fd terminal{posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)};
    if (!terminal.valid())
        GTEST_SKIP() << "needs a pseudo-terminal, and /dev/ptmx cannot be opened here";
    ASSERT_TRUE(grantpt(terminal.get()) == 0 && unlockpt(terminal.get()) == 0);
    const std::string pts = ptsname(terminal.get());
    Fd held{open(pts.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)}; // no hang-up when the client ends
    ASSERT_TRUE(held.valid() && fcntl(terminal.get(), F_SETFL, O_NONBLOCK) == 0);
    const std::string sock = "\nfile descriptor 3 received\n", clear = "\r\033[K";
    const std::string content = patternBytes(12000 * DATAGRAM_SIZE, 5);
    const std::regex drawn(R"(\d+\.\d MiB received, \d+\.\d MiB/s)");
    for (bool copy : {true, false}) {
        auto started = std::chrono::steady_clock::now();
        std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>" + pts,
                                      TEST_CLIENT_BIN, "f"};
        if (copy)
            argv.insert(argv.begin() + 4, {"-o", "copy"});
        client = std::make_unique<Process>(argv, dir.path());
        sockaddr_in from{};
        auto request = server.receive(20s, &from);
        ASSERT_TRUE(request) << "no request";
        std::vector<std::string> stream = expectedStream(content, *request);
        for (std::size_t at = 0; at < stream.size(); at += 100) { // over a second and more
            reply(from, {stream.begin() + at, stream.begin() + std::min(at + 100, stream.size())});
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_EQ(client->wait(), 0);
        auto tenths = (std::chrono::steady_clock::now() - started) / 100ms;
        std::string shown(4096, '\0');
        ssize_t n = read(terminal.get(), shown.data(), shown.size());
        shown.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (!copy) {
            EXPECT_EQ(shown, "");
            EXPECT_TRUE(client->output() == sock + DATA_BANNER + content + CLOSING_BANNER);
            continue;
        }
        EXPECT_EQ(client->output(),
                  sock + DATA_BANNER + "384000 bytes written to copy" + CLOSING_BANNER);
        EXPECT_TRUE(readFile(dir / "copy") == content);
        ASSERT_TRUE(shown.starts_with(clear) && shown.ends_with(clear)) << "wiped at the end";
        std::vector<std::string> lines;
        for (std::size_t at = clear.size(), next; at < shown.size(); at = next + clear.size())
            lines.push_back(shown.substr(at, (next = shown.find(clear, at)) - at));
        EXPECT_GE(lines.size(), 3u) << shown;
        EXPECT_LE(lines.size(), tenths) << shown;
        double before = 0;
        for (const std::string& line : lines) {
            ASSERT_TRUE(std::regex_match(line, drawn)) << line;
            double mib = std::stod(line);
            EXPECT_TRUE(mib >= before && mib <= 0.4) << line;
            before = mib;
        }
    }
}

// A client stopped by a signal, or a copy that cannot take its name, leaves
// no temporary file behind; what holds the name stays as it was.
TEST_F(AgainstPeer, LeavesNoTemporaryFileWhenACopyFails) {
    const std::string sock = "\nfile descriptor 3 received\n";
    fs::create_directory(dir / "out");
    struct Case {
        int signal;
        bool ignored = false; // by the caller, as nohup does: the client lives on
    } cases[] = {{SIGINT},  {SIGTERM},      {SIGHUP},       {SIGQUIT},
                 {SIGXFSZ}, {SIGHUP, true}, {SIGINT, true}, {0}};
    for (const Case& c : cases) {
        int signal = c.signal;
        bool ignored = c.ignored;
        client = std::make_unique<Process>(
            std::vector<std::string>{TEST_CLIENT_BIN, "-o", "out/copy", "f"}, dir.path(),
            Stdio::Piped, [&] { return !ignored || std::signal(signal, SIG_IGN) != SIG_ERR; });
        sockaddr_in from{};
        auto request = server.receive(20s, &from);
        ASSERT_TRUE(request) << "no request";
        if (ignored) {
            client->kill(signal);
            reply(from, expectedStream("content", *request));
            EXPECT_EQ(client->wait(), 0) << "signal " << signal;
            EXPECT_EQ(readFile(dir / "out/copy"), "content");
            fs::remove(dir / "out/copy");
        } else if (signal) {
            client->kill(signal);
            EXPECT_EQ(client->wait(), 128 + signal);
        } else {
            fs::create_directories(dir / "out/copy/taken"); // meanwhile
            reply(from, expectedStream("content", *request));
            EXPECT_EQ(client->wait(), 1);
            EXPECT_EQ(client->output(), sock + DATA_BANNER + "\nOutput write failed!\n");
            EXPECT_TRUE(fs::is_directory(dir / "out/copy/taken"));
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), {}), signal ? 0 : 1)
            << "signal " << signal;
    }
}

// The temporary name is no longer than the directory takes.
TEST_F(AgainstPeer, WritesACopyWhoseNameIsAsLongAsTheDirectoryTakes) {
    const std::string name(255, 'n');
    client = std::make_unique<Process>(std::vector<std::string>{TEST_CLIENT_BIN, "-o", name, "f"},
                                       dir.path());
    sockaddr_in from{};
    auto request = server.receive(20s, &from);
    ASSERT_TRUE(request) << "no request";
    reply(from, expectedStream("content", *request));
    EXPECT_EQ(client->wait(), 0) << client->output();
    EXPECT_EQ(readFile(dir / name), "content");
}

TEST(ClientAlone, SaysSoWhenNoServerListens) {
    TempDir dir;
    const std::string exiting = "Exiting.....................\n";
    for (std::string name : {"f", "quit"}) {
        auto client = startClient(dir.path(), name + "\n");
        EXPECT_EQ(client->wait(20s), 1) << "told at once, not after a time-out";
        std::string banner = name == "quit" ? exiting + DATA_BANNER + exiting : DATA_BANNER;
        EXPECT_EQ(client->output(), HEAD + banner + "\nNo server listening on 127.0.0.1:15050!\n");
    }
}

// The two real programs together.
class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override { server = startServer(serverDir.path()); }
    std::string fetch(std::string_view name, int expectedStatus = 0) {
        auto client = startClient(clientDir.path(), std::string(name) + "\n");
        EXPECT_EQ(client->wait(30s), expectedStatus);
        return client->output();
    }
    TempDir serverDir, clientDir;
    std::unique_ptr<Process> server;
};

TEST_F(EndToEnd, FetchesFilesByteForByteAndQuits) {
    const std::string contents[] = {
        "plain text\nover two lines\n",
        std::string("binary\0\x01\x7f\x80\xfe", 12),
        patternBytes(1 << 20, 7),
    };
    for (const std::string& content : contents) {
        writeFile(serverDir / "file", content);
        EXPECT_EQ(fetch("file"), HEAD + DATA_BANNER + content + CLOSING_BANNER);
    }
    EXPECT_EQ(fetch("missing"), HEAD + DATA_BANNER + "File Not Found!" + CLOSING_BANNER);
    fetch("quit");
    EXPECT_EQ(server->wait(20s), 0);
}

} // namespace
