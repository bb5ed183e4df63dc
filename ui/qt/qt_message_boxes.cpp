#include "ui/qt/qt_message_boxes.h"

#include <QAbstractButton>
#include <QApplication>
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
    box.button(QMessageBox::Ok)->setText(QStringLiteral("OK"));
    if (QAbstractButton* cancel = box.button(QMessageBox::Cancel)) {
        cancel->setText(QString::fromUtf8("キャンセル"));
        cancel->setAccessibleName(cancel->text());
    }
    box.button(QMessageBox::Ok)->setAccessibleName(QStringLiteral("OK"));
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
