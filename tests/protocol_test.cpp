// The shared routines and the server's request handling, without a network.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>

#include "protocol.hpp"
#include "reader.hpp"
#include "request.hpp"
#include "stream.hpp"
#include "support.hpp"

namespace {

using namespace test;

TEST(Cipher, IsItsOwnInverseAndKeysZero) {
    for (int value = 0; value < 256; ++value) {
        char ch = static_cast<char>(value);
        EXPECT_EQ(Cipher(Cipher(ch)), ch);
        EXPECT_EQ(static_cast<unsigned char>(Cipher(ch)), value ^ 0x4B);
    }
    EXPECT_EQ(Cipher('\0'), CIPHER_KEY);
}

TEST(ClearBuf, ZeroesExactlyOneDatagram) {
    char guarded[DATAGRAM_SIZE + 2];
    std::memset(guarded, 'x', sizeof guarded);
    clearBuf(*reinterpret_cast<Datagram*>(guarded + 1));
    EXPECT_EQ(guarded[0], 'x');
    EXPECT_EQ(guarded[DATAGRAM_SIZE + 1], 'x');
    for (std::size_t i = 1; i <= DATAGRAM_SIZE; ++i)
        EXPECT_EQ(guarded[i], '\0') << i;
}

bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) >= 0;
}

// An Fd closes what it holds once, however it is let go; descriptor 0 is
// one like any other.
TEST(Fd, ClosesWhatItHoldsOnce) {
    int a = open("/dev/null", O_RDONLY | O_CLOEXEC), b = open("/dev/null", O_RDONLY | O_CLOEXEC);
    {
        Fd first{a};
        Fd second{std::move(first)};
        EXPECT_FALSE(first.valid());
        Fd third{b};
        third = std::move(second); // lets b go
        EXPECT_FALSE(second.valid());
        EXPECT_EQ(third.get(), a);
        EXPECT_FALSE(isOpen(b));
        EXPECT_TRUE(isOpen(a));
    }
    EXPECT_FALSE(isOpen(a));
    int saved = dup(STDIN_FILENO);
    close(STDIN_FILENO);
    ASSERT_EQ(open("/dev/null", O_RDONLY), STDIN_FILENO);
    Fd zero{STDIN_FILENO};
    EXPECT_TRUE(zero.valid());
    zero.reset();
    EXPECT_FALSE(zero.valid());
    EXPECT_FALSE(isOpen(STDIN_FILENO));
    dup2(saved, STDIN_FILENO);
    close(saved);
}

// Runs sendFile over a file the way the server does and returns the datagrams.
std::vector<std::string> fillAll(const std::string& content, Reader** used = nullptr) {
    static TempDir dir;
    writeFile(dir / "f", content);
    static std::optional<Reader> reader;
    reader.emplace(Fd{open((dir / "f").c_str(), O_RDONLY)});
    if (used)
        *used = &*reader;
    std::vector<std::string> datagrams;
    Datagram buf = {};
    for (int ended = 0; !ended;) {
        ended = sendFile(&*reader, buf, DATAGRAM_SIZE);
        datagrams.emplace_back(buf, DATAGRAM_SIZE);
        clearBuf(buf);
    }
    return datagrams;
}

TEST(SendFile, FillsDatagramsForEachLength) {
    const std::string zeros(DATAGRAM_SIZE, '\0');
    for (std::size_t size : {0, 1, 31, 32, 33, 40, 64, 1000}) {
        std::string content = patternBytes(size, static_cast<unsigned>(size));
        auto datagrams = fillAll(content);
        EXPECT_EQ(datagrams.size(), size / DATAGRAM_SIZE + 1) << size;
        EXPECT_EQ(datagrams, expectedStream(content, zeros)) << size;
    }
}

TEST(SendFile, StopsAtTheFirstMarkerByte) {
    Reader* reader = nullptr;
    std::string content = "abcd\xff" + std::string(40, 'e'); // more than one datagram read
    auto datagrams = fillAll(content, &reader);
    ASSERT_EQ(datagrams.size(), 1u);
    EXPECT_EQ(decipherStream(datagrams), "abcd");
    EXPECT_EQ(datagrams[0][4], Cipher(END_MARKER));
    EXPECT_TRUE(reader->cut());
    EXPECT_EQ(reader->offset(), 5u);
}

TEST(SendFile, NotFoundReplyKeepsTheTail) {
    Datagram buf;
    std::memset(buf, 'r', DATAGRAM_SIZE);
    EXPECT_EQ(sendFile(nullptr, buf, DATAGRAM_SIZE), 1);
    std::string expected = "File Not Found!";
    for (char& ch : expected)
        ch = Cipher(ch);
    expected += Cipher(END_MARKER);
    expected += std::string(16, 'r');
    EXPECT_EQ(std::string(buf, DATAGRAM_SIZE), expected);
}

