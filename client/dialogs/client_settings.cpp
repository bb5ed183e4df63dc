#include "client/dialogs/client_settings.h"

#include "client/connection/message_file.h"
#include "platform/cp932.h"
#include "ui/message_boxes.h"

namespace tovi {

namespace {

const char* const SERVER = "SERVER";
const char* const USER = "USER";

// "初期化ファイルに設定失敗"
const std::string& writeFailedText() {
    static const std::string text = cp932Of("初期化ファイルに設定失敗");
    return text;
}

std::string cut(const std::string& text, size_t width) {
    return text.substr(0, cp932PrefixLength(text, width));
}

}  // namespace

int CClientSettings::load(const std::string& fileName) {
    m_ini = CIniFile(fileName);
    if (!m_ini.exists()) return 0;
    m_address = cut(m_ini.getString(SERVER, "ADDRESS"), ADDRESS_WIDTH);
    m_port = m_ini.getInt(SERVER, "PORT", 0);
    if (m_port == 0) setPort(DEFAULT_PORT);
    m_name = cut(m_ini.getString(USER, "NAME"), NAME_WIDTH);
    m_group = cut(m_ini.getString(USER, "GROUP"), GROUP_WIDTH);
    m_dir = cut(m_ini.getString(USER, "DIR"), DIR_WIDTH);
    m_saveDir = cut(m_ini.getString(USER, "SAVE_DIR"), SAVE_DIR_WIDTH);
    m_beep = m_ini.getInt(USER, "BEEP", 0);
    m_readBeep = m_ini.getInt(USER, "READBEEP", 0);
    m_winUp = m_ini.getInt(USER, "WINUP", 0);
    m_readWinUp = m_ini.getInt(USER, "READWINUP", 0);
    m_notify = m_ini.getInt(USER, "NOTIFY", 1);
    return 1;
}

int CClientSettings::writeText(const char* section, const char* key, std::string value,
                               size_t width, std::string& field) {
    value = cut(value, width);
    if (value == field) return 0;
    if (!m_ini.writeString(section, key, value)) {
        showMessage(writeFailedText(), MB_OK);
        return -1;
    }
    field = value;
    return 1;
}

int CClientSettings::writeInt(const char* section, const char* key, int value, int& field) {
    if (value == field) return 0;
    if (!m_ini.writeInt(section, key, value)) {
        showMessage(writeFailedText(), MB_OK);
        return -1;
    }
    field = value;
    return 1;
}

int CClientSettings::setIdentity(const char* name, const char* group, const char* address) {
    int nameResult = writeText(USER, "NAME", name ? name : "", NAME_WIDTH, m_name);
    if (nameResult < 0) return -1;
    int groupResult = writeText(USER, "GROUP", group ? group : "", GROUP_WIDTH, m_group);
    if (groupResult < 0) return -1;
    if (address != nullptr && writeText(SERVER, "ADDRESS", address, ADDRESS_WIDTH, m_address) < 0)
        return -1;
    return (nameResult > 0 || groupResult > 0) ? 1 : 0;
}

int CClientSettings::setUserOptions(const std::string& dir, int beep, int winUp, int readBeep,
                                    int readWinUp) {
    // Refused before anything is written: a directory cut to its field would be another one.
    if (dir.size() > DIR_WIDTH || !CMessageFile::directoryFits(dir)) return DIRECTORY_REFUSED;
    if (writeInt(USER, "BEEP", beep, m_beep) < 0) return -1;
    if (writeInt(USER, "READBEEP", readBeep, m_readBeep) < 0) return -1;
    if (writeInt(USER, "WINUP", winUp, m_winUp) < 0) return -1;
    if (writeInt(USER, "READWINUP", readWinUp, m_readWinUp) < 0) return -1;
    if (writeText(USER, "DIR", dir, DIR_WIDTH, m_dir) < 0) return -1;
    return 0;
}

int CClientSettings::setNotify(int notify) {
    return writeInt(USER, "NOTIFY", notify, m_notify) < 0 ? -1 : 0;
}

int CClientSettings::setPort(int port) {
    if (!m_ini.writeInt(SERVER, "PORT", port)) {
        showMessage(writeFailedText(), MB_OK);
        return 0;
    }
    m_port = port;
    return 1;
}

int CClientSettings::setSaveDir(const std::string& folder) {
    return writeText(USER, "SAVE_DIR", folder, SAVE_DIR_WIDTH, m_saveDir) < 0 ? -1 : 1;
}

}  // namespace tovi
