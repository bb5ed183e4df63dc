// CRegistration: the decisions of the registration dialog "サーバにユーザ登録", without the
// widgets: the address the field shows, the address read back from it, and whether anything
// changed.
//
// The address field holds a dotted IPv4 address or a host name; a blank field reads as 0.0.0.0
// and missing or blank parts of dotted numbers as 0. The field takes what a person types on the
// way to either; OK judges it. An address the user did not edit is returned byte for byte as it was
// stored (a host name written into Tovic.ini by hand survives). OK is refused, with a message, for
// an empty name, an empty group, a name or group that begins or ends with a blank or a double
// quote, or (when the address can be edited) the address 0.0.0.0, so that nothing unusable is ever
// stored. Texts are cp932.
#pragma once

#include <string>

namespace tovi {

class CRegistration {
  public:
    static constexpr size_t NAME_LIMIT = 20;
    static constexpr size_t ADDRESS_LIMIT = 23;

    // firstRun non-zero: the address can be edited.
    CRegistration(int firstRun, const std::string& address, const std::string& name,
                  const std::string& group);

    bool addressEditable() const { return m_firstRun != 0; }
    // The text the address field starts with (blank for an empty address).
    const std::string& shownAddress() const { return m_previousAddress; }

    // OK with the address field's text (ASCII) and the name and group fields. An empty string
    // when accepted (changed(), address(), name(), group() are set), otherwise the refusal text
    // to show; the dialog then stays open.
    std::string accept(const std::string& addressField, const std::string& name,
                       const std::string& group);

    int changed() const { return m_changed; }
    const std::string& address() const { return m_address; }
    const std::string& name() const { return m_name; }
    const std::string& group() const { return m_group; }

    // False for a name or group that begins or ends with a space, a tab or a double quote.
    static bool keptAsTyped(const std::string& text);

    // Whether an edited address field can be taken: at most 23 bytes, either at most four dotted
    // numbers 0 to 255 or a host name (letters, digits, hyphens, dots).
    static bool typedAddressFits(const std::string& field);

    // "%d.%d.%d.%d" of the four numbers of a dotted field text (blank parts 0, each 0 to 255).
    static std::string readAddressField(const std::string& field);

  private:
    int m_firstRun;
    int m_changed = 0;
    std::string m_previousAddress;
    std::string m_previousName;
    std::string m_previousGroup;
    std::string m_address;
    std::string m_name;
    std::string m_group;
};

}  // namespace tovi
