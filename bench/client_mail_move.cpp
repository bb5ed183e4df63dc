// Moving the user's mail to a new mail directory ("その他の設定"): 3 000 received-mail files
// (a 300-byte text each, plus 300 files of another user that stay), moved by CMailMover within
// one file system (links) and across two both ways (copies flushed to disk), where a second one
// can be had: /dev/shm, or --other DIR. Prints the wall time of each move and files per second, and
// checks that every file arrived whole and none stayed behind. The window runs the move on a thread
// of its own behind a progress dialog, so these times are how long that dialog is shown.
//
//   client_mail_move [--quick] [--files N] [--other DIR]
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "client/app/mail_mover.h"
#include "client/connection/message_file.h"
#include "platform/file.h"

using namespace tovi;

static const char* BENCH = "client_mail_move";

namespace {

bool makeMail(const std::string& dir, int files) {
    const std::string text = "[Subject]:_[bench]_" + std::string(281, 'x');
    for (int i = 0; i < files + files / 10; ++i) {
        MailHead head;
        std::snprintf(head.owner, sizeof head.owner, "%s", i < files ? "alice" : "bob");
        std::snprintf(head.peer, sizeof head.peer, "carol");
        head.time = 1700000000 + i;
        head.token = 1;
        if (!CMessageFile::write(dir, CMessageFile::receivedName(1700000000 + i, 0), head,
                                 text.data(), text.size()))
            return false;
    }
    return true;
}

// One move; false (with the reason printed) when a file is missing, torn or left behind.
bool measure(const char* label, const std::string& from, const std::string& to, int files,
             std::vector<JsonField>& json, const char* key) {
    if (!makeDirectories(from) || !makeDirectories(to) || !makeMail(from, files)) {
        std::printf("FAILED: %s: the files could not be made\n", label);
        return false;
    }
    CMailMover mover(from, to, "alice");
    const int64_t started = benchMicros();
    mover.run();
    const double seconds = double(benchMicros() - started) / 1e6;
    const size_t arrived = findFiles(to, "_TovicR*").size();
    const size_t stayed = findFiles(from, "_TovicR*").size();
    bool whole = true;
    for (const std::string& name : findFiles(to, "_TovicR*")) {
        MailHead head;
        std::string text;
        whole = whole && CMessageFile::read(to + name, head, &text) && text.size() == 300;
    }
    printFigure(std::string(label) + ", " + std::to_string(files) + " files", seconds, "s");
    printFigure(std::string(label) + ", rate", files / seconds, "files/s");
    json.push_back(jsonNumber(key, seconds));
    if (mover.left() != 0 || arrived != size_t(files) || stayed != size_t(files / 10) || !whole) {
        std::printf("FAILED: %s: %zu arrived, %zu stayed, %d left, whole %d\n", label, arrived,
                    stayed, mover.left(), whole ? 1 : 0);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argFlag(argc, argv, "--quick");
    const int files = std::stoi(argValue(argc, argv, "--files", quick ? "300" : "3000"));
    std::string other = argValue(argc, argv, "--other", "/dev/shm");
    std::printf("moving %d mail files of one user to a new mail directory\n", files);

    const std::string root = makeTempDirectory("tovi-bench-move-");
    std::vector<JsonField> json{jsonText("bench", BENCH), jsonInteger("files", files)};
    bool ok = measure("one file system", root + "/a/", root + "/b/", files, json, "same_fs_s");

    struct stat here {
    }, there{};
    std::string second;
    if (::stat(root.c_str(), &here) == 0 && ::stat(other.c_str(), &there) == 0 &&
        here.st_dev != there.st_dev) {
        second = other + "/tovi-bench-move-" + std::to_string(::getpid()) + "/";
        ok = measure("across file systems", root + "/c/", second, files, json, "cross_fs_s") && ok;
        // The other way the copies are flushed to the disk, two flushes per file.
        ok = measure("back to this file system", second + "back/", root + "/d/", files, json,
                     "cross_fs_back_s") &&
             ok;
    } else {
        std::printf("  (no second file system at %s: the copy across is not measured)\n",
                    other.c_str());
    }
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    if (!second.empty()) std::filesystem::remove_all(second, ec);
    json.push_back(jsonBool("ok", ok));
    printJsonLine(json);
    return ok ? 0 : 1;
}
