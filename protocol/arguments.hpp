// The command line both programs share: they answer --help and --version
// without opening a socket, so that a curious first try never starts
// serving or waiting for a name. The server takes nothing else.
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

[[noreturn]] inline void refuseArgument(const char* program, const char* argument) {
    std::fprintf(stderr, "%s: unexpected argument '%s' (try %s --help)\n", program, argument,
                 program);
    std::exit(USAGE_STATUS);
}

// What --help prints: the usage line (program's name, then forms), the
// summary, and what the program takes.
struct Help {
    const char* forms;
    const char* summary;
    const char* takes;
};

// Answers --help or --version when it is the first argument, refusing any
// argument after it; returns when the first argument is neither.
inline void answerHelpOrVersion(int argc, char* argv[], const char* program, const Help& help) {
    std::string_view first = argc > 1 ? argv[1] : "";
    if (first != "--help" && first != "--version")
        return;
    if (argc > 2)
        refuseArgument(program, argv[2]); // the argument too many is the one refused
    if (first == "--help")
        std::printf("Usage: %s%s\n%s\n%s\nManual: man %s\n", program, help.forms, help.summary,
                    help.takes, program);
    else
        std::printf("%s (%s) %s\n", program, PACKAGE_NAME, PACKAGE_VERSION);
    exitAfterAnswer();
}

// Returns when there is no argument. Otherwise answers --help with the
// program's name and summary, or --version with the version the build set,
// or refuses the first argument it does not take with USAGE_STATUS.
inline void handleArguments(int argc, char* argv[], const char* program, const char* summary) {
    answerHelpOrVersion(argc, argv, program,
                        {"", summary, "It takes no argument but --help and --version."});
    if (argc > 1)
        refuseArgument(program, argv[1]);
}
