// The command line both programs share: they answer --help and --version
// without opening a socket, so that a curious first try never starts
// serving or waiting for a name. Options are read by getopt_long, whose
// messages and "--" users know from other tools.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <getopt.h>

// Usage errors end with 2, as in most tools, apart from the programs' own 1.
inline constexpr int USAGE_STATUS = 2;
// What getopt_long returns for --version and --port, which have no short form.
inline constexpr int VERSION_OPTION = 256;
inline constexpr int PORT_OPTION = 257;

// Ends the program after --help or --version: 1 when the text could not be written.
[[noreturn]] inline void exitAfterAnswer() {
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}

[[noreturn]] inline void refuseArgument(const char* program, const char* argument) {
    std::fprintf(stderr, "%s: unexpected argument '%s' (try %s --help)\n", program, argument,
                 program);
    std::exit(USAGE_STATUS);
}

// The port --port names: a number from 1 to 65535, nothing else; anything
// else ends the program with USAGE_STATUS.
inline std::uint16_t parsePort(const char* program, const char* text) {
    char* end = nullptr;
    errno = 0;
    unsigned long port = std::strtoul(text, &end, 10);
    bool digits = text[0] >= '0' && text[0] <= '9' && *end == '\0';
    if (!digits || errno != 0 || port == 0 || port > 65535) {
        std::fprintf(stderr, "%s: invalid port '%s': give a number from 1 to 65535\n", program,
                     text);
        std::exit(USAGE_STATUS);
    }
    return static_cast<std::uint16_t>(port);
}

// What --help prints: the usage line (program's name, then forms), the
// summary, and what the program takes.
struct Help {
    const char* forms;
    const char* summary;
    const char* takes;
};

[[noreturn]] inline void answerAndExit(int which, const char* program, const Help& help) {
    if (which == 'h')
        std::printf("Usage: %s%s\n%s\n%s\nManual: man %s\n", program, help.forms, help.summary,
                    help.takes, program);
    else
        std::printf("%s (%s) %s\n", program, PACKAGE_NAME, PACKAGE_VERSION);
    exitAfterAnswer();
}

// Reads the options with getopt_long, handing each one but --help and
// --version to take(option, its argument), and returns the index of the
// first operand; getopt moves the operands to the end. An option getopt
// refuses ends the program with its message and USAGE_STATUS. --help and
// --version are answered alone only: with any other argument, the first
// argument besides the one answered is refused.
template <typename Take>
int parseOptions(int argc, char* argv[], const char* program, const Help& help,
                 const char* shortOptions, const option* longOptions, Take take) {
    // getopt moves arguments about: the refusal names them as given.
    const char* first = argc > 1 ? argv[1] : "";
    const char* second = argc > 2 ? argv[2] : "";
    std::string_view given = first;
    bool firstIsOption = given.size() > 1 && given.front() == '-' && given != "--";
    if (argc > 0)                             // else argv[0] ends the list
        argv[0] = const_cast<char*>(program); // getopt's messages begin with it
    int answered = 0;
    bool firstAnswers = false;
    for (int opt, seen = 0;
         (opt = getopt_long(argc, argv, shortOptions, longOptions, nullptr)) != -1; ++seen) {
        if (opt == '?') {
            std::fprintf(stderr, "Try '%s --help' for more information.\n", program);
            std::exit(USAGE_STATUS);
        }
        if (opt != 'h' && opt != VERSION_OPTION)
            take(opt, optarg);
        else if (answered == 0) {
            answered = opt;
            firstAnswers = seen == 0 && firstIsOption;
        }
    }
    if (answered != 0 && argc > 2)
        refuseArgument(program, firstAnswers ? second : first);
    if (answered != 0)
        answerAndExit(answered, program, help);
    return optind;
}
