#include "server/app/window_entry.h"

#include <type_traits>

#include "server/app/windowed_server.h"

// tovis calls the entry through this type.
static_assert(std::is_same_v<decltype(&tovis_window_run_1), tovi::WindowEntry>);

// The module is built with hidden symbols; this is the one it exports.
extern "C" __attribute__((visibility("default"))) int tovis_window_run_1(
    const char* configDirectory, int argc, char** argv) {
    return tovi::CWindowedServer(configDirectory).run(argc, argv);
}
