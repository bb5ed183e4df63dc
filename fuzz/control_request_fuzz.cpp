// Any bytes on the control socket: a request either is refused or reads back as exactly the line
// tovisctl would write for it, and an answer splits without reading past its bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/packets.h"
#include "server/core/control_request.h"

using namespace tovi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    CControlRequest request;
    if (CControlRequest::parse(input, request)) {
        const std::string line = request.encode();
        CControlRequest again;
        if (!CControlRequest::parse(line, again) || again.encode() != line) abort();
        if (request.verb() == CControlRequest::DELETE_USER &&
            (request.name().empty() || request.name().size() > NAME_FIELD_SIZE))
            abort();
        if (request.days() < 0 || request.days() > CControlRequest::MAX_DAYS) abort();
    }
    bool ok = false;
    std::string code, body;
    if (CControlAnswer::parse(input, ok, code, body) && body.size() >= input.size()) abort();
    return 0;
}
