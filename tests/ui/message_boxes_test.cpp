// The Qt message boxes: exact texts, the button pressed, and boxes asked for by a worker.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "platform/cp932.h"
#include "ui/qt/qt_message_boxes.h"

namespace tovi {
namespace {

std::string cp932(const char* utf8) {
    std::string out;
    EXPECT_TRUE(utf8ToCp932(utf8, out));
    return out;
}

// Clicks the given button of the first message box that appears and records its text.
struct BoxClicker {
    QString text;
    QTimer timer;
    explicit BoxClicker(QMessageBox::StandardButton button) {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this, button] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) return;
            text = box->text();
            box->button(button)->click();
            timer.stop();
        });
        timer.start();
    }
};

TEST(MessageBoxes, QtBoxShowsTheExactTextAndReportsTheButton) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    CQtMessageBoxes boxes("Tovic");
    const std::string text = cp932("サーバーに接続できません。アドレスの設定を変更しますか。\n");
    {
        BoxClicker clicker(QMessageBox::Cancel);
        EXPECT_EQ(boxes.show(text, MB_OKCANCEL), IDCANCEL);
        EXPECT_EQ(clicker.text.toStdString(), "サーバーに接続できません。アドレスの設定を変更しますか。\n");
    }
    // From a worker thread the box still opens on the GUI thread, and the worker waits.
    BoxClicker clicker(QMessageBox::Ok);
    std::atomic<int> answer{0};
    std::thread worker([&] { answer = boxes.show(cp932("メッセージの送信に失敗しました。\n"), MB_OK); });
    while (answer == 0) QApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
    EXPECT_EQ(answer.load(), IDOK);
    EXPECT_EQ(clicker.text.toStdString(), "メッセージの送信に失敗しました。\n");
}

}  // namespace
}  // namespace tovi
