// server: answers each request datagram on SERVICE_PORT, or the port it is
// given, with the named file below its directory, enciphered, in 32-byte
// datagrams, until it is sent "quit". Many replies are in flight at once,
// each sent at its own receiver's pace by one thread that gives every
// stream a turn.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include "arguments.hpp"
#include "flood.hpp"
#include "flow.hpp"
#include "local.hpp"
#include "log.hpp"
#include "protocol.hpp"
#include "reader.hpp"
#include "request.hpp"
#include "schedule.hpp"
#include "service.hpp"
#include "stream.hpp"

namespace {

using namespace std::chrono_literals;

// Replies in flight at most, each holding an open file. Beyond it a new
// request stops the idlest stream of the user who holds the most.
constexpr std::size_t MOST_STREAMS = 4096;
// Descriptors kept for everything but the streams' files: the socket, the
// log, the kernel's answers and the files kept open for names asked again.
constexpr rlim_t SPARE_DESCRIPTORS = 32;
static_assert(OpenFiles::MOST <= SPARE_DESCRIPTORS / 4);
// Requests taken per receive call.
constexpr std::size_t REQUEST_BATCH = Outbox::CAPACITY;
// Requests one socket may have waiting behind its reply in flight.
constexpr std::size_t MOST_WAITING = 64;
// How long the streams' turns may go on before requests are taken again.
constexpr auto TURNS_SLICE = 2ms;
// After "quit", how long the streams in flight may take to finish.
constexpr auto GOODBYE_LIMIT = 30s;
// How long the log's new lines may wait before they go to its writer: each
// wake of the writer costs a switch to another thread, and a busy loop takes
// a batch of requests far more often than this.
constexpr auto LOG_DELAY = 10ms;
// How long the log may take to go out once the server is done.
constexpr auto LAST_WORDS = 1000ms;

const char* const WAITING = "\nWaiting for file name...";

const Help HELP = {
    " [--no-quit] [--port N] [DIR]",
    "Serves the files below DIR, by default its working directory, on UDP port 15050\n"
    "until sent \"quit\". Example: server --port 15051 /srv/files",
    "  --no-quit  refuse \"quit\" from anyone: a service manager stops this server\n"
    "  --port N   serve on UDP port N instead of 15050\n"
    "It also takes -h (--help) and --version."};

// What the command line asks for.
struct Options {
    bool noQuit = false;               // --no-quit
    std::uint16_t port = SERVICE_PORT; // --port
    const char* dir = nullptr;         // DIR, in place of the working directory
};

// What the server was started with, for the request loop.
struct Service {
    int sock;
    std::uint16_t port; // the one it serves on
    SendMethod how;
    ReceiverQueues* queues;
    LocalAddresses* local;
    Log* log;
    std::size_t slots;        // how many streams may be in flight
    bool noQuit;              // its service manager stops it: "quit" is refused
    const sigset_t* waitMask; // the mask under which it waits: stop signals get in
};

struct Request {
    Datagram buf;
    Route route;
};

// One reply in flight, with what its log lines need.
struct InFlight {
    std::string name; // as logged
    Stream stream;
    bool quiet = false;     // its sender floods: its lines are counted, not written
    std::uint64_t said = 0; // what the log had said once its request was logged
};

// A request that waits for the reply in flight to the same socket. It holds
// no file and no slot: only its bytes.
struct Waiting {
    Request req;
    bool quiet;
};

// What the request loop keeps from one pass to the next.
struct Loop {
    std::unordered_map<Schedule::Id, InFlight> streams;
    // The sockets with a reply in flight, by address and port, and the
    // requests each sent since.
    std::unordered_map<std::uint64_t, std::deque<Waiting>> receivers;
    Schedule schedule;
    Schedule::Id begun = 0; // streams begun so far: the next one's id
    std::vector<Datagram> batch = std::vector<Datagram>(BATCH_ROOM);
    std::vector<Request> reqs = std::vector<Request>(REQUEST_BATCH);
    Outbox outbox;
    OpenFiles files;
    FloodGate gate;
    std::optional<Clock::time_point> stopBy; // set by "quit"
    std::uint64_t flushedSaid = 0;           // what the log had said when last flushed
    Clock::time_point flushBy = Clock::time_point::max();
};

// A failed bind says why on standard error too, after the log's line, for
// whoever reads only that: a service manager's status or a terminal.
bool bindSocket(int sock, const sockaddr_in& addr, Log& log) {
    if (bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        int why = errno;
        log.line("\nBinding Failed!", Priority::Err);
        log.drain(LAST_WORDS);
        std::fprintf(stderr, "%sserver: cannot bind UDP port %d: %s\n",
                     journalStream(STDERR_FILENO) ? "<3>" : "", ntohs(addr.sin_port),
                     std::strerror(why));
        return false;
    }
    log.line("\nSuccessfully binded!");
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

std::string dotted(in_addr addr) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

// The user who owns the socket that sent req, as the kernel reports it;
// nothing when that socket is gone or the kernel cannot be asked.
std::optional<std::uint32_t> senderOwner(const Service& svc, const Request& req) {
    QueueState sender;
    if (svc.queues->query(serviceAddress(req.route.local.s_addr, svc.port), req.route.peer,
                          sender) != Lookup::Found)
        return std::nullopt;
    return sender.owner;
}

// Only the server's own user, or root, may stop it. The requesting socket's
// owner, as the kernel reports it, says who sent "quit"; a sender whose
// socket is already gone cannot be judged and is obeyed, since a plain
// client sends "quit" and ends at once. So this stops another user's
// ordinary client, not a determined one, which need only close its socket.
std::string quitRefusal(const Service& svc, const Request& req) {
    if (svc.noQuit)
        return "\nQuit refused: this server is stopped by its service manager!";
    std::optional<std::uint32_t> sender = senderOwner(svc, req);
    if (!sender || *sender == 0 || *sender == geteuid())
        return {};
    return "\nQuit refused: the sending socket belongs to user " + std::to_string(*sender) +
           ", not to the server's user or root!";
}

// Says why a request gets no reply, or returns an empty text when it gets
// one. The service moves files between processes on this machine: another
// host could fetch any file, or forge a requester's address and have a file
// sent to a victim, so only requests from this machine's own addresses are
// answered, which the kernel never lets another host claim. A reply to the
// service's own port, or to a port below 1024 where echo, chargen and name
// services live, could start a loop between two servers that a single
// forged datagram keeps going for ever.
std::string refusal(const Service& svc, const Request& req, bool stopping) {
    const sockaddr_in& peer = req.route.peer;
    if (!svc.local->local(peer.sin_addr))
        return "\nNo reply sent: the request came from " + dotted(peer.sin_addr) +
               ", which is another host!";
    std::uint16_t port = ntohs(peer.sin_port);
    if (port == svc.port || port < 1024)
        return "\nNo reply sent: the request came from port " + std::to_string(port) +
               ", which is privileged or the service's own!";
    if (stopping)
        return "\nNo reply sent: the server is stopping!";
    return {};
}

// Waits until a request comes, limit passes or a stop signal arrives: the
// one place where those signals get in.
void awaitRequest(const Service& svc, const timespec* limit) {
    pollfd pfd{svc.sock, POLLIN, 0};
    ppoll(&pfd, 1, limit, svc.waitMask); // woken early or not, the loop looks again
}

// Takes the requests waiting, up to a batch; with wait, first waits for
// one or a stop signal. Each learns the address it was sent to, which its replies come from.
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
    if (wait)
        awaitRequest(svc, nullptr);
    int got = recvmmsg(svc.sock, msgs, REQUEST_BATCH, MSG_DONTWAIT, nullptr);
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
        }
    }
    return got;
}

