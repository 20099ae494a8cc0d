#include "request.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// O_NONBLOCK so that a file swapped for a FIFO between the look and the open
// cannot stall the server; it does not change how a regular file reads.
constexpr int READ_FLAGS = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
constexpr int DIR_FLAGS = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Links followed in one lookup, as the kernel allows; and directories held
// open at once by a walk, far more than a served tree needs.
constexpr int MAX_LINKS = 40;
constexpr std::size_t MAX_DEPTH = 256;
// Times a confined open is asked again when renames elsewhere interrupt it.
constexpr int OPEN_TRIES = 8;

using Resolver = Fd (*)(std::string_view name, int flags);

// No file, and errno saying why, as a failed open would.
Fd refused(int err) {
    errno = err;
    return Fd{};
}

// Walks name from the working directory one component at a time, as
// RESOLVE_BENEATH does in the kernel. Each step opens one component
// relative to a directory already reached and never follows a link by
// itself, so a directory swapped for a link mid-walk fails the step instead
// of leading out. A link inside is walked in its place; ".." returns to the
// directory it came from, and never above the first.
Fd walkBeneath(std::string_view name, int flags) {
    if (name.empty() || name.front() == '/')
        return refused(name.empty() ? ENOENT : EXDEV);
    std::vector<Fd> dirs;
    dirs.emplace_back(openat(AT_FDCWD, ".", DIR_FLAGS));
    if (!dirs.back().valid())
        return Fd{};
    std::string rest(name);
    for (int links = 0;;) {
        std::size_t slash = rest.find('/');
        bool last = slash == std::string::npos;
        std::string part = rest.substr(0, slash);
        rest.erase(0, last ? rest.size() : slash + 1);
        if (last && (part.empty() || part == "." || part == ".."))
            return Fd{}; // a directory, never a regular file
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (dirs.size() == 1)
                return refused(EXDEV);
            dirs.pop_back();
            continue;
        }
        char target[PATH_MAX];
        ssize_t n = readlinkat(dirs.back().get(), part.c_str(), target, sizeof target);
        if (n > 0 && n < PATH_MAX && target[0] != '/' && ++links <= MAX_LINKS) {
            rest = std::string(target, n) + (last ? "" : "/" + rest);
            continue;
        }
        if (n >= 0)
            return refused(EXDEV); // a link that leaves or loops
        if (errno != EINVAL)
            return Fd{};
        if (last)
            return Fd{openat(dirs.back().get(), part.c_str(), flags | O_NOFOLLOW)};
        if (dirs.size() > MAX_DEPTH)
            return Fd{};
        dirs.emplace_back(openat(dirs.back().get(), part.c_str(), DIR_FLAGS));
        if (!dirs.back().valid())
            return Fd{};
    }
}

Fd openBeneath(std::string_view name, int flags) {
    std::string path(name);
    open_how how{};
    how.flags = static_cast<unsigned>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    // The kernel gives up a confined lookup through ".." when anything was
    // renamed anywhere meanwhile, and asks to be asked again.
    int fd = -1;
    for (int tries = 0; tries < OPEN_TRIES; ++tries) {
        fd = static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how));
        if (fd >= 0 || errno != EAGAIN)
            break;
    }
    // Missing on old kernels, and refused by the seccomp filters of some
    // container runtimes and service managers; or still raced after the
    // tries: the walk then answers, as the kernel would have.
    if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == EAGAIN))
        return walkBeneath(name, flags);
    return Fd{fd};
}

