#include "ui/qt/qt_message_boxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

#include "platform/cp932.h"

namespace tovi {

QString qStringFromCp932(const std::string& cp932) {
    return QString::fromStdString(cp932ToUtf8Lossy(cp932));
}

CQtMessageBoxes::CQtMessageBoxes(QString caption) : m_caption(std::move(caption)) {}

int CQtMessageBoxes::showOnGuiThread(const std::string& text, int buttons) {
    QMessageBox box(QMessageBox::Warning, m_caption, qStringFromCp932(text),
                    buttons == MB_OKCANCEL ? (QMessageBox::Ok | QMessageBox::Cancel)
                                           : QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    // The system's own box on a Japanese desktop says "OK" and "キャンセル"; Qt's buttons are
    // English unless a translation is loaded, so the texts are set here.
    // Plain text buttons, without the style's pictures.
    const struct {
        QMessageBox::StandardButton which;
        const char* text;
    } labels[] = {{QMessageBox::Ok, "OK"}, {QMessageBox::Cancel, "キャンセル"}};
    for (const auto& label : labels) {
        QAbstractButton* button = box.button(label.which);
        if (button == nullptr) continue;
        button->setText(QString::fromUtf8(label.text));
        button->setIcon(QIcon());
        button->setAccessibleName(button->text());
    }
    int r = box.exec();
    return r == QMessageBox::Ok ? IDOK : IDCANCEL;
}

int CQtMessageBoxes::show(const std::string& text, int buttons) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return IDOK;
    if (QThread::currentThread() == app->thread()) return showOnGuiThread(text, buttons);
    int answer = IDOK;
    QMetaObject::invokeMethod(
        app, [&] { answer = showOnGuiThread(text, buttons); }, Qt::BlockingQueuedConnection);
    return answer;
}

void CQtMessageBoxes::beep() {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    if (QThread::currentThread() == app->thread()) {
        QApplication::beep();
    } else {
        QMetaObject::invokeMethod(app, [] { QApplication::beep(); }, Qt::QueuedConnection);
    }
}

}  // namespace tovi
