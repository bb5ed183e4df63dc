// CLoadableModule: a shared library that the program loads while it runs (dlopen), for a part
// that only some runs need (the server's window: its Qt libraries stay out of a server that
// runs without one). Once loaded, the module stays for the rest of the process: functions taken
// from it may be called until the program ends, and its static objects are destroyed at exit.
//
// One object is used by one thread at a time.
#pragma once

#include <string>

namespace tovi {

class CLoadableModule {
  public:
    // The directory the running program file is in (symbolic links resolved), without a trailing
    // '/'; empty when it cannot be read.
    static std::string programDirectory();

    // Loads the module at path, every symbol bound now, so that a missing one shows here rather
    // than later. False, with the reason in error, when it cannot be loaded.
    bool load(const std::string& path, std::string& error);

    // The address of the exported symbol name; nullptr, with the reason in error, when nothing
    // is loaded or the module does not export it.
    void* find(const char* name, std::string& error) const;

    bool loaded() const { return m_handle != nullptr; }

  private:
    void* m_handle = nullptr;
};

}  // namespace tovi
