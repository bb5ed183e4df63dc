// Shared by the client tests: one client's connection layer in a scratch directory (the stack and
// the scripted server are shared support).
#pragma once

#include "support/client_stack.h"
#include "support/scripted_server.h"
#include "support/test_support.h"

namespace tovi::test {

// The shared client stack in a scratch directory of its own (mail directory root/mail/, group
// "sales"), with the workers' process-wide state reset. The directory comes first as a base so
// that it exists before the stack names its mail directory.
struct TempRoot {
    TempDir root;
};
struct TempClientStack : TempRoot, ClientStack {
    explicit TempClientStack(int port, const char* user = "alice", int newRegistration = 0,
                             bool makeDir = true)
        : ClientStack(port, root.path + "mail/", user, newRegistration, "sales", makeDir) {
        CcRsData::resetProcessStateForTests();
        CcRecMess::resetProcessStateForTests();
    }
};

}  // namespace tovi::test
