#include "platform/file_identity.h"

#include <sys/stat.h>

namespace tovi {

bool fileIdentity(const std::string& path, uint64_t& id) {
    struct stat st;
    id = 0;
    if (::stat(path.c_str(), &st) != 0) return false;
    id = (static_cast<uint64_t>(st.st_dev) << 40) ^ static_cast<uint64_t>(st.st_ino);
    if (id == 0) id = 1;
    return true;
}

}  // namespace tovi
