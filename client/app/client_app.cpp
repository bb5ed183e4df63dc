#include "client/app/client_app.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QWidget>

#include "client/app/app_text.h"
#include "client/app/client_main_dlg.h"
#include "client/dialogs/register_dlg.h"
#include "client/dialogs/user_settings_dlg.h"
#include "platform/file.h"
#include "ui/message_boxes.h"

namespace tovi {

CClientApp::CClientApp(std::string configDir) : m_configDir(std::move(configDir)) {
    m_stopTimer.setInterval(20);
    connect(&m_stopTimer, &QTimer::timeout, this, &CClientApp::closeDialogs);
}

CClientApp::~CClientApp() = default;

bool CClientApp::createSettingsFile(const std::string& path) {
    CFile file;
    const char zeros[2] = {0, 0};
    if (!file.open(path, CFile::CREATE_TRUNCATE)) return false;
    const bool written = file.write(zeros, sizeof zeros) && file.sync();
    return file.close() && written;
}

int CClientApp::run() {
    const std::string path =
        m_configDir.empty() ? std::string("Tovic.ini") : m_configDir + "/Tovic.ini";
    if (m_settings.load(path) == 0) {
        if (!createSettingsFile(path)) return 1;
        m_settings.setPort(CClientSettings::DEFAULT_PORT);
    }
    if (m_settings.address().empty() || m_settings.name().empty() || m_settings.group().empty()) {
        if (m_stopRequested || !runRegisterDialog(1)) return 0;
        if (m_stopRequested) return 0;
        runUserSettingsDialog();
    }
    if (m_stopRequested) return 0;

    CClientMainDlg window(*this);
    if (m_startPauseMs >= 0) window.control().setStartPauseMs(m_startPauseMs);
    m_mainWindow = &window;
    QEventLoop loop;
    connect(&window, &QDialog::finished, &loop, &QEventLoop::quit);
    window.start();
    if (!window.ended()) loop.exec();
    window.finish();
    m_mainWindow = nullptr;
    return 0;
}

QWidget* CClientApp::dialogParent() const {
    return m_mainWindow != nullptr && m_mainWindow->isVisible() ? m_mainWindow : nullptr;
}

bool CClientApp::runRegisterDialog(int firstRun) {
    m_registrationChanged = 0;
    QWidget* parent = dialogParent();
    CRegisterDlg dialog(firstRun, m_settings.address(), m_settings.name(), m_settings.group(),
                        parent);
    if (dialog.exec() != QDialog::Accepted) return false;
    if (dialog.changed() == 0) return false;
    // An empty name or group is never stored (nor sent to the server).
    if (dialog.name().empty() || dialog.group().empty()) return false;
    const int stored = m_settings.setIdentity(dialog.name().c_str(), dialog.group().c_str(),
                                              dialog.address().c_str());
    if (stored == -1) return false;
    if (stored == 1) m_registrationChanged = 1;
    return true;
}

bool CClientApp::askRename(std::string& name, std::string& group) {
    CRegisterDlg dialog(0, m_settings.address(), m_settings.name(), m_settings.group(),
                        dialogParent());
    if (dialog.exec() != QDialog::Accepted || dialog.changed() == 0) return false;
    if (dialog.name() == m_settings.name() && dialog.group() == m_settings.group()) return false;
    name = dialog.name();
    group = dialog.group();
    return true;
}

bool CClientApp::runUserSettingsDialog() {
    QWidget* parent = dialogParent();
    CUserSettingsDlg dialog(m_settings.dir(), m_settings.beep(), m_settings.winUp(),
                            m_settings.readBeep(), m_settings.readWinUp(), parent);
    dialog.setNotify(m_settings.notify());
    if (dialog.exec() != QDialog::Accepted) return false;
    const std::string before = m_settings.dir();
    const int stored = m_settings.setUserOptions(dialog.dir(), dialog.beep(), dialog.winUp(),
                                                 dialog.readBeep(), dialog.readWinUp());
    if (stored == 0) m_settings.setNotify(dialog.notify());
    if (stored == CClientSettings::DIRECTORY_REFUSED)
        showMessage(appText("ユーザーディレクトリを正しく設定して下さい。\n"));
    // Changed only when the new directory really is the stored one now.
    return dialog.dir() != before && m_settings.dir() == dialog.dir();
}

void CClientApp::requestStop() {
    m_stopRequested = true;
    closeDialogs();
    m_stopTimer.start();
}

void CClientApp::closeDialogs() {
    // Innermost first: each dialog's exec() returns before the one below it is closed.
    if (QWidget* modal = QApplication::activeModalWidget()) {
        if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            if (dialog != m_mainWindow) {
                dialog->done(QDialog::Rejected);
                return;
            }
        } else {
            modal->close();
            return;
        }
    }
    if (m_mainWindow != nullptr) m_mainWindow->endWithoutQuestion();
}

}  // namespace tovi
