#include "client/connection/unsaved_mail.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "client/connection/message_file.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace tovi {

bool CUnsavedMail::add(KeptMail mail, size_t limit) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_mails.size() >= limit) return false;
    m_mails.push_back(std::move(mail));
    m_count.store(m_mails.size());
    return true;
}

bool CUnsavedMail::storeInOrder(const std::function<bool(const KeptMail&)>& store) {
    // One storer at a time (so that nothing is stored twice); the list itself is locked only
    // while a mail is taken out or put back, so that adding never waits for the disk.
    std::lock_guard<std::mutex> storing(m_storeLock);
    for (;;) {
        KeptMail mail;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_mails.empty()) return true;
            mail = std::move(m_mails.front());
            m_mails.pop_front();
        }
        if (!store(mail)) {
            std::lock_guard<std::mutex> hold(m_lock);
            m_mails.push_front(std::move(mail));
            return false;
        }
        std::lock_guard<std::mutex> hold(m_lock);
        m_count.store(m_mails.size());
    }
}

bool KeptMail::fromDelivery(const char* body, size_t length, KeptMail& mail, int32_t& kind) {
    if (length < DELIVERY_HEADER_SIZE) return false;
    mail.time = getInt32(body);
    kind = getInt32(body + 4);
    getName(body + 8, mail.sender);
    mail.token = getInt32(body + 28);
    mail.text.assign(body + DELIVERY_HEADER_SIZE, length - DELIVERY_HEADER_SIZE);
    return true;
}

size_t CUnsavedMail::writeAll(const std::string& fsDir, const char* owner, bool create) {
    if (count() == 0) return 0;
    if (!isDirectory(fsDir) && !(create && makeDirectories(fsDir))) return 0;
    // At the end of the program there may be hundreds: each file is written and placed without a
    // flush of its own, and the file system is flushed once for all of them.
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
        head.textLength = static_cast<int32_t>(mail.text.size());
        char bytes[CMessageFile::HEAD_SIZE];
        CMessageFile::encodeHead(head, bytes);
        CFile file;
        std::string temporary;
        if (!file.createUnique(fsDir + CMessageFile::TEMPORARY_PREFIX, temporary)) return false;
        bool ok = file.write(bytes, sizeof bytes) &&
                  (mail.text.empty() || file.write(mail.text.data(), mail.text.size()));
        ok = file.close() && ok;
        for (; ok && n <= CMessageFile::MAX_RECEIVED_INDEX; ++n) {
            const MoveResult moved =
                moveNoReplace(temporary, fsDir + CMessageFile::receivedName(t, n));
            if (moved == MOVE_FAILED) break;
            if (moved == MOVE_DONE) {
                ++written;
                return true;
            }
        }
        removeFile(temporary);
        return false;
    });
    if (written > 0) {
        const int fd = ::open(fsDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::syncfs(fd);
            ::close(fd);
        }
    }
    return written;
}

}  // namespace tovi
