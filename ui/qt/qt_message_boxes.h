// CQtMessageBoxes: the message boxes of the windowed programs. A box is always created on the GUI
// thread; a worker thread that shows one waits until the user has answered it there.
#pragma once

#include <QString>

#include "ui/message_boxes.h"

namespace tovi {

class CQtMessageBoxes : public CMessageBoxes {
public:
    // caption: the title of every box (the program's name).
    explicit CQtMessageBoxes(QString caption);
    int show(const std::string& text, int buttons) override;
    void beep() override;

private:
    int showOnGuiThread(const std::string& text, int buttons);
    QString m_caption;
};

// cp932 bytes as a QString (invalid bytes shown as U+FFFD).
QString qStringFromCp932(const std::string& cp932);

}  // namespace tovi
