#include "client/dialogs/send_target_rules.h"

#include "platform/cp932.h"
#include "protocol/packets.h"

namespace tovi {

CSendTargetRules::CSendTargetRules(const CUserDirectory* directory, const std::string& ownGroup)
    : m_directory(directory), m_members(false) {
    if (m_directory != nullptr) {
        bool complete = true;
        for (int i = 0; i < m_directory->count(); ++i) {
            if (m_groups.find(m_directory->group(i)) >= 0) continue;
            if (m_groups.insert(m_directory->group(i)) < 0) {
                complete = false;
                break;
            }
        }
        if (complete) {
            // The own group, matched whole ignoring case: a group that merely starts with the
            // same letters ("dev" and "devops") is another group.
            m_selectedGroup = ownGroup.empty() ? -1 : m_groups.find(ownGroup);
            m_groupsFilled = true;
        }
    }
    fillMembers();
}

std::string CSendTargetRules::memberEntry(uint32_t connected, const std::string& name) {
    static const std::string on = cp932Of("○  ");
    static const std::string off = cp932Of("×  ");
    return (connected != 0 ? on : off) + name;
}

void CSendTargetRules::fillMembers() {
    if (m_directory == nullptr || !m_groupsFilled || m_selectedGroup < 0) return;
    m_members.clear();
    m_selectedMember = -1;
    const std::string& group = m_groups.at(m_selectedGroup);
    for (int i = 0; i < m_directory->count(); ++i) {
        if (m_directory->group(i) != group) continue;
        m_members.insert(memberEntry(m_directory->connected(i), m_directory->name(i)));
    }
}

void CSendTargetRules::selectGroup(int index) {
    m_selectedGroup = (index >= 0 && index < m_groups.count()) ? index : -1;
    fillMembers();
}

void CSendTargetRules::selectMember(int index) {
    m_selectedMember = (index >= 0 && index < m_members.count()) ? index : -1;
    if (m_selectedMember >= 0) chooseSendType(SEND_TO_USER);
}

void CSendTargetRules::chooseSendType(int32_t type) {
    if (type < SEND_TO_USER || type > SEND_TO_ALL_CONNECTED) return;
    m_sendType = type;
    m_memberListEnabled = type == SEND_TO_USER;
    m_groupListEnabled =
        type == SEND_TO_USER || type == SEND_TO_GROUP || type == SEND_TO_GROUP_CONNECTED;
}

std::string CSendTargetRules::accept() {
    if (m_sendType == SEND_NONE) return cp932Of("送信タイプを選択してください。\n");
    const bool needsGroup = m_sendType == SEND_TO_USER || m_sendType == SEND_TO_GROUP ||
                            m_sendType == SEND_TO_GROUP_CONNECTED;
    if (needsGroup && m_selectedGroup < 0) return cp932Of("グループを選択してください。\n");
    if (m_selectedGroup < 0) return cp932Of("グループが正しく選択されていません。\n");
    m_group = m_groups.at(m_selectedGroup);
    if (m_sendType == SEND_TO_USER) {
        if (m_selectedMember < 0) return cp932Of("名前が選択されていません。\n");
        m_chosenUser = m_members.at(m_selectedMember).substr(MARK_BYTES);
    }
    return std::string();
}

}  // namespace tovi
