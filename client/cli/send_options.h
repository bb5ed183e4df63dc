// CSendOptions: the command line of `tovic --send`:
//
//   tovic --send (--to USER | --group GROUP [--connected] | --all [--connected]) --title TITLE
//         [--config-dir DIR] [--as NAME --as-group GROUP --mail-dir DIR]
//         [--server HOST[:PORT]] [--save]
//
// Options take their value as the next argument or after '=' (--to=bob). Texts are as typed
// (UTF-8); the caller converts them. Plain C++; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace tovi {

class CSendOptions {
  public:
    // Reads argv (argv[0] is the program; "--send" must be among the rest). False, with the
    // reason in error, for an unknown or incomplete option or a combination that makes no sense.
    // help: --help was given (nothing else is checked).
    bool parse(int argc, char** argv, std::string& error);

    // SEND_TO_USER .. SEND_TO_ALL_CONNECTED.
    int32_t sendType() const;
    // HOST[:PORT] of --server into host and port (port 0 when none is given). False when the
    // port is not a number from 1 to 65535 or the host is empty.
    static bool splitServer(const std::string& server, std::string& host, int& port);

    bool help = false;
    std::string to;     // --to USER
    std::string group;  // --group GROUP
    bool all = false;
    bool connected = false;
    std::string title;
    bool titleGiven = false;
    std::string configDir;
    std::string as;  // --as NAME
    std::string asGroup;
    std::string mailDir;
    std::string server;
    bool save = false;
};

}  // namespace tovi
