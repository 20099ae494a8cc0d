// Turning one request datagram into a file to serve: the name it carries,
// the name as the operator may safely see it, and the confined open.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

#include "protocol.hpp"

// The name up to its zero byte; a datagram without one is a name of all 32 bytes.
std::string_view requestName(const Datagram& buf);

// The name with every byte that is not printable ASCII written as \xHH, so
// that a request cannot drive the operator's terminal, and a backslash as
// \\, so that no two names log alike.
std::string escapeName(std::string_view name);

// What an open learned of the file it opened, for judging who may have it.
struct Found {
    struct stat st {};
    bool direct = false; // a plain name in the working directory: no directory or link between
};

// Opens a regular file below the working directory without blocking, or
// returns an invalid Fd: absolute names, climbs out through ".." or a
// symbolic link, and anything but a regular file are refused, the last
// without being opened. found, when given, learns what the file is.
Fd openRequested(std::string_view name, Found* found = nullptr);

// The same by a walk in user space, one component at a time, where openat2
// is missing or refused. Exposed so that it stays tested on kernels that
// never need it.
Fd openRequestedByWalk(std::string_view name, Found* found = nullptr);

// Files opened for earlier requests, kept open by name for a while: a name
// asked for again costs one stat, which shows that it still names the same
// file, instead of a look, a confined open, a stat and a close. Only the
// descriptor is kept, never content: every read reads the file as it is
// now, and its size and mode are those of the stat. Only a file that every
// user may read is kept, so that a kept descriptor never reads what a new
// open would be refused.
class OpenFiles {
  public:
    static constexpr std::size_t MOST = 8;
    // How long a file asked for no more stays open: a file removed meanwhile
    // keeps its space until then.
    static constexpr auto KEEP_FOR = std::chrono::seconds(1);

    // As openRequested, but through a kept file where name still names it;
    // null when nothing may be served, with errno saying why.
    std::shared_ptr<const Fd> open(std::string_view name, Found& found, Clock::time_point now);
    // Closes the files not asked for since KEEP_FOR before now.
    void expire(Clock::time_point now);
    // When the next kept file is due to close; time_point::max() when none is kept.
    Clock::time_point due() const;

  private:
    struct Kept {
        std::string name;
        std::shared_ptr<const Fd> fd;
        dev_t dev; // the file it is, which the name must still lead to
        ino_t ino;
        Clock::time_point used;
    };
    std::vector<Kept> kept_;
};

// Whether every user of this machine could read the file opened as fd
// themselves: it grants read to others, and every directory between the
// working directory and it grants search to others. The working directory
// itself is the operator's choice and is not judged; nor are groups and ACLs.
bool publiclyReadable(int fd, const Found& found);

// Why openRequested failed, from the errno it left.
std::string openFailure(int err);
