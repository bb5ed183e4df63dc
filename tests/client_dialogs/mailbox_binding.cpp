// Binds a mailbox view to the send worker's side of a mailbox storage.
#include "client/connection/packet_mailbox.h"

namespace tovi::test {

void bindSendView(CMailboxStorage& storage, CPacketMailbox& view) {
    view.bind(&storage.lock, &storage.mailSlots, &storage.sendStatus);
}

}  // namespace tovi::test
