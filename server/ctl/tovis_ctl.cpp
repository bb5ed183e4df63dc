#include "server/ctl/tovis_ctl.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <utility>

#include "platform/config_dir.h"
#include "platform/cp932.h"
#include "platform/file.h"
#include "platform/unix_socket.h"
#include "protocol/packets.h"
#include "server/core/control_request.h"

namespace tovi {

namespace {

constexpr int ANSWER_LIMIT_MS = 30000;
constexpr size_t ANSWER_LIMIT_BYTES = 1 << 20;

std::string absolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

bool isWholeNumber(const std::string& text) {
    if (text.empty() || text.size() > 4) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

void CTovisCtl::printUsage(FILE* out) {
    std::fputs(
        "Usage: tovisctl [--config-dir DIR] COMMAND\n"
        "Controls a running Tovi server (tovis) through its control socket.\n"
        "\n"
        "Commands:\n"
        "  users [--raw]              one line per registered user: name, group,\n"
        "                             connected or offline, held mails waiting\n"
        "                             (--raw: names as their cp932 bytes)\n"
        "  delete-user NAME           delete the user, disconnecting its client\n"
        "  hold-days [N|forever]      print the holding period of held mail, or set it\n"
        "                             (1..9999 days; 0 or forever keeps mail for ever)\n"
        "  status [--json|--openmetrics]\n"
        "                             version, uptime, address, users, held mail, traffic\n"
        "  backup DIR                 copy TovisUser.dat, TovisBackMail.dat and Tovis.ini\n"
        "                             into DIR while the server runs\n"
        "\n"
        "Options:\n"
        "  --config-dir DIR  the server's configuration directory (default: as tovis:\n"
        "                    $TOVI_CONFIG_DIR, else $XDG_CONFIG_HOME/tovi, else\n"
        "                    $HOME/.config/tovi; when that has no server, the service's\n"
        "                    /var/lib/tovis)\n"
        "  --help            show this help and exit\n"
        "  --version         show the version and exit\n"
        "\n"
        "Exit status:\n"
        "  0  done\n"
        "  1  the command line is wrong\n"
        "  2  no server is running on that directory\n"
        "  3  the control socket may not be opened by this user\n"
        "  4  no user of that name\n"
        "  5  the name cannot be written in cp932 or is longer than 20 bytes\n"
        "  6  the server could not carry the request out\n",
        out);
}

int CTovisCtl::fail(int code, const std::string& line) {
    std::fprintf(m_err, "tovisctl: %s\n", line.c_str());
    return code;
}

std::string CTovisCtl::socketPath(const std::string& configDir, bool given) const {
    const std::string dir = configDirectory(configDir);
    const std::string own = (dir.empty() || dir.back() == '/' ? dir : dir + "/") + "tovis.ctl";
    if (given) return own;
    // The default directory's socket wins whenever a server answers there (or the caller may
    // not open it: that is said as such); only where nothing listens is the service's tried.
    // A socket is not a regular file, so the probe is a connect, not a look at the file.
    std::string ignored;
    if (CUnixSocket().connect(own, ignored) != CUnixSocket::MISSING) return own;
    if (CUnixSocket().connect(m_serviceSocket, ignored) == CUnixSocket::DONE)
        return m_serviceSocket;
    return own;
}

int CTovisCtl::exchange(const std::string& path, const std::string& request, std::string& body) {
    CUnixSocket socket;
    std::string why;
    switch (socket.connect(path, why)) {
        case CUnixSocket::DONE:
            break;
        case CUnixSocket::MISSING:
            return fail(EXIT_NO_SERVER, "no server is running (" + why + ")");
        case CUnixSocket::DENIED:
            return fail(EXIT_DENIED, "not allowed to use the control socket (" + why + ")");
        default:
            return fail(EXIT_NO_SERVER, why);
    }
    std::string answer;
    if (!socket.writeAll(request, ANSWER_LIMIT_MS))
        return fail(EXIT_NO_SERVER, "the server closed the control socket");
    socket.shutdownSend();
    socket.readToEnd(answer, ANSWER_LIMIT_BYTES, ANSWER_LIMIT_MS);
    bool ok = false;
    std::string code;
    if (!CControlAnswer::parse(answer, ok, code, body))
        return fail(EXIT_FAILED, "the server gave no answer");
    if (ok) return EXIT_DONE;
    std::string text = body;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (code == CControlAnswer::UNKNOWN_USER) return fail(EXIT_UNKNOWN_USER, text);
    return fail(EXIT_FAILED, text);
}

int CTovisCtl::run(const std::vector<std::string>& args) {
    std::string configDir;
    bool dirGiven = false;
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            printUsage(m_out);
            return EXIT_DONE;
        }
        if (a == "--version") {
            std::fprintf(m_out, "tovisctl %s\n", TOVI_VERSION);
            return EXIT_DONE;
        }
        if (a == "--config-dir" || a.rfind("--config-dir=", 0) == 0) {
            if (a == "--config-dir") {
                if (i + 1 >= args.size()) return fail(EXIT_USAGE, "--config-dir needs a directory");
                configDir = args[++i];
            } else {
                configDir = a.substr(13);
            }
            if (configDir.empty()) return fail(EXIT_USAGE, "--config-dir needs a directory");
            dirGiven = true;
            continue;
        }
        words.push_back(a);
    }
    if (words.empty()) {
        printUsage(m_err);
        return EXIT_USAGE;
    }
    const std::string command = words[0];
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    const auto usage = [this](const std::string& line) {
        return fail(EXIT_USAGE, line + " (tovisctl --help)");
    };

