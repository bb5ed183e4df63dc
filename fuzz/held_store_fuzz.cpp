// Any held-mail store: checking and repairing it at start, handing over a user's mail, noting
// it gone and rewriting the store must stay in bounds, and nothing the repair kept may be lost:
// what the rewrite leaves plus what was handed over is exactly what was there after the repair.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_scratch.h"
#include "platform/file.h"
#include "server/core/held_mail_store.h"

using namespace tovi;

namespace {
class Target : public CHeldMailTarget {
  public:
    std::vector<int64_t> refs;
    size_t bytes = 0;
    bool deliverHeld(int32_t, const char*, size_t length, int64_t ref) override {
        refs.push_back(ref);
        bytes += 28 + length;
        return true;
    }
    bool isKnownRecipient(const char*) override { return true; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& dir = fuzzScratchDirectory();
    const std::string path = dir + "TovisBackMail.dat";
    removeFile(path + ".damaged");
    removeFile(path + ".done");
    if (!replaceFileAtomically(path, std::string(reinterpret_cast<const char*>(data), size)))
        return 0;
    CHeldMailStore store(path);
    if (!store.recover()) return 0;
    std::string repaired;
    readWholeFile(path, repaired);
    Target target;
    // The first record's recipient logs in.
    char name[NAME_BUFFER_SIZE] = {};
    if (repaired.size() >= 20) getName(repaired.data(), name);
    if (!store.redeliverHeld(name, 0, 0, target)) abort();
    if (!store.handedOver(target.refs) || !store.compactNow()) abort();
    std::string left;
    readWholeFile(path, left);
    if (!(repaired.empty() && left.empty()) && left.size() + target.bytes != repaired.size())
        abort();
    return 0;
}
