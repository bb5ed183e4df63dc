#include "server/app/headless_server.h"

#include <signal.h>

#include <cstdlib>

#include "platform/cp932.h"
#include "server/app/server_settings.h"
#include "server/core/cc_rc_data.h"
#include "ui/message_boxes.h"

namespace tovi {

namespace {

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

std::string CHeadlessServer::portFailureMessage(const std::string& configDirectory) {
    std::string text =
        "サーバーの起動に失敗しました。\n"
        "ポート番号が他のアプリケーションと重複している可能性があります。\n"
        "ポート番号の設定を変える場合は、"
        "Windowsのディレクトリにある Tovis.iniをエディター等で開き、\n"
        "[SERVER]の[PORT]の番号を変えて下さい。\n"
        "尚、ポート番号を変更した場合、クライアント側にも同様の操作が必要になります。\n"
        "クライアント側の設定ファイルは、クライアントを起動しているマシンの\n"
        "Windowsのディレクトリにある Tovic.iniです。";
    replaceAll(text, "Windowsのディレクトリ", configDirectory);
    std::string cp932;
    if (utf8ToCp932(text, cp932)) return cp932;
    // A directory name that cp932 cannot hold: the rest of the text still reads right.
    std::string withoutPath = text;
    replaceAll(withoutPath, configDirectory, "?");
    utf8ToCp932(withoutPath, cp932);
    return cp932;
}

int CHeadlessServer::run() {
    // Signals are taken by sigwait below; every thread started from here on keeps them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CServerSettings settings;
    if (!settings.prepare("Tovis.ini")) return 0;

    auto worker = std::make_unique<CcRcData>("");
    if (!worker->start()) return 1;
    worker->postMessage(WM_SERVER_SET_HOLD_LIMIT, settings.holdLimit());
    worker->postMessage(WM_SERVER_LISTEN, settings.port());
    int listening = CcRcData::LISTEN_PENDING;
    while (listening == CcRcData::LISTEN_PENDING && worker->isRunning())
        listening = worker->waitListenResult(1000);
    if (listening != CcRcData::LISTEN_OK) {
        showMessage(portFailureMessage(m_configDirectory), MB_OK);
        return 1;
    }

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }

    worker->postMessage(WM_SERVER_STOP);
    if (!worker->join(STOP_WAIT_MS)) {
        // The worker is stuck: end the process without waiting for it any longer.
        std::_Exit(0);
    }
    return 0;
}

}  // namespace tovi
