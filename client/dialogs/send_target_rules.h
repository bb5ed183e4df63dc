// CSendTargetRules: what the destination dialog "メール送信先" shows and accepts, without the
// widgets. It fills the sorted group drop-down and the member list from a CUserDirectory,
// preselects the user's own group, tracks the send type chosen with the five radio buttons and
// which lists are enabled, and decides OK (the four refusals). CSendTargetDlg mirrors it.
//
// Texts are cp932. User-interface thread only.
#pragma once

#include <cstdint>
#include <string>

#include "client/dialogs/sorted_text_list.h"
#include "client/dialogs/user_directory.h"

namespace tovi {

class CSendTargetRules {
  public:
    static constexpr int SEND_NONE = 0;
    // Length of the connection mark in front of each member entry ("○  " or "×  ").
    static constexpr size_t MARK_BYTES = 4;

    // directory may be null (both lists stay empty). ownGroup: GROUP of the settings. Fills the
    // group list, preselects the own group and fills the member list, as the dialog's opening.
    CSendTargetRules(const CUserDirectory* directory, const std::string& ownGroup);

    const CSortedTextList& groups() const { return m_groups; }
    const CSortedTextList& members() const { return m_members; }
    int selectedGroup() const { return m_selectedGroup; }    // -1: none
    int selectedMember() const { return m_selectedMember; }  // -1: none
    bool groupsFilled() const { return m_groupsFilled; }

    // A group chosen in the drop-down (-1: none); refills the member list, clearing its
    // selection.
    void selectGroup(int index);
    // A member selected in the list: the send type becomes SEND_TO_USER and both lists enabled.
    void selectMember(int index);
    // One of the five radio buttons (send type 1 to 5).
    void chooseSendType(int32_t type);

    int32_t sendType() const { return m_sendType; }
    bool memberListEnabled() const { return m_memberListEnabled; }
    bool groupListEnabled() const { return m_groupListEnabled; }

    // OK: an empty string when accepted (group() and, for SEND_TO_USER, chosenUser() are set),
    // otherwise the refusal text to show; the dialog then stays open.
    std::string accept();
    const std::string& group() const { return m_group; }
    const std::string& chosenUser() const { return m_chosenUser; }

    // A member entry: the mark for the connected flag followed by the name.
    static std::string memberEntry(uint32_t connected, const std::string& name);

  private:
    void fillMembers();

    const CUserDirectory* m_directory;
    CSortedTextList m_groups;
    CSortedTextList m_members;
    int m_selectedGroup = -1;
    int m_selectedMember = -1;
    bool m_groupsFilled = false;
    int32_t m_sendType = SEND_NONE;
    bool m_memberListEnabled = false;
    bool m_groupListEnabled = false;
    std::string m_group;
    std::string m_chosenUser;
};

}  // namespace tovi
