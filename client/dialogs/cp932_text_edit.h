// CCp932TextEdit: a multi-line edit whose text is entered as cp932 of at most a number of bytes,
// line breaks counted as CR LF (2 bytes). Typing, Enter, input-method commits, pasting and
// dropping stop at the limit (whole characters only); a character cp932 cannot hold is not
// entered and the user is told so through the message-box seam. Text set by the program is shown
// in full, even beyond the limit. cp932Text / setCp932Text convert LF <-> CR LF. GUI thread only.
#pragma once

#include <QPlainTextEdit>
#include <string>

namespace tovi {

class CCp932TextEdit : public QPlainTextEdit {
    Q_OBJECT

  public:
    explicit CCp932TextEdit(int byteLimit, QWidget* parent = nullptr);

    int byteLimit() const { return m_byteLimit; }
    // The text as cp932 with CR LF line breaks.
    std::string cp932Text() const;
    void setCp932Text(const std::string& cp932);
    // Bytes the current text takes as cp932 with CR LF.
    long byteCount() const;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void insertFromMimeData(const QMimeData* source) override;

  private:
    // The part of text that may replace the selection; empty when nothing may go in. Tells the
    // user when text holds a character cp932 cannot hold.
    QString admit(const QString& text);
    void insertAdmitted(const QString& text);

    int m_byteLimit;
};

}  // namespace tovi
