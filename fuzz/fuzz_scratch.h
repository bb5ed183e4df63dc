// The scratch directory of a fuzz target: the one scripts/fuzz.sh names in TOVI_FUZZ_DIR, else a
// new memory-backed one where there is such a place (the files are synced on every write), else
// one in /tmp. Made once per process; the returned path ends in '/'.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/file.h"

inline const std::string& fuzzScratchDirectory() {
    static const std::string dir = [] {
        if (const char* given = std::getenv("TOVI_FUZZ_DIR")) {
            tovi::makeDirectories(given);
            return std::string(given) + "/";
        }
        char shm[] = "/dev/shm/tovi-fuzz-XXXXXX";
        char tmp[] = "/tmp/tovi-fuzz-XXXXXX";
        const char* made = ::mkdtemp(shm);
        return std::string(made != nullptr ? made : ::mkdtemp(tmp)) + "/";
    }();
    return dir;
}