std::string receiverName(const sockaddr_in& peer) {
    return dotted(peer.sin_addr) + ":" + std::to_string(ntohs(peer.sin_port));
}

// Writes one line that ends a stream. Where the log has said anything else
// since the stream's request, the line says which file and which receiver
// it speaks of.
void logEnd(const Service& svc, const InFlight& flight, bool plain, const char* text,
            Priority priority = Priority::Warning) {
    if (flight.quiet)
        return;
    if (plain) {
        svc.log->line(text, priority);
        return;
    }
    svc.log->format(priority, "%s (%s to %s)\n", text, flight.name.c_str(),
                    receiverName(flight.stream.route().peer).c_str());
}

// Tells the operator when the copy a requester got is not the whole file.
void reportEnd(const Service& svc, InFlight& flight, StreamEnd end) {
    const Reader* file = flight.stream.file();
    bool plain = svc.log->said() == flight.said;
    char text[128];
    if (end == StreamEnd::SendFailed)
        logEnd(svc, flight, plain, "\nReply send failed!", Priority::Err);
    else if (end == StreamEnd::ReceiverGone)
        logEnd(svc, flight, plain, "\nReceiver gone: transfer stopped!");
    else if (end == StreamEnd::ReceiverStalled)
        logEnd(svc, flight, plain, "\nReceiver stalled: transfer stopped!");
    else if (end == StreamEnd::Stopped)
        logEnd(svc, flight, plain, "\nServer stopping: transfer stopped!");
    else if (end == StreamEnd::Evicted)
        logEnd(svc, flight, plain, "\nToo many streams: transfer stopped!");
    else if (end == StreamEnd::ReadFailed) {
        std::snprintf(text, sizeof text, "\nFile read failed at offset %llu!",
                      static_cast<unsigned long long>(file->offset()));
        logEnd(svc, flight, plain, text, Priority::Err);
    } else if (file && file->cut()) {
        std::snprintf(text, sizeof text,
                      "\nFile truncated at offset %llu: it contains the end marker byte 0xFF!",
                      static_cast<unsigned long long>(file->offset() - 1));
        logEnd(svc, flight, plain, text);
    } else if (file && file->shrunk()) {
        std::string warning = "\nFile shrank while it was sent: " + flight.name + " had " +
                              std::to_string(file->promised()) + " bytes when opened, " +
                              std::to_string(file->shrunkTo()) + " when read!";
        logEnd(svc, flight, plain, warning.c_str());
    }
    if (std::uint32_t dropped = flight.stream.dropped()) {
        std::snprintf(text, sizeof text, "\nReceiver dropped %u datagrams!", dropped);
        logEnd(svc, flight, plain, text);
    }
}

