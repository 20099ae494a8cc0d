// The server's log, written by a thread of its own. A log on a pipe or
// terminal that nobody reads would otherwise put the request loop to sleep
// in a write, and with it every stream and every request; here the loop
// only copies lines into memory, and what does not fit is counted instead.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include <pthread.h>
#include <unistd.h>

// The priority of a line in systemd's journal, which reads it from a "<N>"
// at the line's start: failures, then refusals and stopped transfers, then
// the rest.
enum class Priority : char { Err = '3', Warning = '4', Info = '6' };

// True when fd is the stream systemd connected to its journal, as
// JOURNAL_STREAM ("device:inode") names it.
bool journalStream(int fd);

// While the descriptor cannot be written, lines wait in a buffer of
// capacity bytes; those that do not fit are dropped and counted in lines of
// output, and none is taken until the buffer has drained. Then one line
// says how many were lost, and the log goes on. Only one thread, the
// loop's, may call line, format and drain. When the descriptor is the
// journal, every line begins with its priority; else nothing is added.
class Log {
  public:
    // Starts the writer. Where no thread can be started, each line is
    // written at once, blocking the caller: the log as it was before.
    explicit Log(int fd = STDOUT_FILENO, std::size_t capacity = 1 << 20);
    // Writes nothing more: call drain first. A writer asleep in a write on a
    // pipe nobody reads is left to the end of the process, not waited for.
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // text and a line break, as puts writes them.
    void line(std::string_view text, Priority priority = Priority::Info);
    // As printf writes it; the caller gives the line break. A text longer
    // than a log line may be is cut, and still ends with a line break.
    void format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Hands what was taken to the writer. Lines are taken without waking it
    // until much is held, since each wake costs a switch to another thread:
    // the caller flushes before it waits, and every so often while busy.
    void flush();
    void format(Priority priority, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    // Waits at most limit for everything taken to be written; true when it is.
    bool drain(std::chrono::milliseconds limit);
    // How many times line or format was called: tells the loop whether
    // anything was said since it last looked.
    std::uint64_t said() const { return said_; }
    // True when the lines go to the journal, which keeps them for later.
    bool journal() const { return journal_; }

    struct State;

  private:
    void append(std::string_view text, bool newline, Priority priority);
    void vformat(Priority priority, const char* fmt, va_list args);

    std::shared_ptr<State> state_; // shared with the writer, which may outlive us
    pthread_t writer_{};
    bool threaded_ = false;
    bool journal_ = false;
    std::uint64_t said_ = 0;
};
