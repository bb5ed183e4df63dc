// The command line both programs take: --help (-h), --version, --config-dir DIR (or
// --config-dir=DIR) and, where the program has one, --headless.
#pragma once

#include <cstdio>
#include <string>

namespace tovi {

struct CommandLine {
    std::string configDir;  // empty: the default configuration directory
    bool headless = false;
};

// Reads argv into out. Returns -1 when the program should run; otherwise it has printed the help,
// the version ("<program> <version>") or the unknown option with the usage on stderr, and returns
// the exit code (0, or 2 for an unknown option).
int parseCommandLine(int argc, char** argv, const char* program, bool takesHeadless,
                     void (*printUsage)(FILE*), CommandLine& out);

}  // namespace tovi