TEST(RequestName, EndsAtZeroOrAtThirtyTwoBytes) {
    Datagram buf;
    std::memset(buf, 'n', DATAGRAM_SIZE);
    EXPECT_EQ(requestName(buf), std::string(DATAGRAM_SIZE, 'n'));
    buf[3] = '\0';
    EXPECT_EQ(requestName(buf), "nnn");
    buf[0] = '\0';
    EXPECT_EQ(requestName(buf), "");
}

TEST(EscapeName, KeepsPrintableAndEscapesTheRest) {
    struct Case {
        std::string name, shown;
    } cases[] = {
        {"notes.txt", "notes.txt"},
        {"a b~", "a b~"},
        {"a\\x0a", "a\\\\x0a"}, // not to be mistaken for the next one
        {"a\n", "a\\x0a"},
        {"\x1b[2J", "\\x1b[2J"},
        {"tab\there", "tab\\x09here"},
        {"del\x7f", "del\\x7f"},
        {"caf\xc3\xa9", "caf\\xc3\\xa9"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(escapeName(c.name), c.shown) << c.name;
}

// Both ways of opening must agree on what is served, and on whether every
// user could read it: the file readable by others, and every directory
// between searchable by them; the working directory itself is not judged.
TEST(OpenRequested, ConfinesToTheWorkingDirectory) {
    TempDir outside;
    writeFile(outside / "secret", "secret");
    std::string climb = "../" + outside.path().filename().string() + "/secret";
    TempDir dir;
    fs::create_directory(dir / "sub");
    writeFile(dir / "sub" / "inner", "inner");
    writeFile(dir / "plain", "plain");
    fs::create_symlink(outside / "secret", dir / "link-out");
    fs::create_symlink("sub/inner", dir / "link-in");
    fs::create_directory_symlink(outside.path(), dir / "dir-out");
    fs::create_symlink("../plain", dir / "sub" / "up-in");
    fs::create_symlink("../" + climb, dir / "sub" / "up-out");
    fs::create_symlink("loop", dir / "loop");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directories(dir / "locked" / "open");
    writeFile(dir / "locked" / "open" / "inner", "inner");
    writeFile(dir / "private", "private");
    fs::create_symlink("locked/open/inner", dir / "link-locked");
    for (auto [path, mode] : {std::pair{dir / "sub", 0755},
                              {dir / "sub" / "inner", 0644},
                              {dir / "plain", 0644},
                              {dir / "locked", 0700},
                              {dir / "locked" / "open", 0755},
                              {dir / "locked" / "open" / "inner", 0644},
                              {dir / "private", 0640}})
        ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(mode)), 0) << path;
    ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0); // the operator's choice, not judged
    fs::path previous = fs::current_path();
    fs::current_path(dir.path());

    struct Case {
        std::string name;
        bool served;
        bool publicly = false;
    } cases[] = {
        {"plain", true, true},
        {"sub/inner", true, true},
        {"link-in", true, true},
        {"./sub/../plain", true, true},
        {"sub//../plain", true, true},
        {"sub/up-in", true, true},
        {"private", true},
        {"locked/open/inner", true},
        {"link-locked", true},
        {(outside / "secret").string(), false},
        {climb, false},
        {"sub/../" + climb, false},
        {"link-out", false},
        {"dir-out/secret", false},
        {"sub/up-out", false},
        {"loop", false},
        {"sub", false},
        {"sub/..", false},
        {"../plain", false}, // never back in, even to the top
        {"plain/", false},
        {"sub/", false},
        {"fifo", false},
        {"missing", false},
        {"", false},
    };
    for (const Case& c : cases) {
        Found found, walked;
        Fd fd = openRequested(c.name, &found), walk = openRequestedByWalk(c.name, &walked);
        EXPECT_EQ(fd.valid(), c.served) << c.name;
        EXPECT_EQ(walk.valid(), c.served) << "by walk: " << c.name;
        if (c.served) {
            EXPECT_EQ(publiclyReadable(fd.get(), found), c.publicly) << c.name;
            EXPECT_EQ(publiclyReadable(walk.get(), walked), c.publicly) << "by walk: " << c.name;
        }
    }
    fs::current_path(previous);
}

