#include "remote_host/remote_host.h"

#include "cgi/form_input.h"

namespace trackrelay::remote_host {

namespace {

constexpr std::string_view kRequestExtension = ".DAT";
// Every line of the page ends so, the line end the program reads lines by.
constexpr std::string_view kLineEnd = "\r\n";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char LowerCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The N of "N.DAT" when N is an optional minus sign and digits; nothing for any other name.
std::optional<std::string_view> DigitsOf(std::string_view file_name) {
  if (!file_name.ends_with(kRequestExtension)) return std::nullopt;
  std::string_view number = file_name.substr(0, file_name.size() - kRequestExtension.size());
  std::string_view digits = number.starts_with('-') ? number.substr(1) : number;
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (!IsDigit(c)) return std::nullopt;
  }
  return number;
}

// Whether the digits are a number as the program writes one: a 16-bit number in its shortest
// decimal form, the same text that it names its request and waits for the answer by.
bool IsTrackingNumber(std::string_view number) {
  // "-32768" is the longest; longer text is no number of the program's, however it reads.
  if (number.size() > 6) return false;
  const int value = std::stoi(std::string(number));
  return value >= -32768 && value <= 32767 && std::to_string(value) == number;
}

}  // namespace

std::optional<std::string> RequestNumberOf(std::string_view file_name) {
  const std::optional<std::string_view> number = DigitsOf(file_name);
  if (!number || !IsTrackingNumber(*number)) return std::nullopt;
  return std::string(*number);
}

bool IsMisnamedRequest(std::string_view file_name) {
  const std::optional<std::string_view> number = DigitsOf(file_name);
  return number && !IsTrackingNumber(*number);
}

std::string_view FormInputOf(std::string_view request_file_content) {
  if (request_file_content.ends_with(kLineEnd)) request_file_content.remove_suffix(kLineEnd.size());
  return request_file_content;
}

std::vector<std::pair<std::string, std::string>> ParseFormFields(std::string_view form_input) {
  std::vector<std::pair<std::string, std::string>> fields;
  while (true) {
    std::size_t amp = form_input.find('&');
    std::string_view piece = form_input.substr(0, amp);
    if (!piece.empty()) {
      std::size_t eq = piece.find('=');
      std::string_view name = piece.substr(0, eq);
      std::string_view value = eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1);
      fields.emplace_back(DecodeFormValue(name), DecodeFormValue(value));
    }
    if (amp == std::string_view::npos) break;
    form_input.remove_prefix(amp + 1);
  }
  return fields;
}

std::string EscapeHtml(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      case '\'': escaped += "&#39;"; break;
      default:
        // A CR or LF would end the page's line early; the program relays lines, not bytes.
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
          escaped += "&#" + std::to_string(byte) + ";";
        } else {
          escaped += c;
        }
    }
  }
  return escaped;
}

std::string BuildResponsePage(std::string_view number, std::string_view form_input) {
  std::string page;
  auto line = [&page](std::string_view text) {
    page += text;
    page += kLineEnd;
  };
  const std::string n = EscapeHtml(number);
  line("<!DOCTYPE html>");
  line("<html>");
  line("<head>");
  // The demo's form page is UTF-8, so a browser sends its fields so.
  line("<meta charset=\"utf-8\">");
  line("<title>Tracking number " + n + "</title>");
  line("</head>");
  line("<body>");
  line("<h1>Tracking number " + n + "</h1>");
  line("<p>The remote host has received a request with these fields:</p>");
  line("<table border=\"1\">");
  line("<tr><th>Field</th><th>Value</th></tr>");
  const auto fields = ParseFormFields(form_input);
  for (const auto& [name, value] : fields) {
    line("<tr><td>" + EscapeHtml(name) + "</td><td>" + EscapeHtml(value) + "</td></tr>");
  }
  if (fields.empty()) line("<tr><td colspan=\"2\">(none)</td></tr>");
  line("</table>");
  line("<p>Form input as sent: <code>" + EscapeHtml(form_input) + "</code></p>");
  line("</body>");
  line("</html>");
  return page;
}

std::filesystem::path ExchangeFolderBelow(const std::filesystem::path& root, std::string_view drive_path) {
  // "X:\a\b\": the drive's letter lower-cased, then each name between the backslashes.
  std::filesystem::path folder = root / std::string(1, LowerCase(drive_path.front()));
  std::string_view rest = drive_path.substr(drive_path.find('\\') + 1);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\\');
    if (end != 0) folder /= std::string(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return folder;
}

}  // namespace trackrelay::remote_host
