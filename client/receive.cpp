#include "receive.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

#include <linux/sock_diag.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

namespace {

using namespace std::chrono_literals;

// The server may be busy with other requests before it reaches ours; once
// it has started, a gap this long means it has gone.
constexpr std::chrono::seconds FIRST_REPLY_TIMEOUT = 30s;
constexpr std::chrono::seconds NEXT_REPLY_TIMEOUT = 5s;

// Room for the largest datagram the kernel may merge for us.
constexpr std::size_t COALESCED_BYTES = 64 * 1024;

// A receive that brought fewer datagrams than this says the sender is slower
// than we are. Rather than be woken for each of its datagrams, which costs
// the sender as much as us, we nap and let them gather in the socket queue,
// which holds thousands. Measured with a plain sender: 16 MiB cost the client
// about 1 s of CPU without naps, 0.3 s with naps of 100 us; 200 us did no better.
constexpr int FEW_DATAGRAMS = 16;
constexpr std::chrono::microseconds NAP = 100us;

// Our server sends a cut notice of a datagram of its own in the same system
// call as the final datagram, so the two are nearly always taken together:
// the notice is waited for only this long, in case the server was kept off
// the CPU between them. A whole reply whose marker is its datagram's last
// byte pays the wait in full.
constexpr int NOTICE_WAIT_MS = 3;

// Beyond this many blocks of unwritten content, the receiver takes more
// memory only while one write has lasted SLOW_WRITE, so that an output that
// keeps up costs little of it. To a file a write takes some 30 us, but a
// loaded machine may keep the writer off the CPU for milliseconds; an output
// slower than 16 MB/s takes longer, and a plain sender delivers about 8.
constexpr std::size_t KEPT_BLOCKS = 16;
constexpr std::chrono::milliseconds SLOW_WRITE{4};

// Switching merging on costs the kernel some 0.7 ms, and as much again when
// the socket closes: more than a small file takes to arrive. So it is
// switched on only once the stream proves longer than one receive.
RecvPath coalesceFromNowOn(int sock, RecvPath path) {
    int on = 1;
    if (path == RecvPath::Coalesced && setsockopt(sock, SOL_UDP, UDP_GRO, &on, sizeof on) != 0)
        return RecvPath::Batched;
    return path;
}

void setReceiveTimeout(int sock, std::chrono::seconds limit) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(limit.count());
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

Received failure(int error) {
    if (error == EAGAIN || error == EWOULDBLOCK)
        return Received::TimedOut;
    if (error == ECONNREFUSED)
        return Received::Refused;
    return Received::Failed;
}

// n bytes (at least one) that are all the cut notice make a cut reply.
Ending noticeIn(const char* bytes, std::size_t n) {
    bool all = n > 0 && std::all_of(bytes, bytes + n, [](char ch) { return ch == CUT_NOTICE; });
    return all ? Ending::Cut : Ending::Whole;
}

// The counted bytes of a received datagram of size bytes of which the kernel
// merged datagrams of segment bytes (0: none), from its first on.
std::size_t firstDatagram(std::size_t size, std::size_t segment) {
    return std::min({segment ? segment : size, size, DATAGRAM_SIZE});
}

// What follows the marker at data[marker], in size bytes of datagrams of
// segment bytes: the rest of its datagram, or, when the marker is that
// datagram's last counted byte, the datagram after it, if one came.
Ending afterMarker(const char* data, std::size_t size, std::size_t segment, std::size_t marker) {
    std::size_t start = marker - marker % segment;
    std::size_t end = std::min(start + std::min(segment, DATAGRAM_SIZE), size);
    if (marker + 1 < end)
        return noticeIn(data + marker + 1, end - marker - 1);
    std::size_t next = start + segment;
    if (next >= size)
        return Ending::Open;
    return noticeIn(data + next, firstDatagram(size - next, segment));
}

// Waits a moment for a cut notice after a marker that ended its datagram.
Ending awaitNotice(int sock) {
    pollfd pfd{sock, POLLIN, 0};
    if (poll(&pfd, 1, NOTICE_WAIT_MS) <= 0)
        return Ending::Whole;
    Datagram buf;
    ssize_t got = recv(sock, buf, DATAGRAM_SIZE, MSG_DONTWAIT);
    return got > 0 ? noticeIn(buf, static_cast<std::size_t>(got)) : Ending::Whole;
}

// The size of the datagrams the kernel merged into msg, or 0 if it did not.
std::size_t mergedSegment(msghdr& msg) {
    for (cmsghdr* cmsg = CMSG_FIRSTHDR(&msg); cmsg; cmsg = CMSG_NXTHDR(&msg, cmsg))
        if (cmsg->cmsg_level == SOL_UDP && cmsg->cmsg_type == UDP_GRO) {
            int segment;
            std::memcpy(&segment, CMSG_DATA(cmsg), sizeof segment);
            return static_cast<std::size_t>(segment);
        }
    return 0;
}

// The buffers of the batched receive, set up once for a stream. Only the
// pages a datagram fills are ever touched, so the room kept for merged
// datagrams costs address space, not memory.
class Batch {
  public:
    Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    // Takes what the queue holds, waiting for the first datagram, and hands
    // it to out. Returns the number of datagrams taken, or -1 (errno set);
    // sets ending at the marker.
    int receive(int sock, Output& out, Ending& ending);

