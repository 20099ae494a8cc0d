// client: fetches one file from the server on SERVER_HOST, named on the
// command line or asked for on standard input, and prints it between two
// banner lines, or writes it to a file; or fetches several named on the
// command line, a few at once, each printed or saved in the order named.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "arguments.hpp"
#include "copy.hpp"
#include "progress.hpp"
#include "protocol.hpp"
#include "receive.hpp"

namespace {

// How long the socket that sent "quit" stays open after it.
constexpr auto QUIT_LINGER = std::chrono::milliseconds(200);
// A request unanswered this long is sent again, this many times at most:
// a fetch whose request was lost is answered within a second.
constexpr int ASK_AGAIN_AFTER_MS = 500;
constexpr int MOST_ASKS = 10;

// Fetches in flight at once in a run of several names: enough to keep
// both the server and the client busy while each waits on the other.
constexpr std::size_t IN_FLIGHT = 8;

constexpr const char* PROGRAM = "client";
constexpr Help HELP = {
    " [--port N]\n  or:  client [--port N] [-o FILE] [NAME]\n"
    "  or:  client [--port N] [-o - | -O [--output-dir DIR]] NAME...",
    "Fetches the file NAME from the server at 127.0.0.1, UDP port 15050, and prints it;\n"
    "without NAME, asks for the name on standard input. Given several names, fetches\n"
    "them all, up to 8 at once, each printed or saved in the order named.\n"
    "Example: client -O --output-dir copies notes.txt docs/report.txt",
    "  -o FILE           write the content to FILE instead, replacing it only with a whole copy\n"
    "  -o -              write the content alone to standard output, the messages to standard "
    "error\n"
    "  -O, --remote-name save each under its name's last component, as -o FILE would\n"
    "  --output-dir DIR  with -O, save in DIR instead of the working directory\n"
    "  --port N          ask the server on UDP port N instead of 15050\n"
    "It also takes -h (--help), --version, and -- before a NAME that begins with '-'."};
constexpr const char* ALONE = "-"; // -o's argument for the content alone on standard output
constexpr int OUTPUT_DIR_OPTION = PORT_OPTION + 1;
constexpr const char* DATA_BANNER = "\n---------Data Received---------\n";
constexpr const char* CLOSING_BANNER = "\n-------------------------------\n";
// The block in which a temporary file's content is written out.
constexpr std::size_t COPY_BYTES = 64 * 1024;

// What the command line asks for.
struct Options {
    const char* output = nullptr;    // -o: a file, or ALONE
    bool remoteName = false;         // -O
    const char* outputDir = nullptr; // --output-dir
    std::uint16_t port = SERVICE_PORT;
    char** names = nullptr; // the words, in place of one read from standard input
    int count = 0;          // how many
    const char* name() const { return count > 0 ? names[0] : nullptr; }
    // Several names, or -O: every name is a file, fetched as a run of several.
    bool several() const { return count > 1 || remoteName; }
};

[[noreturn]] void refuseUsage(const char* why) {
    std::fprintf(stderr, "%s: %s (try %s --help)\n", PROGRAM, why, PROGRAM);
    std::exit(USAGE_STATUS);
}

void takeOption(Options& options, int opt, const char* value) {
    if (opt == 'o' && options.output)
        refuseArgument(PROGRAM, "-o");
    if (opt == 'o')
        options.output = value;
    else if (opt == 'O')
        options.remoteName = true;
    else if (opt == PORT_OPTION)
        options.port = parsePort(PROGRAM, value);
    else
        options.outputDir = value;
}

Options parseArguments(int argc, char* argv[]) {
    static const option LONG_OPTIONS[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, VERSION_OPTION},
        {"remote-name", no_argument, nullptr, 'O'},
        {"output-dir", required_argument, nullptr, OUTPUT_DIR_OPTION},
        {"port", required_argument, nullptr, PORT_OPTION},
        {nullptr, 0, nullptr, 0}};
    Options options;
    auto take = [&](int opt, const char* value) { takeOption(options, opt, value); };
    int operand = parseOptions(argc, argv, PROGRAM, HELP, "ho:O", LONG_OPTIONS, take);
    options.names = argv + operand;
    options.count = argc - operand;
    if (options.output && options.remoteName)
        refuseUsage("-o and -O cannot go together");
    if (options.outputDir && !options.remoteName)
        refuseUsage("--output-dir goes with -O");
    if (options.remoteName && options.count == 0)
        refuseUsage("-O needs at least one NAME");
    if (options.count > 1 && options.output && std::strcmp(options.output, ALONE) != 0)
        refuseUsage("-o FILE takes a single NAME (-O or -o - take several)");
    return options;
}