// Sends the one-datagram replies gathered so far.
void sendOutbox(const Service& svc, Outbox& outbox) {
    for (std::size_t failed = outbox.send(svc.sock); failed > 0; --failed)
        svc.log->line("\nReply send failed!", Priority::Err);
}

void startRequest(const Service& svc, Loop& loop, const Waiting& next);

// Ends a stream, and begins the next request its receiver sent, unless
// the stream was stopped for a slot or by "quit": then those are dropped.
void endStream(const Service& svc, Loop& loop, Schedule::Id id, StreamEnd end) {
    InFlight& flight = loop.streams.at(id);
    reportEnd(svc, flight, end);
    std::uint64_t key = peerKey(flight.stream.route().peer);
    loop.schedule.remove(id);
    loop.streams.erase(id);
    std::deque<Waiting> waiting = std::move(loop.receivers.at(key));
    loop.receivers.erase(key);
    if (end == StreamEnd::Evicted || end == StreamEnd::Stopped) {
        if (!waiting.empty() && !waiting.front().quiet)
            svc.log->format(Priority::Warning, "\n%zu requests from %s dropped with it!\n",
                            waiting.size(), receiverName(waiting.front().req.route.peer).c_str());
        return;
    }
    for (const Waiting& next : waiting)
        startRequest(svc, loop, next); // the first still in flight holds the rest back
}

// Every slot is taken: the user who holds the most streams gives up the
// one whose receiver has taken nothing for longest. A user who holds fewer
// than another never loses a stream to that other's request.
void evict(const Service& svc, Loop& loop, std::uint32_t requester) {
    std::uint32_t heaviest = loop.schedule.heaviest(requester);
    auto idlest = loop.streams.end();
    for (auto it = loop.streams.begin(); it != loop.streams.end(); ++it)
        if (it->second.stream.owner() == heaviest &&
            (idlest == loop.streams.end() ||
             it->second.stream.lastProgress() < idlest->second.stream.lastProgress()))
            idlest = it;
    if (idlest != loop.streams.end())
        endStream(svc, loop, idlest->first, StreamEnd::Evicted);
}

// A file that not every user could read themselves goes only to the
// server's own user and root: the server must not lend its rights to
// whoever asks. Says why it is refused, or returns an empty text. Asking the
// kernel who asks costs a query, which public files never pay.
std::string privateRefusal(const Service& svc, const Request& req) {
    std::optional<std::uint32_t> asker = senderOwner(svc, req);
    if (!asker)
        return "not publicly readable, and who asks cannot be known";
    if (*asker == 0 || *asker == geteuid())
        return {};
    return "not publicly readable, and requested by another user (uid " + std::to_string(*asker) +
           ")";
}

