#include "client/dialogs/cp932_text_edit.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QTextCursor>
#include <QTextDocumentFragment>

#include "client/dialogs/cp932_input.h"
#include "client/dialogs/dialog_texts.h"
#include "ui/message_boxes.h"

namespace tovi {

CCp932TextEdit::CCp932TextEdit(int byteLimit, QWidget* parent)
    : QPlainTextEdit(parent), m_byteLimit(byteLimit) {}

std::string CCp932TextEdit::cp932Text() const { return toCp932(toPlainText()); }

void CCp932TextEdit::setCp932Text(const std::string& cp932) {
    setPlainText(QString::fromStdString(CCp932Input::toWidget(cp932)));
}

long CCp932TextEdit::byteCount() const {
    return CCp932Input::byteCount(toPlainText().toStdString());
}

QString CCp932TextEdit::admit(const QString& text) {
    // The widget's own paragraph and line separators are line breaks too.
    QString plain = text;
    plain.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    plain.replace(QChar::LineSeparator, QLatin1Char('\n'));
    plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    plain.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const std::string utf8 = plain.toStdString();
    long room = 1L << 30;
    if (m_byteLimit > 0) {
        const QString selected = textCursor().selection().toPlainText();
        const long used =
            byteCount() - std::max(0L, CCp932Input::byteCount(selected.toStdString()));
        room = m_byteLimit - used;
    }
    size_t keep = 0;
    switch (CCp932Input::fit(utf8, room, keep)) {
        case CCp932Input::FITS:
            return plain;
        case CCp932Input::REFUSED:
            showMessage(CCp932Input::notCp932Text());
            return QString();
        case CCp932Input::CUT:
            break;
    }
    return QString::fromStdString(utf8.substr(0, keep));
}

void CCp932TextEdit::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Paste)) {
        QPlainTextEdit::keyPressEvent(event);  // goes through insertFromMimeData
        return;
    }
    QString typed = event->text();
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        typed = QStringLiteral("\n");
    const bool inserts = !typed.isEmpty() && !isReadOnly() &&
                         (typed == QStringLiteral("\n") || typed == QStringLiteral("\t") ||
                          typed.at(0).isPrint() || typed.at(0).isSurrogate());
    const bool movesFocus = typed == QStringLiteral("\t") && tabChangesFocus();
    if (!inserts || movesFocus || (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    const QString admitted = admit(typed);
    if (admitted == typed) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    insertAdmitted(admitted);
    event->accept();
}

void CCp932TextEdit::inputMethodEvent(QInputMethodEvent* event) {
    if (event->commitString().isEmpty() || isReadOnly()) {
        QPlainTextEdit::inputMethodEvent(event);
        return;
    }
    const QString admitted = admit(event->commitString());
    if (admitted == event->commitString()) {
        QPlainTextEdit::inputMethodEvent(event);
        return;
    }
    QInputMethodEvent cut(event->preeditString(), event->attributes());
    cut.setCommitString(admitted, event->replacementStart(), event->replacementLength());
    QPlainTextEdit::inputMethodEvent(&cut);
}

bool CCp932TextEdit::canInsertFromMimeData(const QMimeData* source) const {
    return source->hasText() && QPlainTextEdit::canInsertFromMimeData(source);
}

void CCp932TextEdit::insertFromMimeData(const QMimeData* source) {
    if (source == nullptr || !source->hasText() || isReadOnly()) return;
    insertAdmitted(admit(source->text()));
}

void CCp932TextEdit::insertAdmitted(const QString& text) {
    if (text.isEmpty()) return;
    QTextCursor cursor = textCursor();
    cursor.insertText(text);
    setTextCursor(cursor);
    ensureCursorVisible();
}

}  // namespace tovi
