#include "client/dialogs/cp932_line_edit.h"

#include <QMetaObject>
#include <QValidator>

#include "client/dialogs/cp932_input.h"
#include "client/dialogs/dialog_texts.h"
#include "ui/message_boxes.h"
#include "ui/qt/qt_message_boxes.h"

namespace tovi {

// Sees every edit of the user before it lands (typing, input-method commits, paste, drop; text set
// by the program is not validated). The edit's previous text tells which part is new: only that
// part is cut to the room left or refused whole.
class CCp932LineValidator : public QValidator {
  public:
    explicit CCp932LineValidator(CCp932LineEdit* edit) : QValidator(edit), m_edit(edit) {}

    State validate(QString& input, int& pos) const override {
        const QString& old = m_edit->m_last;
        if (input == old) return Acceptable;
        int prefix = 0;
        const int common = std::min(input.size(), old.size());
        while (prefix < common && input[prefix] == old[prefix]) ++prefix;
        int suffix = 0;
        while (suffix < common - prefix &&
               input[input.size() - 1 - suffix] == old[old.size() - 1 - suffix])
            ++suffix;
        QString inserted = input.mid(prefix, input.size() - prefix - suffix);
        if (inserted.isEmpty()) return Acceptable;  // a deletion
        // Line breaks and other control characters have no place in a one-line field.
        const qsizetype before = inserted.size();
        inserted.removeIf([](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
        if (inserted.isEmpty()) return Invalid;
        const long kept =
            CCp932Input::byteCount((input.left(prefix) + input.right(suffix)).toStdString());
        const long room =
            m_edit->m_byteLimit > 0 ? m_edit->m_byteLimit - std::max(0L, kept) : 1L << 30;
        size_t keep = 0;
        const std::string utf8 = inserted.toStdString();
        switch (CCp932Input::fit(utf8, room, keep)) {
            case CCp932Input::FITS:
                if (inserted.size() == before) return Acceptable;
                break;
            case CCp932Input::REFUSED:
                m_edit->refuse();
                return Invalid;
            case CCp932Input::CUT:
                break;
        }
        const QString admitted = QString::fromStdString(utf8.substr(0, keep));
        if (admitted.isEmpty()) return Invalid;
        input = input.left(prefix) + admitted + input.right(suffix);
        pos = prefix + admitted.size();
        return Acceptable;
    }

  private:
    CCp932LineEdit* m_edit;
};

CCp932LineEdit::CCp932LineEdit(int byteLimit, QWidget* parent)
    : QLineEdit(parent), m_byteLimit(byteLimit) {
    setValidator(new CCp932LineValidator(this));
    connect(this, &QLineEdit::textChanged, this, [this](const QString& text) { m_last = text; });
}

std::string CCp932LineEdit::cp932Text() const { return toCp932(text()); }

void CCp932LineEdit::setCp932Text(const std::string& cp932) {
    setText(QString::fromStdString(CCp932Input::toWidget(cp932)));
}

void CCp932LineEdit::refuse() {
    // Told after the edit has been turned down, outside the edit's own processing.
    if (m_refusalPending) return;
    m_refusalPending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_refusalPending = false;
            showMessage(CCp932Input::notCp932Text());
        },
        Qt::QueuedConnection);
}

}  // namespace tovi
