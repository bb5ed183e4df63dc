#include "server/app/headless_server.h"

#include <signal.h>

#include <cstdlib>

#include "platform/cp932.h"
#include "platform/event_log.h"
#include "server/app/server_app.h"
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

    CServerApp app("");
    switch (app.start()) {
        case CServerApp::START_OK:
            break;
        case CServerApp::START_NO_SETTINGS:
            return 0;
        case CServerApp::START_REFUSED:
            logEvent("not started: " + app.startError());
            return 1;
        default:
            showMessage(portFailureMessage(m_configDirectory), MB_OK);
            return 1;
    }

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }

    // A worker stuck beyond its time: end the process without waiting for it any longer.
    if (!app.stop()) std::_Exit(0);
    return 0;
}

}  // namespace tovi
