// Any user file: loading it, listing the table and saving it again must stay in bounds, and a
// file that loads whole must be written back byte for byte (up to a torn last record).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_scratch.h"
#include "platform/file.h"
#include "server/core/user_table.h"

using namespace tovi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& dir = fuzzScratchDirectory();
    const std::string path = dir + "TovisUser.dat";
    removeFile(path + ".damaged");
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (!replaceFileAtomically(path, input)) return 0;
    CUserTable users(path);
    const bool whole = users.load();
    char name[NAME_BUFFER_SIZE], group[NAME_BUFFER_SIZE];
    for (bool restart = true;
         users.next(name, group, nullptr, nullptr, false, restart) != CUserTable::NEXT_NONE;
         restart = false) {
        if (std::strlen(name) > NAME_FIELD_SIZE || std::strlen(group) > NAME_FIELD_SIZE) abort();
    }
    if (!users.save()) abort();
    std::string saved;
    if (!readWholeFile(path, saved)) abort();
    // Names that are equal up to their first NUL collapse into one record when written, so only
    // a file whose fields are written canonically comes back identical.
    if (whole && saved.size() > input.size() - input.size() % CUserTable::FILE_RECORD_SIZE) abort();
    return 0;
}
