// CMailViewDlg: the modal message view dialog "メッセージ表示". Opening loads the message file
// (CMailViewText::load; a received message is marked read) and shows title and body; a load
// failure is reported and leaves the fields empty. For received mail "返信" closes with Accepted
// and "引用" says whether to quote; the menu command "名前を指定して保存" writes the body to a text
// file and remembers its folder in SAVE_DIR. Resizable. GUI thread only.
#pragma once

#include <QDialog>
#include <string>

class QCheckBox;
class QLineEdit;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;

namespace tovi {

class CClientSettings;

class CMailViewDlg : public QDialog {
    Q_OBJECT

  public:
    // mailPath: the message file (file-system bytes). sent: 1 for a sent message (no reply, no
    // quote box), 0 for received mail. settings: for SAVE_DIR (may be null: the save starts in
    // the home folder and remembers nothing). The file is loaded by the constructor.
    CMailViewDlg(const std::string& mailPath, int sent, CClientSettings* settings,
                 QWidget* parent = nullptr);

    bool loaded() const { return m_loaded; }
    // After Accepted ("返信"): whether "引用" was ticked, and the body (cp932, CR LF, exactly as
    // stored) to quote.
    int quoteFlag() const { return m_quoteFlag; }
    const std::string& body() const { return m_body; }
    const std::string& title() const { return m_title; }

    // "名前を指定して保存": asks for a file name, writes the body to it.
    void saveAs();
    // Writes the body to path (UTF-8 file name); reports a failure, remembers the folder.
    void saveTo(const QString& path);
    void accept() override;

  protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    std::string m_path;
    int m_sent;
    CClientSettings* m_settings;
    bool m_loaded = false;
    bool m_failureShown = false;
    int m_quoteFlag = 0;
    std::string m_body;
    std::string m_title;
    QMenuBar* m_menuBar;
    QLineEdit* m_titleEdit;
    QPlainTextEdit* m_bodyEdit;
    QCheckBox* m_quote;
    QPushButton* m_reply;
    QPushButton* m_close;
};

}  // namespace tovi
