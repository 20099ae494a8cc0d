// server: answers each request datagram on SERVICE_PORT with the named
// file, enciphered, in 32-byte datagrams, until it is sent "quit". Many
// replies are in flight at once, each sent at its own receiver's pace by one
// thread that gives every stream a turn.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include "arguments.hpp"
#include "flow.hpp"
#include "protocol.hpp"
#include "reader.hpp"
#include "request.hpp"
#include "stream.hpp"

namespace {

// Replies in flight at most, each holding an open file. Beyond it a new
// request stops the stream whose receiver has taken nothing for longest.
constexpr std::size_t MOST_STREAMS = 4096;
// Descriptors kept for everything but the streams' files.
constexpr rlim_t SPARE_DESCRIPTORS = 32;
// Requests taken per receive call.
constexpr std::size_t REQUEST_BATCH = Outbox::CAPACITY;
// The log is written in blocks, but never held back longer than this.
constexpr auto LOG_DELAY = std::chrono::milliseconds(10);

const char* const WAITING = "\nWaiting for file name...";

// What the server was started with, for the request loop.
struct Service {
    int sock;
    SendMethod how;
    ReceiverQueues* queues;
    unsigned loopback; // the interface index of lo
    std::size_t slots; // how many streams may be in flight
};

struct Request {
    Datagram buf;
    Route route;
    bool onLoopback = false; // arrived on lo, as all traffic within this machine does
};

// One reply in flight, with what its log lines need.
struct InFlight {
    std::string name; // as logged
    Stream stream;
    bool overlapped = false; // others were in flight during its life: say whose lines are whose
    bool behind = false;     // an earlier stream to the same receiver goes first
};

bool bindSocket(int sock, const sockaddr_in& addr) {
    if (bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        std::puts("\nBinding Failed!");
        return false;
    }
    std::puts("\nSuccessfully binded!");
    return true;
}

// Each stream holds a file open: the soft limit on descriptors is raised as
// far as the streams need and the hard limit allows.
std::size_t streamSlots() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1;
    rlim_t wanted = MOST_STREAMS + SPARE_DESCRIPTORS;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(wanted, limit.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0 && getrlimit(RLIMIT_NOFILE, &limit) != 0)
            return 1;
    }
    if (limit.rlim_cur <= SPARE_DESCRIPTORS)
        return 1;
    return std::min<std::size_t>(MOST_STREAMS, limit.rlim_cur - SPARE_DESCRIPTORS);
}

// Says why a request gets no reply, or returns false when it gets one.
// The service moves files between processes on this machine: another host
// could fetch any file, or forge a requester's address and have a file sent
// to a victim, so only requests that came through the loopback device are
// answered. A reply to the service's own port, or to a port below 1024
// where echo, chargen and name services live, could start a loop between
// two servers that a single forged datagram keeps going for ever.
bool refused(const Request& req) {
    const sockaddr_in& peer = req.route.peer;
    if (!req.onLoopback) {
        char addr[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
        std::printf("\nNo reply sent: the request came from %s, which is another host!\n", addr);
        return true;
    }
    std::uint16_t port = ntohs(peer.sin_port);
    if (port != SERVICE_PORT && port >= 1024)
        return false;
    std::printf("\nNo reply sent: the request came from port %u, which is privileged or the "
                "service's own!\n",
                port);
    return true;
}

// Takes the requests waiting, up to a batch; with wait, blocks until one
// comes. Each learns the address it was sent to, which its replies come
// from, and the device it arrived on.
int receiveRequests(const Service& svc, Request* reqs, bool wait) {
    mmsghdr msgs[REQUEST_BATCH] = {};
    iovec iov[REQUEST_BATCH];
    alignas(cmsghdr) char control[REQUEST_BATCH][CMSG_SPACE(sizeof(in_pktinfo))];
    for (std::size_t i = 0; i < REQUEST_BATCH; ++i) {
        clearBuf(reqs[i].buf);
        iov[i] = {reqs[i].buf, DATAGRAM_SIZE};
        msghdr& msg = msgs[i].msg_hdr;
        msg.msg_name = &reqs[i].route.peer;
        msg.msg_namelen = sizeof reqs[i].route.peer;
        msg.msg_iov = &iov[i];
        msg.msg_iovlen = 1;
        msg.msg_control = control[i];
        msg.msg_controllen = sizeof control[i];
    }
    int got =
        recvmmsg(svc.sock, msgs, REQUEST_BATCH, wait ? MSG_WAITFORONE : MSG_DONTWAIT, nullptr);
    if (got < 0) // none waiting, a signal, or a failed receive: back to the loop
        return 0;
    for (int i = 0; i < got; ++i) {
        msghdr& msg = msgs[i].msg_hdr;
        for (cmsghdr* cmsg = CMSG_FIRSTHDR(&msg); cmsg; cmsg = CMSG_NXTHDR(&msg, cmsg)) {
            if (cmsg->cmsg_level != IPPROTO_IP || cmsg->cmsg_type != IP_PKTINFO)
                continue;
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(cmsg), sizeof info);
            reqs[i].route.local = info.ipi_spec_dst;
            reqs[i].onLoopback = static_cast<unsigned>(info.ipi_ifindex) == svc.loopback;
        }
    }
    return got;
}

