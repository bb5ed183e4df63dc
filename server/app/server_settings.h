// CServerSettings: the server's settings file Tovis.ini in the configuration directory,
// section [SERVER]:
//
//   PORT      TCP port to listen on; 0 or missing at start: 6998 is written
//   DELLIMIT  seconds after which held mail is dropped (whole days x 86400); 0 keeps it for ever,
//             and so does a value below 0
//
// Read once at start-up; every change is written through at once. A failed write shows
// "初期化ファイルに設定失敗" and keeps the old value.
//
// Used by the main thread only.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ini_file.h"

namespace tovi {

class CServerSettings {
  public:
    static constexpr int DEFAULT_PORT = 6998;

    // Whether the file exists; if it does, it becomes the file of every later write and PORT
    // and DELLIMIT are read (0 when missing; a DELLIMIT below 0 reads as 0).
    bool load(const std::string& path);
    // The start-up sequence: load, create the file when missing (then DELLIMIT stays unwritten:
    // it is 0 and unchanged), and complete a missing port with 6998 (which stays in force when it
    // cannot be written). False when a missing file could not be created; the program then ends
    // without a message.
    bool prepare(const std::string& path);

    // 0 when written or unchanged, -1 when the write failed (reported in a message box unless
    // report is false: the control socket answers its caller instead).
    int setHoldLimit(int32_t seconds, bool report = true);
    // True when written.
    bool setPort(int port);

    int32_t holdLimit() const { return m_holdLimit; }
    int port() const { return m_port; }

  private:
    void reportWriteFailure();

    CIniFile m_file{""};
    int32_t m_holdLimit = 0;
    int m_port = 0;
};

}  // namespace tovi
