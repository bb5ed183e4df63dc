// Small helpers the dialogs share: cp932 texts to and from the widgets' Unicode, and the common
// set-up of a dialog (font, caption, accessible names). GUI thread only.
#pragma once

#include <QString>
#include <QWidget>
#include <string>

#include "platform/cp932.h"  // cp932Of for the fixed texts of the message boxes

namespace tovi {

// A cp932 text for a widget (CR LF shown as line breaks).
QString fromCp932(const std::string& cp932);
// A widget's text as cp932 (line breaks CR LF); characters cp932 cannot hold are dropped (the
// dialogs' edits never let them in).
std::string toCp932(const QString& text);
// Gives the widget its accessible name.
template <class W>
W* named(W* widget, const QString& name) {
    widget->setAccessibleName(name);
    return widget;
}

}  // namespace tovi
