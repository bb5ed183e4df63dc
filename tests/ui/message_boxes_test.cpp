// The Qt message boxes: exact texts, the button pressed, and boxes asked for by a worker.
#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <atomic>
#include <thread>

#include "support/qt_support.h"
#include "ui/qt/qt_message_boxes.h"

namespace tovi::test {
namespace {

// Presses button on the next message box and keeps the text the box showed.
struct BoxAnswer {
    QString text;
    WhenModal<QMessageBox> when;
    explicit BoxAnswer(QMessageBox::StandardButton button)
        : when([this, button](QMessageBox* box) {
              text = box->text();
              box->button(button)->click();
          }) {}
};

TEST(MessageBoxes, QtBoxShowsTheExactTextAndReportsTheButton) {
    qtApp();
    CQtMessageBoxes boxes("Tovic");
    {
        BoxAnswer answer(QMessageBox::Cancel);
        EXPECT_EQ(boxes.show(cp932("サーバーに接続できません。アドレスの設定を変更しますか。\n"),
                             MB_OKCANCEL),
                  IDCANCEL);
        EXPECT_EQ(answer.text.toStdString(),
                  "サーバーに接続できません。アドレスの設定を変更しますか。\n");
    }
    // From a worker thread the box still opens on the GUI thread, and the worker waits.
    BoxAnswer answer(QMessageBox::Ok);
    std::atomic<int> result{0};
    std::thread worker(
        [&] { result = boxes.show(cp932("メッセージの送信に失敗しました。\n"), MB_OK); });
    EXPECT_TRUE(pump([&] { return result != 0; }, 15000));
    worker.join();
    EXPECT_EQ(result.load(), IDOK);
    EXPECT_EQ(answer.text.toStdString(), "メッセージの送信に失敗しました。\n");
}

}  // namespace
}  // namespace tovi::test
