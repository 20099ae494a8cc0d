#include "copy.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iterator>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file a signal must not leave behind, while there is one.
const char* volatile pending = nullptr;

// Interrupted from the keyboard, hung up, told to stop or quit, or past the
// file size limit, the client would otherwise leave its temporary file
// behind. A signal the caller ignored (nohup, a background job) stays
// ignored, and each is given back as it was.
constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ};
struct sigaction previous[std::size(CLEANUP_SIGNALS)];

void removePending(int signal) {
    if (pending)
        unlink(pending);
    std::signal(signal, SIG_DFL);
    std::raise(signal); // ends as the signal would have, for the caller to see
}

void removeOnSignals(const char* temp) {
    pending = temp;
    struct sigaction removing {};
    removing.sa_handler = removePending;
    sigemptyset(&removing.sa_mask);
    for (std::size_t i = 0; i < std::size(CLEANUP_SIGNALS); ++i) {
        int signal = CLEANUP_SIGNALS[i];
        // Cannot fail for these signals.
        if (!temp)
            sigaction(signal, &previous[i], nullptr);
        else if (sigaction(signal, nullptr, &previous[i]) == 0 && previous[i].sa_handler != SIG_IGN)
            sigaction(signal, &removing, nullptr);
    }
}

// The permissions the copy gets: those of the file it replaces, or what a
// new file gets under the umask.
mode_t modeFor(const struct stat* existing) {
    if (existing)
        return existing->st_mode & 07777;
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

} // namespace

Copy::~Copy() {
    if (temp_.empty())
        return;
    removeOnSignals(nullptr);
    unlink(temp_.c_str());
}

const char* Copy::create() {
    struct stat st {};
    bool exists = stat(path_.c_str(), &st) == 0;
    // Renamed onto a device or a directory, the copy would take its place.
    if (exists && !S_ISREG(st.st_mode))
        return "not a regular file";
    std::filesystem::path path(path_);
    std::string hidden = ".";
    hidden.append(path.filename().string()).append(".XXXXXX");
    std::string temp = path.replace_filename(hidden).string();
    int fd = mkstemp(temp.data());
    if (fd < 0)
        return std::strerror(errno);
    fd_ = Fd{fd};
    temp_ = temp;
    removeOnSignals(temp_.c_str());
    if (fchmod(fd, modeFor(exists ? &st : nullptr)) != 0)
        return std::strerror(errno);
    return nullptr;
}

bool Copy::replace() {
    // On the disk before it has the name: a crash leaves the old file, not an empty one.
    if (fsync(fd_.get()) != 0 || rename(temp_.c_str(), path_.c_str()) != 0)
        return false;
    removeOnSignals(nullptr);
    temp_.clear();
    return true;
}
