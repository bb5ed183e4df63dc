// CScriptedMessageBoxes: message boxes for tests. Records every text shown (with its buttons) and
// answers from a queue of answers, IDOK once the queue is empty. Thread-safe: workers may show
// boxes while the test waits for them.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "ui/message_boxes.h"

namespace tovi {

class CScriptedMessageBoxes : public CMessageBoxes {
public:
    struct Shown {
        std::string text;
        int buttons;
    };

    // Installs itself as the current implementation; the destructor restores the default.
    CScriptedMessageBoxes();
    ~CScriptedMessageBoxes() override;

    int show(const std::string& text, int buttons) override;
    void beep() override;

    void queueAnswer(int answer);
    std::vector<Shown> shown() const;
    std::vector<std::string> texts() const;
    int beeps() const;
    // Waits until at least count boxes have been shown, at most timeoutMs; true when they have.
    bool waitForShown(size_t count, int timeoutMs) const;
    void clear();

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cond;
    std::deque<int> m_answers;
    std::vector<Shown> m_shown;
    int m_beeps = 0;
};

}  // namespace tovi