  private:
    std::unique_ptr<char[]> data_;
    iovec iov_[RECEIVE_BATCH];
    alignas(cmsghdr) char control_[RECEIVE_BATCH][CMSG_SPACE(sizeof(int))];
    mmsghdr msgs_[RECEIVE_BATCH] = {};
};

Batch::Batch() : data_(new char[RECEIVE_BATCH * COALESCED_BYTES]) {
    for (std::size_t i = 0; i < RECEIVE_BATCH; ++i) {
        iov_[i] = {data_.get() + i * COALESCED_BYTES, COALESCED_BYTES};
        msgs_[i].msg_hdr.msg_iov = &iov_[i];
        msgs_[i].msg_hdr.msg_iovlen = 1;
        msgs_[i].msg_hdr.msg_control = control_[i];
    }
}

int Batch::receive(int sock, Output& out, Ending& ending) {
    for (mmsghdr& msg : msgs_)
        msg.msg_hdr.msg_controllen = sizeof control_[0]; // the kernel shrinks it
    int got = recvmmsg(sock, msgs_, RECEIVE_BATCH, MSG_WAITFORONE, nullptr);
    if (got < 0)
        return -1;
    int datagrams = 0;
    for (int i = 0; i < got && ending == Ending::More; ++i) {
        std::size_t size = msgs_[i].msg_len;
        std::size_t segment = mergedSegment(msgs_[i].msg_hdr);
        datagrams += segment ? static_cast<int>((size + segment - 1) / segment) : 1;
        ending = recvSegments(static_cast<char*>(iov_[i].iov_base), size, segment, out);
        if (ending == Ending::Open && i + 1 < got) // the next message's first datagram tells
            ending =
                noticeIn(static_cast<char*>(iov_[i + 1].iov_base),
                         firstDatagram(msgs_[i + 1].msg_len, mergedSegment(msgs_[i + 1].msg_hdr)));
    }
    return datagrams;
}

int receiveSingle(int sock, Output& out, Ending& ending) {
    Datagram buf;
    ssize_t got = recv(sock, buf, DATAGRAM_SIZE, 0);
    if (got < 0)
        return -1;
    ending = recvSegments(buf, static_cast<std::size_t>(got), 0, out);
    return 1;
}

// One receive on path, again when a signal cut it short, and by plain recv
// when the kernel lacks recvmmsg.
int receive(int sock, Batch& batch, RecvPath& path, Output& out, Ending& ending) {
    for (;;) {
        int got = path == RecvPath::Single ? receiveSingle(sock, out, ending)
                                           : batch.receive(sock, out, ending);
        bool lacked = got < 0 && errno == ENOSYS && path != RecvPath::Single;
        if (lacked)
            path = RecvPath::Single;
        else if (got >= 0 || errno != EINTR)
            return got;
    }
}

// Datagrams the kernel dropped at sock for want of room, all of them from
// the server, the socket being connected to it. Asked once the stream has
// ended, it costs nothing per datagram, where a count carried by each one
// (SO_RXQ_OVFL) slowed the receiver just when it was falling behind.
std::uint32_t dropsAt(int sock) {
    std::uint32_t mem[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof mem;
    if (getsockopt(sock, SOL_SOCKET, SO_MEMINFO, mem, &len) != 0)
        return 0; // a kernel without it has nothing to tell
    return mem[SK_MEMINFO_DROPS];
}

bool isRegularFile(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

// A regular file takes a write at once, whoever reads it later: writing it
// as the blocks fill costs less than handing them to a thread. Pipes,
// terminals and sockets may hold a write for as long as their reader dawdles.
Output::Output(int fd)
    : fd_(fd), inline_(isRegularFile(fd)), filling_(std::make_unique_for_overwrite<Block>()) {}

Output::~Output() {
    if (!writer_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    writer_.join();
}

void Output::decipher(const char* data, std::size_t n) {
    total_ += n;
    while (n > 0) {
        if (filling_->len == BLOCK_BYTES)
            hand();
        std::size_t take = std::min(n, BLOCK_BYTES - filling_->len);
        cipherBlock(data, take, filling_->bytes + filling_->len);
        filling_->len += take;
        data += take;
        n -= take;
    }
}

// Passes the filled block to the writer, starting it for the first, and
// takes an empty one: a spare, a new one while memory allows, or the first
// the writer frees.
void Output::hand() {
    if (inline_) {
        writeAll(*filling_);
        filling_->len = 0;
        return;
    }
    if (!writer_.joinable() && !failed_) {
        try {
            writer_ = std::thread([this] { writeHanded(); });
        } catch (const std::system_error&) {
            writeAll(*filling_); // no thread to be had: write as we go
            filling_->len = 0;
            return;
        }
    }
    std::unique_lock lock(mutex_);
    if (failed_) { // nothing more is written
        filling_->len = 0;
        return;
    }
    handed_.push_back(std::move(filling_));
    ++unwritten_;
    changed_.notify_all();
    // Blocks piling up mostly mean that the writer is kept off the CPU, by
    // us among others: waiting lets it run. Only a write that lasts is a
    // slow output, and that is given memory to fall behind.
    while (spare_.empty() && blocks_ >= KEPT_BLOCKS &&
           !(writing_ && std::chrono::steady_clock::now() - writeStarted_ >= SLOW_WRITE))
        changed_.wait_for(lock, SLOW_WRITE);
    if (spare_.empty() && blocks_ < UNWRITTEN_BYTES / BLOCK_BYTES) {
        ++blocks_;
        lock.unlock();
        filling_ = std::make_unique_for_overwrite<Block>();
        return;
    }
    changed_.wait(lock, [&] { return !spare_.empty(); });
    filling_ = std::move(spare_.back());
    spare_.pop_back();
}

void Output::writeAll(const Block& block) {
    for (std::size_t done = 0; done < block.len && !failed_;) {
        ssize_t n = write(fd_, block.bytes + done, block.len - done);
        if (n >= 0)
            done += static_cast<std::size_t>(n);
        else if (errno != EINTR && !(errno == EAGAIN && awaitRoom(fd_)))
            failed_ = true;
    }
}

// The writer thread: writes the handed blocks in order and returns each
// as a spare; after a failed write it only returns them.
void Output::writeHanded() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return !handed_.empty() || closing_; });
        if (handed_.empty())
            return;
        std::unique_ptr<Block> block = std::move(handed_.front());
        handed_.pop_front();
        writing_ = true;
        writeStarted_ = std::chrono::steady_clock::now();
        lock.unlock();
        writeAll(*block);
        block->len = 0;
        lock.lock();
        writing_ = false;
        spare_.push_back(std::move(block));
        --unwritten_;
        changed_.notify_all();
    }
}

