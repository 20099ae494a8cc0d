#include "reader.hpp"

#include <cerrno>

std::size_t Reader::peek(char* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n && !failed_) {
        ssize_t r = pread(fd_.get(), out + got, n - got, static_cast<off_t>(offset_ + got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0)
            break;
        failed_ = r < 0;
        if (r > 0)
            got += static_cast<std::size_t>(r);
    }
    return got;
}
