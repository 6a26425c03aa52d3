// SendLine: the one way trackrelay writes to the web server.
// Each call writes one line and its CR LF with a single WriteFile on StdOut, unbuffered.
#pragma once

#include <string_view>

namespace trackrelay {

// Writes text and CR LF to CgiEnvironment.StdOut, byte for byte. A failed or short write is
// lost silently: the caller goes on with its next line.
void SendLine(std::string_view text);

}  // namespace trackrelay