// The journal, which keeps the log for later, says why an open failed;
// the plain log keeps the plain line, but for a file kept from another
// user, which the operator must be able to tell from a missing one.
void logOpen(const Service& svc, bool opened, int why, const std::string& refused) {
    if (opened)
        svc.log->line("\nFile Successfully opened!");
    else if (!refused.empty())
        svc.log->format(Priority::Warning, "\nFile open failed! (%s)\n", refused.c_str());
    else if (svc.log->journal() && why != 0)
        svc.log->format(Priority::Err, "\nFile open failed! (%s)\n", openFailure(why).c_str());
    else
        svc.log->line("\nFile open failed!", Priority::Err);
}

// Opens the file a request names and gives its stream the first turn at
// once; a reply of one datagram waits in the outbox. Only a stream still in
// flight after that turn takes a slot.
void startRequest(const Service& svc, Loop& loop, const Waiting& next) {
    const Request& req = next.req;
    std::uint64_t key = peerKey(req.route.peer);
    if (auto behind = loop.receivers.find(key); behind != loop.receivers.end()) {
        behind->second.push_back(next);
        return;
    }
    std::string_view name = requestName(req.buf);
    std::optional<Reader> file;
    errno = 0; // a refusal that sets none is logged without a reason
    Found found;
    std::shared_ptr<const Fd> fd = loop.files.open(name, found, Clock::now());
    int why = errno;
    std::string refused;
    if (fd && !publiclyReadable(fd->get(), found))
        refused = privateRefusal(svc, req);
    if (fd && refused.empty())
        file.emplace(std::move(fd), static_cast<std::uint64_t>(found.st.st_size));
    if (!next.quiet)
        logOpen(svc, file.has_value(), why, refused);
    InFlight flight{escapeName(name),
                    Stream(req.route, std::move(file), req.buf, svc.how, svc.queues), next.quiet,
                    svc.log->said()};
    Schedule::Id id = loop.begun++;
    // An earlier reply to the same receiver still in the outbox goes first:
    // a longer reply's first turn would otherwise overtake it.
    if (loop.outbox.full() || loop.outbox.holds(req.route.peer))
        sendOutbox(svc, loop.outbox);
    if (auto end = flight.stream.turn(svc.sock, loop.batch.data(), Clock::now(), &loop.outbox)) {
        reportEnd(svc, flight, *end);
        return;
    }
    std::uint32_t owner = flight.stream.owner();
    if (loop.streams.size() >= svc.slots)
        evict(svc, loop, owner);
    loop.streams.emplace(id, std::move(flight));
    loop.receivers.try_emplace(key); // the socket's later requests wait behind this one
    loop.schedule.add(id, owner);
}

// A quit refused for its sender is answered with the reason, in one datagram
// that reads as a reply, so that a client waiting after "quit" learns that
// the server goes on.
void answerRefusedQuit(const Service& svc, Loop& loop, const Request& req) {
    Datagram reply;
    std::memcpy(reply, req.buf, DATAGRAM_SIZE);
    fillReply(reply,
              svc.noQuit ? "Quit refused: managed service!" : "Quit refused: not your server!");
    if (loop.outbox.full())
        sendOutbox(svc, loop.outbox);
    loop.outbox.add(req.route, reply);
}

// Judges one request before anything is done with it, logs it unless its
// sender floods, and answers it, or queues it behind the reply in flight to
// the same socket. True on a "quit" that is obeyed.
bool takeRequest(const Service& svc, Loop& loop, const Request& req) {
    std::string_view name = requestName(req.buf);
    bool quiet = !loop.gate.admit(req.route.peer.sin_addr, Clock::now());
    if (!quiet)
        svc.log->format("\nFile Name Received: %s\n", escapeName(name).c_str());
    if (std::string why = refusal(svc, req, loop.stopBy.has_value()); !why.empty()) {
        if (!quiet)
            svc.log->line(why, Priority::Warning);
        return false;
    }
    if (name == "quit") {
        std::string why = quitRefusal(svc, req);
        if (why.empty()) {
            svc.log->line("Exiting..........");
            return true;
        }
        if (!quiet) {
            svc.log->line(why, Priority::Warning);
            answerRefusedQuit(svc, loop, req);
        }
        return false;
    }
    auto behind = loop.receivers.find(peerKey(req.route.peer));
    if (behind != loop.receivers.end() && behind->second.size() >= MOST_WAITING) {
        if (!quiet)
            svc.log->format(Priority::Warning,
                            "\nRequest dropped: %zu requests from %s wait already!\n", MOST_WAITING,
                            receiverName(req.route.peer).c_str());
        return false;
    }
    startRequest(svc, loop, {req, quiet});
    return false;
}

