// The registration rules: the changed flag, the address read back, what is never accepted.
#include "client/dialogs/registration.h"

#include <gtest/gtest.h>

#include "dialog_test_support.h"

namespace tovi {
namespace {

using test::cp932;

struct Case {
    int firstRun;
    std::string stored, typed;  // address as stored and in the field
    std::string name, group;    // typed; the stored ones are "A" and "G" unless the run is first
    std::string refusal;        // empty when accepted
    int changed;
    std::string address;  // the address taken
};

// The changed flag compares byte for byte (a name differing in case is a change). A locked
// field cannot change the address, and an address the user did not edit is kept byte for byte
// (a host name written into Tovic.ini by hand survives both modes).
TEST(Registration, ChangedFlagAndTheAddressTakenOrTheRefusal) {
    const std::string noAddress = cp932("サーバアドレスを入力してください。\n");
    const std::string noName = cp932("ユーザ名を入力してください。\n");
    const Case cases[] = {
        {1, "192.168.200.1", "192.168.200.1", "A", "G", "", 0, "192.168.200.1"},
        {0, "192.168.200.1", "10.0.0.9", "B", "G", "", 1, "192.168.200.1"},
        {1, "10.0.0.1", "10.0.0.1", "a", "G", "", 1, "10.0.0.1"},
        {0, "mailhost.local", "mailhost.local", "B", "G", "", 1, "mailhost.local"},
        {1, "mailhost.local", "mailhost.local", "B", "G", "", 1, "mailhost.local"},
        {1, "192.168.001.001", "192.168.001.001", "A", "G", "", 0, "192.168.001.001"},
        {1, "192.168.001.001", "192.168.001.002", "A", "G", "", 1, "192.168.1.2"},
        {1, "", "", "A", "G", noAddress, 0, ""},
        {1, "", "0.0.0.0", "A", "G", noAddress, 0, ""},
        {1, "", "0.0", "A", "G", noAddress, 0, ""},
        {1, "", "10.0.0.1", "", "G", noName, 0, ""},
        {1, "", "10.0.0.1", "A", "", cp932("ユーザグループを入力してください。\n"), 0, ""},
        {0, "10.0.0.1", "", "", "G", noName, 0, ""},
    };
    for (const Case& c : cases) {
        CRegistration r(c.firstRun, c.stored, "A", "G");
        EXPECT_EQ(r.addressEditable(), c.firstRun != 0);
        EXPECT_EQ(r.shownAddress(), c.stored);
        EXPECT_EQ(r.accept(c.typed, c.name, c.group), c.refusal) << c.typed << c.name;
        EXPECT_EQ(r.changed(), c.changed) << c.typed << c.name;
        EXPECT_EQ(r.name(), c.refusal.empty() ? c.name : "A");
        if (c.refusal.empty()) EXPECT_EQ(r.address(), c.address) << c.typed;
    }
    CRegistration first(1, "", "", "");
    EXPECT_EQ(first.accept("10.0.0.1", cp932("山田"), cp932("営業")), "");
    EXPECT_EQ(first.changed(), 1);
    EXPECT_EQ(first.group(), cp932("営業"));
}

TEST(Registration, AddressIsReadAsFourNumbers) {
    EXPECT_EQ(CRegistration::readAddressField("010.000.000.001"), "10.0.0.1");
    EXPECT_EQ(CRegistration::readAddressField("10.1"), "10.1.0.0");
    EXPECT_EQ(CRegistration::readAddressField(""), "0.0.0.0");
    EXPECT_EQ(CRegistration::readAddressField("1.2.3.4.5"), "1.2.3.4");
    EXPECT_EQ(CRegistration::readAddressField("999.2.3.4"), "255.2.3.4");
}

}  // namespace
}  // namespace tovi
