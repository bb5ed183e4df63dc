// Whether a window can be opened: a display that answers (a local X socket, a TCP X server, a
// Wayland socket) or a Qt platform that needs none (offscreen). Looked at before Qt starts,
// because Qt ends the process when its display cannot be opened. On false, why says what is
// missing.
#pragma once

#include <string>

namespace tovi {

bool displayAvailable(std::string& why);

}  // namespace tovi
