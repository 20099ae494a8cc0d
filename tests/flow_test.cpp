// Batched sending and receiving over every path, and the flow control that
// keeps a slow receiver on this machine from losing datagrams.
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <linux/sock_diag.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include "receive.hpp"
#include "stream.hpp"
#include "support.hpp"

namespace {

using namespace test;

std::string requestFor(std::string_view name) {
    std::string datagram(DATAGRAM_SIZE, 'r'); // a tail that shows where it came from
    datagram.replace(0, name.size(), name);
    datagram[name.size()] = '\0';
    return datagram;
}

// Streams content from the server's port to receiver, starting on path.
StreamEnd stream(const std::string& content, const Peer& receiver, SendPath& path,
                 ReceiverQueues* queues) {
    TempDir dir;
    writeFile(dir / "f", content);
    Reader reader(Fd{open((dir / "f").c_str(), O_RDONLY)});
    Peer sender(SERVICE_PORT);
    Datagram request;
    requestFor("f").copy(request, DATAGRAM_SIZE);
    Pacer pacer(queues, receiver.address());
    return sendStream(sender.fd(), receiver.address(), &reader, request, path, pacer);
}

#if defined(__x86_64__)
#define NATIVE_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define NATIVE_AUDIT_ARCH AUDIT_ARCH_AARCH64
#endif

// A system call the kernel is to refuse, and the error it refuses it with.
struct Refusal {
    long call;
    int error;
};

// From now on this process's kernel refuses the calls as one that lacks
// them would. It cannot be undone: for a forked child only.
bool refuse(const std::vector<Refusal>& refusals) {
#ifdef NATIVE_AUDIT_ARCH
    std::vector<sock_filter> filter = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NATIVE_AUDIT_ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    for (const Refusal& r : refusals) {
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(r.call), 0, 1));
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | r.error));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
    (void)refusals;
    return false;
#endif
}

TEST(SendStream, EveryPathSendsExactDatagrams) {
    ReceiverQueues queues;
    for (SendPath path : {SendPath::Segmented, SendPath::Batched, SendPath::Single})
        for (ReceiverQueues* paced : {&queues, static_cast<ReceiverQueues*>(nullptr)})
            for (std::size_t size : {0, 20, 64 * 32, 64 * 32 + 7, 200 * 32 + 31}) {
                std::string content = patternBytes(size, static_cast<unsigned>(size));
                Peer receiver;
                SendPath used = path;
                ASSERT_EQ(stream(content, receiver, used, paced), StreamEnd::Sent);
                EXPECT_EQ(used, path) << "this kernel offers every path";
                EXPECT_EQ(receiver.receiveStream(1s), expectedStream(content, requestFor("f")))
                    << "path " << static_cast<int>(path) << " size " << size;
            }
}

// On a kernel that refuses the faster ways of sending, the stream goes out
// the slower ones, exact, and no datagram is sent twice.
TEST(SendStream, FallsBackWhenTheKernelRefusesAPath) {
    const std::vector<Refusal> kernels[] = {
        {{SYS_sendmsg, EINVAL}},
        {{SYS_sendmsg, EIO}, {SYS_sendmmsg, ENOSYS}},
        {{SYS_sendmsg, ENOPROTOOPT}, {SYS_sendmmsg, EINVAL}},
    };
    constexpr int SENT = 0, NOT_SENT = 1, NO_FILTER = 2, FAILED = 3;
    for (const std::vector<Refusal>& refused : kernels)
        for (std::size_t size : {20, 3 * 64 * 32 + 100}) {
            std::string content = patternBytes(size, static_cast<unsigned>(size));
            Peer receiver;
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                int status = FAILED;
                try {
                    ReceiverQueues queues;
                    SendPath path = SendPath::Segmented;
                    if (!refuse(refused))
                        status = NO_FILTER;
                    else if (stream(content, receiver, path, &queues) == StreamEnd::Sent)
                        status = SENT;
                    else
                        status = NOT_SENT;
                } catch (...) {
                }
                _exit(status);
            }
            // The receiver's queue holds the whole stream.
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status));
            int end = WEXITSTATUS(status);
            if (end == NO_FILTER)
                GTEST_SKIP() << "this kernel takes no seccomp filter";
            EXPECT_EQ(end, SENT) << refused.size() << " refused, size " << size;
            if (end != SENT)
                continue;
            EXPECT_EQ(receiver.receiveStream(), expectedStream(content, requestFor("f")))
                << refused.size() << " refused, size " << size;
            EXPECT_FALSE(receiver.receive(100ms)) << "a datagram after the last";
        }
}

