// tovisctl: controls a running Tovi server through its control socket (see tovis_ctl.h).
#include <cstdio>
#include <string>
#include <vector>

#include "server/ctl/tovis_ctl.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return tovi::CTovisCtl(stdout, stderr).run(args);
}