bool Output::flush() {
    if (!writer_.joinable()) {
        writeAll(*filling_);
        filling_->len = 0;
        return !failed_;
    }
    if (filling_->len > 0)
        hand();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return unwritten_ == 0; });
    return !failed_;
}

bool Output::holdsOnly(std::string_view bytes) const {
    return total_ == bytes.size() && filling_->len == total_ &&
           std::string_view(filling_->bytes, filling_->len) == bytes;
}

namespace {

// Deciphers the content of n received bytes into out, up to the marker.
// Returns the marker's place, or n when it is not among them.
std::size_t takeContent(const char* buf, std::size_t n, Output& out) {
    // Enciphered, the marker is still one byte value: a block search finds it.
    auto marker = static_cast<const char*>(
        std::memchr(buf, static_cast<unsigned char>(Cipher(END_MARKER)), n));
    std::size_t content = marker ? static_cast<std::size_t>(marker - buf) : n;
    out.decipher(buf, content);
    return content;
}

} // namespace

int recvFile(const char* buf, std::size_t length, Output& out) {
    return takeContent(buf, length, out) < length ? 1 : 0;
}

Ending recvSegments(const char* data, std::size_t size, std::size_t segment, Output& out) {
    if (segment == 0)
        segment = size;
    // Datagrams no longer than DATAGRAM_SIZE count whole, so they are one block.
    if (segment <= DATAGRAM_SIZE) {
        std::size_t marker = takeContent(data, size, out);
        return marker < size ? afterMarker(data, size, segment, marker) : Ending::More;
    }
    for (std::size_t at = 0; at < size; at += segment) {
        std::size_t n = std::min({segment, size - at, DATAGRAM_SIZE});
        if (std::size_t marker = takeContent(data + at, n, out); marker < n)
            return afterMarker(data, size, segment, at + marker);
    }
    return Ending::More;
}

Reception recvStream(int sock, Output& out, RecvPath path, Progress* progress) {
    Batch batch;
    setReceiveTimeout(sock, FIRST_REPLY_TIMEOUT);
    for (bool started = false;; started = true) {
        Ending ending = Ending::More;
        int datagrams = receive(sock, batch, path, out, ending);
        if (datagrams < 0)
            return {failure(errno), 0};
        if (progress)
            progress->update(out.total());
        if (ending == Ending::Open)
            ending = awaitNotice(sock);
        if (ending != Ending::More)
            return {ending == Ending::Cut ? Received::Cut : Received::Ended, dropsAt(sock)};
        if (out.failed())
            return {Received::WriteFailed, 0};
        if (!started) {
            setReceiveTimeout(sock, NEXT_REPLY_TIMEOUT);
            path = coalesceFromNowOn(sock, path);
        }
        if (datagrams < FEW_DATAGRAMS)
            std::this_thread::sleep_for(NAP);
    }
}
