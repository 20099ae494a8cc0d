#include "reader.hpp"

#include <cerrno>

#include <sys/stat.h>

Reader::Reader(std::shared_ptr<const Fd> fd, std::uint64_t size)
    : fd_(std::move(fd)), promised_(size) {}

Reader::Reader(Fd fd) : fd_(std::make_shared<const Fd>(std::move(fd))) {
    struct stat st {};
    if (fstat(fd_->get(), &st) == 0) // else nothing is promised
        promised_ = static_cast<std::uint64_t>(st.st_size);
}

std::size_t Reader::peek(char* out, std::size_t n) {
    // A regular file reads short only at its end: one read is enough, and
    // asking again would cost a system call to learn what we know.
    for (;;) {
        ssize_t got = pread(fd_->get(), out, n, static_cast<off_t>(offset_));
        if (got >= 0 && (static_cast<std::size_t>(got) == n || offset_ + got >= promised_))
            return static_cast<std::size_t>(got);
        if (got >= 0) { // cut short under us: what the file holds now is worth telling
            struct stat st {};
            shrunk_ = true;
            shrunkTo_ = fstat(fd_->get(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            failed_ = true;
            return 0;
        }
    }
}
