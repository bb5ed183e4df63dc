// CComposeDlg: the modal compose dialog "送信メッセージ": a title of at most 64 cp932 bytes and a
// body of at most 19500 (CR LF counts 2). "送信" checks the lengths and composes the message text
// (CComposeText); "ｷｬﾝｾﾙ", Escape and the close box ask before discarding typed text. The dialog
// sends nothing itself. Resizable; the controls follow the window's size. GUI thread only.
#pragma once

#include <QDialog>
#include <string>

class QPushButton;

namespace tovi {

class CCp932LineEdit;
class CCp932TextEdit;

class CComposeDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CComposeDlg(QWidget* parent = nullptr);

    // Before exec(): the body to start with (cp932, CR LF), e.g. CComposeText::quotationBlock.
    // It is shown in full even beyond the body limit. The title always starts empty.
    void setBody(const std::string& cp932);

    // After Accepted: the composed message text "[Subject]:_[" title "]_" body (cp932) and its
    // length in bytes (at most 19514).
    const std::string& body() const { return m_body; }
    int textLength() const { return m_textLength; }
    const std::string& title() const { return m_title; }

    void accept() override;
    void reject() override;

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    int m_textLength = 0;
    std::string m_body;
    std::string m_title;
    CCp932LineEdit* m_titleEdit;
    CCp932TextEdit* m_bodyEdit;
    QPushButton* m_send;
    QPushButton* m_cancel;
};

}  // namespace tovi
