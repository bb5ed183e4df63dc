// The server's one-line log events: each a single line on stderr (the journal when the server
// runs as a service), written whole with one write so that lines of two threads never mix.
// Events are rare by design (start, stop, refusals, changes made by the operator, failures);
// nothing is logged per mail.
//
// Any thread.
#pragma once

#include <functional>
#include <string>

namespace tovi {

// Writes "tovis: " + line and a line feed to stderr (or hands line to the sink).
void logEvent(const std::string& line);
// Tests catch the lines here instead of stderr (nullptr: stderr again).
void setEventLogSink(std::function<void(const std::string&)> sink);

}  // namespace tovi
