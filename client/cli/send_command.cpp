#include "client/cli/send_command.h"

#include <cstring>
#include <filesystem>
#include <string>

#include "client/cli/command_line_sender.h"
#include "client/cli/send_options.h"
#include "client/dialogs/client_settings.h"
#include "client/dialogs/compose_text.h"
#include "client/dialogs/cp932_input.h"
#include "platform/config_dir.h"
#include "platform/cp932.h"
#include "protocol/packets.h"

namespace tovi {

namespace {

// The composed text's longest input: a little more than the 19500 bytes a body may hold, so
// that a longer one is refused by its length rather than cut.
constexpr size_t MAX_INPUT_BYTES = 4 * 19500 + 1;

int refuse(int status, const std::string& line) {
    std::fprintf(stderr, "tovic: %s\n", line.c_str());
    return status;
}

std::string firstLine(const std::string& cp932) {
    std::string text = cp932ToUtf8Lossy(cp932);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// A text of the command line (UTF-8) as cp932 of at most limit bytes.
bool nameField(const std::string& utf8, const char* what, std::string& cp932, int& status,
               size_t limit = NAME_FIELD_SIZE) {
    if (!utf8ToCp932(utf8, cp932)) {
        status = refuse(SEND_NOT_CP932,
                        std::string(what) + " '" + utf8 + "' holds a character cp932 cannot hold");
        return false;
    }
    if (cp932.size() > limit) {
        status = refuse(SEND_TEXT_REFUSED, std::string(what) + " '" + utf8 + "' is longer than " +
                                               std::to_string(limit) + " bytes");
        return false;
    }
    return true;
}

}  // namespace

bool wantsSendCommand(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--send") == 0) return true;
    return false;
}

void printSendUsage(FILE* out) {
    std::fputs(
        "Usage: tovic --send (--to USER | --group GROUP [--connected] | --all [--connected])\n"
        "             --title TITLE [--config-dir DIR] [--as NAME --as-group GROUP --mail-dir "
        "DIR]\n"
        "             [--server HOST[:PORT]] [--save]\n"
        "Sends one mail whose body is read from standard input (UTF-8; the line break that ends\n"
        "its last line is dropped). No window, no display.\n"
        "\n"
        "  --to USER            to one user (held by the server while the user is offline)\n"
        "  --group GROUP        to every member of the group; with --connected only to those\n"
        "                       connected now\n"
        "  --all                to every user; with --connected only to those connected now\n"
        "  --title TITLE        the title (at most 64 bytes as cp932)\n"
        "  --config-dir DIR     log in as the user of DIR/Tovic.ini (server, name, group and\n"
        "                       mail directory; default as for tovic)\n"
        "  --as NAME            log in as NAME instead, registered in --as-group GROUP when the\n"
        "                       server does not know it; mail handed to NAME is stored in\n"
        "                       --mail-dir DIR\n"
        "  --server HOST[:PORT] the server (default: ADDRESS and PORT of Tovic.ini; port 6998)\n"
        "  --save               keep the mail in the sent box (a sent-mail file; removed again\n"
        "                       when the server refuses the mail)\n"
        "\n"
        "The name must not be logged in elsewhere: the server refuses a second log-in while the\n"
        "user's desktop client is connected. Mail the server hands to the user meanwhile is\n"
        "stored in the mail directory as the desktop client stores it.\n"
        "\n"
        "Exit status:\n"
        "   0  the server accepted the mail\n"
        "   1  another failure (a file could not be written, ...)\n"
        "   2  wrong command line\n"
        "   3  no server, name, group or mail directory to use\n"
        "   4  the title or body is not UTF-8 or holds a character cp932 cannot hold\n"
        "   5  the message is empty or too long (title 64 bytes, title and body 19500 bytes)\n"
        "   6  the server cannot be reached, or the connection was lost\n"
        "   7  the name is logged in elsewhere (its desktop client is connected)\n"
        "   8  the server refused the log-in or the registration\n"
        "   9  no such user, or the group has no members\n"
        "  10  --connected, and no recipient is connected (nothing was sent)\n"
        "  11  the server could not keep the mail for an offline recipient\n"
        "  12  mail handed to the user could not be stored in the mail directory\n",
        out);
}

int runSendCommand(int argc, char** argv, FILE* input) {
    CSendOptions options;
    std::string error;
    if (!options.parse(argc, argv, error)) {
        std::fprintf(stderr, "tovic: %s\n", error.c_str());
        std::fputs("Try 'tovic --send --help'.\n", stderr);
        return SEND_USAGE;
    }
    if (options.help) {
        printSendUsage(stdout);
        return SEND_OK;
    }

    // Who sends, from where.
    CCommandLineSender::Identity identity;
    CClientSettings settings;
    const std::string configDir = configDirectory(options.configDir);
    const std::string iniPath = configDir + "/Tovic.ini";
    const bool haveSettings = std::filesystem::exists(iniPath) && settings.load(iniPath) == 1;
    int status = SEND_OK;
    if (!options.as.empty()) {
        std::string mailDir = options.mailDir;
        std::error_code ec;
        const std::filesystem::path absolute = std::filesystem::absolute(mailDir, ec);
        if (!ec) mailDir = absolute.lexically_normal().string();
        if (mailDir.back() != '/') mailDir += '/';
        if (!nameField(options.as, "--as", identity.name, status) ||
            !nameField(options.asGroup, "--as-group", identity.group, status) ||
            !nameField(mailDir, "--mail-dir", identity.mailDirCp932, status,
                       CClientSettings::DIR_WIDTH))
            return status;
        if (!std::filesystem::is_directory(options.mailDir, ec))
            return refuse(SEND_NO_SETTINGS,
                          "the mail directory " + options.mailDir + " does not exist");
    } else if (!haveSettings || settings.name().empty() || settings.group().empty()) {
        return refuse(SEND_NO_SETTINGS, "no user in " + iniPath +
                                            ": register with tovic first, or give --as NAME "
                                            "--as-group GROUP --mail-dir DIR");
    } else {
        identity.name = settings.name();
        identity.group = settings.group();
        identity.mailDirCp932 = settings.dir();
        if (identity.mailDirCp932.empty())
            return refuse(SEND_NO_SETTINGS, "no mail directory in " + iniPath +
                                                ": mail handed over could not be kept");
    }
    identity.host = haveSettings ? settings.address() : std::string();
    identity.port =
        haveSettings && settings.port() != 0 ? settings.port() : CClientSettings::DEFAULT_PORT;
    if (!options.server.empty()) {
        int port = 0;
        CSendOptions::splitServer(options.server, identity.host, port);
        if (port != 0) identity.port = port;
    }
    if (identity.host.empty() || identity.host == "0.0.0.0")
        return refuse(SEND_NO_SETTINGS, "no server address: give --server HOST[:PORT]");

    std::string destUser, destGroup;
    if (!options.to.empty() && !nameField(options.to, "--to", destUser, status)) return status;
    if (!options.group.empty() && !nameField(options.group, "--group", destGroup, status))
        return status;

    // The text, with the compose dialog's rules.
    std::string bodyUtf8;
    char chunk[8192];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, input)) > 0;) {
        bodyUtf8.append(chunk, n);
        if (bodyUtf8.size() > MAX_INPUT_BYTES)
            return refuse(SEND_TEXT_REFUSED, "the body is longer than 19500 bytes");
    }
    // CR LF or LF line breaks as typed; the line break that ends the last line (echo, a here
    // document) is not part of the message.
    std::string lines;
    lines.reserve(bodyUtf8.size());
    for (size_t i = 0; i < bodyUtf8.size(); ++i)
        if (!(bodyUtf8[i] == '\r' && i + 1 < bodyUtf8.size() && bodyUtf8[i + 1] == '\n'))
            lines += bodyUtf8[i];
    if (!lines.empty() && lines.back() == '\n') lines.pop_back();
    if (options.title.find_first_of("\r\n") != std::string::npos)
        return refuse(SEND_TEXT_REFUSED, "--title must be one line");
    std::string title, body;
    if (!CCp932Input::fromWidget(options.title, title))
        return refuse(SEND_NOT_CP932,
                      "the title is not UTF-8 or holds a character cp932 "
                      "cannot hold");
    if (!CCp932Input::fromWidget(lines, body))
        return refuse(SEND_NOT_CP932,
                      "the body is not UTF-8 or holds a character cp932 "
                      "cannot hold");
    if (title.size() > static_cast<size_t>(CComposeText::TITLE_LIMIT))
        return refuse(
            SEND_TEXT_REFUSED,
            "--title: " + firstLine(CComposeText::fieldLimitText(CComposeText::TITLE_LIMIT)));
    const CComposeText::Verdict verdict = CComposeText::check(title, body);
    if (!verdict.accepted)
        return refuse(SEND_TEXT_REFUSED, verdict.messages.empty()
                                             ? "the message is refused"
                                             : firstLine(verdict.messages.back()));

    CCommandLineSender sender(identity);
    const SendResult result =
        sender.run(options.sendType(), destUser, destGroup, verdict.text, options.save);
    if (result != SEND_OK) return refuse(result, sender.message());
    return SEND_OK;
}

}  // namespace tovi
