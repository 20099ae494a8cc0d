// The command line both programs share: they take no argument but --help
// and --version, and answer either without opening a socket, so that a
// curious first try never starts serving or waiting for a name.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

// Usage errors end with 2, as in most tools, apart from the programs' own 1.
inline constexpr int USAGE_STATUS = 2;

// Ends the program after --help or --version: 1 when the text could not be written.
[[noreturn]] inline void exitAfterAnswer() {
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}

// Returns when there is no argument. Otherwise answers --help with the
// program's name and summary, or --version with the version the build set,
// or refuses the first argument it does not take with USAGE_STATUS.
inline void handleArguments(int argc, char* argv[], const char* program, const char* summary) {
    if (argc <= 1)
        return;
    std::string_view first = argv[1];
    if (argc == 2 && first == "--help") {
        std::printf("Usage: %s\n%s\nIt takes no argument but --help and --version.\n"
                    "Manual: man %s\n",
                    program, summary, program);
        exitAfterAnswer();
    }
    if (argc == 2 && first == "--version") {
        std::printf("%s (%s) %s\n", program, PACKAGE_NAME, PACKAGE_VERSION);
        exitAfterAnswer();
    }
    // After --help or --version, the argument too many is the one refused.
    bool known = first == "--help" || first == "--version";
    std::fprintf(stderr, "%s: unexpected argument '%s' (try %s --help)\n", program,
                 known ? argv[2] : argv[1], program);
    std::exit(USAGE_STATUS);
}
