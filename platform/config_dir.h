// The configuration directory: the stand-in for the Windows directory. The settings files and
// the server's data files live there, and each program makes it its current directory.
#pragma once

#include <string>

namespace tovi {

// The directory to use: the option when given, else $TOVI_CONFIG_DIR, else
// $XDG_CONFIG_HOME/tovi, else $HOME/.config/tovi.
std::string configDirectory(const std::string& option);
// Creates the directory (and its parents) when missing and makes it the current directory.
// False, with a reason in error, when either fails.
bool enterConfigDirectory(const std::string& dir, std::string& error);

}  // namespace tovi
