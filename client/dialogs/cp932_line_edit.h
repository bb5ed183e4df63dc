// CCp932LineEdit: a one-line edit whose text is entered as cp932 of at most a number of bytes.
// Typing, input-method commits, pasting and dropping stop at the limit (whole characters only);
// a character cp932 cannot hold is not entered and the user is told so through the message-box
// seam. A text set by the program is shown as it is, even when longer. GUI thread only.
#pragma once

#include <QLineEdit>
#include <string>

namespace tovi {

class CCp932LineEdit : public QLineEdit {
    Q_OBJECT

  public:
    // byteLimit: the most cp932 bytes that typing may reach (<= 0: no limit).
    explicit CCp932LineEdit(int byteLimit, QWidget* parent = nullptr);

    int byteLimit() const { return m_byteLimit; }
    // The text as cp932 (the program only lets in what cp932 holds).
    std::string cp932Text() const;
    void setCp932Text(const std::string& cp932);

  private:
    friend class CCp932LineValidator;
    void refuse();

    int m_byteLimit;
    QString m_last;
    bool m_refusalPending = false;
};

}  // namespace tovi
