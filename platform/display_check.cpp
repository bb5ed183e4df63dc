#include "platform/display_check.h"

#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/tcp_socket.h"

namespace tovi {

namespace {

bool unixSocketAccepts(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    ::close(fd);
    return ok;
}

// DISPLAY is [host]:number[.screen]; an empty host (or "unix") is the local socket.
bool xDisplayAccepts(const std::string& display) {
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = display.substr(0, colon);
    const int number = std::atoi(display.c_str() + colon + 1);
    if (number < 0) return false;
    if (host.empty() || host == "unix") {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        return unixSocketAccepts(path, true) || unixSocketAccepts(path, false);
    }
    CTcpSocket probe;
    return probe.connect(host.c_str(), static_cast<uint16_t>(6000 + number), 2000);
}

}  // namespace

bool displayAvailable(std::string& why) {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0' && std::strncmp(platform, "xcb", 3) != 0 &&
        std::strncmp(platform, "wayland", 7) != 0)
        return true;
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (wayland != nullptr && *wayland != '\0' && (platform == nullptr || *platform != 'x')) {
        const std::string path =
            wayland[0] == '/' ? wayland : std::string(runtime ? runtime : "") + "/" + wayland;
        if (unixSocketAccepts(path, false)) return true;
    }
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        why = "no display (DISPLAY is not set)";
        return false;
    }
    if (!xDisplayAccepts(display)) {
        why = std::string("cannot open display ") + display;
        return false;
    }
    return true;
}

}  // namespace tovi
