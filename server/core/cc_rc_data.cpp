#include "server/core/cc_rc_data.h"

#include <chrono>
#include <cstring>

#include "protocol/packets.h"

namespace tovi {

CcRcData::CcRcData(const std::string& dataDirectory)
    : m_server(std::make_unique<CBsServerSocket>(dataDirectory)) {}

CcRcData::~CcRcData() {
    if (isRunning()) {
        postMessage(WM_SERVER_STOP);
        if (!join(5000)) {
            requestAbort();
            join();
        }
    }
}

int CcRcData::waitListenResult(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_listenMutex);
    m_listenCond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return m_listenResult != LISTEN_PENDING; });
    return m_listenResult;
}

void CcRcData::onMessage(const ThreadMessage& message) {
    switch (message.id) {
        case WM_SERVER_LISTEN: {
            bool ok = m_server->startListening("", static_cast<int>(message.wparam));
            if (ok) {
                m_started = true;
                m_port.store(m_server->listeningPort());
            }
            {
                std::lock_guard<std::mutex> lock(m_listenMutex);
                m_listenResult = ok ? LISTEN_OK : LISTEN_FAILED;
            }
            m_listenCond.notify_all();
            break;
        }
        case WM_SERVER_STOP:
            m_server->closeAll();
            quit(0);
            break;
        case WM_SERVER_DELETE_USER: {
            char name[NAME_BUFFER_SIZE] = {};
            std::memcpy(name, message.data.data(), std::min(message.data.size(), NAME_FIELD_SIZE));
            m_server->deleteUser(name);
            break;
        }
        case WM_SERVER_SET_HOLD_LIMIT:
            m_server->setHoldLimit(static_cast<int32_t>(message.wparam));
            break;
        default:
            break;
    }
}

bool CcRcData::onIdle() {
    if (aborted()) return false;
    if (!m_started) {
        // Before listening nothing is accepted or polled.
        waitForMessage(-1);
        return true;
    }
    m_server->pollOnce(wakeFd(), -1);
    return true;
}

void CcRcData::exitInstance() { m_server->closeAll(); }

}  // namespace tovi
