// SendLine and SendText: the one way trackrelay writes to the web server.
// Each call is a single WriteFile on StdOut, unbuffered: a line and its CR LF, or a part of a line.
#pragma once

#include <string_view>

namespace trackrelay {

// Writes text and CR LF to CgiEnvironment.StdOut, byte for byte. A failed or short write is
// lost silently: the caller goes on with its next line.
void SendLine(std::string_view text);
// Writes text alone, byte for byte, with a single WriteFile: a part of a line too long to be held
// whole, whose end goes out with SendLine. Failures are lost as with SendLine.
void SendText(std::string_view text);

}  // namespace trackrelay
