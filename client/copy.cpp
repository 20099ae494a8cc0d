#include "copy.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary files a signal must not leave behind: one a copy, a few
// at once when several names are fetched. Atomic, so that the handler
// reads each slot whole whichever thread fills it.
std::atomic<const char*> pending[16];
static_assert(std::atomic<const char*>::is_always_lock_free, "read in a signal handler");
std::mutex holding; // guards the count of slots taken, and the handlers with it
int held = 0;

// Interrupted from the keyboard, hung up, told to stop or quit, or past the
// file size limit, the client would otherwise leave its temporary files
// behind. A signal the caller ignored (nohup, a background job) stays
// ignored, and each is given back as it was.
constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ};
struct sigaction previous[std::size(CLEANUP_SIGNALS)];

void removePending(int signal) {
    for (auto& temp : pending)
        if (const char* name = temp.load())
            unlink(name);
    std::signal(signal, SIG_DFL);
    std::raise(signal); // ends as the signal would have, for the caller to see
}

// Takes the signals over while any temporary file is pending, or gives
// them back.
void handleSignals(bool take) {
    struct sigaction removing {};
    removing.sa_handler = removePending;
    sigemptyset(&removing.sa_mask);
    for (std::size_t i = 0; i < std::size(CLEANUP_SIGNALS); ++i) {
        int signal = CLEANUP_SIGNALS[i];
        // Cannot fail for these signals.
        if (!take)
            sigaction(signal, &previous[i], nullptr);
        else if (sigaction(signal, nullptr, &previous[i]) == 0 && previous[i].sa_handler != SIG_IGN)
            sigaction(signal, &removing, nullptr);
    }
}

// False when every slot is taken.
bool removeOnSignals(const char* temp) {
    std::lock_guard lock(holding);
    for (auto& slot : pending) {
        const char* empty = nullptr;
        if (!slot.compare_exchange_strong(empty, temp))
            continue;
        if (held++ == 0)
            handleSignals(true);
        return true;
    }
    return false;
}

void forget(const char* temp) {
    std::lock_guard lock(holding);
    for (auto& slot : pending) {
        const char* mine = temp;
        if (slot.compare_exchange_strong(mine, nullptr) && --held == 0)
            handleSignals(false);
    }
}

// The temporary file's name, hidden beside the file. Where the file's own
// name leaves too little room under the directory's limit for what is added
// to it, it is shortened there: the copy can be made wherever the file can.
std::string tempName(std::filesystem::path path) {
    constexpr long ADDED = 8; // the dot before, and ".XXXXXX" after
    std::string name = path.filename().string();
    std::filesystem::path dir = path.parent_path();
    long most = pathconf(dir.empty() ? "." : dir.c_str(), _PC_NAME_MAX);
    if (most <= ADDED)
        most = NAME_MAX; // no limit, or none we can tell
    std::size_t keep = std::min(name.size(), static_cast<std::size_t>(most - ADDED));
    std::string hidden = ".";
    hidden.append(name, 0, keep).append(".XXXXXX");
    return path.replace_filename(hidden).string();
}

// The permissions the copy gets: those of the file it replaces, or what a
// new file gets under the umask. The umask is read once, by changing it and
// back: two threads doing that at once would leave it changed.
mode_t modeFor(const struct stat* existing) {
    if (existing)
        return existing->st_mode & 07777;
    static const mode_t mask = [] {
        mode_t old = umask(0);
        umask(old);
        return old;
    }();
    return 0666 & ~mask;
}

} // namespace

Copy::~Copy() {
    if (temp_.empty())
        return;
    forget(temp_.c_str());
    unlink(temp_.c_str());
}

const char* Copy::create() {
    struct stat st {};
    bool exists = stat(path_.c_str(), &st) == 0;
    // Renamed onto a device or a directory, the copy would take its place.
    if (exists && !S_ISREG(st.st_mode))
        return "not a regular file";
    std::string temp = tempName(path_);
    int fd = mkstemp(temp.data());
    if (fd < 0)
        return std::strerror(errno);
    fd_ = Fd{fd};
    temp_ = temp;
    if (!removeOnSignals(temp_.c_str()))
        return "too many copies at once";
    if (fchmod(fd, modeFor(exists ? &st : nullptr)) != 0)
        return std::strerror(errno);
    return nullptr;
}

bool Copy::replace() {
    // On the disk before it has the name: a crash leaves the old file, not an empty one.
    if (fsync(fd_.get()) != 0 || rename(temp_.c_str(), path_.c_str()) != 0)
        return false;
    forget(temp_.c_str());
    temp_.clear();
    return true;
}
