#include "log.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <sys/stat.h>

#include "protocol.hpp"

namespace {

// A log line is short: a name of 32 bytes escaped, an address, a number.
constexpr std::size_t LONGEST_LINE = 512;
const char* const LOST_LINES = "\n%llu log lines lost: the log could not be written!\n";
const char* const JOURNAL_LOST_LINES =
    "<6>\n<4>%llu log lines lost: the log could not be written!\n";
constexpr std::size_t LONGEST_NOTICE = 80;
// Held this much, the writer is woken without waiting for a flush.
constexpr std::size_t WAKE_AT = 64 * 1024;

// Lost output is counted in the lines it would have made on the screen.
unsigned long long linesIn(std::string_view text, bool newline = false) {
    auto breaks = std::count(text.begin(), text.end(), '\n') + newline;
    return std::max<unsigned long long>(1, static_cast<unsigned long long>(breaks));
}

// text, and a line break when newline, with each line's priority in front
// of it. A blank line only spaces the log out: it is info, so that a search
// for failures shows their texts and no blank lines.
std::string withPriority(std::string_view text, bool newline, Priority priority) {
    std::string whole(text);
    if (newline)
        whole.push_back('\n');
    std::string marked;
    marked.reserve(whole.size() + 3 * linesIn(whole));
    for (std::string_view rest = whole; !rest.empty();) {
        std::size_t end = std::min(rest.find('\n'), rest.size() - 1);
        std::string_view line = rest.substr(0, end + 1);
        Priority of = line == "\n" ? Priority::Info : priority;
        marked.append({'<', static_cast<char>(of), '>'});
        marked.append(line);
        rest.remove_prefix(line.size());
    }
    return marked;
}

} // namespace

bool journalStream(int fd) {
    const char* named = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat st {};
    if (!named || std::sscanf(named, "%llu:%llu", &device, &inode) != 2 || fstat(fd, &st) != 0)
        return false;
    return st.st_dev == device && st.st_ino == inode;
}

// Everything the loop and the writer share, under mutex.
struct Log::State {
    // Both buffers have room for all that may be held, so that neither ever
    // grows, however the lines come.
    State(int out, std::size_t most) : fd(out), capacity(most) {
        pending.reserve(capacity + LONGEST_NOTICE);
        batch.reserve(capacity + LONGEST_NOTICE);
    }
    const int fd;
    const std::size_t capacity;
    std::mutex mutex;
    std::condition_variable wake; // the writer: lines wait, or stop
    std::condition_variable idle; // drain: the writer has nothing left
    std::string pending;          // taken, not yet handed to the writer
    std::string batch;            // the writer's, being written
    std::size_t held = 0;         // bytes taken and not yet written
    unsigned long long lost = 0;  // lines dropped since the last notice
    bool writing = false;         // the writer is awake: no need to wake it
    bool stop = false;
};

namespace {

// Writes out everything pending, in as few writes as the descriptor takes.
// What cannot be written at all is counted as lost, so that a broken log
// costs one failed write per batch, not a spin. Called and returns with
// lock held.
void writeBatch(Log::State& state, std::unique_lock<std::mutex>& lock) {
    std::string& batch = state.batch;
    batch.swap(state.pending);
    state.pending.clear();
    lock.unlock();
    std::size_t done = 0;
    while (done < batch.size()) {
        ssize_t n = write(state.fd, batch.data() + done, batch.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            std::lock_guard<std::mutex> room(state.mutex);
            state.held -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || (errno == EAGAIN && awaitRoom(state.fd))))
            continue;
        std::lock_guard<std::mutex> room(state.mutex);
        state.lost += linesIn(std::string_view(batch).substr(done));
        state.held -= batch.size() - done;
        break;
    }
    lock.lock();
}

void* writeLog(void* arg) {
    std::shared_ptr<Log::State> state(*static_cast<std::shared_ptr<Log::State>*>(arg));
    delete static_cast<std::shared_ptr<Log::State>*>(arg);
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        state->writing = false;
        state->idle.notify_all();
        state->wake.wait(lock, [&] { return state->stop || !state->pending.empty(); });
        if (state->stop)
            return nullptr;
        state->writing = true;
        writeBatch(*state, lock);
    }
}

} // namespace

Log::Log(int fd, std::size_t capacity)
    : state_(std::make_shared<State>(fd, capacity)), journal_(journalStream(fd)) {
    // Signals are the loop's to take, never the writer's.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous); // cannot fail with a valid how
    auto* arg = new std::shared_ptr<State>(state_);
    threaded_ = pthread_create(&writer_, nullptr, writeLog, arg) == 0;
    if (!threaded_)
        delete arg;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

Log::~Log() {
    if (!threaded_)
        return;
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->stop = true;
    bool busy = state_->writing;
    lock.unlock();
    state_->wake.notify_one();
    // An idle writer ends at once; a busy one may never return from its write.
    if (busy)
        pthread_detach(writer_);
    else
        pthread_join(writer_, nullptr);
}

// Losing lines only until the buffer has drained, not whenever a line
// fits again, gives one notice per stoppage rather than one per line.
void Log::append(std::string_view text, bool newline, Priority priority) {
    ++said_;
    std::string marked;
    if (journal_) {
        marked = withPriority(text, newline, priority);
        text = marked;
        newline = false;
    }
    State& state = *state_;
    std::unique_lock<std::mutex> lock(state.mutex);
    char notice[LONGEST_NOTICE];
    notice[0] = '\0';
    if (state.lost > 0 && state.held == 0)
        std::snprintf(notice, sizeof notice, journal_ ? JOURNAL_LOST_LINES : LOST_LINES,
                      state.lost);
    std::size_t size = std::char_traits<char>::length(notice) + text.size() + newline;
    if ((state.lost > 0 && state.held > 0) || state.held + size > state.capacity) {
        state.lost += linesIn(text, newline);
        return;
    }
    if (notice[0] != '\0')
        state.lost = 0;
    state.pending.append(notice).append(text);
    if (newline)
        state.pending.push_back('\n');
    state.held += size;
    if (!threaded_) {
        state.writing = true;
        writeBatch(state, lock);
        state.writing = false;
        return;
    }
    bool wake = !state.writing && state.pending.size() >= WAKE_AT;
    lock.unlock();
    if (wake)
        state.wake.notify_one();
}

void Log::flush() {
    std::unique_lock<std::mutex> lock(state_->mutex);
    bool wake = !state_->writing && !state_->pending.empty();
    lock.unlock();
    if (wake)
        state_->wake.notify_one();
}

void Log::line(std::string_view text, Priority priority) {
    append(text, true, priority);
}

void Log::format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vformat(Priority::Info, fmt, args);
    va_end(args);
}

void Log::format(Priority priority, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vformat(priority, fmt, args);
    va_end(args);
}

void Log::vformat(Priority priority, const char* fmt, va_list args) {
    char text[LONGEST_LINE];
    int len = std::vsnprintf(text, sizeof text, fmt, args);
    if (len < 0)
        return;
    std::size_t size = std::min<std::size_t>(static_cast<std::size_t>(len), sizeof text - 1);
    if (size < static_cast<std::size_t>(len))
        text[size - 1] = '\n';
    append({text, size}, false, priority);
}

bool Log::drain(std::chrono::milliseconds limit) {
    flush();
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->idle.wait_for(lock, limit, [&] { return state_->held == 0; });
}
