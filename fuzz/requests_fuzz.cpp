// The bytes a client sends, through the frame assembler and into the request handlers: any
// input must give verdicts and answers without reading or writing out of bounds. The input is
// cut into pieces (its first byte chooses the piece size) as a socket would deliver it; the user
// table and the store live in a temporary directory.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_scratch.h"
#include "platform/file.h"
#include "server/core/frame_assembler.h"
#include "server/core/request_handler.h"

using namespace tovi;

namespace {

class Output : public CConnectionOutput {
  public:
    size_t bytes = 0;
    bool sendResult(int, int32_t, int32_t, int32_t) override { return ++bytes != 0; }
    bool sendResultAfterSync(int, int32_t, uint64_t ticket) override {
        return (bytes += ticket & 1) != SIZE_MAX;
    }
    bool sendFrame(int, const char* frame, size_t length) override {
        for (size_t i = 0; i < length; ++i) bytes += static_cast<unsigned char>(frame[i]) & 1;
        return true;
    }
    int deliver(int, int32_t, const char* payload, size_t length, int64_t ref) override {
        for (size_t i = 0; i < length; ++i) bytes += static_cast<unsigned char>(payload[i]) & 1;
        // Live mail takes each path a connection can give it, by its first byte.
        if (ref >= 0) return DELIVERY_QUEUED;
        const int paths[] = {DELIVERY_WRITTEN, DELIVERY_STARTED, DELIVERY_BEHIND, DELIVERY_REFUSED};
        return paths[length > 0 ? static_cast<unsigned char>(payload[0]) % 4 : 0];
    }
    void attachHeld(int, int64_t ref) override { bytes += static_cast<size_t>(ref) & 1; }
    void owesHeld(int) override { ++bytes; }
    bool peerAddress(int, std::string& out) override {
        out = "127.0.0.1";
        return true;
    }
    void scheduleHandOver(int, const char*, int64_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string& dir = fuzzScratchDirectory();
    removeFile(dir + "TovisUser.dat");
    removeFile(dir + "TovisBackMail.dat");
    CUserTable users(dir + "TovisUser.dat");
    CHeldMailStore store(dir + "TovisBackMail.dat");
    Output out;
    CRequestHandler handler(users, store, out);
    users.add("ann", "127.0.0.1", "g", 0, false);
    users.add("ben", "127.0.0.1", "g", -1, false);
    CFrameAssembler frames;
    frames.startConnection(0);
    const size_t piece = 1 + data[0] % 64;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    size_t left = size - 1;
    int64_t now = 0;
    while (left > 0) {
        const size_t n = left < piece ? left : piece;
        size_t taken = 0;
        while (taken < n) {
            size_t used = 0;
            const auto v = frames.feed(bytes + taken, n - taken, now, used);
            taken += used;
            if (v == CFrameAssembler::PACKET)
                handler.handlePacket(0, frames.wasLogIn(), frames.type(), frames.body(),
                                     frames.length());
            if (v == CFrameAssembler::BAD_LENGTH) return 0;
            if (v == CFrameAssembler::MORE) break;
        }
        bytes += n;
        left -= n;
        now += 1000;
        frames.expire(now);
    }
    return 0;
}
