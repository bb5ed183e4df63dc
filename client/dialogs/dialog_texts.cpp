#include "client/dialogs/dialog_texts.h"

#include "client/dialogs/cp932_input.h"
#include "platform/cp932.h"

namespace tovi {

QString fromCp932(const std::string& cp932) {
    return QString::fromStdString(CCp932Input::toWidget(cp932));
}

std::string cp932Of(const char* utf8) {
    std::string out;
    utf8ToCp932(utf8, out);
    return out;
}

std::string toCp932(const QString& text) {
    std::string out;
    if (CCp932Input::fromWidget(text.toStdString(), out)) return out;
    // Keep what can be held, character by character.
    out.clear();
    for (const QChar* p = text.constData(); !p->isNull(); ++p) {
        std::string one;
        if (p->isHighSurrogate() && !(p + 1)->isNull()) {
            if (CCp932Input::fromWidget(QString(p, 2).toStdString(), one)) out += one;
            ++p;
        } else if (CCp932Input::fromWidget(QString(*p).toStdString(), one)) {
            out += one;
        }
    }
    return out;
}

}  // namespace tovi
