// client: fetches one file from the server on SERVER_HOST, named on the
// command line or asked for on standard input, and prints it between two
// banner lines, or writes it to a file.
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

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

constexpr const char* PROGRAM = "client";
constexpr Help HELP = {
    "\n  or:  client [-o FILE] [NAME]",
    "Fetches the file NAME from the server at 127.0.0.1, UDP port 15050, and prints it;\n"
    "without NAME, asks for the name on standard input.",
    "  -o FILE  write the content to FILE instead, replacing it only with a whole copy\n"
    "  -o -     write the content alone to standard output, the messages to standard error\n"
    "It also takes -h (--help), --version, and -- before a NAME that begins with '-'."};
constexpr const char* ALONE = "-"; // -o's argument for the content alone on standard output

// What the command line asks for.
struct Options {
    const char* output = nullptr; // -o: a file, or ALONE
    const char* name = nullptr;   // the word, in place of one read from standard input
};

Options parseArguments(int argc, char* argv[]) {
    static const option LONG_OPTIONS[] = {{"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, VERSION_OPTION},
                                          {nullptr, 0, nullptr, 0}};
    Options options;
    auto take = [&](int, const char* file) { // -o, the only other option
        if (options.output)
            refuseArgument(PROGRAM, "-o");
        options.output = file;
    };
    int operand = parseOptions(argc, argv, PROGRAM, HELP, "ho:", LONG_OPTIONS, take);
    if (operand < argc)
        options.name = argv[operand++];
    if (operand < argc)
        refuseArgument(PROGRAM, argv[operand]);
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
    if (!options.name)
        std::fputs("\nPlease enter file name to receive: (Enter quit to exit!!)\n", to);
    switch (options.name ? takeWord(options.name, buf) : readWord(buf)) {
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

void noServer(std::FILE* to) {
    std::fprintf(to, "\nNo server listening on %s:%u!\n", SERVER_HOST, SERVICE_PORT);
}

// The server obeys "quit" only from a socket of its own user or root, and
// asks the kernel whose socket sent it: ours stays open for QUIT_LINGER to
// be asked about. Meanwhile the kernel may say that nothing listens, and a
// server that refuses says why in one reply datagram. An obeyed quit gets
// no answer. Returns the exit status.
int lingerAfterQuit(int sock, std::FILE* to) {
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
            noServer(to);
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

// Says how a reply that did not end whole ended, total being the content
// bytes received.
void reportFailure(const Reception& got, std::uint64_t total, std::FILE* to) {
    switch (got.end) {
    case Received::Cut:
        if (got.dropped == 0) { // else total is not where the file was cut
            std::fprintf(stderr,
                         "\nFile cut at byte %llu: it holds the byte 0xFF, which this protocol "
                         "cannot carry!\n",
                         static_cast<unsigned long long>(total));
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
        return noServer(to);
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
        reportFailure(got, out.total(), to);
        return 1;
    }
    if (options.output) // in place of the content
        std::fprintf(to, "%llu byte%s written to %s", static_cast<unsigned long long>(out.total()),
                     out.total() == 1 ? "" : "s", copy ? options.output : "standard output");
    std::fputs("\n-------------------------------\n", to);
    return 0;
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
    sockaddr_in addr = serviceAddress(inet_addr(SERVER_HOST));
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

    enlargeReceiveBuffer(sock.get(), REPLY_QUEUE_BYTES); // before the first reply can arrive
    // Connected, the socket hears only the server, and learns when no one listens.
    if (connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        send(sock.get(), buf, DATAGRAM_SIZE, 0) != static_cast<ssize_t>(DATAGRAM_SIZE)) {
        std::fputs("\nRequest send failed!\n", to);
        return 1;
    }
    std::fputs("\n---------Data Received---------\n", to);
    if (quit) {
        std::fputs("Exiting.....................\n", to);
        std::fflush(to);
        return lingerAfterQuit(sock.get(), to);
    }
    askAgainUntilAnswered(sock.get(), buf);
    return printReply(sock.get(), options, to, copy ? &*copy : nullptr);
}
