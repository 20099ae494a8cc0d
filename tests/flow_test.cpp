// Batched sending and receiving over every path, and the flow control that
// keeps a slow receiver on this machine from losing datagrams.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <functional>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include "receive.hpp"
#include "request.hpp"
#include "stream.hpp"
#include "support.hpp"

namespace {

using namespace test;

// A request whose tail shows where the first datagram's tail came from.
std::string requestFor(std::string_view name) {
    return requestDatagram(name, 'r');
}

// Runs one stream to its end, as the server does when it is alone in flight.
StreamEnd run(int sock, Stream& stream) {
    std::vector<Datagram> batch(BATCH_DATAGRAMS);
    for (;;) {
        std::this_thread::sleep_until(stream.due());
        if (auto end = stream.turn(sock, batch.data(), Clock::now()))
            return *end;
    }
}

const in_addr LOOPBACK{htonl(INADDR_LOOPBACK)};

// Streams content from the server's port to the receiver at to, starting
// with how.
StreamEnd streamTo(const std::string& content, const sockaddr_in& to, SendMethod how,
                   ReceiverQueues* queues) {
    TempDir dir;
    writeFile(dir / "f", content);
    Peer sender(SERVICE_PORT);
    Datagram request;
    requestFor("f").copy(request, DATAGRAM_SIZE);
    Stream stream({to, LOOPBACK}, Reader(Fd{open((dir / "f").c_str(), O_RDONLY)}), request, how,
                  queues);
    return run(sender.fd(), stream);
}

StreamEnd stream(const std::string& content, const Peer& receiver, SendMethod how,
                 ReceiverQueues* queues) {
    return streamTo(content, receiver.address(), how, queues);
}

// Gives a socket the queue a plain receiver has on a stock kernel (the
// kernel doubles what it is asked for).
void defaultQueue(int fd) {
    int bytes = 212992 / 2;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

// Reads a stream from fd the way a plain receiver does, one datagram per
// call, pausing every 100 datagrams.
std::vector<std::string> readSlowly(int fd) {
    std::vector<std::string> got;
    char buf[64];
    for (pollfd pfd{fd, POLLIN, 0}; poll(&pfd, 1, 20000) > 0;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        got.emplace_back(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (got.size() % 100 == 0)
            std::this_thread::sleep_for(2ms);
        if (got.back().find(Cipher(END_MARKER)) != std::string::npos)
            break;
    }
    return got;
}

// A system call the kernel is to refuse, and the error it refuses it with.
struct Refusal {
    long call;
    int error;
};

// From now on this process's kernel refuses the calls as one that lacks
// them would. It cannot be undone: for a forked child only.
bool refuse(const std::vector<Refusal>& refusals) {
    for (const Refusal& r : refusals)
        if (!failCallsFrom(r.call, 0, 0, r.error)) // whatever the first argument
            return false;
    return true;
}

TEST(SendStream, EveryPathSendsExactDatagrams) {
    SendMethod best = probeSending();
    EXPECT_EQ(best.path, SendPath::Segmented) << "this kernel offers every path";
    EXPECT_GE(best.segments, 64u);
    ReceiverQueues queues;
    const SendMethod methods[] = {best, {SendPath::Segmented, 3}, {SendPath::Batched, 1}, {}};
    for (const SendMethod& how : methods)
        // Unwatched receivers get the plain pace, whatever the method.
        for (ReceiverQueues* paced : {&queues, static_cast<ReceiverQueues*>(nullptr)})
            for (std::size_t size : {0, 20, 64 * 32, 64 * 32 + 7, 200 * 32 + 31}) {
                std::string content = patternBytes(size, static_cast<unsigned>(size));
                Peer receiver;
                ASSERT_EQ(stream(content, receiver, how, paced), StreamEnd::Sent);
                EXPECT_EQ(receiver.receiveStream(), expectedStream(content, requestFor("f")))
                    << "path " << static_cast<int>(how.path) << "/" << how.segments << " size "
                    << size;
            }
}

// Runs check in a child whose kernel refuses the calls: 0 when it held, 1
// when not, 2 when no filter could be set, 3 when it failed otherwise.
constexpr int HELD = 0, NO_FILTER = 2;
int underRefusal(const std::vector<Refusal>& refused, const std::function<bool()>& check) {
    pid_t child = fork();
    if (child == 0) {
        int status = 3;
        try {
            status = !refuse(refused) ? NO_FILTER : check() ? HELD : 1;
        } catch (...) {
        }
        _exit(status);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return 3;
    return WEXITSTATUS(status);
}

// On a kernel that refuses the faster ways of sending, the stream goes out
// the slower ones, exact, and no datagram is sent twice.
TEST(SendStream, FallsBackWhenTheKernelRefusesAPath) {
    // Segmented and batched sends both go through sendmmsg.
    const std::vector<Refusal> kernels[] = {
        {{SYS_sendmmsg, EINVAL}},
        {{SYS_sendmmsg, ENOSYS}},
        {{SYS_sendmmsg, ENOPROTOOPT}},
        {{SYS_sendmmsg, EOPNOTSUPP}},
        {{SYS_sendto, EOPNOTSUPP}, {SYS_sendmmsg, EIO}},
    };
    ReceiverQueues queues;
    SendMethod how = probeSending(); // as the server starts
    for (const std::vector<Refusal>& refused : kernels)
        for (std::size_t size : {20, 3 * 64 * 32 + 100}) {
            std::string content = patternBytes(size, static_cast<unsigned>(size));
            Peer receiver;
            int end = underRefusal(refused, [&] {
                return stream(content, receiver, how, &queues) == StreamEnd::Sent;
            });
            if (end == NO_FILTER)
                GTEST_SKIP() << "this kernel takes no seccomp filter";
            ASSERT_EQ(end, HELD) << "error " << refused.back().error << ", size " << size;
            // The receiver's queue holds the whole stream.
            EXPECT_EQ(receiver.receiveStream(), expectedStream(content, requestFor("f")))
                << "error " << refused.back().error << ", size " << size;
            EXPECT_FALSE(receiver.receive(100ms)) << "a datagram after the last";
        }
}

// Where openat2 is missing or refused, the walk serves what it would.
TEST(OpenRequested, WalksWhereTheKernelRefusesOpenat2) {
    TempDir dir;
    writeFile(dir / "plain", "plain");
    for (int error : {ENOSYS, EPERM, EAGAIN}) { // EAGAIN: interrupted each time it is asked
        int end = underRefusal({{SYS_openat2, error}}, [&] {
            return chdir(dir.path().c_str()) == 0 && openRequested("plain").valid() &&
                   !openRequested("../plain").valid();
        });
        if (end == NO_FILTER)
            GTEST_SKIP() << "this kernel takes no seccomp filter";
        EXPECT_EQ(end, HELD) << "error " << error;
    }
}

// A receiver that takes one datagram per call from a default-sized queue,
// and dawdles, still gets every byte when the stream is paced.
TEST(Pacing, MakesASlowPlainReceiverLossless) {
    Peer receiver;
    defaultQueue(receiver.fd());
    std::string content = patternBytes(3000 * DATAGRAM_SIZE, 3);
    std::vector<std::string> got;
    std::jthread reader([&] { got = readSlowly(receiver.fd()); });
    ReceiverQueues queues;
    EXPECT_EQ(stream(content, receiver, probeSending(), &queues), StreamEnd::Sent);
    reader.join();
    EXPECT_EQ(got, expectedStream(content, requestFor("f")));
}

TEST(Pacing, StopsWhenTheReceiverGoesOrStalls) {
    const std::chrono::milliseconds patience = 1s;
    ReceiverQueues queues(patience);
    SendMethod how = probeSending();
    std::string content = patternBytes(20000 * DATAGRAM_SIZE, 4);
    auto receiver = std::make_unique<Peer>();
    std::jthread closer([&] {
        receiver->receive(20s); // the stream has begun
        receiver.reset();
    });
    EXPECT_EQ(stream(content, *receiver, how, &queues), StreamEnd::ReceiverGone);
    closer.join();

    Peer idle; // never reads
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(stream(content, idle, how, &queues), StreamEnd::ReceiverStalled);
    auto stalled = std::chrono::steady_clock::now() - started;
    EXPECT_GE(stalled, patience);
    EXPECT_LT(stalled, 2 * patience);
    // Remembered: a later stream to it ends at once, until it reads.
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(stream(content, idle, how, &queues), StreamEnd::ReceiverStalled);
    EXPECT_LT(std::chrono::steady_clock::now() - started, patience / 2);
    while (idle.receive(0ms)) {
    }
    std::string small = patternBytes(100, 6);
    EXPECT_EQ(stream(small, idle, how, &queues), StreamEnd::Sent);
    EXPECT_EQ(idle.receiveStream(), expectedStream(small, requestFor("f")));
}

// A receiver that takes a few datagrams every 50 ms, fewer than the kernel
// frees room for in one step, is not taken for stalled, however short the
// patience.
TEST(Pacing, KeepsAReceiverThatReadsInSmallBursts) {
    Peer receiver;
    defaultQueue(receiver.fd());
    std::string content = patternBytes(600 * DATAGRAM_SIZE, 7);
    std::vector<std::string> got;
    std::jthread reader([&] {
        for (bool ended = false; !ended;) {
            std::this_thread::sleep_for(50ms);
            for (int i = 0; i < 20 && !ended; ++i)
                if (auto datagram = receiver.receive(i == 0 ? 20000ms : 0ms)) {
                    got.push_back(*datagram);
                    ended = datagram->find(Cipher(END_MARKER)) != std::string::npos;
                } else if (i == 0)
                    return;
        }
    });
    ReceiverQueues queues(200ms);
    EXPECT_EQ(streamTo(content, receiver.address(), probeSending(), &queues), StreamEnd::Sent);
    reader.join();
    EXPECT_EQ(got, expectedStream(content, requestFor("f")));
}

// Receivers on any address of this machine are paced: one added to the
// loopback device, and sockets bound to that device.
TEST(Pacing, PacesEveryLocalAddress) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: adds an address in a private network namespace";
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
    ASSERT_EQ(std::system("ip link set lo up && ip addr add 198.18.0.1/32 dev lo"), 0);
    struct Case {
        const char* address;
        bool boundToDevice;
    } cases[] = {{"198.18.0.1", false}, {"198.18.0.1", true}, {"127.0.0.1", true}};
    ReceiverQueues queues;
    std::string content = patternBytes(3000 * DATAGRAM_SIZE, 8);
    for (const Case& c : cases) {
        Fd receiver{socket(AF_INET, SOCK_DGRAM, 0)};
        sockaddr_in addr = serviceAddress(inet_addr(c.address));
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        ASSERT_EQ(bind(receiver.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        getsockname(receiver.get(), reinterpret_cast<sockaddr*>(&addr), &len);
        defaultQueue(receiver.get());
        if (c.boundToDevice) {
            ASSERT_EQ(setsockopt(receiver.get(), SOL_SOCKET, SO_BINDTODEVICE, "lo", 3), 0);
        }
        std::vector<std::string> got;
        std::jthread reader([&] { got = readSlowly(receiver.get()); });
        EXPECT_EQ(streamTo(content, addr, probeSending(), &queues), StreamEnd::Sent);
        reader.join();
        EXPECT_EQ(got, expectedStream(content, requestFor("f")))
            << c.address << (c.boundToDevice ? " bound to lo" : "");
    }
}

// Datagrams the kernel has dropped at sock for want of room.
std::uint32_t drops(int sock) {
    std::uint32_t mem[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof mem;
    getsockopt(sock, SOL_SOCKET, SO_MEMINFO, mem, &len);
    return mem[SK_MEMINFO_DROPS];
}

// Drops say that datagrams take more of the receiver's queue than the
// pacer reckoned, or that others fill it too: from then on the pacer
// lets fewer through for the same room.
TEST(Pacing, AdmitsFewerOnceTheReceiverDrops) {
    Peer receiver;
    int bytes = 32 * 1024;
    setsockopt(receiver.fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    ReceiverQueues queues;
    Pacer pacer(&queues, receiver.address(), LOOPBACK, Clock::now());
    const std::size_t wanted = 100000;
    std::size_t before = wanted;
    ASSERT_EQ(pacer.admit(before, Clock::now()), Pace::Go);
    if (before == wanted)
        GTEST_SKIP() << "this kernel does not report socket queues";

    Peer other; // overflows the empty queue, then the receiver empties it
    std::uint32_t first = drops(receiver.fd());
    for (int i = 0; i < 100000 && drops(receiver.fd()) == first; ++i)
        other.sendTo(receiver.port(), "x");
    ASSERT_NE(drops(receiver.fd()), first);
    while (receiver.receive(0ms)) {
    }

    std::size_t after = wanted;
    ASSERT_EQ(pacer.admit(after, Clock::now()), Pace::Go);
    EXPECT_LT(after, before);
}

// What print puts through an Output, as the client would print it.
std::string printed(const std::function<void(Output&)>& print) {
    TempDir dir;
    Fd sink{open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0600)};
    Output out(sink.get());
    print(out);
    out.flush();
    return readFile(dir / "out");
}

// Receives on path, as the client does, what send sends from the server's
// port; returns what was printed.
std::string receiveOn(RecvPath path, const std::function<void(const Peer& client)>& send) {
    // Connected to the server's port, as the client's socket is.
    Peer client;
    sockaddr_in server = serviceAddress(htonl(INADDR_LOOPBACK));
    connect(client.fd(), reinterpret_cast<sockaddr*>(&server), sizeof server);
    std::jthread sender([&] { send(client); });
    std::string content = printed([&](Output& out) {
        EXPECT_EQ(recvStream(client.fd(), out, path).end, Received::Ended)
            << static_cast<int>(path);
    });
    sender.join();
    return content;
}

std::string encipher(std::string plain) {
    for (char& ch : plain)
        ch = Cipher(ch);
    return plain;
}

// Where the kernel lacks recvmmsg, the client takes one datagram per recv.
TEST(RecvStream, FallsBackToRecvWhereTheKernelLacksRecvmmsg) {
    std::string content = patternBytes(300 * DATAGRAM_SIZE + 9, 12);
    int end = underRefusal({{SYS_recvmmsg, ENOSYS}}, [&] {
        return receiveOn(RecvPath::Coalesced, [&](const Peer& client) {
                   ReceiverQueues queues;
                   stream(content, client, probeSending(), &queues);
               }) == content;
    });
    if (end == NO_FILTER)
        GTEST_SKIP() << "this kernel takes no seccomp filter";
    EXPECT_EQ(end, HELD);
}

TEST(RecvStream, EveryPathPrintsTheContent) {
    std::string content = patternBytes(5000 * DATAGRAM_SIZE + 9, 5);
    // Datagrams as any peer may send them: shorter than 32 bytes, or empty.
    const std::string a(DATAGRAM_SIZE, 'a');
    struct Case {
        std::vector<std::string> datagrams;
        std::string printed;
    } cases[] = {
        {{encipher("short"), encipher(a), encipher("xy\xff")}, "short" + a + "xy"},
        {{"", encipher("bc"), "", encipher(a), encipher("\xff")}, "bc" + a},
    };
    for (RecvPath path : {RecvPath::Coalesced, RecvPath::Batched, RecvPath::Single}) {
        std::string printed = receiveOn(path, [&](const Peer& client) {
            // The segmented path lets the kernel merge the stream for the
            // coalesced receive, with the marker inside the last batch.
            ReceiverQueues queues;
            stream(content, client, probeSending(), &queues);
        });
        EXPECT_EQ(printed, content) << static_cast<int>(path);
        for (const Case& c : cases) {
            printed = receiveOn(path, [&](const Peer& client) {
                Peer server(SERVICE_PORT);
                for (const std::string& datagram : c.datagrams)
                    server.sendTo(client.port(), datagram);
            });
            EXPECT_EQ(printed, c.printed) << static_cast<int>(path);
        }
    }
}

// What a sender left in the client's queue before it looked: one datagram,
// or all those of one segmented send, which the kernel keeps merged for a
// socket that asked for it.
struct Queued {
    std::string bytes;
    bool merged = false;
};

std::string datagrams(std::size_t count, char plain) {
    return std::string(count * DATAGRAM_SIZE, Cipher(plain));
}

// A final datagram: k content bytes, the marker, then bytes that do not count.
std::string final(std::size_t k) {
    std::string datagram = datagrams(1, 'z');
    datagram[k] = Cipher(END_MARKER);
    return datagram;
}

// Queues everything first, so that each receive takes all it has room for.
TEST(RecvStream, TakesEachBatchWhole) {
    const std::vector<Queued> queues[] = {
        // The marker in the middle of a batch: what follows it is not content.
        {{datagrams(1, 'a')}, {datagrams(1, 'b')}, {final(5)}, {datagrams(1, 'x')}},
        {{datagrams(3, 'a') + final(7) + datagrams(2, 'x'), true}, {datagrams(1, 'x')}},
        // A merged datagram followed by single ones, a short one among them.
        {{datagrams(64, 'm'), true}, {datagrams(1, 'n')}, {"short"}, {final(0)}},
        // Batches that fill every buffer, with single and with merged datagrams.
        {std::vector<Queued>(2 * RECEIVE_BATCH + 3, {datagrams(1, 's')})},
        {std::vector<Queued>(RECEIVE_BATCH + 2, {datagrams(2, 'g'), true})},
    };
    for (std::vector<Queued> queue : queues) {
        if (queue.back().bytes != final(0))
            queue.push_back({final(0)});
        std::vector<std::string> sent;
        for (const Queued& q : queue)
            for (std::size_t at = 0; at < q.bytes.size(); at += DATAGRAM_SIZE)
                sent.push_back(q.bytes.substr(at, DATAGRAM_SIZE));
        for (RecvPath path : {RecvPath::Coalesced, RecvPath::Batched, RecvPath::Single}) {
            Peer client, server(SERVICE_PORT);
            sockaddr_in to = server.address();
            connect(client.fd(), reinterpret_cast<sockaddr*>(&to), sizeof to);
            int on = 1;
            if (path == RecvPath::Coalesced)
                setsockopt(client.fd(), SOL_UDP, UDP_GRO, &on, sizeof on);
            for (const Queued& q : queue) {
                SendMethod segmented = probeSending();
                if (!q.merged)
                    server.sendTo(client.port(), q.bytes);
                else
                    ASSERT_TRUE(sendBatch(server.fd(), {client.address(), LOOPBACK},
                                          reinterpret_cast<const Datagram*>(q.bytes.data()),
                                          q.bytes.size() / DATAGRAM_SIZE, segmented));
            }
            std::string content = printed([&](Output& out) {
                EXPECT_EQ(recvStream(client.fd(), out, path).end, Received::Ended);
            });
            EXPECT_EQ(content, decipherStream(sent))
                << queue.size() << " queued, path " << static_cast<int>(path);
        }
    }
}

// A queue too small for what was sent: every path counts what the kernel
// dropped.
TEST(RecvStream, CountsTheDatagramsTheKernelDropped) {
    constexpr std::size_t SENT = 2000;
    for (RecvPath path : {RecvPath::Coalesced, RecvPath::Batched, RecvPath::Single}) {
        Peer client, server(SERVICE_PORT);
        sockaddr_in to = server.address();
        connect(client.fd(), reinterpret_cast<sockaddr*>(&to), sizeof to);
        int small = 16 * 1024;
        setsockopt(client.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        for (std::size_t i = 0; i < SENT; ++i)
            server.sendTo(client.port(), datagrams(1, 'a'));
        std::thread last([&] {
            std::this_thread::sleep_for(200ms); // once the queue has room again
            server.sendTo(client.port(), final(0));
        });
        Reception got{};
        std::string content =
            printed([&](Output& out) { got = recvStream(client.fd(), out, path); });
        last.join();
        EXPECT_EQ(got.end, Received::Ended);
        EXPECT_GT(got.dropped, 0u);
        EXPECT_EQ(got.dropped, SENT - content.size() / DATAGRAM_SIZE) << static_cast<int>(path);
    }
}

TEST(RecvSegments, HandlesEachSegmentAsADatagram) {
    const std::string ab{Cipher('a'), Cipher('b')};
    const std::string ends31 = std::string(31, Cipher('f')) + Cipher(END_MARKER);
    struct Case {
        std::string data;
        std::size_t segment;
        std::string printed;
        Ending ending;
    } cases[] = {
        {std::string(40, Cipher('a')), 0, std::string(32, 'a'), Ending::More},  // one long datagram
        {std::string(40, Cipher('a')), 20, std::string(40, 'a'), Ending::More}, // short segments
        {std::string(64, Cipher('b')), 48, std::string(48, 'b'),
         Ending::More}, // 48+16, each cut to 32
        {std::string(3, Cipher('c')) + Cipher(END_MARKER) + "zz", 2, "ccc",
         Ending::Whole}, // stops at the marker
        {std::string(40, Cipher('d')) + Cipher(END_MARKER) + "zz", 32, std::string(40, 'd'),
         Ending::Whole}, // in the middle of a merged datagram
        {std::string(40, Cipher('e')) + Cipher(END_MARKER) + std::string(20, Cipher('e')), 48,
         std::string(45, 'e'), Ending::More}, // a marker past the 32 bytes that count is none
        {"", 32, "", Ending::More},
        {std::string(5, Cipher('d')), 5, "ddddd", Ending::More}, // a short datagram alone
        {"", 0, "", Ending::More},                               // an empty one alone
        {std::string(37, Cipher('e')), 32, std::string(37, 'e'),
         Ending::More}, // the last one short
        // What follows the marker: a cut notice, a request's tail, or the next datagram.
        {ab + std::string(30, CUT_NOTICE), 32, "ab", Ending::Cut}, // the marker, then the notice
        {ab + std::string(29, CUT_NOTICE) + '\0', 32, "ab", Ending::Whole},
        {ends31, 32, std::string(31, 'f'), Ending::Open},
        {ends31 + std::string(32, CUT_NOTICE), 32, std::string(31, 'f'), Ending::Cut},
        {ends31 + ends31, 32, std::string(31, 'f'), Ending::Whole},
        {ends31 + std::string(16, 'x') + std::string(32, CUT_NOTICE), 48, std::string(31, 'f'),
         Ending::Cut}, // the bytes past 32 do not count
    };
    for (const Case& c : cases) {
        std::string content = printed([&](Output& out) {
            EXPECT_EQ(recvSegments(c.data.data(), c.data.size(), c.segment, out), c.ending);
        });
        EXPECT_EQ(content, c.printed) << c.data.size() << "/" << c.segment;
    }
}

// The sanitizers' runtime lowers the core limit as it starts and looks for
// leaks from a thread of its own as it ends: under the refusals of the tests
// below it may do neither. Elsewhere the options are not read.
bool spareTheSanitizers() {
    const char* options = std::getenv("ASAN_OPTIONS");
    std::string spared = std::string(options ? options : "") + ":disable_coredump=0:detect_leaks=0";
    return setenv("ASAN_OPTIONS", spared.c_str(), 1) == 0;
}

// Where no thread can be started, the server writes its log and the client
// its output as they go: the same transfer, the same words, the same end.
TEST(NoThreads, ServerAndClientWriteAsTheyGo) {
    const std::vector<Refusal> noThreads = {{SYS_clone3, ENOSYS}, {SYS_clone, EAGAIN}};
    if (underRefusal(noThreads, [] { return true; }) == NO_FILTER)
        GTEST_SKIP() << "this kernel takes no seccomp filter";
    TempDir dir;
    const std::string content = patternBytes(300000, 4); // blocks for an output thread
    writeFile(dir / "f", content);
    std::string transcripts[2];
    for (bool threads : {true, false}) {
        auto inChild = [&] { return threads || (spareTheSanitizers() && refuse(noThreads)); };
        Process server({TEST_SERVER_BIN}, dir.path(), Stdio::Piped, inChild);
        ASSERT_TRUE(server.waitFor("Waiting for file name...")) << server.output();
        Process fetch({TEST_CLIENT_BIN, "f"}, dir.path(), Stdio::Piped, inChild);
        EXPECT_EQ(fetch.wait(), 0);
        EXPECT_TRUE(fetch.output() ==
                    "\nfile descriptor 3 received\n\n---------Data Received---------\n" + content +
                        "\n-------------------------------\n")
            << "threads " << threads;
        EXPECT_EQ(Process({TEST_CLIENT_BIN, "quit"}, dir.path(), Stdio::Piped, inChild).wait(), 0);
        EXPECT_EQ(server.wait(), 0);
        transcripts[threads] = server.output();
    }
    EXPECT_EQ(transcripts[false], transcripts[true]);
    EXPECT_NE(transcripts[false].find("\nFile Successfully opened!\n"), std::string::npos);
}

// Limits may still be read, as a sandbox may allow: prlimit64 is refused
// only when it is given a new limit, a pointer that is not null.
bool refuseNewLimits() {
    return failCallsFrom(SYS_prlimit64, 2, 1, EPERM);
}

// Where the descriptor limit cannot be raised, the slots follow the limit
// there is: with 35 descriptors three streams run, and a fourth request
// stops the idlest of them, and only that one.
TEST(ServerSlots, FollowsALimitItCannotRaise) {
    rlimit most{};
    if (getrlimit(RLIMIT_NOFILE, &most) != 0 || most.rlim_max <= 35 ||
        underRefusal({}, refuseNewLimits) != HELD)
        GTEST_SKIP() << "needs a descriptor limit that may be raised past 35, and seccomp";
    TempDir dir;
    const std::string big = patternBytes(1 << 20, 14);
    writeFile(dir / "big", big);
    Process server({TEST_SERVER_BIN}, dir.path(), Stdio::Piped, [&] {
        rlimit limit{35, most.rlim_max};
        return setrlimit(RLIMIT_NOFILE, &limit) == 0 && spareTheSanitizers() && refuseNewLimits();
    });
    ASSERT_TRUE(server.waitFor("Waiting for file name...")) << server.output();
    Peer held[3], last;
    for (Peer& peer : held) {
        peer.request("big");
        ASSERT_TRUE(peer.receive()) << "its stream began";
        std::this_thread::sleep_for(200ms);
    }
    last.request("big");
    EXPECT_EQ(decipherStream(last.receiveStream()), big);
    const std::string stopped = "\nToo many streams: transfer stopped! (big to 127.0.0.1:" +
                                std::to_string(held[0].port()) + ")\n";
    ASSERT_TRUE(server.waitFor(stopped)) << server.output();
    std::string log = server.output();
    EXPECT_EQ(log.find("!", log.find(stopped) + stopped.size()), std::string::npos) << log;
}

} // namespace