// A request can be lost, like any datagram: at a server's full queue
// during a flood, with nothing to tell us. Until the first reply (or an
// error) comes, it is sent again every half second; a server that got it twice
// answers twice, one reply after the other, and we take the first.
void askAgainUntilAnswered(int sock, const Datagram& request) {
    for (int asked = 1; asked < MOST_ASKS; ++asked) {
        pollfd pfd{sock, POLLIN, 0};
        if (poll(&pfd, 1, ASK_AGAIN_AFTER_MS) != 0)
            return; // a reply, or an error the receive will report
        if (send(sock, request, DATAGRAM_SIZE, 0) < 0)
            return;
    }
}

enum class Word { Read, TooLong, Missing };

// Reads one white-space delimited word into buf, leaving room for its zero byte.
Word readWord(Datagram& buf) {
    int ch;
    while ((ch = std::getchar()) != EOF && std::isspace(ch)) {
    }
    if (ch == EOF)
        return Word::Missing;
    std::size_t len = 0;
    for (; ch != EOF && !std::isspace(ch); ch = std::getchar()) {
        if (len == DATAGRAM_SIZE - 1)
            return Word::TooLong;
        buf[len++] = static_cast<char>(ch);
    }
    return Word::Read;
}

// Takes the name given on the command line as the word the prompt would read.
Word takeWord(std::string_view name, Datagram& buf) {
    if (name.empty())
        return Word::Missing;
    if (name.size() > DATAGRAM_SIZE - 1)
        return Word::TooLong;
    name.copy(buf, name.size());
    return Word::Read;
}

// Puts the word in buf, from the command line or asked for; false when
// there is none to send, which has been said on to.
bool getWord(const Options& options, Datagram& buf, std::FILE* to) {
    if (!options.name())
        std::fputs("\nPlease enter file name to receive: (Enter quit to exit!!)\n", to);
    switch (options.name() ? takeWord(options.name(), buf) : readWord(buf)) {
    case Word::Read:
        return true;
    case Word::TooLong:
        std::fputs("\nFile name too long: at most 31 characters!\n", to);
        return false;
    case Word::Missing:
        break;
    }
    std::fputs("\nNo file name given!\n", to);
    return false;
}

void listDirectory(std::FILE* to) {
    std::fflush(to); // the listing must follow what was printed before it
    // ls tells of its own failures on standard error, and the request goes on.
    [[maybe_unused]] int status = std::system(to == stderr ? "ls >&2" : "ls");
    std::fputs("ls done!!!", to);
}

// Makes the temporary file for a copy in file's place, before the server
// is asked for anything; false when it cannot, which has been said on to.
bool startCopy(std::optional<Copy>& copy, const char* file, std::FILE* to) {
    const char* why = copy.emplace(file).create();
    if (why)
        std::fprintf(to, "\nCannot write %s: %s!\n", file, why);
    return !why;
}

void noServer(std::FILE* to, std::uint16_t port) {
    std::fprintf(to, "\nNo server listening on %s:%u!\n", SERVER_HOST, port);
}

