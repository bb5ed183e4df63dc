// Any Tovic.ini (hand-written, older, damaged): loading it stays in bounds and keeps each text
// within its field, and a value written into it afterwards reads back exactly as written.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client/dialogs/client_settings.h"
#include "fuzz/fuzz_scratch.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "ui/scripted_message_boxes.h"

using namespace tovi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CScriptedMessageBoxes boxes;
    boxes.clear();
    const std::string path = fuzzScratchDirectory() + "Tovic.ini";
    // The first bytes up to the first NUL (at most 40) are a value; the rest is the file.
    std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = std::min<size_t>(input.find('\0'), std::min<size_t>(size, 40));
    const std::string value = input.substr(0, split);
    const std::string file = input.substr(std::min(size, split + 1));
    if (!replaceFileAtomically(path, file)) return 0;

    CClientSettings settings;
    if (settings.load(path) != 1) abort();
    if (settings.address().size() > CClientSettings::ADDRESS_WIDTH ||
        settings.name().size() > CClientSettings::NAME_WIDTH ||
        settings.group().size() > CClientSettings::GROUP_WIDTH ||
        settings.dir().size() > CClientSettings::DIR_WIDTH ||
        settings.saveDir().size() > CClientSettings::SAVE_DIR_WIDTH)
        abort();

    CIniFile ini(path);
    const std::string before = ini.getString("USER", "GROUP", "\x01missing");
    if (value.find_first_of("\r\n") != std::string::npos) {
        if (ini.writeString("USER", "NAME", value)) abort();  // would split the line
        return 0;
    }
    if (!ini.writeString("USER", "NAME", value)) abort();
    if (ini.getString("USER", "NAME", "\x01missing") != value) abort();
    // Other keys keep their values.
    if (ini.getString("USER", "GROUP", "\x01missing") != before) abort();
    return 0;
}
