#include "server/app/server_app.h"

#include "platform/cp932.h"
#include "platform/service_notifier.h"
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

CServerApp::~CServerApp() { stop(); }

int CServerApp::start() {
    if (!m_settings.prepare(inDirectory(m_directory, "Tovis.ini"))) return START_NO_SETTINGS;
    m_worker = std::make_unique<CcRcData>(m_directory);
    if (!m_worker->start()) return START_NO_LISTENER;
    m_worker->postMessage(WM_SERVER_SET_HOLD_LIMIT, m_settings.holdLimit());
    m_worker->postMessage(WM_SERVER_LISTEN, m_settings.port());
    // The worker answers at once; the loop only guards against one that ended meanwhile.
    int listening = CcRcData::LISTEN_PENDING;
    while (listening == CcRcData::LISTEN_PENDING && m_worker->isRunning())
        listening = m_worker->waitListenResult(1000);
    if (listening != CcRcData::LISTEN_OK) return START_NO_LISTENER;
    CServiceNotifier::ready();  // a service manager starts its clients only now
    return START_OK;
}

bool CServerApp::stop() {
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
                return false;
            }
        }
    }
    m_worker.reset();
    return true;
}

void CServerApp::deleteUser(const std::string& name) {
    if (m_worker) m_worker->postMessage(WM_SERVER_DELETE_USER, 0, 0, name.substr(0, 20));
}

bool CServerApp::changeHoldLimit(int32_t seconds) {
    if (m_settings.setHoldLimit(seconds) != 0) {
        static const std::string text = cp932Of("初期化ファイル書き込みでエラー発生\n");
        showMessage(text, MB_OK);
        return false;
    }
    if (m_worker) m_worker->postMessage(WM_SERVER_SET_HOLD_LIMIT, m_settings.holdLimit());
    return true;
}

int CServerApp::listeningPort() const { return m_worker ? m_worker->listeningPort() : 0; }

bool CServerApp::isRunning() const { return m_worker && m_worker->isRunning(); }

}  // namespace tovi