// The server obeys "quit" only from a socket of its own user or root, and
// asks the kernel whose socket sent it: ours stays open for QUIT_LINGER to
// be asked about. Meanwhile the kernel may say that nothing listens, and a
// server that refuses says why in one reply datagram. An obeyed quit gets
// no answer. Returns the exit status.
int lingerAfterQuit(int sock, std::FILE* to, std::uint16_t port) {
    auto until = std::chrono::steady_clock::now() + QUIT_LINGER;
    for (;;) {
        auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd pfd{sock, POLLIN, 0};
        int ready = left.count() > 0 ? poll(&pfd, 1, static_cast<int>(left.count())) : 0;
        if (ready == 0)
            return 0;
        if (ready < 0 && errno == EINTR)
            continue;
        Datagram buf;
        ssize_t got = ready < 0 ? -1 : recv(sock, buf, DATAGRAM_SIZE, MSG_DONTWAIT);
        if (got < 0 && errno == ECONNREFUSED) {
            noServer(to, port);
            return 1;
        }
        if (got <= 0)
            return 0; // nothing we can tell
        std::string reason;
        for (ssize_t i = 0; i < got && Cipher(buf[i]) != END_MARKER; ++i)
            reason += Cipher(buf[i]);
        std::fprintf(to, "\n%s\n", reason.c_str());
        return 1;
    }
}

// Says that the content could not be written: on standard error too, since
// standard output may be what failed.
void writeFailed(std::FILE* to) {
    std::fputs("\nOutput write failed!\n", to);
    if (to != stderr)
        std::fputs("\nOutput write failed!\n", stderr);
}

// What a reply cut short by our server says, total being the bytes before the cut.
std::string cutNotice(std::uint64_t total) {
    return "File cut at byte " + std::to_string(total) +
           ": it holds the byte 0xFF, which this protocol cannot carry!";
}

// Says how a reply that did not end whole ended, total being the content
// bytes received, port the one asked.
void reportFailure(const Reception& got, std::uint64_t total, std::FILE* to, std::uint16_t port) {
    switch (got.end) {
    case Received::Cut:
        if (got.dropped == 0) { // else total is not where the file was cut
            std::fprintf(stderr, "\n%s\n", cutNotice(total).c_str());
            return;
        }
        [[fallthrough]];
    case Received::Ended: // with holes the reader cannot see
        if (got.dropped == 1)
            std::fputs("\n1 datagram was lost: the copy is incomplete!\n", to);
        else
            std::fprintf(to, "\n%u datagrams were lost: the copy is incomplete!\n", got.dropped);
        return;
    case Received::WriteFailed:
        return writeFailed(to);
    case Received::TimedOut:
        std::fputs("\nNo reply from server: timed out!\n", to);
        return;
    case Received::Refused:
        return noServer(to, port);
    case Received::Failed:
        break;
    }
    std::fputs("\nReceive failed!\n", to);
}

// Receives the reply stream into copy, or to standard output when there is
// none, and says how it went on to; the status main returns.
int printReply(int sock, const Options& options, std::FILE* to, Copy* copy) {
    std::fflush(to);
    Output out(copy ? copy->fd() : STDOUT_FILENO);
    Progress progress(copy ? STDERR_FILENO : -1);
    Reception got = recvStream(sock, out, RecvPath::Coalesced, &progress);
    progress.clear();
    // Written out, the server's answer to a missing name would pass for a file.
    if (options.output && got.end == Received::Ended && got.dropped == 0 &&
        out.holdsOnly(NOT_FOUND_TEXT)) {
        std::fprintf(to, "\n%s\n", NOT_FOUND_TEXT.data());
        return 1;
    }
    // Only a whole copy, written out and on the disk, takes the file's place.
    bool whole = got.end == Received::Ended && got.dropped == 0;
    if (!out.flush() || (whole && copy && !copy->replace()))
        got.end = Received::WriteFailed;
    if (got.end != Received::Ended || got.dropped != 0) {
        reportFailure(got, out.total(), to, options.port);
        return 1;
    }
    if (options.output) // in place of the content
        std::fprintf(to, "%llu byte%s written to %s", static_cast<unsigned long long>(out.total()),
                     out.total() == 1 ? "" : "s", copy ? options.output : "standard output");
    std::fputs(CLOSING_BANNER, to);
    return 0;
}

