#include "request.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>

namespace {

// O_NONBLOCK so that a FIFO without a writer cannot stall the server; it
// does not change how a regular file reads.
constexpr int OPEN_FLAGS = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

Fd keepRegular(Fd fd) {
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return Fd{};
    return fd;
}

} // namespace

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

bool isBeneath(std::string_view name) {
    if (name.empty() || name.front() == '/')
        return false;
    while (!name.empty()) {
        std::size_t slash = name.find('/');
        if (name.substr(0, slash) == "..")
            return false;
        if (slash == std::string_view::npos)
            break;
        name.remove_prefix(slash + 1);
    }
    return true;
}

Fd openRequested(std::string_view name) {
    std::string path(name);
    open_how how{};
    how.flags = OPEN_FLAGS;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    int fd = static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how));
    // Missing on old kernels, and refused by the seccomp filters of some
    // container runtimes and service managers.
    if (fd < 0 && (errno == ENOSYS || errno == EPERM))
        return openRequestedLexically(name);
    return keepRegular(Fd{fd});
}

Fd openRequestedLexically(std::string_view name) {
    if (!isBeneath(name))
        return Fd{};
    // A symbolic link can still lead out; resolve it and compare. A link
    // swapped in between the check and the open is the price of an old kernel.
    std::string path(name);
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
    if (!real || !cwd)
        return Fd{};
    std::string_view resolved(real.get()), base(cwd.get());
    std::string prefix = base == "/" ? std::string("/") : std::string(base) + "/";
    if (resolved.substr(0, prefix.size()) != prefix)
        return Fd{};
    return keepRegular(Fd{open(real.get(), OPEN_FLAGS)});
}
