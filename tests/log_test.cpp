// The server's log, its flood gate and its list of local addresses, through
// real pipes and real interfaces.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include "flood.hpp"
#include "local.hpp"
#include "log.hpp"
#include "protocol.hpp"
#include "support.hpp"

namespace {

using namespace std::chrono_literals;
using test::readFile;
using test::TempDir;

struct Pipe {
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0)
            in = Fd{fds[0]}, out = Fd{fds[1]};
    }
    std::string readToEnd() {
        std::string got;
        char buf[4096];
        for (ssize_t n; (n = read(in.get(), buf, sizeof buf)) != 0;)
            if (n > 0)
                got.append(buf, static_cast<std::size_t>(n));
            else if (errno != EINTR)
                break;
        return got;
    }
    // Fills the pipe with 'f's, so that the next write blocks; returns how many.
    std::size_t fill() {
        std::string filler(4096, 'f');
        std::size_t filled = 0;
        if (fcntl(out.get(), F_SETFL, O_NONBLOCK) != 0)
            return 0;
        for (ssize_t n; (n = write(out.get(), filler.data(), filler.size())) > 0;)
            filled += static_cast<std::size_t>(n);
        return fcntl(out.get(), F_SETFL, 0) == 0 ? filled : 0;
    }
    Fd in, out;
};

TEST(Log, WritesLinesInOrder) {
    Pipe pipe;
    std::string expected;
    {
        Log log(pipe.out.get());
        for (int i = 0; i < 500; ++i) {
            log.line("line " + std::to_string(i));
            log.format("\nformat %d\n", i);
            expected += "line " + std::to_string(i) + "\n\nformat " + std::to_string(i) + "\n";
        }
        log.format("%s\n", std::string(1000, 'x').c_str()); // cut, still a line
        expected += std::string(510, 'x') + "\n";
        EXPECT_TRUE(log.drain(10s));
    }
    pipe.out.reset();
    EXPECT_EQ(pipe.readToEnd(), expected);
}

// The lines the buffer holds come out first, then the count of those
// dropped, then the lines taken once the pipe is read again.
TEST(Log, CountsWhatABlockedPipeCannotTake) {
    Pipe pipe;
    std::size_t filled = pipe.fill();
    std::string got;
    std::thread reader;
    const int sent = 20000;
    {
        Log log(pipe.out.get(), 4096);
        for (int i = 0; i < sent; ++i)
            log.format("early %d\n", i); // returns, or the test never ends
        EXPECT_FALSE(log.drain(50ms));
        reader = std::thread([&] { got = pipe.readToEnd(); });
        EXPECT_TRUE(log.drain(10s));
        log.line("late 1");
        log.line("late 2");
        EXPECT_TRUE(log.drain(10s));
    }
    pipe.out.reset();
    reader.join();
    std::string expected(filled, 'f');
    int kept = 0;
    for (; got.starts_with(expected + "early " + std::to_string(kept) + "\n"); ++kept)
        expected += "early " + std::to_string(kept) + "\n";
    EXPECT_LT(kept, sent);
    expected += '\n';
    expected += std::to_string(sent - kept);
    expected += " log lines lost: the log could not be written!\nlate 1\nlate 2\n";
    EXPECT_EQ(got, expected);
}

// A file that refuses writes past a size limit, then takes them again: the
// line cut short counts as lost, and the count comes before the next line.
TEST(Log, CountsWhatAFileRefused) {
    std::signal(SIGXFSZ, SIG_IGN); // a refused write fails, it does not kill
    TempDir dir;
    Fd file{open((dir / "log").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)};
    ASSERT_TRUE(file.valid());
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit tight = old;
    tight.rlim_cur = 10;
    {
        Log log(file.get());
        log.line("kept 1");
        EXPECT_TRUE(log.drain(10s));
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
        log.line("cut 1\nand its second line");
        EXPECT_TRUE(log.drain(10s));
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
        log.line("after");
        EXPECT_TRUE(log.drain(10s));
    }
    EXPECT_EQ(readFile(dir / "log"),
              "kept 1\ncut\n2 log lines lost: the log could not be written!\nafter\n");
}

// The writer stays asleep in its write; the log still ends. Closing the
// pipe then wakes the writer with a broken pipe, and it ends too.
TEST(Log, EndsWhileItsWriterIsBlocked) {
    std::signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    pipe.fill();
    Log log(pipe.out.get(), 4096);
    for (int i = 0; i < 1000; ++i)
        log.line("never read");
    EXPECT_FALSE(log.drain(10ms));
}

std::string summaries(FloodGate& gate, const std::vector<Clock::time_point>& times) {
    Pipe pipe;
    {
        Log log(pipe.out.get());
        for (Clock::time_point t : times)
            gate.summarise(t, log);
        EXPECT_TRUE(log.drain(10s));
    }
    pipe.out.reset();
    return pipe.readToEnd();
}

TEST(FloodGate, CountsASecondOfFloodOnce) {
    FloodGate gate;
    in_addr flood{inet_addr("127.0.0.2")}, other{inet_addr("127.0.0.3")};
    Clock::time_point start = Clock::now();
    int logged = 0;
    for (int i = 0; i < 150; ++i)
        logged += gate.admit(flood, start + i * 1ms);
    EXPECT_EQ(logged, 100);
    EXPECT_TRUE(gate.admit(other, start + 500ms));
    EXPECT_EQ(gate.due(), start + 1s);
    EXPECT_EQ(summaries(gate, {start + 999ms, start + 1s, start + 2s}),
              "\n50 more requests from 127.0.0.2 in the last second\n");
    EXPECT_EQ(gate.due(), Clock::time_point::max());
    EXPECT_TRUE(gate.admit(flood, start + 2s));
}

TEST(FloodGate, TracksAFewOfAFloodFromManyAddresses) {
    FloodGate gate;
    Clock::time_point start = Clock::now();
    std::size_t counted = 0;
    for (std::uint32_t sender = 0; sender < 4 * FloodGate::SENDERS; ++sender)
        for (unsigned i = 0; i <= MOST_LOGGED_PER_SECOND; ++i)
            counted += !gate.admit(in_addr{htonl(INADDR_LOOPBACK + sender)}, start);
    EXPECT_EQ(counted, FloodGate::SENDERS);
    std::string text = summaries(gate, {start + 1s});
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2 * FloodGate::SENDERS);
    EXPECT_EQ(gate.due(), Clock::time_point::max());
}

TEST(LocalAddresses, TakesTheWholeLoopbackBlock) {
    LocalAddresses addresses;
    EXPECT_TRUE(addresses.local(in_addr{inet_addr("127.0.0.1")}));
    EXPECT_TRUE(addresses.local(in_addr{inet_addr("127.5.6.7")}));
}

TEST(LocalAddresses, FollowsAnAddressOnAVethInterface) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: adds an address to a veth interface in a private network "
                        "namespace";
    // Only this thread, and what it starts, enters the namespace.
    std::thread([] {
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
        ASSERT_EQ(std::system("ip link add va type veth peer name vb && ip link set va up"), 0);
        LocalAddresses addresses;
        EXPECT_TRUE(addresses.watching());
        struct Step {
            const char* command;
            bool local;
        } steps[] = {{"true", false},
                     {"ip addr add 198.18.9.9/24 dev va", true},
                     {"ip addr del 198.18.9.9/24 dev va", false}};
        for (const Step& step : steps) {
            ASSERT_EQ(std::system(step.command), 0) << step.command;
            addresses.refresh();
            EXPECT_EQ(addresses.local(in_addr{inet_addr("198.18.9.9")}), step.local)
                << step.command;
        }
    }).join();
}

} // namespace
