// CcRcData: the server's single worker thread. It owns the listening socket with every
// connection, the user table and the held-mail store, and is the only thread that touches them,
// so nothing is locked. Its message loop carries the four thread messages below, handled between
// packets in the order posted; between messages each idle pass waits for activity (without
// spinning: an idle server sleeps until a socket, a deadline or a message wakes it) and handles
// at most one packet.
//
// Constructed and controlled from the main thread (postMessage, waitListenResult, join); the
// server socket inside is used by the worker only.
#pragma once

#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/worker_thread.h"
#include "server/core/bs_server_socket.h"
#include "server/core/control_request.h"

namespace tovi {

// Thread messages of the worker (the values are those of the original window messages).
constexpr unsigned WM_SERVER_LISTEN = 1025;          // wparam: port; data: bind address
constexpr unsigned WM_SERVER_STOP = 1040;            // nothing
constexpr unsigned WM_SERVER_DELETE_USER = 1056;     // data: the 20-byte user name
constexpr unsigned WM_SERVER_SET_HOLD_LIMIT = 1057;  // wparam: seconds, 0 keeps mail for ever
constexpr unsigned WM_SERVER_CONTROL = 1058;         // wparam: the request's number (control())

// What the worker makes of a control request: the answer, and for a backup the picture of the
// data it took (the user file's bytes and the held mail, see CHeldMailStore::snapshot), which
// the caller copies off the worker.
struct ControlResult {
    std::string answer;
    bool backup = false;
    std::string userFile;
    std::shared_ptr<CFile> store;
    std::vector<std::pair<int64_t, size_t>> records;
};

class CcRcData : public CWorkerThread {
  public:
    // Results of waitListenResult().
    static constexpr int LISTEN_PENDING = -1;
    static constexpr int LISTEN_FAILED = 0;
    static constexpr int LISTEN_OK = 1;

    // dataDirectory: where TovisUser.dat and TovisBackMail.dat live. The user table is loaded
    // here, on the constructing thread, before the worker runs.
    explicit CcRcData(const std::string& dataDirectory);
    // Stops the worker (as WM_SERVER_STOP does) and waits for it.
    ~CcRcData() override;

    // Waits at most timeoutMs for the outcome of WM_SERVER_LISTEN.
    int waitListenResult(int timeoutMs);
    // The port being listened on (useful when 0 was asked for), 0 before.
    int listeningPort() const { return m_port.load(); }
    // Hands a control request (users, delete-user, status, backup) to the worker, which carries
    // it out between packets as it does the window's commands. The future is answered with a
    // refusal when the worker ends first.
    std::future<ControlResult> control(const CControlRequest& request);

    // The server socket, for settings made before start() (tests narrow the output limits).
    CBsServerSocket& serverSocket() { return *m_server; }

  protected:
    void onMessage(const ThreadMessage& message) override;
    bool onIdle() override;
    void exitInstance() override;

  private:
    ControlResult carryOut(const CControlRequest& request);
    void failPendingControls();

    std::unique_ptr<CBsServerSocket> m_server;
    bool m_started = false;
    std::atomic<int> m_port{0};
    std::mutex m_listenMutex;
    std::condition_variable m_listenCond;
    int m_listenResult = LISTEN_PENDING;
    std::mutex m_controlMutex;
    std::map<intptr_t, std::pair<CControlRequest, std::promise<ControlResult>>> m_controls;
    intptr_t m_nextControl = 1;
};

}  // namespace tovi
