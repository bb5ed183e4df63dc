// CServerApp: the server's application object without its window. It completes Tovis.ini,
// starts the worker CcRcData with the hold limit in force from the start, lets it open the
// configured port, carries the window's requests to the worker (delete a user, a new hold limit)
// and stops the worker at the end. Both the windowed and the headless program run through it.
//
// Used by the main thread only; the worker runs on its own thread and is reached only by
// messages carrying copies of the values.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "server/app/server_settings.h"
#include "server/core/cc_rc_data.h"
#include "server/core/network_controls.h"

namespace tovi {

class CServerApp {
  public:
    // start() results.
    static constexpr int START_OK = 0;
    // Tovis.ini was missing and could not be created: the program ends at once, code 0.
    static constexpr int START_NO_SETTINGS = 1;
    // The worker could not be started or could not open the port: the program shows the
    // port message and ends with code 1.
    static constexpr int START_NO_LISTENER = 2;
    // BIND, ALLOW or PERHOST is malformed, or another server runs on this directory (its
    // control socket answers): startError() says which; the program ends with code 1.
    static constexpr int START_REFUSED = 3;

    // The worker has this long to end after the stop message.
    static constexpr int STOP_WAIT_MS = 5000;

    // configDirectory: where Tovis.ini, TovisUser.dat and TovisBackMail.dat live (empty: the
    // current directory).
    explicit CServerApp(std::string configDirectory);
    // Stops the worker when stop() was not called.
    ~CServerApp();
    CServerApp(const CServerApp&) = delete;
    CServerApp& operator=(const CServerApp&) = delete;

    int start();
    // The line that explains START_REFUSED.
    const std::string& startError() const { return m_startError; }
    // Stops the worker: the stop message (every client is disconnected), then a wait of at most
    // STOP_WAIT_MS, then an abort. False when the worker is still stuck after that; the caller
    // then ends the process without waiting for it.
    bool stop();

    // Tells the worker to delete the user of this stored name (cp932, at most 20 bytes): its
    // client is disconnected and the user removed from the table and the file.
    void deleteUser(const std::string& name);
    // Writes a new hold limit (seconds) through to DELLIMIT and, once written, tells the worker.
    // A failed write has shown "初期化ファイルに設定失敗" and then shows
    // "初期化ファイル書き込みでエラー発生\n"; the worker keeps its limit. False on failure.
    bool changeHoldLimit(int32_t seconds);
    // The same through the control socket (any thread): no message box; false when the file
    // could not be written (the worker keeps its limit).
    bool changeHoldLimitQuietly(int32_t seconds);
    // The hold limit in force (seconds), from any thread.
    int32_t holdLimit();
    // The worker, while it runs (the control socket reaches it through this).
    CcRcData* worker() { return m_worker.get(); }
    const std::string& directory() const { return m_directory; }
    // The data directory as shown in the log and the status (never empty).
    std::string dataDirectory() const;
    int64_t startedAt() const { return m_startedAt; }
    CServerSettings& settings() { return m_settings; }
    const std::string& userFilePath() const { return m_userFile; }
    // The port listened on, 0 before start() succeeded.
    int listeningPort() const;
    bool isRunning() const;

  private:
    bool changeHoldLimit(int32_t seconds, bool report, const char* by);

    std::string m_directory;
    std::string m_startError;
    std::mutex m_settingsMutex;  // the window and the control socket both change the limit
    int64_t m_startedAt = 0;
    std::unique_ptr<class CControlServer> m_control;
    std::string m_userFile;
    CServerSettings m_settings;
    std::unique_ptr<CcRcData> m_worker;
};

}  // namespace tovi