// Looks at the file a name leads to, links followed; false, with errno
// saying why, when that is not a regular file. openRegular looks before it
// opens, since opening a FIFO releases a writer blocked on it and opening a
// device acts on it. The look is a plain stat, which opens
// nothing and costs one system call where a confined look costs three; where
// it leads matters not, since only the confined open that follows can serve
// anything, and a file swapped in between them is refused for not being the
// one looked at. A link is looked through with a second stat.
bool lookAt(std::string_view name, Found& seen) {
    std::string path(name);
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    if (fstatat(AT_FDCWD, path.c_str(), &seen.st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0)
        return false;
    bool link = S_ISLNK(seen.st.st_mode);
    if (link && fstatat(AT_FDCWD, path.c_str(), &seen.st, AT_NO_AUTOMOUNT) != 0)
        return false;
    seen.direct = !link && name.find('/') == std::string_view::npos;
    if (S_ISREG(seen.st.st_mode))
        return true;
    errno = S_ISDIR(seen.st.st_mode) ? EISDIR : EINVAL;
    return false;
}

Fd openRegular(std::string_view name, Resolver resolve, Found* found) {
    Found seen;
    if (!lookAt(name, seen))
        return Fd{};
    Fd fd = resolve(name, READ_FLAGS);
    struct stat now {};
    if (!fd.valid() || fstat(fd.get(), &now) != 0)
        return Fd{};
    if (now.st_dev != seen.st.st_dev || now.st_ino != seen.st.st_ino)
        return Fd{};
    if (found)
        *found = {now, seen.direct};
    return fd;
}

bool everyoneReads(const struct stat& st) {
    return (st.st_mode & (S_IRUSR | S_IRGRP | S_IROTH)) == (S_IRUSR | S_IRGRP | S_IROTH);
}

} // namespace

std::string openFailure(int err) {
    if (err == EXDEV)
        return "it leads out of the served directory";
    if (err == EINVAL)
        return "not a regular file";
    return std::strerror(err);
}

std::string_view requestName(const Datagram& buf) {
    return {buf, strnlen(buf, DATAGRAM_SIZE)};
}

std::string escapeName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (unsigned char ch : name) {
        if (ch == '\\') {
            out += "\\\\";
            continue;
        }
        if (ch >= 0x20 && ch < 0x7F) {
            out += static_cast<char>(ch);
            continue;
        }
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02x", ch);
        out += hex;
    }
    return out;
}

Fd openRequested(std::string_view name, Found* found) {
    return openRegular(name, openBeneath, found);
}

Fd openRequestedByWalk(std::string_view name, Found* found) {
    return openRegular(name, walkBeneath, found);
}

bool publiclyReadable(int fd, const Found& found) {
    if (!(found.st.st_mode & S_IROTH))
        return false;
    if (found.direct)
        return true;
    // The directories between are those of the path the file was opened
    // by, links resolved, as the kernel tells it; no answer, no judgement.
    char link[32], path[PATH_MAX], base[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0 || !getcwd(base, sizeof base))
        return false;
    std::string_view file(path, static_cast<std::size_t>(n)), dir(base);
    if (dir == "/")
        dir = "";
    if (!file.starts_with(dir) || file.size() <= dir.size() || file[dir.size()] != '/')
        return false;
    std::string inside(file.substr(dir.size() + 1));
    for (std::size_t slash = inside.find('/'); slash != std::string::npos;
         slash = inside.find('/', slash + 1)) {
        struct stat st {};
        if (fstatat(AT_FDCWD, inside.substr(0, slash).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(st.st_mode) || !(st.st_mode & S_IXOTH))
            return false;
    }
    return true;
}

std::shared_ptr<const Fd> OpenFiles::open(std::string_view name, Found& found,
                                          Clock::time_point now) {
    auto kept =
        std::find_if(kept_.begin(), kept_.end(), [&](const Kept& k) { return k.name == name; });
    if (kept != kept_.end()) {
        if (lookAt(name, found) && kept->dev == found.st.st_dev && kept->ino == found.st.st_ino &&
            everyoneReads(found.st)) {
            kept->used = now;
            return kept->fd;
        }
        kept_.erase(kept);
    }
    Fd fd = openRequested(name, &found);
    if (!fd.valid())
        return nullptr;
    auto shared = std::make_shared<const Fd>(std::move(fd));
    if (!everyoneReads(found.st))
        return shared;
    if (kept_.size() == MOST) // the one asked for longest ago goes
        kept_.erase(std::min_element(kept_.begin(), kept_.end(),
                                     [](const Kept& a, const Kept& b) { return a.used < b.used; }));
    kept_.push_back({std::string(name), shared, found.st.st_dev, found.st.st_ino, now});
    return shared;
}

void OpenFiles::expire(Clock::time_point now) {
    std::erase_if(kept_, [&](const Kept& k) { return now - k.used >= KEEP_FOR; });
}

Clock::time_point OpenFiles::due() const {
    Clock::time_point due = Clock::time_point::max();
    for (const Kept& k : kept_)
        due = std::min(due, k.used + KEEP_FOR);
    return due;
}