// A receiver that takes one datagram per call from a default-sized queue,
// and dawdles, still gets every byte when the stream is paced.
TEST(Pacing, MakesASlowPlainReceiverLossless) {
    Peer receiver;
    int small = 0; // back to the kernel's default queue
    setsockopt(receiver.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string content = patternBytes(3000 * DATAGRAM_SIZE, 3);
    std::vector<std::string> got;
    std::thread reader([&] {
        while (auto datagram = receiver.receive(20s)) {
            got.push_back(*datagram);
            if (got.size() % 100 == 0)
                std::this_thread::sleep_for(2ms);
            if (datagram->front() == Cipher(END_MARKER))
                break;
        }
    });
    ReceiverQueues queues;
    SendPath path = SendPath::Segmented;
    EXPECT_EQ(stream(content, receiver, path, &queues), StreamEnd::Sent);
    reader.join();
    EXPECT_EQ(got, expectedStream(content, requestFor("f")));
}

TEST(Pacing, StopsWhenTheReceiverGoesOrStalls) {
    ReceiverQueues queues;
    SendPath path = SendPath::Segmented;
    std::string content = patternBytes(20000 * DATAGRAM_SIZE, 4);
    auto receiver = std::make_unique<Peer>();
    std::thread closer([&] {
        receiver->receive(20s); // the stream has begun
        receiver.reset();
    });
    EXPECT_EQ(stream(content, *receiver, path, &queues), StreamEnd::ReceiverGone);
    closer.join();

    Peer idle; // never reads
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(stream(content, idle, path, &queues), StreamEnd::ReceiverStalled);
    auto stalled = std::chrono::steady_clock::now() - started;
    EXPECT_GE(stalled, STALL_LIMIT);
    EXPECT_LT(stalled, 2 * STALL_LIMIT);
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
    Pacer pacer(&queues, receiver.address());
    const std::size_t wanted = 100000;
    std::size_t before = wanted;
    ASSERT_EQ(pacer.admit(before), Pace::Go);
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
    ASSERT_EQ(pacer.admit(after), Pace::Go);
    EXPECT_LT(after, before);
}

// Receives on path, as the client does, what send sends from the server's
// port; returns what was printed.
std::string receiveOn(RecvPath path, const std::function<void(const Peer& client)>& send) {
    // Connected to the server's port, as the client's socket is.
    Peer client;
    sockaddr_in server = serviceAddress(htonl(INADDR_LOOPBACK));
    connect(client.fd(), reinterpret_cast<sockaddr*>(&server), sizeof server);
    TempDir dir;
    Fd sink{open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0600)};
    std::thread sender([&] { send(client); });
    Output out(sink.get());
    EXPECT_EQ(recvStream(client.fd(), out, path), Received::Ended) << static_cast<int>(path);
    out.flush();
    sender.join();
    return readFile(dir / "out");
}

std::string encipher(std::string plain) {
    for (char& ch : plain)
        ch = Cipher(ch);
    return plain;
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
            SendPath segmented = SendPath::Segmented;
            stream(content, client, segmented, &queues);
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

TEST(RecvSegments, HandlesEachSegmentAsADatagram) {
    struct Case {
        std::string data;
        std::size_t segment;
        std::string printed;
        int ended;
    } cases[] = {
        {std::string(40, Cipher('a')), 0, std::string(32, 'a'), 0},  // one long datagram
        {std::string(40, Cipher('a')), 20, std::string(40, 'a'), 0}, // short segments
        {std::string(64, Cipher('b')), 48, std::string(48, 'b'), 0}, // 48+16, each cut to 32
        {std::string(3, Cipher('c')) + Cipher(END_MARKER) + "zz", 2, "ccc",
         1}, // stops at the marker
        {"", 32, "", 0},
        {std::string(5, Cipher('d')), 5, "ddddd", 0},                // a short datagram alone
        {"", 0, "", 0},                                              // an empty one alone
        {std::string(37, Cipher('e')), 32, std::string(37, 'e'), 0}, // the last one short
    };
    for (const Case& c : cases) {
        TempDir dir;
        Fd sink{open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0600)};
        Output out(sink.get());
        EXPECT_EQ(recvSegments(c.data.data(), c.data.size(), c.segment, out), c.ended);
        out.flush();
        EXPECT_EQ(readFile(dir / "out"), c.printed) << c.data.size() << "/" << c.segment;
    }
}

} // namespace
