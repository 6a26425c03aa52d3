#include "cgi/response_output.h"

#include <string>

#include "cgi/cgi_environment.h"

namespace trackrelay {

void SendLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text);
  line.append("\r\n");
  DWORD written = 0;
  WriteFile(CgiEnvironment.StdOut, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void SendText(std::string_view text) {
  DWORD written = 0;
  WriteFile(CgiEnvironment.StdOut, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace trackrelay
