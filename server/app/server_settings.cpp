#include "server/app/server_settings.h"

#include <algorithm>

#include "platform/cp932.h"
#include "platform/file.h"
#include "ui/message_boxes.h"

namespace tovi {

namespace {
const char* const SECTION = "SERVER";
const char* const KEY_PORT = "PORT";
const char* const KEY_HOLD_LIMIT = "DELLIMIT";
}  // namespace

bool CServerSettings::load(const std::string& path) {
    m_file = CIniFile(path);
    if (!m_file.exists()) return false;
    m_port = m_file.getInt(SECTION, KEY_PORT, 0);
    // A limit below 0 would make every held record look expired: it counts as 0 (keep for ever).
    m_holdLimit = std::max(m_file.getInt(SECTION, KEY_HOLD_LIMIT, 0), 0);
    return true;
}

bool CServerSettings::prepare(const std::string& path) {
    if (!load(path)) {
        // The file only has to exist for the later writes. An empty file is the right start on
        // this system (the Windows build wrote two zero bytes for the same purpose, which a
        // Linux reader would take as a line of garbage).
        CFile file;
        if (!file.open(path, CFile::CREATE_TRUNCATE) || !file.close()) return false;
        setHoldLimit(0);
    }
    // A port that cannot be written back is still 6998 for this run: listening on a port the
    // system chooses would leave every client unable to find the server.
    if (m_port == 0 && !setPort(DEFAULT_PORT)) m_port = DEFAULT_PORT;
    return true;
}

int CServerSettings::setHoldLimit(int32_t seconds, bool report) {
    if (seconds == m_holdLimit) return 0;
    if (!m_file.writeInt(SECTION, KEY_HOLD_LIMIT, seconds)) {
        if (report) reportWriteFailure();
        return -1;
    }
    m_holdLimit = seconds;
    return 0;
}

bool CServerSettings::setPort(int port) {
    if (!m_file.writeInt(SECTION, KEY_PORT, port)) {
        reportWriteFailure();
        return false;
    }
    m_port = port;
    return true;
}

void CServerSettings::reportWriteFailure() {
    static const std::string text = cp932Of("初期化ファイルに設定失敗");
    showMessage(text, MB_OK);
}

}  // namespace tovi
