// Test support for the server application: the server's files written by hand and a raw client
// that enters (the raw client and the Qt helpers come from the shared support).
#pragma once

#include "server/server_support.h"
#include "support/qt_support.h"

namespace tovi::test {

// A 63-byte record of TovisUser.dat: name, group, address.
inline std::string userRecord(const std::string& name, const std::string& group = "office") {
    std::string address = "127.0.0.1";
    address.resize(23, '\0');
    return nameField(name) + nameField(group) + address;
}
// A record of TovisBackMail.dat: the recipient, the storing time and a message from "sender".
inline std::string heldMessage(const std::string& name, int32_t storedTime,
                               const std::string& text) {
    return heldRecord(name, storedTime,
                      int32s({MAIL_MESSAGE}) + nameField("sender") + int32s({1}) + text);
}

// Connects and logs in as name, registering it when the server does not know it.
inline bool enter(CTestClient& client, int port, const std::string& name) {
    if (!client.connect(port)) return false;
    const int reason = client.login(name);
    return reason == LOGIN_ACCEPTED ||
           (reason == LOGIN_UNKNOWN_NAME && client.registerUser(name, "office") == REGISTER_DONE);
}

}  // namespace tovi::test
