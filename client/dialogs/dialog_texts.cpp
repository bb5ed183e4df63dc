#include "client/dialogs/dialog_texts.h"

#include "client/dialogs/cp932_input.h"
#include "platform/cp932.h"

namespace tovi {

QString fromCp932(const std::string& cp932) {
    return QString::fromStdString(CCp932Input::toWidget(cp932));
}

std::string toCp932(const QString& text) {
    std::string out;
    if (CCp932Input::fromWidget(text.toStdString(), out)) return out;
    // Keep what can be held, character by character (a surrogate pair is one character).
    out.clear();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype length = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        std::string one;
        if (CCp932Input::fromWidget(text.mid(i, length).toStdString(), one)) out += one;
        i += length - 1;
    }
    return out;
}

}  // namespace tovi
