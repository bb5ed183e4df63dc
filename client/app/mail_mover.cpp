#include "client/app/mail_mover.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "client/connection/message_file.h"
#include "platform/file.h"
#include "protocol/packets.h"

namespace tovi {

namespace {

bool sameDirectory(const std::string& a, const std::string& b) {
    std::error_code ec;
    const bool same = std::filesystem::equivalent(a, b, ec);
    return !ec && same;
}

}  // namespace

bool CMailMover::moveOne(const std::string& from, const std::string& to) {
    // A link is not made over an existing file, so a file written into the new directory
    // meanwhile is never replaced.
    std::error_code ec;
    std::filesystem::create_hard_link(from, to, ec);
    if (!ec) return removeFile(from);
    if (ec == std::errc::file_exists) return false;
    // Another file system (or no links there): copy, flush, then let the old file go.
    std::string data;
    if (!readWholeFile(from, data)) return false;
    // A name that neither list pattern matches while the copy is incomplete.
    const std::string companion = directoryOf(to) + "/_Tovic~move" + to.substr(to.rfind('/') + 1);
    CFile out;
    bool ok = out.open(companion, CFile::CREATE_TRUNCATE) && out.write(data.data(), data.size()) &&
              out.sync();
    ok = out.close() && ok;
    if (ok) {
        std::filesystem::create_hard_link(companion, to, ec);
        // Without links on that file system: a rename, after a last look for a file there.
        if (ec && ec != std::errc::file_exists && !fileExists(to))
            ec.clear(), ok = renameFile(companion, to);
        else
            ok = !ec;
    }
    removeFile(companion);
    if (!ok) return false;
    syncDirectory(directoryOf(to));
    return removeFile(from);
}

CMailMover::CMailMover(std::string oldFsDir, std::string newFsDir, std::string userName)
    : m_old(std::move(oldFsDir)), m_new(std::move(newFsDir)), m_user(std::move(userName)) {}

void CMailMover::run() {
    struct Finish {
        std::atomic<bool>& flag;
        ~Finish() { flag.store(true); }
    } finish{m_finished};
    if (sameDirectory(m_old.empty() ? "." : m_old, m_new.empty() ? "." : m_new)) return;
    std::vector<std::string> names;
    for (const std::string& name : findFiles(m_old, "_Tovic*")) {
        if (name.size() >= 25 || name.rfind("_Tovic~", 0) == 0) continue;
        CFile file;
        char head[48];
        if (!file.open(m_old + name, CFile::READ) || !file.readExact(head, sizeof head)) continue;
        file.close();
        char owner[NAME_BUFFER_SIZE];
        getName(head, owner);
        if (m_user == owner) names.push_back(name);
    }
    m_total.store(static_cast<int>(names.size()));
    for (const std::string& name : names) {
        if (m_stop.load()) {
            m_left.fetch_add(m_total.load() - m_done.load());
            break;
        }
        if (!moveOne(m_old + name, m_new + name)) m_left.fetch_add(1);
        m_done.fetch_add(1);
    }
    syncDirectory(m_new.empty() ? "." : m_new);
}

bool CMailMover::moveMailFiles(const std::string& oldFsDir, const std::string& newFsDir,
                               const std::string& userName) {
    CMailMover mover(oldFsDir, newFsDir, userName);
    mover.run();
    return mover.left() == 0;
}

}  // namespace tovi
