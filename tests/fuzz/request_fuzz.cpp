// Fuzzes what the server does with one request datagram: the name it
// carries, the name as logged, and both confined opens, which must agree.
// The opens run in a served directory laid out with ways out of it, so that
// a file served from outside, or anything but a regular file, is a finding
// and not a log line.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include "request.hpp"

namespace {

using FileId = std::pair<dev_t, ino_t>;

std::string tempRoot;         // holds the served directory and the canary
FileId canary;                // a file the server must never hand out
std::set<FileId> servedFiles; // the only files it may hand out

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

[[noreturn]] void setupFailed(const std::string& what) {
    std::perror(what.c_str());
    std::abort();
}

FileId idOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        setupFailed(path);
    return {st.st_dev, st.st_ino};
}

void writeFile(const std::string& path, std::string_view text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        setupFailed(path);
    close(fd);
}

void servedFile(const std::string& path, std::string_view text) {
    writeFile(path, text);
    servedFiles.insert(idOf(path));
}

void makeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0)
        setupFailed(path);
}

void makeLink(const std::string& target, const std::string& path) {
    if (symlink(target.c_str(), path.c_str()) != 0)
        setupFailed(path);
}

int removeEntry(const char* path, const struct stat*, int, FTW*) {
    return remove(path);
}

void removeTempRoot() {
    nftw(tempRoot.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// Each link names a way a request might try to leave the served directory;
// the fuzzer finds them through the seed corpus and the dictionary.
void buildServedTree(const std::string& served) {
    servedFile(served + "/hello.txt", "hello\n");
    servedFile(served + "/quit", "a file may be called quit\n");
    makeDir(served + "/dir");
    servedFile(served + "/dir/inner.txt", "inner\n");
    makeLink("dir/inner.txt", served + "/inner_link");
    makeLink("dir", served + "/dir_link");
    makeLink(served + "/hello.txt", served + "/self_abs");
    makeLink(tempRoot + "/canary", served + "/escape_abs");
    makeLink("../canary", served + "/escape_rel");
    makeLink("../../canary", served + "/dir/escape_up");
    makeLink("../hello.txt", served + "/dir/up_link");
    makeLink("loop", served + "/loop");
    makeLink("/etc/passwd", served + "/etc_link");
    if (mkfifo((served + "/fifo").c_str(), 0644) != 0)
        setupFailed("fifo");
}

// Only a regular file from the served directory may come back; the log
// form of a name must not reach the terminal as anything but printable text.
void checkOpened(const Fd& fd) {
    if (!fd.valid())
        return;
    struct stat st {};
    check(fstat(fd.get(), &st) == 0);
    check(S_ISREG(st.st_mode));
    FileId id{st.st_dev, st.st_ino};
    check(id != canary);
    check(servedFiles.count(id) == 1);
}

bool printable(char ch) {
    return ch >= 0x20 && ch < 0x7F;
}

std::string hexEscape(unsigned char ch) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02x", ch);
    return hex;
}

int hexValue(char ch) {
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

// Reads the log form back: \\ and \xHH are one byte each, anything else
// stands for itself.
std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text.substr(i, 2) == "\\\\") {
            out += '\\';
            i += 2;
        } else if (text.substr(i, 2) == "\\x" && i + 4 <= text.size() &&
                   hexValue(text[i + 2]) >= 0 && hexValue(text[i + 3]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3]));
            i += 4;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// Walks name and log form together: each byte is itself, \\ or its \xHH.
bool escapesByteForByte(std::string_view name, std::string_view text) {
    std::size_t at = 0;
    for (char ch : name) {
        std::string form = ch == '\\'      ? std::string("\\\\")
                           : printable(ch) ? std::string(1, ch)
                                           : hexEscape(ch);
        if (text.substr(at, form.size()) != form)
            return false;
        at += form.size();
    }
    return at == text.size();
}

void checkEscaped(std::string_view name) {
    std::string text = escapeName(name);
    for (char ch : text)
        check(printable(ch));
    check(escapesByteForByte(name, text));
    check(unescape(text) == name); // no two names log alike
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/request_fuzz.XXXXXX";
    if (!mkdtemp(pattern.data()))
        setupFailed(pattern);
    tempRoot = pattern;
    std::atexit(removeTempRoot);
    writeFile(tempRoot + "/canary", "must not be served\n");
    canary = idOf(tempRoot + "/canary");
    std::string served = tempRoot + "/served";
    makeDir(served);
    buildServedTree(served);
    if (chdir(served.c_str()) != 0)
        setupFailed(served);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // As the server receives it: a cleared datagram, the excess cut off.
    Datagram buf;
    clearBuf(buf);
    if (size > 0)
        std::memcpy(buf, data, std::min(size, DATAGRAM_SIZE));
    std::string_view name = requestName(buf);
    check(name.size() <= DATAGRAM_SIZE);
    checkEscaped(name);
    Fd kernel = openRequested(name), walked = openRequestedByWalk(name);
    checkOpened(kernel);
    checkOpened(walked);
    check(kernel.valid() == walked.valid()); // the walk confines as the kernel does
    return 0;
}
