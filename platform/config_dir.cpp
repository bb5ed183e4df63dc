#include "platform/config_dir.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/file.h"

namespace tovi {

namespace {

// An environment variable; empty counts as unset.
std::string envValue(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

std::string withoutTrailingSlashes(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

// The home directory when $HOME is not set: the password database.
std::string homeFromPasswd() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr)
        return std::string();
    return found->pw_dir;
}

}  // namespace

std::string configDirectory(const std::string& option) {
    if (!option.empty()) return option;
    std::string dir = envValue("TOVI_CONFIG_DIR");
    if (!dir.empty()) return dir;
    // A relative $XDG_CONFIG_HOME is not valid and is passed over, as the XDG rules say.
    dir = envValue("XDG_CONFIG_HOME");
    if (!dir.empty() && dir[0] == '/') return withoutTrailingSlashes(dir) + "/tovi";
    dir = envValue("HOME");
    if (dir.empty()) dir = homeFromPasswd();
    if (dir.empty()) return std::string();
    return withoutTrailingSlashes(dir) + "/.config/tovi";
}

bool enterConfigDirectory(const std::string& dir, std::string& error) {
    if (dir.empty()) {
        error = "no configuration directory: set TOVI_CONFIG_DIR or HOME";
        return false;
    }
    if (!isDirectory(dir) && !makeDirectories(dir)) {
        error = "cannot create the configuration directory " + dir + " (" + lastFileError() + ")";
        return false;
    }
    if (::chdir(dir.c_str()) != 0) {
        error = "cannot enter the configuration directory " + dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace tovi
