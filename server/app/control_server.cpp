#include "server/app/control_server.h"

#include <chrono>

#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/file.h"
#include "server/app/server_app.h"

namespace tovi {

namespace {

constexpr int32_t SECONDS_PER_DAY = 86400;

std::string inDirectory(const std::string& dir, const char* name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Writes a file into the backup directory under a temporary name, flushes it and renames it.
bool placeFile(const std::string& directory, const char* name,
               const std::function<bool(CFile&)>& fill, std::string& why) {
    const std::string target = inDirectory(directory, name);
    std::string temporary;
    CFile file;
    if (!file.createUnique(target + ".part-", temporary)) {
        why = lastFileError();
        return false;
    }
    bool ok = fill(file) && file.sync();
    ok = file.close() && ok;
    ok = ok && renameFile(temporary, target);
    if (!ok) {
        why = lastFileError().empty() ? "could not write " + target : lastFileError();
        removeFile(temporary);
    }
    return ok;
}

}  // namespace

CControlServer::~CControlServer() {
    m_stopping = true;
    m_listener.interrupt();
    if (m_thread.joinable()) m_thread.join();
    m_listener.close();
}

int CControlServer::listen(const std::string& path, std::string& error) {
    return m_listener.listen(path, error);
}

void CControlServer::start() {
    m_thread = std::thread([this] { run(); });
}

void CControlServer::run() {
    while (!m_stopping) {
        CUnixSocket client;
        if (!m_listener.accept(client, 1000)) continue;
        serve(client);
    }
}

void CControlServer::serve(CUnixSocket& client) {
    std::string line;
    std::string reply;
    CControlRequest request;
    if (!client.readLine(line, CControlRequest::MAX_LINE + 1, READ_LIMIT_MS) ||
        !CControlRequest::parse(line, request)) {
        reply = CControlAnswer::error(CControlAnswer::BAD_REQUEST, "not a request");
    } else {
        reply = answer(request);
    }
    client.writeAll(reply, READ_LIMIT_MS);
    client.close();
}

std::string CControlServer::answer(const CControlRequest& request) {
    switch (request.verb()) {
        case CControlRequest::HOLD_DAYS_GET:
            return CControlAnswer::ok(std::to_string(m_app.holdLimit()) + "\n");
        case CControlRequest::HOLD_DAYS_SET:
            if (!m_app.changeHoldLimitQuietly(request.days() * SECONDS_PER_DAY))
                return CControlAnswer::error(CControlAnswer::FAILED,
                                             "Tovis.ini could not be written");
            return CControlAnswer::ok(std::to_string(m_app.holdLimit()) + "\n");
        default:
            break;
    }
    CcRcData* worker = m_app.worker();
    if (worker == nullptr) return CControlAnswer::error(CControlAnswer::FAILED, "not running");
    std::future<ControlResult> pending = worker->control(request);
    if (pending.wait_for(std::chrono::milliseconds(WORKER_LIMIT_MS)) != std::future_status::ready)
        return CControlAnswer::error(CControlAnswer::FAILED, "the worker did not answer");
    ControlResult result = pending.get();
    if (request.verb() == CControlRequest::STATUS) {
        bool ok = false;
        std::string code, body;
        if (CControlAnswer::parse(result.answer, ok, code, body) && ok) {
            const int64_t uptime = (monotonicMs() - m_app.startedAt()) / 1000;
            return CControlAnswer::ok(std::string("version=") + TOVI_VERSION + "\n" +
                                      "uptime_seconds=" + std::to_string(uptime) + "\n" +
                                      "data_directory=" + m_app.dataDirectory() + "\n" + body);
        }
    }
    if (!result.backup) return result.answer;
    std::string why;
    const int64_t began = monotonicMs();
    if (!writeBackup(result, inDirectory(m_app.directory(), "Tovis.ini"), request.directory(),
                     why)) {
        logEvent("backup into " + request.directory() + " failed: " + why);
        return CControlAnswer::error(CControlAnswer::FAILED, why);
    }
    logEvent("backup taken into " + request.directory() + ": " +
             std::to_string(result.records.size()) + " held mails, " +
             std::to_string(monotonicMs() - began) + " ms");
    return result.answer;
}

bool CControlServer::writeBackup(const ControlResult& picture, const std::string& iniPath,
                                 const std::string& directory, std::string& why) {
    if (!isDirectory(directory)) {
        why = directory + " is not a directory";
        return false;
    }
    std::string ini;
    if (!readWholeFile(iniPath, ini)) {
        why = "could not read " + iniPath;
        return false;
    }
    const auto copyRecords = [&picture](CFile& out) {
        std::vector<char> buffer;
        for (const auto& [offset, size] : picture.records) {
            buffer.resize(size);
            if (!picture.store->seek(offset) || !picture.store->readExact(buffer.data(), size) ||
                !out.write(buffer.data(), size))
                return false;
        }
        return true;
    };
    const auto bytes = [](const std::string& data) {
        return [&data](CFile& out) { return data.empty() || out.write(data.data(), data.size()); };
    };
    return placeFile(directory, "TovisUser.dat", bytes(picture.userFile), why) &&
           placeFile(directory, "TovisBackMail.dat", copyRecords, why) &&
           placeFile(directory, "Tovis.ini", bytes(ini), why) && syncDirectory(directory);
}

}  // namespace tovi