// Writes one line that ends a stream. While others are in flight, the line
// says which file and which receiver it speaks of.
void logEnd(const InFlight& flight, const char* text) {
    if (!flight.overlapped) {
        std::puts(text);
        return;
    }
    const sockaddr_in& peer = flight.stream.route().peer;
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
    std::printf("%s (%s to %s:%u)\n", text, flight.name.c_str(), addr, ntohs(peer.sin_port));
}

// Tells the operator when the copy a requester got is not the whole file.
void reportEnd(InFlight& flight, StreamEnd end) {
    const Reader* file = flight.stream.file();
    char text[128];
    if (end == StreamEnd::SendFailed)
        logEnd(flight, "\nReply send failed!");
    else if (end == StreamEnd::ReceiverGone)
        logEnd(flight, "\nReceiver gone: transfer stopped!");
    else if (end == StreamEnd::ReceiverStalled)
        logEnd(flight, "\nReceiver stalled: transfer stopped!");
    else if (end == StreamEnd::ReadFailed) {
        std::snprintf(text, sizeof text, "\nFile read failed at offset %llu!",
                      static_cast<unsigned long long>(file->offset()));
        logEnd(flight, text);
    } else if (file && file->cut()) {
        std::snprintf(text, sizeof text,
                      "\nFile truncated at offset %llu: it contains the end marker byte 0xFF!",
                      static_cast<unsigned long long>(file->offset() - 1));
        logEnd(flight, text);
    }
    if (std::uint32_t dropped = flight.stream.dropped()) {
        std::snprintf(text, sizeof text, "\nReceiver dropped %u datagrams!", dropped);
        logEnd(flight, text);
    }
}

// Ends the stream at i. When it was the one going to its receiver, the
// next one to the same receiver may begin.
void endStream(std::vector<InFlight>& streams, std::size_t i, StreamEnd end) {
    reportEnd(streams[i], end);
    const sockaddr_in& peer = streams[i].stream.route().peer;
    auto next =
        std::find_if(streams.begin() + static_cast<std::ptrdiff_t>(i) + 1, streams.end(),
                     [&](const InFlight& f) { return samePeer(f.stream.route().peer, peer); });
    if (!streams[i].behind && next != streams.end())
        next->behind = false;
    streams.erase(streams.begin() + static_cast<std::ptrdiff_t>(i));
}

// Every slot is taken: the stream whose receiver has taken nothing for
// longest makes room, as if it had stalled.
void evictIdlest(std::vector<InFlight>& streams) {
    auto idlest = std::min_element(streams.begin(), streams.end(), [](auto& a, auto& b) {
        return a.stream.lastProgress() < b.stream.lastProgress();
    });
    idlest->stream.giveUp();
    endStream(streams, static_cast<std::size_t>(idlest - streams.begin()),
              StreamEnd::ReceiverStalled);
}

// Sends the one-datagram replies gathered so far.
void sendOutbox(const Service& svc, Outbox& outbox) {
    for (std::size_t failed = outbox.send(svc.sock); failed > 0; --failed)
        std::puts("\nReply send failed!");
}

// Logs one request and starts its stream, whose first turn comes at once
// unless an earlier stream to the same receiver is in flight; a reply of one
// datagram waits in outbox. True on "quit".
bool startRequest(const Service& svc, std::vector<InFlight>& streams, Datagram* batch,
                  Outbox& outbox, const Request& req) {
    std::string_view name = requestName(req.buf);
    std::optional<Reader> file;
    if (Fd fd = openRequested(name); fd.valid())
        file.emplace(std::move(fd));
    std::string shown = escapeName(name);
    std::printf("\nFile Name Received: %s\n", shown.c_str());
    if (name == "quit") {
        std::puts("Exiting..........");
        return true;
    }
    std::puts(file ? "\nFile Successfully opened!" : "\nFile open failed!");
    if (refused(req))
        return false;
    InFlight flight{shown, Stream(req.route, std::move(file), req.buf, svc.how, svc.queues)};
    auto samePeerAs = [&](const InFlight& other) {
        return samePeer(other.stream.route().peer, req.route.peer);
    };
    for (InFlight& other : streams)
        other.overlapped = flight.overlapped = true;
    flight.behind = std::any_of(streams.begin(), streams.end(), samePeerAs);
    // An earlier reply to the same receiver still in the outbox goes first:
    // a longer reply's first turn would otherwise overtake it.
    if (!flight.behind && outbox.holds(req.route.peer))
        sendOutbox(svc, outbox);
    if (!flight.behind)
        if (auto end = flight.stream.turn(svc.sock, batch, Clock::now(), &outbox)) {
            reportEnd(flight, *end);
            return false;
        }
    // Only a stream still in flight after its first turn needs a slot.
    if (streams.size() >= svc.slots) {
        evictIdlest(streams);
        flight.behind = std::any_of(streams.begin(), streams.end(), samePeerAs);
    }
    streams.push_back(std::move(flight));
    return false;
}

