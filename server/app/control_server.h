// CControlServer: the running server's control socket, tovis.ctl in its configuration
// directory (owner only, mode 0600), which tovisctl talks to (requests in control_request.h).
//
// One thread of its own takes one connection at a time: it reads the request (at most 2 s),
// has it carried out, answers and closes. The worker carries out everything that touches users
// and held mail, between packets, through the same paths as the window's commands; the holding
// period is written to Tovis.ini and then told to the worker, as the window does. A backup's
// files are written here, off the worker: the worker only takes the picture (see
// CcRcData::control), so clients are never held up by the copy.
//
// Constructed, started and destroyed by CServerApp on the main thread.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "platform/unix_socket.h"
#include "server/core/cc_rc_data.h"

namespace tovi {

class CServerApp;

class CControlServer {
  public:
    static constexpr const char* SOCKET_NAME = "tovis.ctl";
    static constexpr int READ_LIMIT_MS = 2000;
    static constexpr int WORKER_LIMIT_MS = 10000;

    explicit CControlServer(CServerApp& app) : m_app(app) {}
    // Stops the thread and removes the socket file.
    ~CControlServer();
    CControlServer(const CControlServer&) = delete;
    CControlServer& operator=(const CControlServer&) = delete;

    // Opens the socket (a CUnixSocket result; LIVE: another server answers on it).
    int listen(const std::string& path, std::string& error);
    void start();

    // Writes TovisUser.dat, TovisBackMail.dat and Tovis.ini of a picture taken by the worker
    // into directory, each under a temporary name, flushed and renamed. False with why.
    static bool writeBackup(const ControlResult& picture, const std::string& iniPath,
                            const std::string& directory, std::string& why);

  private:
    void run();
    void serve(CUnixSocket& client);
    std::string answer(const CControlRequest& request);

    CServerApp& m_app;
    CUnixSocket m_listener;
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
};

}  // namespace tovi
