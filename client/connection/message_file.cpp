#include "client/connection/message_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/cp932.h"
#include "platform/file.h"
#include "protocol/packets.h"

namespace tovi {

const char* const CMessageFile::RECEIVED_FLAG = "_TovicRecvUp";
const char* const CMessageFile::SENT_FLAG = "_TovicSendUp";
const char* const CMessageFile::RECEIVED_PATTERN = "_TovicR*";
const char* const CMessageFile::SENT_PATTERN = "_TovicS*";
const char* const CMessageFile::TEMPORARY_PREFIX = "_Tovic~";

namespace {

// The prefix every mail name starts with.
const char* const PREFIX = "_Tovic";

// Path of name in fsDir; false when it would pass the path limit.
bool buildPath(const std::string& fsDir, const std::string& name, std::string& path) {
    if (fsDir.size() + name.size() > CMessageFile::MAX_PATH_BYTES) return false;
    path = fsDir + name;
    return true;
}

}  // namespace

std::string CMessageFile::receivedName(int32_t t, int n) {
    char name[64];
    std::snprintf(name, sizeof name, "%sR%ld%d", PREFIX, static_cast<long>(t), n);
    return name;
}

std::string CMessageFile::sentName(int32_t t) {
    char name[64];
    std::snprintf(name, sizeof name, "%sS%ld", PREFIX, static_cast<long>(t));
    return name;
}

bool CMessageFile::fsDirectory(const std::string& dirCp932, std::string& fsDir) {
    std::string utf8;
    if (!cp932ToUtf8(dirCp932, utf8)) return false;
    if (!utf8.empty() && utf8.back() != '/') utf8 += '/';
    if (utf8.size() + NAME_ROOM > MAX_PATH_BYTES) return false;
    fsDir = utf8;
    return true;
}

void CMessageFile::encodeHead(const MailHead& head, char* out) {
    std::memset(out, 0, HEAD_SIZE);
    putName(out, head.owner);
    putInt32(out + 20, head.time);
    putInt32(out + 24, head.box);
    putName(out + 28, head.peer);
    putInt32(out + 48, head.token);
    putInt32(out + 52, head.textLength);
}

void CMessageFile::decodeHead(const char* in, MailHead& head) {
    getName(in, head.owner);
    head.time = getInt32(in + 20);
    head.box = getInt32(in + 24);
    getName(in + 28, head.peer);
    head.token = getInt32(in + 48);
    head.textLength = getInt32(in + 52);
}

bool CMessageFile::writeTemporary(const std::string& fsDir, MailHead head, const char* text,
                                  size_t textLength, std::string& temporaryPath) {
    if (textLength > 0x7fffffff || (textLength > 0 && text == nullptr)) return false;
    // The random part takes at most NAME_ROOM - 7 bytes, within the room every directory keeps.
    if (fsDir.size() + NAME_ROOM > MAX_PATH_BYTES) return false;
    head.textLength = static_cast<int32_t>(textLength);
    char bytes[HEAD_SIZE];
    encodeHead(head, bytes);

    CFile file;
    std::string path;
    if (!file.createUnique(fsDir + TEMPORARY_PREFIX, path)) return false;
    bool ok = file.write(bytes, HEAD_SIZE) && (textLength == 0 || file.write(text, textLength)) &&
              file.sync();
    ok = file.close() && ok;
    if (!ok) {
        removeFile(path);
        return false;
    }
    temporaryPath = path;
    return true;
}

CMessageFile::PlaceResult CMessageFile::placeNew(const std::string& temporaryPath,
                                                 const std::string& fsDir,
                                                 const std::string& name) {
    std::string path;
    if (!buildPath(fsDir, name, path)) {
        removeFile(temporaryPath);
        return PLACE_FAILED;
    }
    switch (moveNoReplace(temporaryPath, path)) {
        case MOVE_DONE:
            // The new name is the commit point; a failed directory flush does not undo it.
            syncDirectory(fsDir.empty() ? "." : fsDir);
            return PLACED;
        case MOVE_TARGET_EXISTS:
            return NAME_TAKEN;
        case MOVE_FAILED:
            break;
    }
    // The mail may stand under its new name already (only the temporary name could not go):
    // then it is placed, and the leftover temporary name is removed.
    struct stat placed, temporary;
    if (::stat(path.c_str(), &placed) == 0 && ::stat(temporaryPath.c_str(), &temporary) == 0 &&
        placed.st_ino == temporary.st_ino && placed.st_dev == temporary.st_dev) {
        removeFile(temporaryPath);
        return PLACED;
    }
    removeFile(temporaryPath);
    return PLACE_FAILED;
}

bool CMessageFile::write(const std::string& fsDir, const std::string& name, MailHead head,
                         const char* text, size_t textLength) {
    std::string path, temporary;
    if (!buildPath(fsDir, name, path) || !writeTemporary(fsDir, head, text, textLength, temporary))
        return false;
    if (!renameFile(temporary, path)) {
        removeFile(temporary);
        return false;
    }
    // The rename is the commit point; a failed directory flush does not undo it.
    syncDirectory(fsDir.empty() ? "." : fsDir);
    return true;
}

bool CMessageFile::read(const std::string& path, MailHead& head, std::string* text) {
    if (path.size() > MAX_PATH_BYTES) return false;
    CFile file;
    if (!file.open(path, CFile::READ)) return false;
    char bytes[HEAD_SIZE];
    if (!file.readExact(bytes, HEAD_SIZE)) return false;
    decodeHead(bytes, head);
    if (text == nullptr) return true;
    if (head.textLength < 0 || head.textLength > file.size() - static_cast<int64_t>(HEAD_SIZE))
        return false;
    text->assign(static_cast<size_t>(head.textLength), '\0');
    return head.textLength == 0 || file.readExact(text->data(), text->size());
}

CMessageFile::TokenResult CMessageFile::setToken(const std::string& path, int32_t token,
                                                 const char* owner) {
    if (path.size() > MAX_PATH_BYTES) return TOKEN_FAILED;
    CFile file;
    if (!file.open(path, CFile::READ_WRITE)) return fileExists(path) ? TOKEN_FAILED : TOKEN_NO_FILE;
    char bytes[TOKEN_OFFSET];
    if (!file.readExact(bytes, TOKEN_OFFSET)) return TOKEN_FAILED;
    if (owner != nullptr) {
        char fileOwner[NAME_BUFFER_SIZE];
        getName(bytes, fileOwner);
        if (!sameName(fileOwner, owner)) return TOKEN_NO_FILE;
    }
    char value[4];
    putInt32(value, token);
    if (!file.seek(TOKEN_OFFSET) || !file.write(value, sizeof value)) return TOKEN_FAILED;
    return file.close() ? TOKEN_WRITTEN : TOKEN_FAILED;
}

bool CMessageFile::raiseFlag(const std::string& fsDir, const char* flagName) {
    std::string path;
    if (!buildPath(fsDir, flagName, path)) return false;
    CFile file;
    const char zeros[2] = {0, 0};
    if (!file.open(path, CFile::CREATE_TRUNCATE) || !file.write(zeros, sizeof zeros)) return false;
    return file.close();
}

bool CMessageFile::takeFlag(const std::string& fsDir, const char* flagName) {
    std::string path;
    if (!buildPath(fsDir, flagName, path) || !fileExists(path)) return false;
    removeFile(path);
    return true;
}

}  // namespace tovi
