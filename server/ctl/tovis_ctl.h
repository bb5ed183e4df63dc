// CTovisCtl: the command tovisctl, which runs the operator's requests against a running server
// through its control socket (tovis.ctl in the server's configuration directory): list and
// delete users, read and set the holding period, read the status, take a backup.
//
// Names on the command line are UTF-8 and travel as cp932; names in answers are printed as
// UTF-8 (--raw: their cp932 bytes). Every failure is one line on stderr and its own exit status
// (EXIT_* below, listed in --help).
//
// Plain C++ (no Qt); used by main() only.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace tovi {

class CTovisCtl {
  public:
    static constexpr int EXIT_DONE = 0;
    static constexpr int EXIT_USAGE = 1;         // the command line is wrong
    static constexpr int EXIT_NO_SERVER = 2;     // no server runs on that directory
    static constexpr int EXIT_DENIED = 3;        // the socket may not be opened by the caller
    static constexpr int EXIT_UNKNOWN_USER = 4;  // no user of that name
    static constexpr int EXIT_BAD_NAME = 5;      // not convertible to cp932, or over 20 bytes
    static constexpr int EXIT_FAILED = 6;        // the server could not carry it out

    // The service's socket, tried when the default directory has none.
    static constexpr const char* SERVICE_SOCKET = "/var/lib/tovis/tovis.ctl";

    // serviceSocket: where the service's socket is looked for (tests point it elsewhere).
    CTovisCtl(FILE* out, FILE* err, std::string serviceSocket = SERVICE_SOCKET)
        : m_out(out), m_err(err), m_serviceSocket(std::move(serviceSocket)) {}
    int run(const std::vector<std::string>& args);
    static void printUsage(FILE* out);

  private:
    // The socket to use; the default directory's, else the service's when that answers.
    std::string socketPath(const std::string& configDir, bool given) const;
    // Sends the request line and reads the answer; an exit status other than EXIT_DONE has
    // been reported.
    int exchange(const std::string& path, const std::string& request, std::string& body);
    int fail(int code, const std::string& line);

    int users(const std::string& body, bool raw);
    int status(const std::string& body, const std::string& format);

    FILE* m_out;
    FILE* m_err;
    std::string m_serviceSocket;
};

}  // namespace tovi
