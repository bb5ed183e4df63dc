// Test support for the server application: the offscreen Qt application, a raw protocol client
// that logs in or registers and reads whole frames, the server's files written by hand, and the
// running of a modal dialog's steps from a timer.
#pragma once

#include <QApplication>
#include <QTimer>
#include <functional>

#include "support/test_support.h"

namespace tovi::test {

// The one application object of the test program, on the offscreen platform unless another one
// was chosen.
inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "tovi_server_app_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Runs step once on the dialog that becomes modal next (polled every 10 ms, for at most 5 s);
// arm it just before the call that opens the dialog.
inline void whenModal(std::function<void(QWidget*)> step) {
    auto* timer = new QTimer(&qtApp());
    auto* ticks = new int(0);
    QObject::connect(timer, &QTimer::timeout, [timer, ticks, step] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr && ++*ticks < 500) return;
        timer->stop();
        timer->deleteLater();
        delete ticks;
        if (modal != nullptr) step(modal);
    });
    timer->start(10);
}

// Lets queued Qt work run until cond holds, for at most timeoutMs.
template <class F>
bool processUntil(F cond, int timeoutMs = 5000) {
    return eventually(
        [&] {
            QApplication::processEvents();
            return cond();
        },
        timeoutMs);
}

// A 63-byte record of TovisUser.dat: name, group, address.
inline std::string userRecord(const std::string& name, const std::string& group = "office") {
    std::string address = "127.0.0.1";
    address.resize(23, '\0');
    return nameField(name) + nameField(group) + address;
}
// A record of TovisBackMail.dat: the recipient, the storing time and a message from "sender".
inline std::string heldRecord(const std::string& name, int32_t storedTime,
                              const std::string& text) {
    const std::string payload = int32s({MAIL_MESSAGE}) + nameField("sender") + int32s({1}) + text;
    return nameField(name) + int32s({storedTime, static_cast<int32_t>(payload.size())}) + payload;
}

// A raw protocol client over 127.0.0.1.
class CRawClient {
  public:
    bool connect(int port) { return m_socket.connect("127.0.0.1", uint16_t(port), 5000); }
    // The reason of the answer to a log-in (2: unknown name), -1 when there is none.
    int login(const std::string& name) {
        return ask(frame(PKT_LOGIN, nameField(name)), PKT_LOGIN_RESULT);
    }
    int registerUser(const std::string& name, const std::string& group) {
        return ask(frame(PKT_REGISTER, nameField(name) + nameField(group)), PKT_REGISTER_RESULT);
    }
    // Connects and logs in as name, registering it when the server does not know it.
    bool enter(int port, const std::string& name) {
        if (!connect(port)) return false;
        const int reason = login(name);
        return reason == LOGIN_ACCEPTED ||
               (reason == LOGIN_UNKNOWN_NAME && registerUser(name, "office") == REGISTER_DONE);
    }
    // The text of the next delivery within timeoutMs, "<none>" when none came.
    std::string nextDeliveryText(int timeoutMs = 5000) {
        const std::string f = readFrame(m_socket, timeoutMs);
        if (f.size() < 8 + 32 || getInt32(f.data()) != PKT_MAIL) return "<none>";
        return f.substr(8 + 32);
    }
    // Asks for the user list; true when it is answered (the connection still serves).
    bool answersUserList() {
        return writeBytes(m_socket, frame(PKT_USERLIST_REQ, int32s({0}) + nameField(""))) &&
               readFrame(m_socket).substr(0, 4) == int32s({PKT_USERLIST});
    }
    // True when the server closes the connection within timeoutMs.
    bool waitClosed(int timeoutMs) {
        char buf[4096];
        for (const int64_t end = monotonicMs() + timeoutMs; monotonicMs() < end;)
            if (m_socket.waitReadable(int(end - monotonicMs())) > 0 &&
                m_socket.readSome(buf, sizeof buf) < 0)
                return true;
        return false;
    }

  private:
    int ask(const std::string& request, int32_t answerType) {
        if (!writeBytes(m_socket, request)) return -1;
        const std::string f = readFrame(m_socket);
        if (f.size() != 16 || getInt32(f.data()) != answerType) return -1;
        return getInt32(f.data() + 12);
    }
    CTcpSocket m_socket;
};

}  // namespace tovi::test
