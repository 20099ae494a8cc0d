// client: asks for one file name, fetches the file from the server on
// SERVER_HOST and prints it between two banner lines.
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "arguments.hpp"
#include "protocol.hpp"
#include "receive.hpp"

namespace {

// How long the socket that sent "quit" stays open after it.
constexpr auto QUIT_LINGER = std::chrono::milliseconds(200);

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

void listDirectory() {
    std::fflush(stdout); // the listing must follow what was printed before it
    // ls tells of its own failures on standard error, and the request goes on.
    [[maybe_unused]] int status = std::system("ls");
    std::printf("ls done!!!");
}

// Prints the reply stream between the banners; the status main returns.
int printReply(int sock) {
    std::fflush(stdout);
    Output out(STDOUT_FILENO);
    Reception got = recvStream(sock, out, RecvPath::Coalesced);
    if (!out.flush())
        got.end = Received::WriteFailed;
    switch (got.end) {
    case Received::Ended:
        if (got.dropped == 0) {
            std::puts("\n-------------------------------");
            return 0;
        }
        // What arrived is printed, but with holes the reader cannot see.
        if (got.dropped == 1)
            std::puts("\n1 datagram was lost: the copy is incomplete!");
        else
            std::printf("\n%u datagrams were lost: the copy is incomplete!\n", got.dropped);
        return 1;
    case Received::WriteFailed:
        std::puts("\nOutput write failed!");
        return 1;
    case Received::TimedOut:
        std::puts("\nNo reply from server: timed out!");
        return 1;
    case Received::Refused:
        std::printf("\nNo server listening on %s:%u!\n", SERVER_HOST, SERVICE_PORT);
        return 1;
    case Received::Failed:
        break;
    }
    std::puts("\nReceive failed!");
    return 1;
}

} // namespace

int main(int argc, char* argv[]) {
    handleArguments(argc, argv, "client",
                    "Asks for a file name on standard input, fetches that file from the server\n"
                    "at 127.0.0.1, UDP port 15050, and prints it.");
    openStandardStreams();
    // A reader that goes away makes a failed write, reported like any other.
    std::signal(SIGPIPE, SIG_IGN); // cannot fail for this signal
    sockaddr_in addr = serviceAddress(inet_addr(SERVER_HOST));

    Fd sock = openSocket();
    if (!sock.valid())
        return 1;
    std::puts("\nPlease enter file name to receive: (Enter quit to exit!!)");

    Datagram buf;
    clearBuf(buf); // nothing but the word and zero bytes leaves the machine
    switch (readWord(buf)) {
    case Word::Read:
        break;
    case Word::TooLong:
        std::puts("\nFile name too long: at most 31 characters!");
        return 1;
    case Word::Missing:
        std::puts("\nNo file name given!");
        return 1;
    }
    bool quit = std::strcmp(buf, "quit") == 0;
    if (quit)
        std::puts("Exiting.....................");
    if (std::strcmp(buf, "ls") == 0)
        listDirectory();

    enlargeReceiveBuffer(sock.get(), REPLY_QUEUE_BYTES); // before the first reply can arrive
    // Connected, the socket hears only the server, and learns when no one listens.
    if (connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        send(sock.get(), buf, DATAGRAM_SIZE, 0) != static_cast<ssize_t>(DATAGRAM_SIZE)) {
        std::puts("\nRequest send failed!");
        return 1;
    }
    std::puts("\n---------Data Received---------");
    if (quit) {
        std::puts("Exiting.....................");
        std::fflush(stdout);
        // The server obeys "quit" only from a socket of its own user or
        // root, and asks the kernel whose socket sent it: ours must still
        // be there to be asked about.
        std::this_thread::sleep_for(QUIT_LINGER);
        return 0;
    }
    return printReply(sock.get());
}
