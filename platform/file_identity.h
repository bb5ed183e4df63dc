// The identity of a file on this machine (its device and inode): two paths with the same
// identity name the same file, and a file replaced by a rename gets the identity of the file that
// was renamed into place. Lets a journal tell which version of a data file its entries belong to.
#pragma once

#include <cstdint>
#include <string>

namespace tovi {

// False (id 0) when the file cannot be looked at.
bool fileIdentity(const std::string& path, uint64_t& id);

}  // namespace tovi
