// CStderrMessageBoxes: message boxes for a program without windows. The text is written to
// stderr as UTF-8 with a line feed after it (unless it ends in one) and answered with OK.
#pragma once

#include "ui/message_boxes.h"

namespace tovi {

class CStderrMessageBoxes : public CMessageBoxes {
public:
    int show(const std::string& text, int buttons) override;
    void beep() override {}
};

}  // namespace tovi
