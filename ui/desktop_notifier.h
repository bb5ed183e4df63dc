// The seam through which the client shows desktop notifications (the freedesktop notification
// service in the program, a scripted twin in tests). Texts are cp932, as every text below the
// windows; implementations convert where they hand them on.
//
// notify() never waits: where no notification service runs, or no session bus exists, the note
// is silently not shown. A click on a notification (its default action) and its closing are
// reported through the handlers, on the thread that runs the implementation's event loop (the
// GUI thread in the program).
#pragma once

#include <functional>
#include <string>

namespace tovi {

struct DesktopNote {
    enum Kind { NEW_MAIL = 0, READ_NOTICE = 1 };
    Kind kind = NEW_MAIL;
    std::string summary;
    std::string body;
    int count = 0;              // mails announced by this notification (merged ones included)
    bool replacesLast = false;  // takes the place of the last notification of this kind
};

class CDesktopNotifier {
  public:
    virtual ~CDesktopNotifier() = default;
    virtual void notify(const DesktopNote& note) = 0;

    // activated: the person clicked the notification of that kind. closed: it went away (clicked,
    // dismissed or expired).
    void setHandlers(std::function<void(DesktopNote::Kind)> activated,
                     std::function<void(DesktopNote::Kind)> closed) {
        m_activated = std::move(activated);
        m_closed = std::move(closed);
    }

  protected:
    void reportActivated(DesktopNote::Kind kind) {
        if (m_activated) m_activated(kind);
    }
    void reportClosed(DesktopNote::Kind kind) {
        if (m_closed) m_closed(kind);
    }

  private:
    std::function<void(DesktopNote::Kind)> m_activated;
    std::function<void(DesktopNote::Kind)> m_closed;
};

// The notifier used from now on (not owned; null restores the default, which shows nothing).
void setDesktopNotifier(CDesktopNotifier* notifier);
CDesktopNotifier& desktopNotifier();

}  // namespace tovi
