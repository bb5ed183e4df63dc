// CClientSettings: the client's settings record over the initialisation file "Tovic.ini" in the
// configuration directory. Filled once by load(); afterwards changed only through the
// write-through setters, each of which compares a new value with the one in memory, writes the
// key only when it differs, and updates memory only after the write succeeded. A failed write
// shows "初期化ファイルに設定失敗" and keeps the old value.
//
//   [SERVER]  PORT (int, 0 or missing: 6998 written back)  ADDRESS (23 bytes)
//   [USER]    NAME (20)  GROUP (20)  DIR (255, ends with '/')  WINUP BEEP READWINUP READBEEP
//             (int 0/1)  SAVE_DIR (255, no trailing '/')  NOTIFY (int 0/1, missing: 1)
//
// Texts are cp932. A text longer than its field, read from the file or handed to a setter, is
// cut at the field's width on a character boundary. Writing a key keeps every other line of the
// file and replaces it atomically. User-interface thread only.
#pragma once

#include <string>

#include "platform/ini_file.h"

namespace tovi {

class CClientSettings {
  public:
    static constexpr int DEFAULT_PORT = 6998;
    static constexpr size_t ADDRESS_WIDTH = 23;
    static constexpr size_t NAME_WIDTH = 20;
    static constexpr size_t GROUP_WIDTH = 20;
    static constexpr size_t DIR_WIDTH = 255;
    static constexpr size_t SAVE_DIR_WIDTH = 255;
    // setUserOptions: the directory leaves no room for the mail file names (nothing written).
    static constexpr int DIRECTORY_REFUSED = -2;

    CClientSettings() : m_ini("Tovic.ini") {}

    // 1 when the file exists and was read, 0 when it does not exist (nothing is read). Either way
    // the file becomes the store that the setters write to, so that the first start can create
    // it and store the port.
    int load(const std::string& fileName);
    // NAME, then GROUP, then ADDRESS (address null: left alone). 1 when NAME or GROUP changed and
    // was written, 0 when neither changed (ADDRESS alone also gives 0), -1 when a write failed.
    int setIdentity(const char* name, const char* group, const char* address);
    // BEEP, READBEEP, WINUP, READWINUP, then DIR. 0 on success (also when nothing changed), -1
    // when a write failed, DIRECTORY_REFUSED for a directory that cannot hold the mail files
    // (see CMessageFile::directoryFits; nothing is written then).
    int setUserOptions(const std::string& dir, int beep, int winUp, int readBeep, int readWinUp);
    // NOTIFY (desktop notifications): 0 on success (also when unchanged), -1 when the write failed.
    int setNotify(int notify);
    // Writes PORT unconditionally: 1, or 0 when the write failed (the field keeps its value).
    int setPort(int port);
    // 1 on success or when unchanged, -1 when the write failed.
    int setSaveDir(const std::string& folder);

    const std::string& path() const { return m_ini.path(); }
    int port() const { return m_port; }
    const std::string& address() const { return m_address; }
    const std::string& name() const { return m_name; }
    const std::string& group() const { return m_group; }
    const std::string& dir() const { return m_dir; }
    int winUp() const { return m_winUp; }
    int beep() const { return m_beep; }
    int readWinUp() const { return m_readWinUp; }
    int readBeep() const { return m_readBeep; }
    const std::string& saveDir() const { return m_saveDir; }
    int notify() const { return m_notify; }

  private:
    // Compare, write, update. 1 written, 0 unchanged, -1 failed (the box has been shown).
    int writeText(const char* section, const char* key, std::string value, size_t width,
                  std::string& field);
    int writeInt(const char* section, const char* key, int value, int& field);

    CIniFile m_ini;
    int m_port = 0;
    std::string m_address;
    std::string m_name;
    std::string m_group;
    std::string m_dir;
    int m_winUp = 0;
    int m_beep = 0;
    int m_readWinUp = 0;
    int m_readBeep = 0;
    std::string m_saveDir;
    int m_notify = 1;
};

}  // namespace tovi