// Connected, the socket hears only the server, and learns when no one
// listens. Its queue is enlarged before the first reply can arrive.
bool sendRequest(int sock, const Options& options, const Datagram& request) {
    sockaddr_in addr = serviceAddress(inet_addr(SERVER_HOST), options.port);
    enlargeReceiveBuffer(sock, REPLY_QUEUE_BYTES);
    return connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
           send(sock, request, DATAGRAM_SIZE, 0) == static_cast<ssize_t>(DATAGRAM_SIZE);
}

// One name's fetch in a run of several, as it ended.
struct Fetched {
    std::string why; // a failure before the server was asked, else empty
    Reception got{Received::Failed, 0};
    bool notFound = false;
    std::uint64_t bytes = 0;
    std::unique_ptr<Copy> copy; // with -O: the copy, put in its place once whole
    Fd content;                 // else: the content, in a temporary file of no name
};

bool whole(const Reception& got) {
    return got.end == Received::Ended && got.dropped == 0;
}

// Where -O saves name: under its last component, in the output directory;
// empty when that component names no file, since it would be written
// outside the directory or onto it.
std::string savedPath(const Options& options, std::string_view name) {
    std::string_view last = name.substr(name.rfind('/') + 1); // all of it without a '/'
    if (last.empty() || last == "." || last == "..")
        return {};
    std::string path = options.outputDir ? options.outputDir : "";
    if (!path.empty() && path.back() != '/')
        path += '/';
    return path.append(last);
}

// A temporary file that vanishes with its descriptor, where TMPDIR says.
Fd anonymousFile() {
    const char* dir = std::getenv("TMPDIR");
    if (!dir || !*dir)
        dir = "/tmp";
    Fd fd{open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)};
    if (fd.valid() || (errno != EOPNOTSUPP && errno != EISDIR))
        return fd;
    std::string temp = std::string(dir) + "/.client.XXXXXX"; // a file system without O_TMPFILE
    fd = Fd{mkostemp(temp.data(), O_CLOEXEC)};
    if (fd.valid())
        unlink(temp.c_str());
    return fd;
}

// Makes where name's content goes, before the server is asked for it; the
// descriptor, or -1 with fetched.why saying why not.
int prepareOutput(const Options& options, const char* name, Fetched& fetched) {
    if (!options.remoteName) {
        fetched.content = anonymousFile();
        if (!fetched.content.valid())
            fetched.why =
                std::string("Cannot make a temporary file: ") + std::strerror(errno) + "!";
        return fetched.content.get();
    }
    std::string path = savedPath(options, name);
    if (path.empty()) {
        fetched.why = "No file name to save it under: it ends in '/', '.' or '..'!";
        return -1;
    }
    fetched.copy = std::make_unique<Copy>(path);
    if (const char* why = fetched.copy->create()) {
        fetched.why = "Cannot write " + path + ": " + why + "!";
        return -1;
    }
    return fetched.copy->fd();
}

// Fetches one name of several on a socket of its own, into a file, and
// says how it went; run by one of a few threads.
Fetched fetchOne(const Options& options, const char* name) {
    Fetched fetched;
    Datagram buf;
    clearBuf(buf);
    Word word = takeWord(name, buf);
    if (word != Word::Read) {
        fetched.why = word == Word::TooLong ? "File name too long: at most 31 characters!"
                                            : "No file name given!";
        return fetched;
    }
    if (std::strcmp(buf, "quit") == 0) { // it would stop the server amid the others
        fetched.why = "quit is sent alone: client quit";
        return fetched;
    }
    int fd = prepareOutput(options, name, fetched);
    if (fd < 0)
        return fetched;
    Fd sock{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!sock.valid() || !sendRequest(sock.get(), options, buf)) {
        fetched.why = sock.valid() ? "Request send failed!" : "file descriptor not received!!";
        return fetched;
    }
    askAgainUntilAnswered(sock.get(), buf);
    Output out(fd);
    fetched.got = recvStream(sock.get(), out, RecvPath::Coalesced);
    fetched.notFound = whole(fetched.got) && out.holdsOnly(NOT_FOUND_TEXT);
    // Put in place here, a few at once: each sync and rename waits on the disk.
    bool keep = whole(fetched.got) && !fetched.notFound && fetched.copy;
    if (!out.flush() || (keep && !fetched.copy->replace()))
        fetched.got.end = Received::WriteFailed;
    fetched.bytes = out.total();
    return fetched;
}

