#include "server/app/server_app.h"

#include <unistd.h>

#include "platform/clock.h"
#include "platform/cp932.h"
#include "platform/event_log.h"
#include "platform/service_notifier.h"
#include "server/app/control_server.h"
#include "ui/message_boxes.h"

namespace tovi {

namespace {

std::string inDirectory(const std::string& dir, const char* name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

CServerApp::CServerApp(std::string configDirectory)
    : m_directory(std::move(configDirectory)),
      m_userFile(inDirectory(m_directory, "TovisUser.dat")) {}

CServerApp::~CServerApp() {
    if (m_worker || m_control) stop();
}

int CServerApp::start() {
    const std::string iniPath = inDirectory(m_directory, "Tovis.ini");
    if (!m_settings.prepare(iniPath)) return START_NO_SETTINGS;
    CNetworkControls controls;
    if (!controls.load(CIniFile(iniPath), m_startError)) return START_REFUSED;
    // A second server on the same directory would share its files: the first one's control
    // socket tells that it is there (one left by a server that ended is taken over).
    m_control = std::make_unique<CControlServer>(*this);
    std::string why;
    const int control =
        m_control->listen(inDirectory(m_directory, CControlServer::SOCKET_NAME), why);
    if (control == CUnixSocket::LIVE) {
        m_startError = "another server is running on " + dataDirectory() + " (" + why + ")";
        m_control.reset();
        return START_REFUSED;
    }
    if (control != CUnixSocket::DONE) {
        logEvent("no control socket: " + why);
        m_control.reset();
    }
    m_worker = std::make_unique<CcRcData>(m_directory);
    m_worker->serverSocket().setNetworkControls(controls);
    if (!m_worker->start()) return START_NO_LISTENER;
    m_worker->postMessage(WM_SERVER_SET_HOLD_LIMIT, m_settings.holdLimit());
    m_worker->postMessage(WM_SERVER_LISTEN, m_settings.port(), 0, controls.bindAddress());
    // The worker answers at once; the loop only guards against one that ended meanwhile.
    int listening = CcRcData::LISTEN_PENDING;
    while (listening == CcRcData::LISTEN_PENDING && m_worker->isRunning())
        listening = m_worker->waitListenResult(1000);
    if (listening != CcRcData::LISTEN_OK) {
        m_control.reset();
        return START_NO_LISTENER;
    }
    m_startedAt = monotonicMs();
    logEvent(std::string("started: version ") + TOVI_VERSION + ", address " +
             (controls.bindAddress().empty() ? "0.0.0.0" : controls.bindAddress()) + ", port " +
             std::to_string(listeningPort()) + ", data directory " + dataDirectory());
    if (m_control) m_control->start();
    CServiceNotifier::ready();  // a service manager starts its clients only now
    return START_OK;
}

std::string CServerApp::dataDirectory() const {
    if (!m_directory.empty()) return m_directory;
    char cwd[4096];
    return ::getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) : std::string(".");
}

bool CServerApp::stop() {
    // The control socket first: nothing may reach a worker that is going.
    m_control.reset();
    if (!m_worker) return true;
    if (m_worker->isRunning()) {
        // Only a server that served is stopping; one whose port failed never was ready.
        if (m_worker->listeningPort() > 0) CServiceNotifier::stopping();
        m_worker->postMessage(WM_SERVER_STOP);
        if (!m_worker->join(STOP_WAIT_MS)) {
            m_worker->requestAbort();
            if (!m_worker->join(1000)) {
                // Stuck beyond the abort: keep the object alive, the process ends anyway.
                (void)m_worker.release();
                logEvent("stopped (the worker did not end in time)");
                return false;
            }
        }
    }
    m_worker.reset();
    if (m_startedAt != 0) logEvent("stopped");
    m_startedAt = 0;
    return true;
}

void CServerApp::deleteUser(const std::string& name) {
    if (m_worker) m_worker->postMessage(WM_SERVER_DELETE_USER, 0, 0, name.substr(0, 20));
}

bool CServerApp::changeHoldLimit(int32_t seconds) {
    if (!changeHoldLimit(seconds, true, "the window")) {
        static const std::string text = cp932Of("初期化ファイル書き込みでエラー発生\n");
        showMessage(text, MB_OK);
        return false;
    }
    return true;
}

bool CServerApp::changeHoldLimitQuietly(int32_t seconds) {
    return changeHoldLimit(seconds, false, "the control socket");
}

// Written to Tovis.ini first, then told to the worker: the file and the worker never disagree.
bool CServerApp::changeHoldLimit(int32_t seconds, bool report, const char* by) {
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    const int32_t before = m_settings.holdLimit();
    if (m_settings.setHoldLimit(seconds, report) != 0) {
        logEvent("holding period not changed: Tovis.ini could not be written");
        return false;
    }
    if (m_worker) m_worker->postMessage(WM_SERVER_SET_HOLD_LIMIT, m_settings.holdLimit());
    if (before != seconds)
        logEvent("holding period changed by " + std::string(by) + " to " + std::to_string(seconds) +
                 " s" + (seconds == 0 ? " (kept for ever)" : ""));
    return true;
}

int32_t CServerApp::holdLimit() {
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    return m_settings.holdLimit();
}

int CServerApp::listeningPort() const { return m_worker ? m_worker->listeningPort() : 0; }

bool CServerApp::isRunning() const { return m_worker && m_worker->isRunning(); }

}  // namespace tovi
