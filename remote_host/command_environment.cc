#include "remote_host/command_environment.h"

#include <algorithm>

#include "remote_host/remote_host.h"

namespace trackrelay::remote_host {

namespace {

bool SafeFieldName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

bool OwnVariable(std::string_view variable) {
  const std::string_view name = variable.substr(0, variable.find('='));
  return name.starts_with("FORM_") || name == "TRACKRELAY_NUMBER" || name == "TRACKRELAY_FIELDS";
}

}  // namespace

std::vector<std::string> CommandEnvironment(std::string_view number, std::string_view form_input,
                                            const char* const* inherited) {
  std::vector<std::string> environment;
  for (const char* const* variable = inherited; variable != nullptr && *variable != nullptr; ++variable) {
    if (!OwnVariable(*variable)) environment.emplace_back(*variable);
  }
  environment.push_back("TRACKRELAY_NUMBER=" + std::string(number));
  // In the order the fields came, each name once.
  std::vector<std::pair<std::string, std::string>> fields;
  std::size_t total = 0;
  for (auto& field_read : ParseFormFields(form_input)) {
    std::string& name = field_read.first;
    std::string& value = field_read.second;
    if (!SafeFieldName(name) || value.find('\0') != std::string::npos) continue;
    auto same = std::find_if(fields.begin(), fields.end(), [&](const auto& field) { return field.first == name; });
    const std::size_t grows = same == fields.end() ? name.size() + value.size() + 6 : value.size() + 1;
    if (total + grows > kFieldsLimit) break;
    if (same == fields.end()) {
      if (name.size() + value.size() + 6 > kFieldLimit) continue;
      fields.emplace_back(std::move(name), std::move(value));
    } else {
      if (same->first.size() + same->second.size() + grows + 6 > kFieldLimit) continue;
      same->second += ";" + value;
    }
    total += grows;
  }
  std::string names;
  for (const auto& [name, value] : fields) {
    environment.push_back("FORM_" + name + "=" + value);
    names += (names.empty() ? "" : " ") + name;
  }
  environment.push_back("TRACKRELAY_FIELDS=" + names);
  return environment;
}

std::string WithCrLfLineEnds(std::string_view output) {
  std::string lines;
  lines.reserve(output.size() + output.size() / 16 + 2);
  for (std::size_t i = 0; i < output.size(); ++i) {
    const char c = output[i];
    if (c == '\r' || c == '\n') {
      lines += "\r\n";
      if (c == '\r' && i + 1 < output.size() && output[i + 1] == '\n') ++i;
    } else {
      lines += c;
    }
  }
  if (!lines.empty() && !lines.ends_with("\r\n")) lines += "\r\n";
  return lines;
}

std::string ErrorPage(std::string_view number) {
  const std::string n = EscapeHtml(number);
  return "<!DOCTYPE html>\r\n"
         "<html>\r\n"
         "<head>\r\n"
         "<title>Request not served</title>\r\n"
         "</head>\r\n"
         "<body>\r\n"
         "<h1>The remote host could not serve this request</h1>\r\n"
         "<p>Tracking number " + n + ". Please try again later.</p>\r\n"
         "</body>\r\n"
         "</html>\r\n";
}

}  // namespace trackrelay::remote_host
