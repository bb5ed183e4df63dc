#include "client/cli/send_options.h"

#include <cstdlib>
#include <cstring>

#include "protocol/packets.h"

namespace tovi {

namespace {

// The value of option name at argv[i] ("--name VALUE" or "--name=VALUE"); advances i past it.
// 1 taken, 0 not this option, -1 this option without a value.
int takeValue(const char* name, int argc, char** argv, int& i, std::string& value) {
    const size_t length = std::strlen(name);
    const char* arg = argv[i];
    if (std::strncmp(arg, name, length) != 0) return 0;
    if (arg[length] == '=') {
        value = arg + length + 1;
        return 1;
    }
    if (arg[length] != '\0') return 0;
    if (i + 1 >= argc) return -1;
    value = argv[++i];
    return 1;
}

}  // namespace

bool CSendOptions::parse(int argc, char** argv, std::string& error) {
    struct Valued {
        const char* name;
        std::string* value;
    } valued[] = {{"--to", &to},
                  {"--group", &group},
                  {"--title", &title},
                  {"--config-dir", &configDir},
                  {"--as", &as},
                  {"--as-group", &asGroup},
                  {"--mail-dir", &mailDir},
                  {"--server", &server}};
    bool sendSeen = false;
    const struct {
        const char* name;
        bool* flag;
    } flags[] = {
        {"--send", &sendSeen}, {"--all", &all}, {"--connected", &connected}, {"--save", &save}};
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            help = true;
            return true;
        }
        bool isFlag = false;
        for (const auto& f : flags) {
            if (std::strcmp(arg, f.name) == 0) *f.flag = isFlag = true;
        }
        if (isFlag) continue;
        int taken = 0;
        for (const Valued& v : valued) {
            taken = takeValue(v.name, argc, argv, i, *v.value);
            if (taken == 1 && v.value == &title) titleGiven = true;
            if (taken != 0) {
                if (taken < 0) error = std::string(v.name) + " needs a value";
                break;
            }
        }
        if (taken < 0) return false;
        if (taken == 0) {
            error = std::string("unknown option '") + arg + "'";
            return false;
        }
    }
    const int targets = (to.empty() ? 0 : 1) + (group.empty() ? 0 : 1) + (all ? 1 : 0);
    if (!sendSeen) {
        error = "--send missing";
    } else if (targets != 1) {
        error = "give exactly one of --to USER, --group GROUP, --all";
    } else if (connected && !to.empty()) {
        error = "--connected goes with --group or --all";
    } else if (!titleGiven) {
        error = "--title missing";
    } else if (!as.empty() && (asGroup.empty() || mailDir.empty())) {
        error = "--as needs --as-group and --mail-dir";
    } else if (as.empty() && !asGroup.empty()) {
        error = "--as-group goes with --as";
    } else {
        std::string host;
        int port = 0;
        if (server.empty() || splitServer(server, host, port)) return true;
        error = "--server wants HOST or HOST:PORT (port 1 to 65535)";
    }
    return false;
}

int32_t CSendOptions::sendType() const {
    if (!to.empty()) return SEND_TO_USER;
    if (!group.empty()) return connected ? SEND_TO_GROUP_CONNECTED : SEND_TO_GROUP;
    return connected ? SEND_TO_ALL_CONNECTED : SEND_TO_ALL;
}

bool CSendOptions::splitServer(const std::string& server, std::string& host, int& port) {
    const size_t colon = server.rfind(':');
    host = server.substr(0, colon);
    port = 0;
    if (colon != std::string::npos) {
        const std::string digits = server.substr(colon + 1);
        char* end = nullptr;
        const long value = std::strtol(digits.c_str(), &end, 10);
        if (digits.empty() || *end != '\0' || value < 1 || value > 65535) return false;
        port = static_cast<int>(value);
    }
    return !host.empty();
}

}  // namespace tovi
