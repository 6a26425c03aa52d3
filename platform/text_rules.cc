// Names in paths and forms, the same on every platform.
#include "platform/text_rules.h"

namespace trackrelay {

std::vector<std::string> PathNames(std::string_view path) {
  std::vector<std::string> names;
  for (std::size_t at = 0;;) {
    const std::size_t end = path.find_first_of("\\/", at);
    names.emplace_back(path.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
    if (end == std::string_view::npos) return names;
    at = end + 1;
  }
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

std::string InOtherCase(std::string_view text) {
  std::string other(text);
  for (char& c : other) {
    if (IsAsciiLetter(c)) c = static_cast<char>(c ^ 0x20);
  }
  return other;
}

}  // namespace trackrelay