// Gives every stream that may send a turn. Returns when the next turn is
// due: now when any stream sent or ended.
Clock::time_point giveTurns(const Service& svc, std::vector<InFlight>& streams, Datagram* batch) {
    Clock::time_point now = Clock::now();
    Clock::time_point next = now + std::chrono::seconds(1);
    for (std::size_t i = 0; i < streams.size();) {
        Stream& stream = streams[i].stream;
        if (streams[i].behind || stream.due() > now) {
            if (!streams[i].behind)
                next = std::min(next, stream.due());
            ++i;
            continue;
        }
        if (auto end = stream.turn(svc.sock, batch, now)) {
            endStream(streams, i, *end);
            next = now;
            continue;
        }
        next = std::min(next, std::max(stream.due(), now)); // still due: it sent
        ++i;
    }
    return next;
}

// Naps until the next turn is due or, unless quitting, a request comes.
// The log goes out first, so that the operator sees each request at once.
void napUntil(const Service& svc, Clock::time_point due, bool quitting) {
    std::fflush(stdout);
    auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(due - Clock::now());
    if (wait.count() <= 0)
        return;
    timespec ts{static_cast<time_t>(wait.count() / 1000000000),
                static_cast<long>(wait.count() % 1000000000)};
    pollfd pfd{quitting ? -1 : svc.sock, POLLIN, 0};
    ppoll(&pfd, 1, &ts, nullptr); // woken early or not, the loop looks again
}

// The request loop: take every waiting request, give every stream a turn,
// and nap only when no stream can send and no request waits. After "quit"
// no request is taken; the streams in flight run to their end.
void serve(const Service& svc) {
    std::vector<InFlight> streams;
    std::vector<Datagram> batch(BATCH_DATAGRAMS);
    std::vector<Request> reqs(REQUEST_BATCH);
    Outbox outbox;
    bool quitting = false;
    Clock::time_point flushed = Clock::now();
    std::puts(WAITING);
    for (;;) {
        if (!quitting) {
            bool idle = streams.empty();
            if (idle)
                std::fflush(stdout); // about to block
            int n = receiveRequests(svc, reqs.data(), idle);
            for (int i = 0; i < n && !quitting; ++i)
                quitting = startRequest(svc, streams, batch.data(), outbox, reqs[i]);
            sendOutbox(svc, outbox);
            if (n > 0 && streams.empty() && !quitting)
                std::puts(WAITING);
        }
        if (streams.empty()) {
            if (quitting)
                return;
            continue;
        }
        Clock::time_point next = giveTurns(svc, streams, batch.data());
        if (streams.empty() && !quitting)
            std::puts(WAITING);
        if (next > Clock::now()) {
            napUntil(svc, next, quitting);
            flushed = Clock::now();
        } else if (Clock::now() - flushed > LOG_DELAY) {
            std::fflush(stdout);
            flushed = Clock::now();
        }
    }
}

} // namespace

int main(int argc, char* argv[]) {
    handleArguments(
        argc, argv, "server",
        "Serves the files below its working directory on UDP port 15050 until sent \"quit\".");
    openStandardStreams();
    // A log that can no longer be written must not stop the serving.
    std::signal(SIGPIPE, SIG_IGN); // cannot fail for this signal
    sockaddr_in addr = serviceAddress(htonl(INADDR_ANY));

    Fd sock = openSocket();
    if (!sock.valid())
        return 1;
    if (!bindSocket(sock.get(), addr))
        return 1;
    int on = 1;
    if (setsockopt(sock.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        std::puts("\nCannot learn where requests arrive (IP_PKTINFO)!");
        return 1;
    }
    enlargeReceiveBuffer(sock.get());
    ReceiverQueues queues;
    if (!queues.available())
        std::puts("\nNo UDP socket diagnostics in this kernel: replies are not paced!");
    Service svc{sock.get(), probeSending(), &queues, if_nametoindex("lo"), streamSlots()};
    serve(svc);
    std::fflush(stdout);
    return 0;
}
