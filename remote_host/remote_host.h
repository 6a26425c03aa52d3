// What the remote-host simulator makes of one request file: its number, its fields, the page it
// answers with. Kept apart from the folder watching so that it can be tested on its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trackrelay::remote_host {

// The number text N of a complete request file "N.DAT", N a tracking number as the program
// writes it (-32768 to 32767, no plus sign, no leading zero, no "-0"), or nothing for any other
// name: above all "tN.DAT", which the program is still writing.
std::optional<std::string> RequestNumberOf(std::string_view file_name);

// Whether a name has a request's shape ("N.DAT", N an optional minus sign and digits) and yet
// no number that the program writes: a file of somebody else's, never served, since no request
// waits for its answer and its answer's name may be more than a folder holds.
bool IsMisnamedRequest(std::string_view file_name);

// The form input a request file carries: its content without the CR LF the program ends it with.
std::string_view FormInputOf(std::string_view request_file_content);

// Form-urlencoded fields in the order sent: split at "&", each at its first "=", name and value
// both decoded. A piece without "=" is a name with an empty value; empty pieces are skipped.
std::vector<std::pair<std::string, std::string>> ParseFormFields(std::string_view form_input);

// Text made safe to stand in HTML: the markup characters and every control character other than
// the tab become character references, so a field cannot add markup or break the page's lines.
std::string EscapeHtml(std::string_view text);

// The response file for request N: an HTML document whose lines each end in CR LF.
std::string BuildResponsePage(std::string_view number, std::string_view form_input);

}  // namespace trackrelay::remote_host
