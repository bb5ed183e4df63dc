// CControlRequest and CControlAnswer: what crosses the server's control socket (tovis.ctl)
// between tovisctl and the running server. One request per connection, one line:
//
//   users                      every registered user
//   delete-user HEXNAME        the user of this name (cp932 bytes, hex-encoded, 1..20 bytes)
//   hold-days                  the holding period in force
//   hold-days N|forever        a new holding period (N: 1..9999 days; 0 or forever: kept for ever)
//   status                     the server's figures
//   backup DIR                 a copy of the data files into DIR (an absolute path, no NUL)
//
// The answer is "OK\n" followed by its lines, or "ERR CODE\n" followed by one line for people;
// the server then closes the connection. The lines of an answer (tovisctl formats them):
//
//   users:      HEXNAME HEXGROUP CONNECTED(0|1) HELD     one per user, in table order
//   hold-days:  SECONDS                                  0: kept for ever
//   status:     KEY=VALUE                                 one per figure
//
// Plain value classes; any thread. parse() takes any bytes (it faces whoever can open the
// socket) and never reads past them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tovi {

class CControlRequest {
  public:
    enum Verb { USERS, DELETE_USER, HOLD_DAYS_GET, HOLD_DAYS_SET, STATUS, BACKUP };
    static constexpr size_t MAX_LINE = 4096;
    static constexpr int MAX_DAYS = 9999;

    CControlRequest() = default;
    // The request of one line (its line feed included or not); false when it is not one.
    static bool parse(const std::string& line, CControlRequest& out);
    // The line that parse() reads back, line feed included.
    std::string encode() const;

    static CControlRequest users() { return CControlRequest(USERS); }
    static CControlRequest deleteUser(const std::string& name);
    static CControlRequest holdDays() { return CControlRequest(HOLD_DAYS_GET); }
    // days: 0 keeps held mail for ever.
    static CControlRequest setHoldDays(int days);
    static CControlRequest status() { return CControlRequest(STATUS); }
    static CControlRequest backup(const std::string& directory);

    Verb verb() const { return m_verb; }
    // DELETE_USER: the cp932 name.
    const std::string& name() const { return m_argument; }
    // BACKUP: the directory.
    const std::string& directory() const { return m_argument; }
    // HOLD_DAYS_SET: the days (0: for ever).
    int days() const { return m_days; }

  private:
    explicit CControlRequest(Verb verb) : m_verb(verb) {}
    Verb m_verb = USERS;
    std::string m_argument;
    int m_days = 0;
};

class CControlAnswer {
  public:
    // Error codes of a refused request.
    static constexpr const char* BAD_REQUEST = "bad-request";
    static constexpr const char* UNKNOWN_USER = "unknown-user";
    static constexpr const char* FAILED = "failed";

    static std::string ok(const std::string& lines) { return "OK\n" + lines; }
    static std::string error(const char* code, const std::string& text);
    // Splits an answer; false when it is neither form (a server that broke off).
    static bool parse(const std::string& answer, bool& ok, std::string& code, std::string& body);
};

// Hex encoding of cp932 names, so that any byte survives the line format.
std::string hexOf(const std::string& bytes);
bool bytesOfHex(const std::string& hex, std::string& out);

}  // namespace tovi
