#include "reader.hpp"

#include <cerrno>

std::size_t Reader::peek(char* out, std::size_t n) {
    // A regular file reads short only at its end: one read is enough, and
    // asking again would cost a system call to learn what we know.
    for (;;) {
        ssize_t got = pread(fd_.get(), out, n, static_cast<off_t>(offset_));
        if (got >= 0)
            return static_cast<std::size_t>(got);
        if (errno != EINTR) {
            failed_ = true;
            return 0;
        }
    }
}
