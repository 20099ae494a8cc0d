// Batched sending and receiving over every path, and the flow control that
// keeps a slow receiver on this machine from losing datagrams.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

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

// Streams content from the server's port to receiver, starting with how.
StreamEnd stream(const std::string& content, const Peer& receiver, SendMethod how,
                 ReceiverQueues* queues) {
    static TempDir dir;
    writeFile(dir / "f", content);
    Reader reader(Fd{open((dir / "f").c_str(), O_RDONLY)});
    Peer sender(SERVICE_PORT);
    Datagram request;
    requestFor("f").copy(request, DATAGRAM_SIZE);
    Pacer pacer(queues, receiver.address());
    return sendStream(sender.fd(), receiver.address(), &reader, request, how, pacer);
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
            for (std::size_t size : {0, 20, 64 * 32, 64 * 32 + 7, 200 * 32 + 31, 2100 * 32 + 5}) {
                std::string content = patternBytes(size, static_cast<unsigned>(size));
                Peer receiver;
                ASSERT_EQ(stream(content, receiver, how, paced), StreamEnd::Sent);
                EXPECT_EQ(receiver.receiveStream(1s), expectedStream(content, requestFor("f")))
                    << "path " << static_cast<int>(how.path) << "/" << how.segments << " size "
                    << size;
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
        while (auto datagram = receiver.receive(2s)) {
            got.push_back(*datagram);
            if (got.size() % 100 == 0)
                std::this_thread::sleep_for(2ms);
            if (datagram->front() == Cipher(END_MARKER))
                break;
        }
    });
    ReceiverQueues queues;
    EXPECT_EQ(stream(content, receiver, probeSending(), &queues), StreamEnd::Sent);
    reader.join();
    EXPECT_EQ(got, expectedStream(content, requestFor("f")));
}

TEST(Pacing, StopsWhenTheReceiverGoesOrStalls) {
    ReceiverQueues queues;
    SendMethod how = probeSending();
    std::string content = patternBytes(20000 * DATAGRAM_SIZE, 4);
    auto receiver = std::make_unique<Peer>();
    std::thread closer([&] {
        receiver->receive(2s); // the stream has begun
        receiver.reset();
    });
    EXPECT_EQ(stream(content, *receiver, how, &queues), StreamEnd::ReceiverGone);
    closer.join();

    Peer idle; // never reads
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(stream(content, idle, how, &queues), StreamEnd::ReceiverStalled);
    EXPECT_GE(std::chrono::steady_clock::now() - started, STALL_LIMIT);
}

TEST(RecvStream, EveryPathPrintsTheContent) {
    std::string content = patternBytes(5000 * DATAGRAM_SIZE + 9, 5);
    for (RecvPath path : {RecvPath::Coalesced, RecvPath::Batched, RecvPath::Single}) {
        // Connected to the server's port, as the client's socket is.
        Peer client;
        sockaddr_in server = serviceAddress(htonl(INADDR_LOOPBACK));
        connect(client.fd(), reinterpret_cast<sockaddr*>(&server), sizeof server);
        TempDir dir;
        Fd sink{open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0600)};
        std::thread sender([&] {
            // The segmented path lets the kernel merge the stream for the
            // coalesced receive, with the marker inside the last batch.
            ReceiverQueues queues;
            stream(content, client, probeSending(), &queues);
        });
        Output out(sink.get());
        EXPECT_EQ(recvStream(client.fd(), out, path), Received::Ended);
        out.flush();
        sender.join();
        EXPECT_EQ(readFile(dir / "out"), content) << static_cast<int>(path);
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