// Gives turns, by the schedule's order, to the streams that may send,
// for at most a slice of time: then requests are taken again.
void giveTurns(const Service& svc, Loop& loop) {
    Clock::time_point now = Clock::now(), until = now + TURNS_SLICE;
    while (now < until) {
        std::optional<Schedule::Id> id = loop.schedule.next(now);
        if (!id)
            break;
        Stream& stream = loop.streams.at(*id).stream;
        if (auto end = stream.turn(svc.sock, loop.batch.data(), now))
            endStream(svc, loop, *id, *end);
        else if (stream.due() > now)
            loop.schedule.later(*id, stream.due());
        else
            loop.schedule.again(*id);
        now = Clock::now();
    }
    sendOutbox(svc, loop.outbox); // the replies of requests that waited for a stream's end
}

// Hands the log's new lines to its writer once they have waited LOG_DELAY,
// or at once before the loop sleeps with no end in sight. Returns when it
// must be called again.
Clock::time_point flushLog(const Service& svc, Loop& loop, Clock::time_point now, bool sleeping) {
    if (svc.log->said() == loop.flushedSaid)
        return Clock::time_point::max();
    loop.flushBy = std::min(loop.flushBy, now + LOG_DELAY);
    if (!sleeping && now < loop.flushBy)
        return loop.flushBy;
    svc.log->flush();
    loop.flushedSaid = svc.log->said();
    loop.flushBy = Clock::time_point::max();
    return loop.flushBy;
}

// Naps until due or until a request comes.
void napUntil(const Service& svc, Clock::time_point due) {
    auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(due - Clock::now());
    if (wait.count() <= 0)
        return;
    timespec ts{static_cast<time_t>(wait.count() / 1000000000),
                static_cast<long>(wait.count() % 1000000000)};
    awaitRequest(svc, &ts);
}

// From now on no request is answered, and the streams in flight have a
// while to finish.
void beginGoodbye(Loop& loop) {
    loop.stopBy = Clock::now() + GOODBYE_LIMIT;
    notifyManager("STOPPING=1");
}

// SIGTERM or SIGINT begins the goodbye "quit" begins; another ends it at
// once, for an operator who will not wait.
void heedStopSignals(const Service& svc, Loop& loop, int& heeded) {
    int asked = stopsAsked();
    if (asked == heeded)
        return;
    heeded = asked;
    if (loop.stopBy) {
        loop.stopBy = Clock::now();
        return;
    }
    svc.log->line("\nStop signal received: the server is stopping!");
    beginGoodbye(loop);
}

// Takes every waiting request and answers or refuses each. After "quit"
// every request is refused, the rest of its batch included.
void takeRequests(const Service& svc, Loop& loop, bool wait) {
    int n = receiveRequests(svc, loop.reqs.data(), wait);
    // After the wait, addresses may have changed meanwhile; only a sender
    // outside 127.0.0.0/8 is judged by them, so only one costs a look.
    if (std::any_of(loop.reqs.begin(), loop.reqs.begin() + n, [](const Request& req) {
            return !LocalAddresses::loopback(req.route.peer.sin_addr);
        }))
        svc.local->refresh();
    for (int i = 0; i < n; ++i)
        if (takeRequest(svc, loop, loop.reqs[i]))
            beginGoodbye(loop);
    sendOutbox(svc, loop.outbox);
}

// When the loop must wake though no stream is in flight: to summarise a
// flood, or to close the files kept open; time_point::max() when never.
Clock::time_point ownDue(const Loop& loop) {
    return std::min(loop.gate.due(), loop.files.due());
}