// Writes the temporary file's content to standard output.
bool copyOut(int from) {
    if (lseek(from, 0, SEEK_SET) != 0)
        return false;
    auto block = std::make_unique_for_overwrite<char[]>(COPY_BYTES);
    for (;;) {
        ssize_t n = read(from, block.get(), COPY_BYTES);
        if (n == 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
        for (ssize_t done = 0, wrote; done < n; done += (wrote > 0 ? wrote : 0)) {
            wrote = write(STDOUT_FILENO, block.get() + done, static_cast<std::size_t>(n - done));
            if (wrote < 0 && errno != EINTR)
                return false;
        }
    }
}

// What reportFailure says of a reply that did not end whole, on one line.
std::string failureText(const Reception& got, std::uint64_t total, std::uint16_t port) {
    if (got.end == Received::Cut && got.dropped == 0) // said on standard error alone
        return cutNotice(total);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* said = open_memstream(&text, &size);
    if (!said)
        return "Receive failed!";
    reportFailure(got, total, said, port);
    std::fclose(said);
    std::string line(text, size);
    std::free(text);
    std::size_t first = line.find_first_not_of('\n');
    return first == std::string::npos ? line : line.substr(first, line.find('\n', first) - first);
}

// Writes one name's outcome in its place in the order named: its banners
// and its content, copy or failure; a failure is named on standard error
// too. False when the name did not come whole.
bool finish(const Options& options, const char* name, Fetched& fetched, std::FILE* to) {
    std::fputs(DATA_BANNER, to);
    std::string why = fetched.notFound ? std::string(NOT_FOUND_TEXT) : fetched.why;
    if (why.empty() && fetched.content.valid()) { // what came, whole or not, as one fetch prints it
        std::fflush(to);
        if (!copyOut(fetched.content.get()))
            why = "Output write failed!";
    }
    if (why.empty() && fetched.got.end == Received::WriteFailed)
        why = "Output write failed!";
    else if (why.empty() && !whole(fetched.got))
        why = failureText(fetched.got, fetched.bytes, options.port);
    if (!why.empty()) {
        std::fprintf(to, "\n%s\n", why.c_str());
        std::fflush(to);
        std::fprintf(stderr, "%s: %s: %s\n", PROGRAM, name, why.c_str());
        return false;
    }
    if (fetched.copy || options.output)
        std::fprintf(to, "%llu byte%s written to %s",
                     static_cast<unsigned long long>(fetched.bytes), fetched.bytes == 1 ? "" : "s",
                     fetched.copy ? savedPath(options, name).c_str() : "standard output");
    std::fputs(CLOSING_BANNER, to);
    return true;
}

// The fetches of a run of several names. Up to IN_FLIGHT threads take the
// names in the order given, never more than IN_FLIGHT past the one written
// out next, and leave each outcome in its slot for the main thread: only
// those fetches hold memory and files, however many names there are.
class Window {
  public:
    explicit Window(const Options& options);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    // Waits for the outcome of the name at index at, the next to write out;
    // fetches it here when no thread could be had.
    Fetched take(int at);

  private:
    void work();
    bool mayStart() const;

    const Options& options_;
    std::mutex mutex_;                           // guards what follows
    std::condition_variable startable_, filled_; // for the threads; for take
    int next_ = 0;                               // the next name to fetch
    int taken_ = 0;                              // the names written out so far
    std::optional<Fetched> slots_[IN_FLIGHT];
    std::vector<std::thread> workers_;
};

Window::Window(const Options& options) : options_(options) {
    try {
        while (workers_.size() < std::min<std::size_t>(IN_FLIGHT, options.count))
            workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) { // fewer threads, or none: take fetches itself
    }
}

Window::~Window() {
    {
        std::lock_guard lock(mutex_);
        next_ = options_.count; // no fetch starts now
    }
    startable_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
}

// Whether the next name may be fetched now: while it is within the window,
// and, two names saved under one path being fetched one after the other so
// that the later one named is kept, while no earlier one in flight has its path.
bool Window::mayStart() const {
    if (next_ >= options_.count || next_ >= taken_ + static_cast<int>(IN_FLIGHT))
        return false;
    if (!options_.remoteName)
        return true;
    std::string path = savedPath(options_, options_.names[next_]);
    for (int at = taken_; at < next_; ++at)
        if (!path.empty() && savedPath(options_, options_.names[at]) == path)
            return false;
    return true;
}

void Window::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        startable_.wait(lock, [&] { return next_ >= options_.count || mayStart(); });
        if (next_ >= options_.count)
            return;
        int at = next_++;
        lock.unlock();
        Fetched fetched = fetchOne(options_, options_.names[at]);
        lock.lock();
        slots_[at % IN_FLIGHT] = std::move(fetched);
        filled_.notify_one();
    }
}

