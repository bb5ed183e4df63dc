// Binds a mailbox view outside any Qt header: Qt's "slots" keyword hides the storage member of
// that name in the files that include Qt.
#include "client/connection/packet_mailbox.h"

namespace tovi::test {

void bindSendView(CMailboxStorage& storage, CPacketMailbox& view) {
    view.bind(&storage.lock, &storage.slots, &storage.sendStatus);
}

}  // namespace tovi::test
