#include "platform/command_line.h"

#include <cstring>

namespace tovi {

int parseCommandLine(int argc, char** argv, const char* program, bool takesHeadless,
                     void (*printUsage)(FILE*), CommandLine& out) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            printUsage(stdout);
            return 0;
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::printf("%s %s\n", program, TOVI_VERSION);
            return 0;
        }
        if (takesHeadless && std::strcmp(arg, "--headless") == 0) {
            out.headless = true;
        } else if (std::strcmp(arg, "--config-dir") == 0 && i + 1 < argc) {
            out.configDir = argv[++i];
        } else if (std::strncmp(arg, "--config-dir=", 13) == 0) {
            out.configDir = arg + 13;
        } else {
            std::fprintf(stderr, "%s: unknown option '%s'\n", program, arg);
            printUsage(stderr);
            return 2;
        }
    }
    return -1;
}

}  // namespace tovi
