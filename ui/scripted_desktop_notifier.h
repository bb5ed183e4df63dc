// CScriptedDesktopNotifier: the desktop notifications of tests. Records every note and lets the
// test click a notification as a person would. One thread.
#pragma once

#include <vector>

#include "ui/desktop_notifier.h"

namespace tovi {

class CScriptedDesktopNotifier : public CDesktopNotifier {
  public:
    // Installs itself; the destructor restores the default.
    CScriptedDesktopNotifier();
    ~CScriptedDesktopNotifier() override;
    void notify(const DesktopNote& note) override { m_notes.push_back(note); }
    const std::vector<DesktopNote>& notes() const { return m_notes; }
    void click(DesktopNote::Kind kind) {
        reportActivated(kind);
        reportClosed(kind);
    }
    void clear() { m_notes.clear(); }

  private:
    std::vector<DesktopNote> m_notes;
};

}  // namespace tovi
