// The registration rules: the changed flag, the address read back, what is never accepted.
#include "client/dialogs/registration.h"

#include <gtest/gtest.h>

#include "dialog_test_support.h"

namespace tovi {
namespace {

using test::cp932;

TEST(Registration, ChangedFlagComparesByteForByte) {
    CRegistration same(1, "192.168.200.1", "A", "G");
    EXPECT_EQ(same.accept("192.168.200.1", "A", "G"), "");
    EXPECT_EQ(same.changed(), 0);

    CRegistration locked(0, "192.168.200.1", "A", "G");
    EXPECT_FALSE(locked.addressEditable());
    EXPECT_EQ(locked.accept("10.0.0.9", "B", "G"), "");  // a locked field cannot change it
    EXPECT_EQ(locked.changed(), 1);
    EXPECT_EQ(locked.name(), "B");
    EXPECT_EQ(locked.address(), "192.168.200.1");

    CRegistration caseOnly(1, "10.0.0.1", "abc", "G");
    EXPECT_EQ(caseOnly.accept("10.0.0.1", "ABC", "G"), "");
    EXPECT_EQ(caseOnly.changed(), 1);

    CRegistration first(1, "", "", "");
    EXPECT_EQ(first.accept("10.0.0.1", cp932("山田"), cp932("営業")), "");
    EXPECT_EQ(first.changed(), 1);
    EXPECT_EQ(first.address(), "10.0.0.1");
}

TEST(Registration, AddressIsReadAsFourNumbers) {
    EXPECT_EQ(CRegistration::readAddressField("010.000.000.001"), "10.0.0.1");
    EXPECT_EQ(CRegistration::readAddressField("10.1"), "10.1.0.0");
    EXPECT_EQ(CRegistration::readAddressField(""), "0.0.0.0");
    EXPECT_EQ(CRegistration::readAddressField("1.2.3.4.5"), "1.2.3.4");
    EXPECT_EQ(CRegistration::readAddressField("999.2.3.4"), "255.2.3.4");
}

TEST(Registration, UneditedAddressIsKeptByteForByte) {
    // A host name written into Tovic.ini by hand survives both modes while the field is left.
    for (int firstRun : {0, 1}) {
        CRegistration r(firstRun, "mailhost.local", "A", "G");
        EXPECT_EQ(r.shownAddress(), "mailhost.local");
        EXPECT_EQ(r.accept("mailhost.local", "B", "G"), "");
        EXPECT_EQ(r.address(), "mailhost.local");
    }
    CRegistration padded(1, "192.168.001.001", "A", "G");
    EXPECT_EQ(padded.accept("192.168.001.001", "A", "G"), "");
    EXPECT_EQ(padded.changed(), 0);
    EXPECT_EQ(padded.accept("192.168.001.002", "A", "G"), "");
    EXPECT_EQ(padded.address(), "192.168.1.2");
}

TEST(Registration, NeverAcceptsAnEmptyNameOrGroupOrNoAddress) {
    CRegistration r(1, "", "", "");
    const std::string noAddress = cp932("サーバアドレスを入力してください。\n");
    EXPECT_EQ(r.accept("", "A", "G"), noAddress);
    EXPECT_EQ(r.accept("0.0.0.0", "A", "G"), noAddress);
    EXPECT_EQ(r.accept("0.0", "A", "G"), noAddress);
    EXPECT_EQ(r.accept("10.0.0.1", "", "G"), cp932("ユーザ名を入力してください。\n"));
    EXPECT_EQ(r.accept("10.0.0.1", "A", ""), cp932("ユーザグループを入力してください。\n"));
    EXPECT_EQ(r.changed(), 0);
    CRegistration locked(0, "10.0.0.1", "A", "G");
    EXPECT_EQ(locked.accept("", "", "G"), cp932("ユーザ名を入力してください。\n"));
    EXPECT_EQ(locked.name(), "A");
}

}  // namespace
}  // namespace tovi