// The same file, by device and inode, or nothing from both.
std::string opened(const Fd& fd) {
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0)
        return "refused";
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// Names made at random from the parts a confined lookup must get right,
// each resolved both ways: the walk must answer as the kernel does.
TEST(OpenRequested, WalkAgreesWithTheKernelOnGeneratedNames) {
    TempDir parent;
    writeFile(parent / "secret", "secret");
    fs::path top = parent / "top";
    fs::create_directories(top / "d" / "e");
    writeFile(top / "f", "f");
    writeFile(top / "d" / "g", "g");
    writeFile(top / "d" / "e" / "h", "h");
    ASSERT_EQ(mkfifo((top / "p").c_str(), 0600), 0);
    const std::pair<const char*, std::string> links[] = {
        {"li", "f"},
        {"ld", "d"},
        {"lo", "../secret"},
        {"lt", "../top/f"},
        {"la", top / "f"},
        {"lp", "p"},
        {"lx", "missing"},
        {"loop", "loop"},
        {"ls", "d/"},
        {"lu", "d/../f"},
        {"d/up", "../f"},
        {"d/out", "../../secret"},
        {"d/e/lz", "../../li"},
    };
    for (const auto& [at, target] : links)
        fs::create_symlink(target, top / at);
    // A chain of as many links as one lookup may follow, and one more.
    for (int i = 1; i <= 41; ++i) {
        std::string link = "c", previous = "c";
        link += std::to_string(i);
        previous += std::to_string(i - 1);
        fs::create_symlink(i == 1 ? "f" : previous, top / link);
    }
    // The parts a name is made of; the empty one makes "//" and a leading "/".
    const std::string parts[] = {"",   ".",   "..", "f",   "d",    "e",      "g",      "h",  "p",
                                 "li", "ld",  "lo", "lt",  "la",   "lp",     "lx",     "ls", "lu",
                                 "up", "out", "lz", "top", "loop", "secret", "missing"};
    const std::string leaves[] = {"f", "g", "h", "li", "lu", "up"};
    std::vector<std::string> names = {"li/",  "lu/", "d/up/", "d/e/lz/", "ld/g/",
                                      "ls/g", "c40", "c41",   "d/../c40"};
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 random(seed);
        for (int i = 0; i < 1000; ++i) {
            std::string name;
            for (std::size_t n = random() % 5; n > 0; --n)
                name += parts[random() % std::size(parts)] + "/";
            // Mostly a part that names a file, so that many names are served.
            name += random() % 2 ? parts[random() % std::size(parts)]
                                 : leaves[random() % std::size(leaves)];
            if (random() % 6 == 0)
                name += '/';
            names.push_back(name);
        }
    }
    fs::path previous = fs::current_path();
    fs::current_path(top);
    std::string secret = opened(Fd{open((parent / "secret").c_str(), O_RDONLY | O_CLOEXEC)});
    std::size_t served = 0;
    for (const std::string& name : names) {
        std::string byKernel = opened(openRequested(name));
        EXPECT_EQ(opened(openRequestedByWalk(name)), byKernel) << name;
        EXPECT_NE(byKernel, secret) << name;
        served += byKernel != "refused";
    }
    fs::current_path(previous);
    EXPECT_GT(served, names.size() / 20) << "the names reach files often enough to compare";
}

// A directory swapped with a link that leads out, while the walk is in it,
// must fail the walk, not lead it out.
TEST(OpenRequested, WalkHoldsWhileADirectoryIsSwappedForALink) {
    TempDir outside;
    writeFile(outside / "secret", "outside");
    TempDir dir;
    fs::create_directories(dir / "w" / "d");
    writeFile(dir / "w" / "d" / "secret", "inside");
    fs::create_directory_symlink(outside.path(), dir / "w" / "x");
    if (renameat2(AT_FDCWD, (dir / "w/d").c_str(), AT_FDCWD, (dir / "w/x").c_str(),
                  RENAME_EXCHANGE) != 0)
        GTEST_SKIP() << "no exchanging rename here: " << std::strerror(errno);
    fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop)
            renameat2(AT_FDCWD, "w/d", AT_FDCWD, "w/x", RENAME_EXCHANGE);
    });
    int served = 0, leaked = 0;
    auto until = std::chrono::steady_clock::now() + 2s;
    for (int i = 0; i < 20000 && std::chrono::steady_clock::now() < until; ++i) {
        Fd fd = openRequestedByWalk("w/d/secret");
        char first = 0;
        if (fd.valid() && read(fd.get(), &first, 1) == 1)
            (first == 'o' ? leaked : served)++;
    }
    stop = true;
    swapper.join();
    fs::current_path(previous);
    EXPECT_EQ(leaked, 0) << "served inside " << served << " times";
}

// Opening a FIFO would release a writer blocked on it, which then loses
// what it writes: the type must be known before anything is opened.
TEST(OpenRequested, LeavesAWriterOnAFifoBlocked) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    auto writer = std::async(
        std::launch::async, [&] { return Fd{open((dir / "fifo").c_str(), O_WRONLY | O_CLOEXEC)}; });
    ASSERT_EQ(writer.wait_for(100ms), std::future_status::timeout);
    fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_FALSE(openRequested("fifo").valid());
    EXPECT_FALSE(openRequestedByWalk("fifo").valid());
    fs::current_path(previous);
    EXPECT_EQ(writer.wait_for(100ms), std::future_status::timeout) << "writer released";
    Fd reader{open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    EXPECT_TRUE(writer.get().valid());
}

} // namespace
