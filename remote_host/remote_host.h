// What a remote host knows of the exchange (the program's wait, the folders below a drive root) and
// makes of one request file: its number, its fields, the page that the simulator answers with.
#pragma once

// Kept apart from the folder watching so that it can be tested on its own.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trackrelay::remote_host {

// How long the program waits for an answer after publishing its request: 450 looks, 100 ms
// apart. The exchange fixes this; a remote host knows it from there, not from the program's
// sources. Both ways of serving go by it (--exec's deadlines in exec_host.h).
inline constexpr std::chrono::milliseconds kProgramWait{45000};

// The folder of the exchange that drive_path names (kOutboundFolder, kInboundFolder) below a drive
// root of its own, as the program would find it below that root: "r:\fromnt\" below DIR is
// DIR/r/fromnt.
std::filesystem::path ExchangeFolderBelow(const std::filesystem::path& root, std::string_view drive_path);

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
