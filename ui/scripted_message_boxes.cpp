#include "ui/scripted_message_boxes.h"

#include <chrono>

namespace tovi {

CScriptedMessageBoxes::CScriptedMessageBoxes() { setMessageBoxes(this); }

CScriptedMessageBoxes::~CScriptedMessageBoxes() { setMessageBoxes(nullptr); }

int CScriptedMessageBoxes::show(const std::string& text, int buttons) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_shown.push_back(Shown{text, buttons});
    int answer = IDOK;
    if (!m_answers.empty()) {
        answer = m_answers.front();
        m_answers.pop_front();
    }
    m_cond.notify_all();
    return answer;
}

void CScriptedMessageBoxes::beep() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_beeps;
    m_cond.notify_all();
}

void CScriptedMessageBoxes::queueAnswer(int answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers.push_back(answer);
}

std::vector<CScriptedMessageBoxes::Shown> CScriptedMessageBoxes::shown() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_shown;
}

std::vector<std::string> CScriptedMessageBoxes::texts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    for (const Shown& s : m_shown) out.push_back(s.text);
    return out;
}

int CScriptedMessageBoxes::beeps() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_beeps;
}

bool CScriptedMessageBoxes::waitForShown(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return m_shown.size() >= count; });
}

void CScriptedMessageBoxes::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_shown.clear();
    m_answers.clear();
    m_beeps = 0;
}

}  // namespace tovi
