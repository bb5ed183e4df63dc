#include "server/core/control_request.h"

#include "protocol/packets.h"

namespace tovi {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string hexOf(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

bool bytesOfHex(const std::string& hex, std::string& out) {
    if (hex.size() % 2 != 0) return false;
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = hexDigit(hex[i]), lo = hexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<char>(hi * 16 + lo));
    }
    out = std::move(bytes);
    return true;
}

CControlRequest CControlRequest::deleteUser(const std::string& name) {
    CControlRequest r(DELETE_USER);
    r.m_argument = name;
    return r;
}

CControlRequest CControlRequest::setHoldDays(int days) {
    CControlRequest r(HOLD_DAYS_SET);
    r.m_days = days;
    return r;
}

CControlRequest CControlRequest::backup(const std::string& directory) {
    CControlRequest r(BACKUP);
    r.m_argument = directory;
    return r;
}

bool CControlRequest::parse(const std::string& given, CControlRequest& out) {
    std::string line = given;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (line.size() > MAX_LINE || line.find('\n') != std::string::npos ||
        line.find('\0') != std::string::npos)
        return false;
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const bool hasArgument = space != std::string::npos;
    const std::string argument = hasArgument ? line.substr(space + 1) : std::string();
    CControlRequest r;
    if (verb == "users" || verb == "status") {
        if (hasArgument) return false;
        r.m_verb = verb == "users" ? USERS : STATUS;
    } else if (verb == "delete-user") {
        std::string name;
        if (!bytesOfHex(argument, name) || name.empty() || name.size() > NAME_FIELD_SIZE ||
            name.find('\0') != std::string::npos)
            return false;
        r.m_verb = DELETE_USER;
        r.m_argument = name;
    } else if (verb == "hold-days") {
        if (!hasArgument) {
            r.m_verb = HOLD_DAYS_GET;
        } else if (argument == "forever") {
            r.m_verb = HOLD_DAYS_SET;
        } else {
            if (argument.empty() || argument.size() > 4) return false;
            int days = 0;
            for (const char c : argument) {
                if (c < '0' || c > '9') return false;
                days = days * 10 + (c - '0');
            }
            r.m_verb = HOLD_DAYS_SET;
            r.m_days = days;
        }
    } else if (verb == "backup") {
        if (argument.empty() || argument[0] != '/') return false;
        r.m_verb = BACKUP;
        r.m_argument = argument;
    } else {
        return false;
    }
    out = std::move(r);
    return true;
}

std::string CControlRequest::encode() const {
    switch (m_verb) {
        case USERS:
            return "users\n";
        case DELETE_USER:
            return "delete-user " + hexOf(m_argument) + "\n";
        case HOLD_DAYS_GET:
            return "hold-days\n";
        case HOLD_DAYS_SET:
            return m_days == 0 ? "hold-days forever\n"
                               : "hold-days " + std::to_string(m_days) + "\n";
        case STATUS:
            return "status\n";
        case BACKUP:
            return "backup " + m_argument + "\n";
    }
    return {};
}

std::string CControlAnswer::error(const char* code, const std::string& text) {
    return std::string("ERR ") + code + "\n" + text + "\n";
}

bool CControlAnswer::parse(const std::string& answer, bool& ok, std::string& code,
                           std::string& body) {
    const size_t end = answer.find('\n');
    if (end == std::string::npos) return false;
    const std::string head = answer.substr(0, end);
    body = answer.substr(end + 1);
    if (head == "OK") {
        ok = true;
        code.clear();
        return true;
    }
    if (head.rfind("ERR ", 0) != 0) return false;
    ok = false;
    code = head.substr(4);
    return true;
}

}  // namespace tovi