Fetched Window::take(int at) {
    if (workers_.empty())
        return fetchOne(options_, options_.names[at]);
    std::unique_lock lock(mutex_);
    std::optional<Fetched>& slot = slots_[at % IN_FLIGHT];
    filled_.wait(lock, [&] { return slot.has_value(); });
    Fetched fetched = std::move(*slot);
    slot.reset();
    taken_ = at + 1;
    startable_.notify_one(); // one more name fits in the window

    return fetched;
}

// Fetches every name given, a window of them at once, and writes each
// outcome in the order named as soon as it and those before it are done.
// The status main returns.
int fetchSeveral(const Options& options) {
    std::FILE* to = options.output ? stderr : stdout; // -o -: the content alone on standard output
    Window window(options);
    int failed = 0;
    for (int at = 0; at < options.count; ++at) {
        Fetched fetched = window.take(at);
        failed += !finish(options, options.names[at], fetched, to);
    }
    std::fflush(to);
    return failed == 0 ? 0 : 1;
}
} // namespace

int main(int argc, char* argv[]) {
    Options options = parseArguments(argc, argv);
    // Content that could go nowhere would be reported as fetched.
    if (fcntl(STDOUT_FILENO, F_GETFD) < 0 && errno == EBADF) {
        std::fputs("\nStandard output is closed!\n", stderr);
        return 1;
    }
    openStandardStreams();
    // A reader that goes away makes a failed write, reported like any other.
    std::signal(SIGPIPE, SIG_IGN); // cannot fail for this signal
    if (options.several())
        return fetchSeveral(options);
    bool alone = options.output && std::strcmp(options.output, ALONE) == 0;
    std::FILE* to = alone ? stderr : stdout; // where the messages go

    Fd sock = openSocket(to);
    if (!sock.valid())
        return 1;
    Datagram buf;
    clearBuf(buf); // nothing but the word and zero bytes leaves the machine
    if (!getWord(options, buf, to))
        return 1;
    bool quit = std::strcmp(buf, "quit") == 0;
    if (quit)
        std::fputs("Exiting.....................\n", to);
    if (std::strcmp(buf, "ls") == 0)
        listDirectory(to);
    std::optional<Copy> copy;
    if (options.output && !alone && !quit && !startCopy(copy, options.output, to))
        return 1;

    if (!sendRequest(sock.get(), options, buf)) {
        std::fputs("\nRequest send failed!\n", to);
        return 1;
    }
    std::fputs(DATA_BANNER, to);
    if (quit) {
        std::fputs("Exiting.....................\n", to);
        std::fflush(to);
        return lingerAfterQuit(sock.get(), to, options.port);
    }
    askAgainUntilAnswered(sock.get(), buf);
    return printReply(sock.get(), options, to, copy ? &*copy : nullptr);
}
