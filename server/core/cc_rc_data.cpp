#include "server/core/cc_rc_data.h"

#include <chrono>
#include <cstring>

#include "platform/cp932.h"
#include "platform/event_log.h"
#include "platform/file.h"
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
    failPendingControls();
}

std::future<ControlResult> CcRcData::control(const CControlRequest& request) {
    std::future<ControlResult> future;
    intptr_t id = 0;
    {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        id = m_nextControl++;
        auto& entry = m_controls[id];
        entry.first = request;
        future = entry.second.get_future();
    }
    if (!postMessage(WM_SERVER_CONTROL, id)) failPendingControls();
    return future;
}

void CcRcData::failPendingControls() {
    std::lock_guard<std::mutex> lock(m_controlMutex);
    for (auto& [id, entry] : m_controls) {
        ControlResult refused;
        refused.answer = CControlAnswer::error(CControlAnswer::FAILED, "the server is stopping");
        entry.second.set_value(std::move(refused));
    }
    m_controls.clear();
}

ControlResult CcRcData::carryOut(const CControlRequest& request) {
    ControlResult result;
    CBsServerSocket& server = *m_server;
    CUserTable& users = server.users();
    switch (request.verb()) {
        case CControlRequest::USERS: {
            std::string lines;
            for (size_t i = 0; i < CUserTable::MAX_ENTRIES; ++i) {
                const UserEntry& e = users.entry(i);
                if (e.inUse == 0) continue;
                lines += hexOf(e.name) + " " + hexOf(e.group) + " " +
                         (e.connection >= 0 ? "1 " : "0 ") +
                         std::to_string(server.store().heldFor(e.name)) + "\n";
            }
            result.answer = CControlAnswer::ok(lines);
            break;
        }
        case CControlRequest::DELETE_USER: {
            char name[NAME_BUFFER_SIZE] = {};
            std::memcpy(name, request.name().data(),
                        std::min(request.name().size(), NAME_FIELD_SIZE));
            if (!users.isKnownName(name)) {
                result.answer = CControlAnswer::error(CControlAnswer::UNKNOWN_USER, "no such user");
                break;
            }
            server.deleteUser(name);
            logEvent("user " + cp932ToUtf8Lossy(name) + " deleted through the control socket");
            result.answer = CControlAnswer::ok("");
            break;
        }
        case CControlRequest::STATUS: {
            size_t connected = 0;
            for (size_t i = 0; i < CUserTable::MAX_ENTRIES; ++i)
                connected += users.entry(i).inUse != 0 && users.entry(i).connection >= 0;
            CFile store;
            const int64_t storeBytes =
                store.open(server.store().path(), CFile::READ) ? store.size() : 0;
            const std::string bind = server.bindAddress();
            result.answer = CControlAnswer::ok(
                "address=" + (bind.empty() ? std::string("0.0.0.0") : bind) + "\n" +
                "port=" + std::to_string(m_port.load()) + "\n" +
                "users_registered=" + std::to_string(users.userCount()) + "\n" +
                "users_connected=" + std::to_string(connected) + "\n" +
                "held_mails=" + std::to_string(server.store().heldCount()) + "\n" +
                "store_bytes=" + std::to_string(storeBytes) + "\n" +
                "mails_relayed=" + std::to_string(server.mailsRelayed()) + "\n" +
                "mails_refused=" + std::to_string(server.mailsRefused()) + "\n" +
                "connections_refused=" + std::to_string(server.connectionsRefused()) + "\n");
            break;
        }
        case CControlRequest::BACKUP: {
            // Only the picture is taken here; the copy is made off the worker.
            auto store = std::make_shared<CFile>();
            if (!readWholeFile(users.path(), result.userFile) && fileExists(users.path())) {
                result.answer = CControlAnswer::error(CControlAnswer::FAILED,
                                                      "the user file could not be read");
                break;
            }
            if (!server.store().snapshot(*store, result.records)) {
                result.answer = CControlAnswer::error(CControlAnswer::FAILED,
                                                      "the held-mail store could not be read");
                break;
            }
            result.backup = true;
            result.store = std::move(store);
            result.answer = CControlAnswer::ok("");
            break;
        }
        default:
            result.answer = CControlAnswer::error(CControlAnswer::BAD_REQUEST,
                                                  "not a request the worker carries out");
            break;
    }
    return result;
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
            bool ok =
                m_server->startListening(message.data.c_str(), static_cast<int>(message.wparam));
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
            if (m_server->users().isKnownName(name))
                logEvent("user " + cp932ToUtf8Lossy(name) + " deleted through the window");
            m_server->deleteUser(name);
            break;
        }
        case WM_SERVER_SET_HOLD_LIMIT:
            m_server->setHoldLimit(static_cast<int32_t>(message.wparam));
            break;
        case WM_SERVER_CONTROL: {
            CControlRequest request = CControlRequest::status();
            {
                std::lock_guard<std::mutex> lock(m_controlMutex);
                const auto found = m_controls.find(message.wparam);
                if (found == m_controls.end()) break;
                request = found->second.first;
            }
            ControlResult result = carryOut(request);
            std::lock_guard<std::mutex> lock(m_controlMutex);
            const auto found = m_controls.find(message.wparam);
            if (found == m_controls.end()) break;
            found->second.second.set_value(std::move(result));
            m_controls.erase(found);
            break;
        }
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

void CcRcData::exitInstance() {
    m_server->closeAll();
    failPendingControls();
}

}  // namespace tovi
