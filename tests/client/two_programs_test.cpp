// Two real tovic programs that share one mail directory, against the real tovis: broadcasts reach
// both at the same moments, and every one of them is stored once for each user, none overwritten.
// Skipped when TOVI_BIN_DIR holds no tovic (the client program is built separately).
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "client/connection/message_file.h"
#include "support/test_support.h"

namespace tovi::test {
namespace {

// The sender: a bare connection that registers and then broadcasts, reading past the deliveries
// of its own broadcasts.
struct Broadcaster {
    CTcpSocket socket;
    // The next frame of the type; empty on time-out or a closed socket.
    std::string reply(int32_t type) {
        for (std::string got = readFrame(socket, 10000); !got.empty();
             got = readFrame(socket, 10000))
            if (getInt32(got.data()) == type) return got;
        return "";
    }
    bool ask(int32_t type, const std::string& body, int32_t answerType, std::string* answer) {
        return writeBytes(socket, frame(type, body)) && !(*answer = reply(answerType)).empty();
    }
    // True once every name is logged in, as the server's user list says.
    bool connected(const Names& names) {
        std::string list;
        if (!ask(PKT_USERLIST_REQ, int32s({USERLIST_FILTER_ALL}) + nameField(""), PKT_USERLIST,
                 &list))
            return false;
        std::set<std::string> on;
        UserRecord r;
        for (size_t i = 0; i < userRecordCount(list.size() - 8); ++i)
            if (parseUserRecord(list.data() + 8, list.size() - 8, i, r) && r.connected)
                on.insert(r.name);
        return std::all_of(names.begin(), names.end(), [&](auto& n) { return on.count(n); });
    }
};

TEST(TwoPrograms, ClientsSharingAMailDirectoryEachKeepEveryBroadcast) {
    if (!fileExists(ChildProgram::path("tovic")) || !fileExists(ChildProgram::path("tovis")))
        GTEST_SKIP() << "no tovic or tovis built";
    constexpr int BROADCASTS = 120;
    TempDir root;
    const std::string mail = root.path + "mail/", port = std::to_string(freePort());
    ASSERT_TRUE(makeDirectories(root.path + "server") && makeDirectories(mail));
    ASSERT_TRUE(
        replaceFileAtomically(root.path + "server/Tovis.ini", "[SERVER]\nPORT=" + port + "\n"));
    ServerProcess server;
    ASSERT_TRUE(server.start(root.path + "server") && waitServerUp(std::stoi(port), 10000));
    const Names users = {"ann", "ben"};
    ChildProgram clients[2];
    for (int i = 0; i < 2; ++i) {
        const std::string dir = root.path + users[i] + "/";
        ASSERT_TRUE(makeDirectories(dir + "runtime"));
        ASSERT_TRUE(replaceFileAtomically(dir + "Tovic.ini",
                                          "[SERVER]\nPORT=" + port +
                                              "\nADDRESS=127.0.0.1\n"
                                              "[USER]\nNAME=" +
                                              users[i] + "\nGROUP=office\nDIR=" + mail + "\n"));
        ASSERT_TRUE(
            clients[i].start("tovic", {"--config-dir", dir}, dir + "tovic.stderr",
                             {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + dir + "runtime"}));
    }
    Broadcaster boss;
    std::string answer;
    ASSERT_TRUE(boss.socket.connect("127.0.0.1", static_cast<uint16_t>(std::stoi(port)), 2000));
    ASSERT_TRUE(boss.ask(PKT_LOGIN, nameField("boss"), PKT_LOGIN_RESULT, &answer));
    ASSERT_TRUE(boss.ask(PKT_REGISTER, nameField("boss") + nameField("office"), PKT_REGISTER_RESULT,
                         &answer));
    ASSERT_EQ(answer, result(PKT_REGISTER_RESULT, 0));
    ASSERT_TRUE(eventually([&] { return boss.connected(users); }, 20000)) << "no log-in";

    std::multiset<std::string> expected;
    char body[PACKET_BUFFER_SIZE];
    for (int i = 0; i < BROADCASTS; ++i) {
        const std::string text = "[Subject]:_[all]_" + std::to_string(i);
        expected.insert(text);
        const size_t length = buildMail(body, SEND_TO_ALL, "", "", MAIL_MESSAGE, "boss",
                                        NOTICE_TOKEN_NONE, text.data(), text.size());
        ASSERT_TRUE(boss.ask(PKT_MAIL, std::string(body, length), PKT_MAIL_RESULT, &answer));
        ASSERT_EQ(answer, result(PKT_MAIL_RESULT, 0)) << i;
    }
    auto received = [&] {
        Names names = findFiles(mail, CMessageFile::RECEIVED_PATTERN);
        std::erase(names, CMessageFile::RECEIVED_FLAG);
        return names;
    };
    // Each worker pauses 20 ms after every taken name, so a burst takes a while.
    EXPECT_TRUE(eventually([&] { return received().size() >= 2 * BROADCASTS; }, 120000))
        << received().size();
    std::map<std::string, std::multiset<std::string>> byOwner;
    for (const std::string& name : received()) {
        MailHead head;
        std::string text;
        ASSERT_TRUE(CMessageFile::read(mail + name, head, &text)) << name;
        byOwner[head.owner].insert(text);
    }
    EXPECT_EQ(byOwner, (std::map<std::string, std::multiset<std::string>>{{"ann", expected},
                                                                          {"ben", expected}}));
    for (ChildProgram& c : clients) EXPECT_EQ(c.stop(SIGTERM, 10000), 0);
    EXPECT_TRUE(findFiles(mail, std::string(CMessageFile::TEMPORARY_PREFIX) + "*").empty());
}

}  // namespace
}  // namespace tovi::test
