#include "client/connection/unsaved_mail.h"

#include <cstring>

#include "client/connection/message_file.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace tovi {

bool CUnsavedMail::add(KeptMail mail) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_mails.size() >= MAX) return false;
    m_mails.push_back(std::move(mail));
    m_count.store(m_mails.size());
    return true;
}

bool CUnsavedMail::storeInOrder(const std::function<bool(const KeptMail&)>& store) {
    std::lock_guard<std::mutex> hold(m_lock);
    while (!m_mails.empty()) {
        if (!store(m_mails.front())) return false;
        m_mails.pop_front();
        m_count.store(m_mails.size());
    }
    return true;
}

size_t CUnsavedMail::writeAll(const std::string& fsDir, const char* owner) {
    if (count() == 0) return 0;
    if (!isDirectory(fsDir) && !makeDirectories(fsDir)) return 0;
    size_t written = 0;
    int n = 0;
    const int32_t t = nowSeconds();
    storeInOrder([&](const KeptMail& mail) {
        MailHead head;
        std::strncpy(head.owner, owner, NAME_FIELD_SIZE);
        head.time = mail.time;
        head.box = CMessageFile::BOX_RECEIVED;
        std::memcpy(head.peer, mail.sender, sizeof head.peer);
        head.token = mail.token;
        std::string temporary;
        if (!CMessageFile::writeTemporary(fsDir, head, mail.text.data(), mail.text.size(),
                                          temporary))
            return false;
        for (; n <= CMessageFile::MAX_RECEIVED_INDEX; ++n) {
            const CMessageFile::PlaceResult placed =
                CMessageFile::placeNew(temporary, fsDir, CMessageFile::receivedName(t, n));
            if (placed == CMessageFile::PLACE_FAILED) return false;
            if (placed == CMessageFile::PLACED) {
                ++written;
                return true;
            }
        }
        removeFile(temporary);
        return false;
    });
    return written;
}

}  // namespace tovi
