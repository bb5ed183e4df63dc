#include "platform/loadable_module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace tovi {

namespace {

std::string lastLoaderError(const std::string& fallback) {
    const char* text = ::dlerror();
    return text != nullptr ? text : fallback;
}

}  // namespace

std::string CLoadableModule::programDirectory() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return "";
    std::string directory(path, static_cast<size_t>(length));
    const size_t slash = directory.rfind('/');
    if (slash == std::string::npos) return "";
    directory.resize(slash == 0 ? 1 : slash);
    return directory;
}

bool CLoadableModule::load(const std::string& path, std::string& error) {
    if (m_handle != nullptr) {
        error = "a module is loaded already";
        return false;
    }
    ::dlerror();
    // Never closed (see the header); RTLD_LOCAL keeps its symbols to itself.
    m_handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        error = lastLoaderError(path + ": cannot be loaded");
        return false;
    }
    return true;
}

void* CLoadableModule::find(const char* name, std::string& error) const {
    if (m_handle == nullptr) {
        error = std::string("no module loaded to find ") + name + " in";
        return nullptr;
    }
    ::dlerror();
    void* address = ::dlsym(m_handle, name);
    if (address == nullptr) error = lastLoaderError(std::string(name) + ": not exported");
    return address;
}

}  // namespace tovi
