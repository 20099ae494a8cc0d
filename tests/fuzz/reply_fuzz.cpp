// Fuzzes the client's handling of one receive: a coalesced buffer cut into
// datagrams of a given segment size. What reaches the output descriptor is
// compared with a plain decoding done here, datagram by datagram.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "receive.hpp"

namespace {

// Segment sizes up to twice a datagram: shorter, exact and longer ones.
constexpr std::size_t MAX_SEGMENT = 2 * DATAGRAM_SIZE;

int sink = -1;         // a memory file, so the output can be read back cheaply
Output* out = nullptr; // one for the run, as the client keeps one for a transfer

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

std::vector<std::string_view> datagrams(std::string_view data, std::size_t segment) {
    std::vector<std::string_view> out;
    if (segment == 0)
        segment = data.size(); // the kernel merged nothing
    while (!data.empty()) {
        std::size_t len = std::min(segment, data.size());
        out.push_back(data.substr(0, len));
        data.remove_prefix(len);
    }
    return out;
}

struct Decoded {
    std::string content;
    bool ended = false;
};

Decoded decode(std::string_view data, std::size_t segment) {
    Decoded result;
    for (std::string_view datagram : datagrams(data, segment)) {
        for (char ch : datagram.substr(0, DATAGRAM_SIZE)) {
            // The protocol's key and marker, spelled out rather than shared.
            char plain = static_cast<char>(ch ^ 0x4B);
            if (plain == static_cast<char>(0xFF)) {
                result.ended = true;
                return result;
            }
            result.content += plain;
        }
    }
    return result;
}

std::string readSink() {
    std::string text(static_cast<std::size_t>(lseek(sink, 0, SEEK_CUR)), '\0');
    check(pread(sink, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()));
    return text;
}

void clearSink() {
    check(ftruncate(sink, 0) == 0);
    check(lseek(sink, 0, SEEK_SET) == 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sink = memfd_create("reply_fuzz", MFD_CLOEXEC);
    if (sink < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    out = new Output(sink);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::size_t segment = data[0] % (MAX_SEGMENT + 1);
    std::string_view received(reinterpret_cast<const char*>(data + 1), size - 1);
    clearSink();
    Ending ending = recvSegments(received.data(), received.size(), segment, *out);
    check(out->flush());
    Decoded expected = decode(received, segment);
    check((ending != Ending::More) == expected.ended);
    check(readSink() == expected.content);
    return 0;
}
