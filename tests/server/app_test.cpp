// The server program: Tovis.ini at start-up, and tovis --headless as a process.
#include <gtest/gtest.h>
#include <signal.h>

#include "platform/clock.h"
#include "platform/cp932.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "protocol/packets.h"
#include "server/app/headless_server.h"
#include "server/app/server_settings.h"
#include "server_fixture.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

std::string contents(const std::string& path) {
    std::string data;
    readWholeFile(path, data);
    return data;
}

TEST(ServerSettingsFile, FirstStartCreatesTheFileWithPort6998AndNoHoldLimit) {
    CTempDir dir;
    const std::string ini = dir.file("Tovis.ini");
    CServerSettings settings;
    ASSERT_TRUE(settings.prepare(ini));
    EXPECT_EQ(settings.port(), 6998);
    EXPECT_EQ(settings.holdLimit(), 0);
    EXPECT_EQ(CIniFile(ini).getInt("SERVER", "PORT", 0), 6998);
    EXPECT_EQ(CIniFile(ini).getString("SERVER", "DELLIMIT", "absent"), "absent");
}

TEST(ServerSettingsFile, AGivenPortIsKeptAndTheFileLeftAloneAPortOfZeroCompleted) {
    CTempDir dir;
    const std::string ini = dir.file("Tovis.ini");
    const std::string text = "; office server\n[SERVER]\nPORT=7000\nDELLIMIT=864000\n";
    ASSERT_TRUE(replaceFileAtomically(ini, text));
    CServerSettings settings;
    ASSERT_TRUE(settings.prepare(ini));
    EXPECT_EQ(settings.port(), 7000);
    EXPECT_EQ(settings.holdLimit(), 864000);
    EXPECT_EQ(contents(ini), text);

    ASSERT_TRUE(replaceFileAtomically(ini, "[SERVER]\nPORT=0\n"));
    CServerSettings zero;
    ASSERT_TRUE(zero.prepare(ini));
    EXPECT_EQ(zero.port(), 6998);
    EXPECT_EQ(CIniFile(ini).getInt("SERVER", "PORT", 0), 6998);
}

TEST(ServerSettingsFile, AFailedWriteIsReportedAndKeepsTheOldValue) {
    CTempDir dir;
    const std::string ini = dir.file("Tovis.ini");
    CServerSettings settings;
    ASSERT_TRUE(settings.prepare(ini));
    CScriptedMessageBoxes boxes;
    CFileFaults::failRenamesTo("Tovis.ini");
    EXPECT_EQ(settings.setHoldLimit(86400), -1);
    EXPECT_FALSE(settings.setPort(7001));
    CFileFaults::reset();
    EXPECT_EQ(settings.holdLimit(), 0);
    EXPECT_EQ(settings.port(), 6998);
    std::string expected;
    ASSERT_TRUE(utf8ToCp932("初期化ファイルに設定失敗", expected));
    EXPECT_EQ(boxes.texts(), (std::vector<std::string>{expected, expected}));
    EXPECT_EQ(settings.setHoldLimit(0), 0);  // unchanged: nothing written, nothing shown
    EXPECT_EQ(boxes.texts().size(), 2u);
}

// The program listens on the configured port, holds its files in the configuration
// directory, applies DELLIMIT from the start, and ends on SIGTERM, disconnecting everybody.
TEST(HeadlessProgram, ServesOnTheConfiguredPortAndStopsOnSigterm) {
    CTempDir dir;
    const int port = freePort();
    const std::string ini = "[SERVER]\nPORT=" + std::to_string(port) + "\nDELLIMIT=86400\n";
    ASSERT_TRUE(replaceFileAtomically(dir.file("Tovis.ini"), ini));
    const std::string user = std::string(23, '\0');
    ASSERT_TRUE(replaceFileAtomically(
        dir.file("TovisUser.dat"),
        nameField("old") + nameField("g") + user + nameField("me") + nameField("g") + user));
    const std::string payload = int32Bytes(0) + nameField("s") + int32Bytes(1) + "stale";
    ASSERT_TRUE(replaceFileAtomically(dir.file("TovisBackMail.dat"),
                                      nameField("old") + int32Bytes(nowSeconds() - 2 * 86400) +
                                          int32Bytes(static_cast<int32_t>(payload.size())) +
                                          payload));
    ServerProcess tovis;
    ASSERT_TRUE(startTovis(dir.path(), tovis));
    ASSERT_TRUE(waitServerUp(port, 5000));

    CTestClient me;
    ASSERT_TRUE(me.connect(port));
    ASSERT_EQ(me.login("me"), LOGIN_ACCEPTED);
    EXPECT_TRUE(me.expectNothing(300));
    EXPECT_EQ(contents(dir.file("TovisBackMail.dat")), "");  // expired at the first log-in
    EXPECT_EQ(contents(dir.file("Tovis.ini")), ini);

    const int64_t stop = monotonicMs();
    ASSERT_EQ(::kill(tovis.pid, SIGTERM), 0);
    EXPECT_TRUE(me.waitClosed(5000));
    EXPECT_EQ(waitTovis(tovis, 5000), 0);
    EXPECT_LT(monotonicMs() - stop, 5000);
    EXPECT_EQ(readStderr(tovis), "");
}

TEST(HeadlessProgram, APortInUseEndsWithTheMessageAndExitCode1) {
    CTempDir dir;
    CTcpSocket occupant;
    ASSERT_TRUE(occupant.listen("", 0, 1));
    ASSERT_TRUE(replaceFileAtomically(
        dir.file("Tovis.ini"), "[SERVER]\nPORT=" + std::to_string(occupant.localPort()) + "\n"));
    ServerProcess tovis;
    ASSERT_TRUE(startTovis(dir.path(), tovis));
    EXPECT_EQ(waitTovis(tovis, 5000), 1);
    std::string expected;
    ASSERT_TRUE(cp932ToUtf8(CHeadlessServer::portFailureMessage(dir.path()), expected));
    EXPECT_EQ(readStderr(tovis), expected + "\n");
    EXPECT_NE(expected.find(dir.path() + "にある Tovis.ini"), std::string::npos);
    EXPECT_NE(expected.find(dir.path() + "にある Tovic.iniです。"), std::string::npos);
    EXPECT_EQ(expected.find("Windows"), std::string::npos);
}

}  // namespace
}  // namespace tovi::test