    CControlRequest request;
    std::string statusFormat;
    bool raw = false;
    if (command == "users") {
        if (rest.size() > 1 || (rest.size() == 1 && rest[0] != "--raw"))
            return usage("users takes only --raw");
        raw = !rest.empty();
        request = CControlRequest::users();
    } else if (command == "delete-user") {
        if (rest.size() != 1) return usage("delete-user takes one name");
        std::string name;
        if (!utf8ToCp932(rest[0], name))
            return fail(EXIT_BAD_NAME, "the name " + rest[0] + " cannot be written in cp932");
        if (name.empty() || name.size() > NAME_FIELD_SIZE)
            return fail(EXIT_BAD_NAME, "the name " + rest[0] + " is " +
                                           std::to_string(name.size()) +
                                           " bytes in cp932 (1 to 20)");
        request = CControlRequest::deleteUser(name);
    } else if (command == "hold-days") {
        if (rest.size() > 1) return usage("hold-days takes at most one value");
        if (rest.empty()) {
            request = CControlRequest::holdDays();
        } else if (rest[0] == "forever") {
            request = CControlRequest::setHoldDays(0);
        } else if (isWholeNumber(rest[0])) {
            request = CControlRequest::setHoldDays(std::stoi(rest[0]));
        } else {
            return usage("hold-days takes a number of days from 0 to 9999, or forever");
        }
    } else if (command == "status") {
        if (rest.size() > 1 ||
            (rest.size() == 1 && rest[0] != "--json" && rest[0] != "--openmetrics"))
            return usage("status takes --json or --openmetrics");
        statusFormat = rest.empty() ? "" : rest[0];
        request = CControlRequest::status();
    } else if (command == "backup") {
        if (rest.size() != 1 || rest[0].empty()) return usage("backup takes one directory");
        const std::string dir = absolutePath(rest[0]);
        if (!isDirectory(dir) && !makeDirectories(dir))
            return fail(EXIT_FAILED, "cannot make the directory " + dir);
        if (dir.find('\n') != std::string::npos)
            return usage("the directory name holds a line feed");
        request = CControlRequest::backup(dir);
    } else {
        return usage("unknown command " + command);
    }

    std::string body;
    const int code = exchange(socketPath(configDir, dirGiven), request.encode(), body);
    if (code != EXIT_DONE) return code;
    switch (request.verb()) {
        case CControlRequest::USERS:
            return users(body, raw);
        case CControlRequest::STATUS:
            return status(body, statusFormat);
        case CControlRequest::HOLD_DAYS_GET:
        case CControlRequest::HOLD_DAYS_SET: {
            const long seconds = std::strtol(body.c_str(), nullptr, 10);
            if (seconds <= 0)
                std::fputs("forever\n", m_out);
            else if (seconds % 86400 == 0)
                std::fprintf(m_out, "%ld\n", seconds / 86400);
            else
                std::fprintf(m_out, "%ld s (DELLIMIT in Tovis.ini is not whole days)\n", seconds);
            return EXIT_DONE;
        }
        case CControlRequest::DELETE_USER:
            return EXIT_DONE;
        case CControlRequest::BACKUP:
            std::fprintf(m_out, "backup written to %s\n", request.directory().c_str());
            return EXIT_DONE;
    }
    return EXIT_DONE;
}

int CTovisCtl::users(const std::string& body, bool raw) {
    std::istringstream lines(body);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string hexName, hexGroup, connected, held, name, group;
        if (!(fields >> hexName >> hexGroup >> connected >> held) || !bytesOfHex(hexName, name) ||
            !bytesOfHex(hexGroup, group))
            return fail(EXIT_FAILED, "the server's list is malformed");
        if (!raw) {
            name = cp932ToUtf8Lossy(name);
            group = cp932ToUtf8Lossy(group);
        }
        std::fprintf(m_out, "%s\t%s\t%s\t%s\n", name.c_str(), group.c_str(),
                     connected == "1" ? "connected" : "offline", held.c_str());
    }
    return EXIT_DONE;
}

int CTovisCtl::status(const std::string& body, const std::string& format) {
    std::vector<std::pair<std::string, std::string>> figures;
    std::istringstream lines(body);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) figures.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    const auto numeric = [](const std::string& v) {
        return !v.empty() && v.find_first_not_of("0123456789") == std::string::npos;
    };
    if (format == "--json") {
        std::string out = "{";
        for (size_t i = 0; i < figures.size(); ++i) {
            const auto& [key, value] = figures[i];
            out += (i ? ", " : "") + jsonString(key) + ": " +
                   (numeric(value) && key != "version" ? value : jsonString(value));
        }
        std::fprintf(m_out, "%s}\n", out.c_str());
    } else if (format == "--openmetrics") {
        for (const auto& [key, value] : figures) {
            if (!numeric(value) || key == "port") continue;
            const bool counter = key.rfind("mails_", 0) == 0 || key == "connections_refused";
            // The text format of a node exporter's collector: the family is named as its sample.
            const std::string name = "tovis_" + key + (counter ? "_total" : "");
            std::fprintf(m_out, "# TYPE %s %s\n%s %s\n", name.c_str(),
                         counter ? "counter" : "gauge", name.c_str(), value.c_str());
        }
        std::string version, address, port;
        for (const auto& [key, value] : figures) {
            if (key == "version") version = value;
            if (key == "address") address = value;
            if (key == "port") port = value;
        }
        std::fprintf(
            m_out,
            "# TYPE tovis_info gauge\ntovis_info{version=\"%s\",address=\"%s\",port=\"%s\"} 1\n"
            "# EOF\n",
            version.c_str(), address.c_str(), port.c_str());
    } else {
        for (const auto& [key, value] : figures)
            std::fprintf(m_out, "%-20s %s\n", (key + ":").c_str(), value.c_str());
    }
    return EXIT_DONE;
}

}  // namespace tovi