// The request loop: take every waiting request, give the streams turns,
// and nap only when no stream can send and no request waits. After "quit",
// the streams in flight have a while to finish; then the rest are stopped.
void serve(const Service& svc) {
    Loop loop;
    // How much the log had said when it last said WAITING: it says it again
    // only after something else, so that a flood the gate keeps quiet
    // cannot fill the log with it.
    std::uint64_t waitingSaid = ~std::uint64_t{0};
    int heeded = 0; // stop signals acted on
    for (;;) {
        if (svc.log->said() != waitingSaid && loop.streams.empty() && !loop.stopBy) {
            svc.log->line(WAITING);
            waitingSaid = svc.log->said();
        }
        bool idle =
            loop.streams.empty() && !loop.stopBy && ownDue(loop) == Clock::time_point::max();
        if (idle)
            flushLog(svc, loop, Clock::now(), true);
        takeRequests(svc, loop, idle);
        heedStopSignals(svc, loop, heeded);
        Clock::time_point now = Clock::now();
        loop.gate.summarise(now, *svc.log);
        loop.files.expire(now);
        if (loop.stopBy && (loop.streams.empty() || now >= *loop.stopBy)) {
            while (!loop.streams.empty())
                endStream(svc, loop, loop.streams.begin()->first, StreamEnd::Stopped);
            return;
        }
        giveTurns(svc, loop);
        Clock::time_point own = ownDue(loop);
        Clock::time_point next = std::min(loop.schedule.due(), own);
        if (loop.schedule.anyReady()) // the slice ran out
            next = now;
        if (loop.stopBy)
            next = std::min(next, *loop.stopBy);
        next = std::min(next, flushLog(svc, loop, now, false));
        if (!loop.streams.empty() || own != Clock::time_point::max())
            napUntil(svc, next);
    }
}

Options parseArguments(int argc, char* argv[]) {
    static const option LONG_OPTIONS[] = {{"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, VERSION_OPTION},
                                          {"no-quit", no_argument, nullptr, 'n'},
                                          {"port", required_argument, nullptr, PORT_OPTION},
                                          {nullptr, 0, nullptr, 0}};
    Options options;
    int operand = parseOptions(argc, argv, "server", HELP, "h", LONG_OPTIONS,
                               [&](int opt, const char* value) {
                                   if (opt == PORT_OPTION)
                                       options.port = parsePort("server", value);
                                   else
                                       options.noQuit = true;
                               });
    if (operand < argc)
        options.dir = argv[operand++];
    if (operand < argc)
        refuseArgument("server", argv[operand]);
    return options;
}

// Names are opened relative to the working directory: the served directory
// becomes it, before anything is bound. False when it cannot, said on
// standard error.
bool enterDirectory(const char* dir) {
    if (!dir || chdir(dir) == 0)
        return true;
    std::fprintf(stderr, "server: cannot serve %s: %s\n", dir, std::strerror(errno));
    return false;
}

// Binds the service's socket and serves; the status to end with.
int run(Log& log, const Options& options, const sigset_t* waitMask) {
    Fd sock{socket(AF_INET, SOCK_DGRAM, 0)};
    log.format(sock.valid() ? Priority::Info : Priority::Err, "%s", socketReport(sock).c_str());
    if (!sock.valid() ||
        !bindSocket(sock.get(), serviceAddress(htonl(INADDR_ANY), options.port), log))
        return 1;
    int on = 1;
    if (setsockopt(sock.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        log.line("\nCannot learn where requests arrive (IP_PKTINFO)!", Priority::Err);
        return 1;
    }
    enlargeReceiveBuffer(sock.get());
    ReceiverQueues queues(STALL_LIMIT, options.port);
    if (!queues.available())
        log.line("\nNo UDP socket diagnostics in this kernel: replies are not paced!",
                 Priority::Warning);
    LocalAddresses local;
    Service svc{sock.get(), options.port,  probeSending(), &queues, &local,
                &log,       streamSlots(), options.noQuit, waitMask};
    notifyManager("READY=1");
    serve(svc);
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    Options options = parseArguments(argc, argv);
    openStandardStreams();
    if (!enterDirectory(options.dir))
        return 1;
    // A log that can no longer be written must not stop the serving.
    std::signal(SIGPIPE, SIG_IGN); // cannot fail for this signal
    sigset_t waitMask = holdStopSignals();
    Log log; // the only writer of standard output from here on
    int status = run(log, options, &waitMask);
    log.drain(LAST_WORDS);
    return status;
}
