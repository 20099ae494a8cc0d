#include "reader.hpp"

#include <algorithm>
#include <cerrno>

std::string_view Reader::peek(std::size_t n) {
    n = std::min(n, BUFFER_BYTES);
    if (end_ - pos_ >= n || ended_)
        return {buf_ + pos_, std::min(n, end_ - pos_)};
    // Keep what is left at the front and read behind it until n bytes are
    // there: a run never has to be stitched together by the caller.
    std::copy(buf_ + pos_, buf_ + end_, buf_);
    end_ -= pos_;
    pos_ = 0;
    while (end_ < n) {
        ssize_t got = read(fd_.get(), buf_ + end_, BUFFER_BYTES - end_);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ended_ = true;
            failed_ = got < 0;
            break;
        }
        end_ += static_cast<std::size_t>(got);
    }
    return {buf_, std::min(n, end_)};
}
