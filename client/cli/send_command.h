// `tovic --send`: sends one mail from a script, without a window and without a display. The body
// is read from standard input (UTF-8), converted to cp932 with the compose dialog's refusals and
// limits, and sent by a CCommandLineSender as the user of the configuration directory (or as
// --as NAME in --as-group GROUP, registered on first use). Every refusal is one line on stderr
// and an exit status of its own (SendResult); usage and statuses are in printSendUsage().
#pragma once

#include <cstdio>

namespace tovi {

// True when argv asks for the command-line sender ("--send" among the arguments).
bool wantsSendCommand(int argc, char** argv);

// Runs it: parses argv, reads the body from input, sends. Returns the exit status.
int runSendCommand(int argc, char** argv, FILE* input);

void printSendUsage(FILE* out);

}  // namespace tovi
