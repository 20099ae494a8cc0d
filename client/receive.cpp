#include "receive.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

#include <netinet/udp.h>
#include <sys/socket.h>
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

// Beyond this many blocks of unwritten content, the receiver takes more
// memory only while one write has lasted SLOW_WRITE, so that an output that
// keeps up costs little of it. To a file a write takes some 30 us.
constexpr std::size_t KEPT_BLOCKS = 32;
constexpr std::chrono::milliseconds SLOW_WRITE{1};

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

// What the kernel says of one message it handed us: the size of the
// datagrams it merged into it (0 if none), and, once it has dropped any, how
// many datagrams it had dropped at this socket when it queued this one.
struct Control {
    std::size_t segment = 0;
    std::uint32_t dropped = 0;
};

Control readControl(msghdr& msg) {
    Control control;
    for (cmsghdr* cmsg = CMSG_FIRSTHDR(&msg); cmsg; cmsg = CMSG_NXTHDR(&msg, cmsg))
        if (cmsg->cmsg_level == SOL_UDP && cmsg->cmsg_type == UDP_GRO) {
            int segment;
            std::memcpy(&segment, CMSG_DATA(cmsg), sizeof segment);
            control.segment = static_cast<std::size_t>(segment);
        } else if (cmsg->cmsg_level == SOL_SOCKET && cmsg->cmsg_type == SO_RXQ_OVFL)
            std::memcpy(&control.dropped, CMSG_DATA(cmsg), sizeof control.dropped);
    return control;
}

// The buffers of the batched receive, set up once for a stream. Only the
// pages a datagram fills are ever touched, so the room kept for merged
// datagrams costs address space, not memory.
class Batch {
  public:
    Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    // Takes what the queue holds, or one datagram when single, waiting for
    // the first, and hands it to out. Returns the number of datagrams taken,
    // or -1 (errno set); sets ended at the marker.
    int receive(int sock, bool single, Output& out, bool& ended);
    // Datagrams the kernel dropped before the last one handed to out.
    std::uint32_t dropped() const { return dropped_; }

  private:
    int take(int sock, bool single);

    std::unique_ptr<char[]> data_;
    iovec iov_[RECEIVE_BATCH];
    alignas(cmsghdr) char control_[RECEIVE_BATCH]
                                  [CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(std::uint32_t))];
    mmsghdr msgs_[RECEIVE_BATCH] = {};
    std::uint32_t dropped_ = 0;
};

Batch::Batch() : data_(new char[RECEIVE_BATCH * COALESCED_BYTES]) {
    for (std::size_t i = 0; i < RECEIVE_BATCH; ++i) {
        iov_[i] = {data_.get() + i * COALESCED_BYTES, COALESCED_BYTES};
        msgs_[i].msg_hdr.msg_iov = &iov_[i];
        msgs_[i].msg_hdr.msg_iovlen = 1;
        msgs_[i].msg_hdr.msg_control = control_[i];
    }
}

// The messages of one receive: all the queue holds, or a single one by the
// plain call a kernel without recvmmsg still has.
int Batch::take(int sock, bool single) {
    if (!single)
        return recvmmsg(sock, msgs_, RECEIVE_BATCH, MSG_WAITFORONE, nullptr);
    ssize_t got = recvmsg(sock, &msgs_[0].msg_hdr, 0);
    if (got < 0)
        return -1;
    msgs_[0].msg_len = static_cast<unsigned>(got);
    return 1;
}

int Batch::receive(int sock, bool single, Output& out, bool& ended) {
    for (mmsghdr& msg : msgs_)
        msg.msg_hdr.msg_controllen = sizeof control_[0]; // the kernel shrinks it
    int got = take(sock, single);
    if (got < 0)
        return -1;
    int datagrams = 0;
    for (int i = 0; i < got && !ended; ++i) {
        std::size_t size = msgs_[i].msg_len;
        Control control = readControl(msgs_[i].msg_hdr);
        dropped_ = std::max(dropped_, control.dropped);
        std::size_t segment = control.segment;
        datagrams += segment ? static_cast<int>((size + segment - 1) / segment) : 1;
        ended = recvSegments(static_cast<char*>(iov_[i].iov_base), size, segment, out);
    }
    return datagrams;
}

// One receive on path, again when a signal cut it short, and one datagram
// at a time when the kernel lacks recvmmsg.
int receive(int sock, Batch& batch, RecvPath& path, Output& out, bool& ended) {
    for (;;) {
        int got = batch.receive(sock, path == RecvPath::Single, out, ended);
        bool lacked = got < 0 && errno == ENOSYS && path != RecvPath::Single;
        if (lacked)
            path = RecvPath::Single;
        else if (got >= 0 || errno != EINTR)
            return got;
    }
}

} // namespace

Output::Output(int fd) : fd_(fd), filling_(std::make_unique_for_overwrite<Block>()) {}

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
        else if (errno != EINTR)
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

int recvFile(const char* buf, std::size_t length, Output& out) {
    // Enciphered, the marker is still one byte value: a block search finds it.
    auto marker = static_cast<const char*>(
        std::memchr(buf, static_cast<unsigned char>(Cipher(END_MARKER)), length));
    out.decipher(buf, marker ? static_cast<std::size_t>(marker - buf) : length);
    return marker ? 1 : 0;
}

int recvSegments(const char* data, std::size_t size, std::size_t segment, Output& out) {
    if (segment == 0)
        segment = size;
    // Datagrams no longer than DATAGRAM_SIZE count whole, so they are one block.
    if (segment <= DATAGRAM_SIZE)
        return recvFile(data, size, out);
    for (std::size_t at = 0; at < size; at += segment)
        if (recvFile(data + at, std::min({segment, size - at, DATAGRAM_SIZE}), out))
            return 1;
    return 0;
}

void prepareForReply(int sock) {
    enlargeReceiveBuffer(sock, REPLY_QUEUE_BYTES);
    int on = 1;
    // Before the first reply can arrive, so that every datagram carries the
    // count. A kernel without it counts for no one: there is nothing to report.
    setsockopt(sock, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
}

Reception recvStream(int sock, Output& out, RecvPath path) {
    Batch batch;
    setReceiveTimeout(sock, FIRST_REPLY_TIMEOUT);
    for (bool started = false;; started = true) {
        bool ended = false;
        int datagrams = receive(sock, batch, path, out, ended);
        if (datagrams < 0)
            return {failure(errno), batch.dropped()};
        if (ended)
            return {Received::Ended, batch.dropped()};
        if (out.failed())
            return {Received::WriteFailed, batch.dropped()};
        if (!started) {
            setReceiveTimeout(sock, NEXT_REPLY_TIMEOUT);
            path = coalesceFromNowOn(sock, path);
        }
        if (datagrams < FEW_DATAGRAMS)
            std::this_thread::sleep_for(NAP);
    }
}
