// The find bar's answer time: 1 500 mails of 20 000 bytes each (mixed Japanese and ASCII, one
// word only in the oldest mail's body) in a mail directory, listed as the inbox lists them. After
// each load the window reads every mail's text once, 20 mails per step between events
// (CMailFilter::prepare): the whole time, cold (the files' pages dropped from the cache first) and
// warm, and the longest step. Then every key press of three queries typed character by character
// searches memory (CMailFilter::match). Target: each key press, and each step, within 50 ms.
//
//   client_find_filter [--mails N]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "client/app/mail_filter.h"
#include "client/app/mailbox_list.h"
#include "client/connection/message_file.h"
#include "platform/cp932.h"

using namespace tovi;

static const char* BENCH = "client_find_filter";

// Drops the file's pages from the page cache (clean pages only, which these are after a sync).
static void dropFromCache(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

int main(int argc, char** argv) {
    const int mails = std::stoi(argValue(argc, argv, "--mails", "1500"));
    const std::string dir = makeTempDirectory("tovi-find-");
    if (dir.empty()) return benchFailure(BENCH, "no temporary directory");
    const std::string fsDir = dir + "/";

    // Filler: Japanese text with ASCII words, as cp932, to 20 000 bytes of text per file.
    std::string filler, line;
    utf8ToCp932("本日の会議は予定どおり行います。Status report: all systems nominal. ", line);
    while (filler.size() < 20000) filler += line;
    std::string needle;
    utf8ToCp932("ｾﾝﾀｰ移転計画", needle);
    for (int i = 0; i < mails; ++i) {
        std::string title;
        utf8ToCp932("定例報告", title);
        std::string text = "[Subject]:_[" + title + std::to_string(i) + "]_";
        text += filler.substr(0, 20000 - text.size());
        if (i == 0) text.replace(text.size() / 2, needle.size(), needle);
        MailHead head;
        std::snprintf(head.owner, sizeof head.owner, "bench");
        std::snprintf(head.peer, sizeof head.peer, "user%03d", i % 200);
        head.time = 1700000000 + i;
        head.token = 0;
        if (!CMessageFile::write(fsDir, CMessageFile::receivedName(1700000000 + i, 0), head,
                                 text.data(), text.size()))
            return benchFailure(BENCH, "writing the mail files failed");
    }
    const std::vector<MailRow> rows = CMailboxList::load(fsDir, "bench", INBOX);
    std::printf("%zu mails of 20000 bytes listed\n", rows.size());

    std::vector<JsonField> json{jsonInteger("mails", static_cast<long long>(rows.size()))};
    // After each load the window reads the texts in steps of 20 mails between events: the whole
    // time that takes, and the longest step (how long the window may be slow to answer then).
    const char* const phase[2] = {"cold", "warm"};
    CMailFilter filter;
    for (int warm = 0; warm < 2; ++warm) {
        if (!warm)
            for (const MailRow& row : rows) dropFromCache(fsDir + row.fileName);
        CMailFilter fresh;
        double worstStep = 0;
        const int64_t start = benchMicros();
        for (bool complete = false; !complete;) {
            const int64_t stepStart = benchMicros();
            complete = fresh.prepare(fsDir, rows, 20);
            worstStep = std::max(worstStep, (benchMicros() - stepStart) / 1000.0);
        }
        const double totalMs = (benchMicros() - start) / 1000.0;
        printFigure(std::string("texts read after a load, ") + phase[warm] + " cache", totalMs,
                    "ms");
        printFigure(std::string("  longest step of 20 mails, ") + phase[warm], worstStep, "ms",
                    "50 ms", worstStep <= 50 ? 1 : 0);
        json.push_back(jsonNumber(std::string("read_") + phase[warm] + "_ms", totalMs));
        json.push_back(jsonNumber(std::string("step_") + phase[warm] + "_worst_ms", worstStep));
        if (warm) filter = std::move(fresh);
    }

    // Typing, one character at a time: the word of the oldest mail, then an ASCII word that every
    // mail holds, then one that none holds.
    std::vector<double> keyMs;
    size_t lastMatches = 0;
    for (const char* query : {"センター移転計画", "status report", "zzzz not there"}) {
        const std::string all(query);
        std::string prefix;
        for (size_t i = 0; i < all.size();) {
            const unsigned char b = static_cast<unsigned char>(all[i]);
            const size_t n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
            prefix += all.substr(i, n);
            i += n;
            const int64_t start = benchMicros();
            lastMatches = filter.match(rows, prefix).size();
            keyMs.push_back((benchMicros() - start) / 1000.0);
        }
        std::printf("  \"%s\": %zu mails\n", query, lastMatches);
    }
    const double worst = *std::max_element(keyMs.begin(), keyMs.end());
    const double p50 = percentile(keyMs, 50);
    printFigure("key press, median", p50, "ms");
    printFigure("key press, worst", worst, "ms", "50 ms", worst <= 50 ? 1 : 0);
    json.push_back(jsonNumber("key_p50_ms", p50));
    json.push_back(jsonNumber("key_worst_ms", worst));
    json.push_back(jsonText("bench", BENCH));
    printJsonLine(json);
    removeTree(dir);
    return 0;
}
