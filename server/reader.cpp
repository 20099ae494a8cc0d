#include "reader.hpp"

#include <cerrno>

bool Reader::fill() {
    if (ended_)
        return false;
    ssize_t got;
    do
        got = read(fd_.get(), buf_, sizeof buf_);
    while (got < 0 && errno == EINTR);
    if (got <= 0) {
        ended_ = true;
        failed_ = got < 0;
        return false;
    }
    pos_ = 0;
    end_ = static_cast<std::size_t>(got);
    return true;
}
